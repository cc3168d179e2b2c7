#include "capture/platform/File.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelmor::platform {

namespace {

int fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

FileStamp stampFrom(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

} // namespace

bool File::fail() {
    notFound_ = errno == ENOENT;
    error_ = std::strerror(errno);
    return false;
}

File File::open(const std::string& path, Mode mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Append:
        flags |= O_WRONLY | O_APPEND;
        break;
    case Mode::AppendCreateNew:
        flags |= O_WRONLY | O_APPEND | O_CREAT | O_EXCL;
        break;
    case Mode::Write:
        flags |= O_WRONLY | O_CREAT;
        break;
    case Mode::WriteTruncate:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    }
    File file;
    const int raw = ::open(path.c_str(), flags, 0666);
    if (raw < 0)
        file.fail();
    else
        file.handle_ = raw;
    return file;
}

bool File::write(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd(handle_), data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long long File::read(char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd(handle_), data, size);
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            fail();
            return -1;
        }
    }
}

bool File::seek(std::uint64_t offset) {
    return ::lseek(fd(handle_), static_cast<off_t>(offset), SEEK_SET) >= 0 || fail();
}

bool File::truncate(std::uint64_t size) {
    return ::ftruncate(fd(handle_), static_cast<off_t>(size)) == 0 || fail();
}

bool File::sync() {
    return ::fdatasync(fd(handle_)) == 0 || fail();
}

std::optional<FileStamp> File::stamp() {
    struct stat st {};
    if (::fstat(fd(handle_), &st) != 0) {
        fail();
        return std::nullopt;
    }
    return stampFrom(st);
}

void File::close() {
    if (handle_ != Closed)
        ::close(fd(handle_));
    handle_ = Closed;
}

std::optional<FileStamp> File::stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return stampFrom(st);
}

std::optional<std::string> File::remove(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return std::nullopt;
    return std::string(std::strerror(errno));
}

void File::syncFolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace kelmor::platform
