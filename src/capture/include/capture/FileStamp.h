#pragma once

#include <cstdint>

namespace kelmor::capture {

// Enough to tell whether a file is still the same file, just as it was left.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

} // namespace kelmor::capture
