#include "capture/WindowsText.h"
#include "platform/Faults.h"
#include "platform/File.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <vector>

namespace kelmor::capture::platform {

using windows::describe;
using windows::widen;

namespace {

HANDLE native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileStamp stampFrom(const BY_HANDLE_FILE_INFORMATION& info) {
    const auto join = [](DWORD high, DWORD low) {
        return (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint64_t>(low);
    };
    return {info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow),
            join(info.nFileSizeHigh, info.nFileSizeLow),
            static_cast<std::int64_t>(
                join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)) *
                100};
}

} // namespace

bool File::fail() {
    const DWORD code = ::GetLastError();
    notFound_ = code == ERROR_FILE_NOT_FOUND;
    alreadyExists_ = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    error_ = describe(code);
    return false;
}

File File::open(const std::string& path, Mode mode) {
    DWORD access = GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
    case Mode::Append:
        break;
    case Mode::AppendCreateNew:
        disposition = CREATE_NEW;
        break;
    case Mode::Write:
        disposition = OPEN_ALWAYS;
        break;
    case Mode::CreateNew:
        // Fails on any name that exists, a link included.
        disposition = CREATE_NEW;
        break;
    case Mode::AppendLog:
        disposition = OPEN_ALWAYS;
        break;
    case Mode::AppendExisting:
        break;
    case Mode::Read:
        access = GENERIC_READ;
        break;
    }
    const bool noFollow = mode == Mode::AppendLog || mode == Mode::AppendExisting;
    File file;
    file.path_ = path;
    if (file.injected(FileOp::Open))
        return file;
    // Other programs may read, write and rename the files while they are open.
    const HANDLE h = ::CreateFileW(
        widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, disposition,
        // A link is opened as itself, then refused below.
        noFollow ? FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL,
        nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        // A folder is refused as "access denied": say what the name is.
        const DWORD found = ::GetFileAttributesW(widen(path).c_str());
        if (code == ERROR_ACCESS_DENIED && found != INVALID_FILE_ATTRIBUTES &&
            (found & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            file.failWith("Is a directory");
            return file;
        }
        ::SetLastError(code);
        file.fail();
        return file;
    }
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    // A pipe or a device under the name would block or misbehave.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        file.close();
        file.failWith("Not a regular file");
        return file;
    }
    if (noFollow) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            file.close();
            file.failWith("a link");
            return file;
        }
    }
    if (mode == Mode::Append || mode == Mode::AppendCreateNew || noFollow) {
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
            file.fail();
            file.close();
        }
    }
    return file;
}

bool File::writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(native(handle_), data, chunk, &written, nullptr))
            return fail();
        data += written;
        size -= written;
    }
    return true;
}

long long File::read(char* data, std::size_t size) {
    if (injected(FileOp::Read))
        return -1;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(native(handle_), data, want, &got, nullptr)) {
        fail();
        return -1;
    }
    return got;
}

bool File::seek(std::uint64_t offset) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(native(handle_), to, nullptr, FILE_BEGIN) || fail();
}

bool File::truncate(std::uint64_t size) {
    if (injected(FileOp::Truncate))
        return false;
    return (seek(size) && ::SetEndOfFile(native(handle_))) || fail();
}

bool File::sync() {
    if (injected(FileOp::Sync))
        return false;
    return ::FlushFileBuffers(native(handle_)) || fail();
}

// NTFS has no such coupling between files' syncs.
bool File::settle() {
    return true;
}

std::optional<FileStamp> File::stamp() {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(native(handle_), &info)) {
        fail();
        return std::nullopt;
    }
    return stampFrom(info);
}

void File::close() {
    if (handle_ != Closed)
        ::CloseHandle(native(handle_));
    handle_ = Closed;
}

const char* const File::LineEnd = "\r\n";

namespace {

std::string timeText(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

} // namespace

std::string File::localTimeText() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return timeText(now);
}

std::string File::localTimeText(std::int64_t utcSecond) {
    // 100 ns ticks since 1601, and the zone's rule for that very day.
    const auto ticks = static_cast<std::uint64_t>((utcSecond + 11644473600LL) * 10000000LL);
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utc, &universal) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return {};
    return timeText(local);
}

void File::hide(const std::string& path) {
    const std::wstring wide = widen(path);
    const DWORD found = ::GetFileAttributesW(wide.c_str());
    if (found != INVALID_FILE_ATTRIBUTES)
        ::SetFileAttributesW(wide.c_str(), found | FILE_ATTRIBUTE_HIDDEN);
}

std::optional<std::string> File::resolvedName(const std::string& path) {
    const HANDLE h = ::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::vector<wchar_t> full(32768, L'\0');
    const DWORD length =
        ::GetFinalPathNameByHandleW(h, full.data(), static_cast<DWORD>(full.size()), 0);
    ::CloseHandle(h);
    if (length == 0 || length >= full.size())
        return std::nullopt;
    std::wstring name(full.data(), length);
    // \\?\C:\x reads as C:\x; \\?\UNC\server\share as \\server\share.
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0)
        name.erase(2, 6);
    else if (name.rfind(L"\\\\?\\", 0) == 0)
        name.erase(0, 4);
    return windows::narrow(name);
}

std::optional<FileStamp> File::stampOf(const std::string& path) {
    const HANDLE h = ::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info);
    ::CloseHandle(h);
    if (!ok)
        return std::nullopt;
    return stampFrom(info);
}

File::Lock File::lockExclusive() {
    // By name, with a mutex that goes with the process: a handle kept open
    // on the file would stop a user from deleting or moving it, and a
    // deleted file would stay pending while the handle lives. From here on
    // this object holds the mutex, not the file.
    std::vector<wchar_t> full(32768, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(native(handle_), full.data(),
                                                     static_cast<DWORD>(full.size()), 0);
    if (length == 0 || length >= full.size()) {
        fail();
        return Lock::Unavailable;
    }
    std::wstring name(full.data(), length);
    for (wchar_t& ch : name)
        ch = ch == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(ch));
    // A mutex this process may not open is held by another session's
    // capture (a service's): the name is taken as surely.
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, (L"Global\\kelmor-csv " + name).c_str());
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
        close();
        failWith("in use");
        return Lock::HeldElsewhere;
    }
    if (mutex == nullptr)
        mutex = ::CreateMutexW(nullptr, FALSE, (L"Local\\kelmor-csv " + name).c_str());
    if (mutex == nullptr) {
        fail();
        return Lock::Unavailable;
    }
    const bool taken = ::GetLastError() != ERROR_ALREADY_EXISTS;
    close();
    if (!taken) {
        ::CloseHandle(mutex);
        failWith("in use");
        return Lock::HeldElsewhere;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    return Lock::Taken;
}

bool File::isAt(const std::string& path) {
    const HANDLE there = ::CreateFileW(
        widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (there == INVALID_HANDLE_VALUE)
        return fail();
    BY_HANDLE_FILE_INFORMATION mine{};
    BY_HANDLE_FILE_INFORMATION theirs{};
    const bool same = ::GetFileInformationByHandle(native(handle_), &mine) &&
                      ::GetFileInformationByHandle(there, &theirs) &&
                      (theirs.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                      mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                      mine.nFileIndexHigh == theirs.nFileIndexHigh &&
                      mine.nFileIndexLow == theirs.nFileIndexLow;
    ::CloseHandle(there);
    return same;
}

// Windows keeps its permissions in the folder's inheritance, not in mode bits.
bool File::setMode(unsigned) {
    return true;
}

// Windows does not say who holds a byte-range lock.
std::string File::lockHolder(const FileStamp&) {
    return {};
}

PathResult File::remove(const std::string& path) {
    if (auto reason = injectedFor(FileOp::Remove, path))
        return {reason};
    if (::DeleteFileW(widen(path).c_str()))
        return {};
    return {describe(::GetLastError())};
}

PathResult File::rename(const std::string& from, const std::string& to) {
    if (auto reason = injectedFor(FileOp::Rename, to))
        return {reason};
    if (::MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    return {describe(::GetLastError())};
}

// NTFS makes a new directory entry durable with the file's own flush.
PathResult File::syncFolderOf(const std::string& path) {
    return {injectedFor(FileOp::SyncFolder, path)};
}

} // namespace kelmor::capture::platform
