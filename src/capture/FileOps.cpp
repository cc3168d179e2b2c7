#include "capture/FileOps.h"

#include "capture/CsvFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelmor::fileops {

namespace {

constexpr std::size_t BlockSize = 1 << 20;

std::string reason(int err) {
    return std::strerror(err);
}

// Closes on every path out of a function.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Returns 0 or the errno of the failing write.
int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

FileStamp stampFrom(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string parentDir(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return stampFrom(st);
}

AppendResult appendDurably(const std::string& path, std::string_view bytes) {
    AppendResult result;
    bool created = false;
    int raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (raw < 0 && errno == ENOENT) {
        raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created = raw >= 0;
    }
    if (raw < 0) {
        result.error = Error{"Cannot open the capture file", path, reason(errno)};
        return result;
    }
    Fd fd(raw);

    struct stat before {};
    if (::fstat(fd.get(), &before) != 0) {
        result.error = Error{"Cannot open the capture file", path, reason(errno)};
        return result;
    }
    result.before = created ? FileStamp{} : stampFrom(before);

    const char* failed = nullptr;
    int err = writeAll(fd.get(), bytes.data(), bytes.size());
    if (err != 0) {
        failed = "Cannot write the capture file";
    } else if (::fdatasync(fd.get()) != 0) {
        err = errno;
        failed = "Cannot save the capture file to disk";
    }
    if (failed != nullptr) {
        // Leave the file as it was, so that the retry writes these bytes once.
        std::string why = reason(err);
        if (created) {
            if (::unlink(path.c_str()) != 0)
                why += " (and the new empty file could not be removed)";
        } else if (::ftruncate(fd.get(), before.st_size) != 0) {
            why += " (and the partial write could not be undone: " + reason(errno) + ")";
        }
        result.error = Error{failed, path, why};
        return result;
    }

    if (created) {
        // A new file is only durable once its directory entry is.
        Fd dir(::open(parentDir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.ok())
            ::fsync(dir.get());
    }
    struct stat after {};
    if (::fstat(fd.get(), &after) == 0)
        result.after = stampFrom(after);
    return result;
}

CsvWriteResult writeCsv(const std::string& txtPath, const std::string& csvPath,
                        const CsvResume& from) {
    CsvWriteResult result;
    const bool whole = from == CsvResume{};
    Fd out(::open(csvPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (whole ? O_TRUNC : 0), 0666));
    if (!out.ok()) {
        result.error = Error{"Cannot write the CSV file", csvPath, reason(errno)};
        return result;
    }
    if (!whole && (::ftruncate(out.get(), static_cast<off_t>(from.csvOffset)) != 0 ||
                   ::lseek(out.get(), static_cast<off_t>(from.csvOffset), SEEK_SET) < 0)) {
        result.error = Error{"Cannot write the CSV file", csvPath, reason(errno)};
        return result;
    }
    Fd in(::open(txtPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.ok() || ::lseek(in.get(), static_cast<off_t>(from.captureOffset), SEEK_SET) < 0) {
        result.error = Error{"Cannot read the capture file", txtPath, reason(errno)};
        return result;
    }

    // Usually only the last line and the new text are read: size the buffers
    // to that rather than to a whole block.
    struct stat st {};
    std::size_t blockSize = BlockSize;
    if (::fstat(in.get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= from.captureOffset)
        blockSize = std::clamp<std::size_t>(
            static_cast<std::size_t>(static_cast<std::uint64_t>(st.st_size) - from.captureOffset) +
                1,
            4096, BlockSize);
    std::string block;
    block.resize(blockSize);
    std::string csv;
    csv.reserve(blockSize + blockSize / 2 + 16);
    CsvRenderer renderer(from);
    for (;;) {
        const ssize_t n = ::read(in.get(), block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result.error = Error{"Cannot read the capture file", txtPath, reason(errno)};
            return result;
        }
        csv.clear();
        if (n == 0) {
            result.resume = renderer.resumePoint();
            renderer.finish(csv);
        } else {
            renderer.feed(std::string_view(block.data(), static_cast<std::size_t>(n)), csv);
        }
        if (const int err = writeAll(out.get(), csv.data(), csv.size()); err != 0) {
            result.error = Error{"Cannot write the CSV file", csvPath, reason(err)};
            return result;
        }
        if (n == 0)
            break;
    }
    if (::fstat(out.get(), &st) != 0) {
        result.error = Error{"Cannot write the CSV file", csvPath, reason(errno)};
        return result;
    }
    result.csv = stampFrom(st);
    return result;
}

} // namespace kelmor::fileops
