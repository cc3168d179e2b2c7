#include "capture/FileOps.h"

#include "capture/CsvFormat.h"

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

std::string parentDir(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

MaybeError appendDurably(const std::string& path, std::string_view bytes) {
    bool created = false;
    int raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (raw < 0 && errno == ENOENT) {
        raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created = raw >= 0;
    }
    if (raw < 0)
        return Error{"Cannot open the capture file", path, reason(errno)};
    Fd fd(raw);

    struct stat before {};
    if (::fstat(fd.get(), &before) != 0)
        return Error{"Cannot open the capture file", path, reason(errno)};

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
        return Error{failed, path, why};
    }

    if (created) {
        // A new file is only durable once its directory entry is.
        Fd dir(::open(parentDir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.ok())
            ::fsync(dir.get());
    }
    return std::nullopt;
}

MaybeError rebuildCsv(const std::string& txtPath, const std::string& csvPath) {
    Fd out(::open(csvPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.ok())
        return Error{"Cannot write the CSV file", csvPath, reason(errno)};
    Fd in(::open(txtPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.ok())
        return Error{"Cannot read the capture file", txtPath, reason(errno)};

    std::string block(BlockSize, '\0');
    std::string csv;
    csv.reserve(BlockSize + BlockSize / 2);
    CsvRenderer renderer;
    for (;;) {
        const ssize_t n = ::read(in.get(), block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Error{"Cannot read the capture file", txtPath, reason(errno)};
        }
        csv.clear();
        if (n == 0)
            renderer.finish(csv);
        else
            renderer.feed(std::string_view(block.data(), static_cast<std::size_t>(n)), csv);
        if (const int err = writeAll(out.get(), csv.data(), csv.size()); err != 0)
            return Error{"Cannot write the CSV file", csvPath, reason(err)};
        if (n == 0)
            return std::nullopt;
    }
}

} // namespace kelmor::fileops
