#pragma once

#include "capture/FileStamp.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The seam to the operating system's file calls: one implementation for
// POSIX, one for Windows. Everything above it is portable.
namespace kelmor::capture::platform {

enum class FileOp;

// How an operation on a path went: ok, or why not, in the system's words.
struct [[nodiscard]] PathResult {
    std::optional<std::string> failure;
    bool ok() const { return !failure; }
};

class File {
public:
    enum class Mode {
        Append,          // write at the end of an existing file
        AppendCreateNew, // create the file, failing if it exists
        Write,           // write anywhere, creating the file if missing
        CreateNew,       // create the file, failing if anything has the name; never follows
                         // a link
        AppendLog,       // write at the end, creating the file if missing; never follows a
                         // link
        AppendExisting,  // write at the end of an existing file; never follows a link
        Read,
    };

    File() = default;
    ~File() { close(); }
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // An open regular file, or a closed one whose error() says why. Opening
    // never blocks: a FIFO or a device under the name is refused.
    [[nodiscard]] static File open(const std::string& path, Mode mode);

    bool isOpen() const { return handle_ != Closed; }
    bool notFound() const { return notFound_; }
    // The last failure was that something already has the name.
    bool alreadyExists() const { return alreadyExists_; }
    // The system's reason for the last failure.
    const std::string& error() const { return error_; }

    [[nodiscard]] bool write(const char* data, std::size_t size);
    // The bytes read, 0 at the end, -1 on failure.
    [[nodiscard]] long long read(char* data, std::size_t size);
    [[nodiscard]] bool seek(std::uint64_t offset);
    [[nodiscard]] bool truncate(std::uint64_t size);
    // Waits until the file's data is on the disk.
    [[nodiscard]] bool sync();
    // Writes out what was written so far and waits for it, where the system
    // would otherwise let it pile up: a large backlog of one file's data
    // holds up the next sync of any other file on the same disk.
    [[nodiscard]] bool settle();
    [[nodiscard]] std::optional<FileStamp> stamp();
    void close();

    // Takes the system's exclusive lock on the file, without waiting. The
    // lock goes with this object, and with the process however it ends. It
    // never stands in the way of reading, writing, moving or deleting the
    // file. (On Windows it is a lock on the file's name, and this object
    // holds it in place of the file.)
    enum class Lock { Taken, HeldElsewhere, Unavailable };
    [[nodiscard]] Lock lockExclusive();
    // Whether the name still leads to this very file, not to a link or to
    // another file put in its place.
    [[nodiscard]] bool isAt(const std::string& path);
    // Gives the file these permission bits, where the system has them.
    [[nodiscard]] bool setMode(unsigned mode);
    // The process that holds a lock on the file, where the system says: "process N".
    [[nodiscard]] static std::string lockHolder(const FileStamp& file);

    [[nodiscard]] static std::optional<FileStamp> stampOf(const std::string& path);
    // The line end of the system's text files, and the local time as
    // "2026-12-07 10:00:00".
    static const char* const LineEnd;
    static std::string localTimeText();
    // The same for a moment given in seconds since 1970, UTC.
    static std::string localTimeText(std::int64_t utcSecond);
    // The file's one absolute name, links resolved, where the system can tell.
    [[nodiscard]] static std::optional<std::string> resolvedName(const std::string& path);
    static PathResult remove(const std::string& path);
    // Marks a file hidden where the system has no dot convention (Windows).
    static void hide(const std::string& path);
    // Puts a file in the place of another, in one step where the system can.
    static PathResult rename(const std::string& from, const std::string& to);
    // Makes a new directory entry in the folder of path durable, where the
    // system needs that.
    static PathResult syncFolderOf(const std::string& path);

private:
    static constexpr std::intptr_t Closed = -1;
    bool fail();
    bool failWith(std::string reason);
    // A fault the test seam asks for, applied as the system's own failure.
    bool injected(FileOp op, std::size_t* size = nullptr);
    bool writeAll(const char* data, std::size_t size);

    std::intptr_t handle_ = Closed;
    std::string path_;
    std::string error_;
    bool notFound_ = false;
    bool alreadyExists_ = false;
};

} // namespace kelmor::capture::platform
