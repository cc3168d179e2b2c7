#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The seam to the operating system's file calls: one implementation for
// POSIX, one for Windows. Everything above it is portable.
namespace kelmor::platform {

// Enough to tell whether a file is still the one, and as, it was left.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

class File {
public:
    enum class Mode {
        Append,          // write at the end of an existing file
        AppendCreateNew, // create the file, failing if it exists
        Write,           // write anywhere, creating the file if missing
        WriteTruncate,   // write from an emptied or new file
        Read,
    };

    File() = default;
    ~File() { close(); }
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // An open file, or a closed one whose error() says why.
    static File open(const std::string& path, Mode mode);

    bool isOpen() const { return handle_ != Closed; }
    bool notFound() const { return notFound_; }
    // The system's reason for the last failure.
    const std::string& error() const { return error_; }

    bool write(const char* data, std::size_t size);
    // The bytes read, 0 at the end, -1 on failure.
    long long read(char* data, std::size_t size);
    bool seek(std::uint64_t offset);
    bool truncate(std::uint64_t size);
    // Waits until the file's data is on the disk.
    bool sync();
    std::optional<FileStamp> stamp();
    void close();

    static std::optional<FileStamp> stampOf(const std::string& path);
    // Removes a file; returns the system's reason on failure.
    static std::optional<std::string> remove(const std::string& path);
    // Makes a new directory entry in the folder of path durable, where the
    // system needs that.
    static void syncFolderOf(const std::string& path);

private:
    static constexpr std::intptr_t Closed = -1;
    bool fail();

    std::intptr_t handle_ = Closed;
    std::string error_;
    bool notFound_ = false;
};

} // namespace kelmor::platform
