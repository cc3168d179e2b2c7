#pragma once

#include <cstddef>
#include <optional>
#include <string>

// A seam for tests: every file operation asks the hook first, which may make
// it fail as a disk or a file system would. Unset in the program.
namespace kelmor::capture::platform {

enum class FileOp { Open, Write, Sync, Truncate, Read, Remove, SyncFolder, Rename };

class FaultHook {
public:
    virtual ~FaultHook() = default;
    // Returns the reason to fail with, or nothing to let the call go on. For
    // a write, *size may be lowered: that many bytes land before it fails.
    virtual std::optional<std::string> before(FileOp op, const std::string& path,
                                              std::size_t* size) = 0;
};

// Installs a hook for the life of the object.
class ScopedFaultHook {
public:
    explicit ScopedFaultHook(FaultHook& hook);
    ~ScopedFaultHook();
    ScopedFaultHook(const ScopedFaultHook&) = delete;
    ScopedFaultHook& operator=(const ScopedFaultHook&) = delete;
};

// The injected failure for an operation on a path alone, if any.
std::optional<std::string> injectedFor(FileOp op, const std::string& path);

} // namespace kelmor::capture::platform
