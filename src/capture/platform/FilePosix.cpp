#include "platform/Faults.h"
#include "platform/File.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kelmor::capture::platform {

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
    alreadyExists_ = errno == EEXIST;
    error_ = std::strerror(errno);
    return false;
}

File File::open(const std::string& path, Mode mode) {
    // O_NONBLOCK: a FIFO without a reader would otherwise block the window's
    // thread in open(); anything but a regular file is refused below.
    int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
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
    case Mode::CreateNew:
        flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    case Mode::AppendLog:
        flags |= O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW;
        break;
    case Mode::AppendExisting:
        flags |= O_WRONLY | O_APPEND | O_NOFOLLOW;
        break;
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    }
    File file;
    file.path_ = path;
    if (file.injected(FileOp::Open))
        return file;
    const int raw = ::open(path.c_str(), flags, 0666);
    if (raw < 0) {
        const int why = errno;
        // A FIFO without a reader refuses a non-blocking open for writing:
        // say what the name is rather than the system's riddle.
        struct stat found {};
        if (why == ENXIO && ::stat(path.c_str(), &found) == 0 && !S_ISREG(found.st_mode)) {
            file.failWith("Not a regular file");
            return file;
        }
        errno = why;
        file.fail();
        return file;
    }
    file.handle_ = raw;
    struct stat st {};
    if (::fstat(raw, &st) != 0) {
        file.fail();
        file.close();
        return file;
    }
    if (!S_ISREG(st.st_mode)) {
        file.failWith(S_ISDIR(st.st_mode) ? "Is a directory" : "Not a regular file");
        file.close();
        return file;
    }
    // O_NONBLOCK stays: it means nothing to a regular file.
    return file;
}

bool File::writeAll(const char* data, std::size_t size) {
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
    if (injected(FileOp::Read))
        return -1;
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
    if (injected(FileOp::Truncate))
        return false;
    return ::ftruncate(fd(handle_), static_cast<off_t>(size)) == 0 || fail();
}

bool File::sync() {
    if (injected(FileOp::Sync))
        return false;
    return ::fdatasync(fd(handle_)) == 0 || fail();
}

bool File::settle() {
#ifdef __linux__
    constexpr unsigned int WriteAndWait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    // Only what is not on the disk yet is written; the rest costs nothing.
    return ::sync_file_range(fd(handle_), 0, 0, WriteAndWait) == 0 || fail();
#else
    return true;
#endif
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

File::Lock File::lockExclusive() {
    // flock, not fcntl: a POSIX record lock would go whenever this process
    // closes any other descriptor of the file, as every append does.
    if (::flock(fd(handle_), LOCK_EX | LOCK_NB) == 0)
        return Lock::Taken;
    const bool held = errno == EWOULDBLOCK;
    fail();
    return held ? Lock::HeldElsewhere : Lock::Unavailable;
}

bool File::isAt(const std::string& path) {
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd(handle_), &mine) != 0 || ::lstat(path.c_str(), &there) != 0)
        return fail();
    return S_ISREG(there.st_mode) && mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

bool File::setMode(unsigned mode) {
    return ::fchmod(fd(handle_), static_cast<mode_t>(mode)) == 0 || fail();
}

std::string File::lockHolder(const FileStamp& file) {
#ifdef __linux__
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
    std::ifstream locks("/proc/locks");
    const unsigned major = ::major(static_cast<dev_t>(file.device));
    const unsigned minor = ::minor(static_cast<dev_t>(file.device));
    std::ostringstream wanted;
    wanted << std::hex << (major < 0x10 ? "0" : "") << major << ':' << (minor < 0x10 ? "0" : "")
           << minor << ':' << std::dec << file.inode;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        fields >> id >> kind >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == wanted.str())
            return "process " + pid;
    }
#else
    (void)file;
#endif
    return {};
}

const char* const File::LineEnd = "\n";

std::string File::localTimeText() {
    return localTimeText(std::time(nullptr));
}

std::string File::localTimeText(std::int64_t utcSecond) {
    const auto when = static_cast<std::time_t>(utcSecond);
    std::tm local{};
    char text[32] = {};
    if (::localtime_r(&when, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void File::hide(const std::string&) {}

std::optional<std::string> File::resolvedName(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return std::nullopt;
    std::string name = resolved;
    std::free(resolved);
    return name;
}

std::optional<FileStamp> File::stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return stampFrom(st);
}

PathResult File::remove(const std::string& path) {
    if (auto reason = injectedFor(FileOp::Remove, path))
        return {reason};
    if (::unlink(path.c_str()) == 0)
        return {};
    return {std::strerror(errno)};
}

PathResult File::rename(const std::string& from, const std::string& to) {
    if (auto reason = injectedFor(FileOp::Rename, to))
        return {reason};
    if (::rename(from.c_str(), to.c_str()) == 0)
        return {};
    return {std::strerror(errno)};
}

PathResult File::syncFolderOf(const std::string& path) {
    if (auto reason = injectedFor(FileOp::SyncFolder, path))
        return {reason};
    const auto slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) {
        std::string reason = std::strerror(errno);
        if (dir >= 0)
            ::close(dir);
        return {reason};
    }
    ::close(dir);
    return {};
}

} // namespace kelmor::capture::platform
