#include "FileOps.h"

#include <algorithm>
#include <utility>

// The capture file: appended to durably, and held against a second capture.
namespace kelmor::capture::fileops {

namespace {

using platform::File;

// How many leading bytes of `bytes` the file already holds from `at` on, when
// its whole tail from there is such a prefix; otherwise 0.
std::uint64_t heldPrefix(const std::string& path, std::uint64_t at, std::uint64_t size,
                         std::string_view bytes) {
    if (size <= at || size - at > bytes.size())
        return 0;
    File in = File::open(path, File::Mode::Read);
    std::string tail(static_cast<std::size_t>(size - at), '\0');
    if (!in.isOpen() || !in.seek(at) ||
        in.read(tail.data(), tail.size()) != static_cast<long long>(tail.size()))
        return 0;
    return bytes.substr(0, tail.size()) == tail ? tail.size() : 0;
}

} // namespace

AppendResult appendDurably(const std::string& path, std::string_view bytes,
                           std::optional<std::uint64_t> tornAt) {
    AppendResult result;
    bool created = false;
    File file = File::open(path, File::Mode::Append);
    if (!file.isOpen() && file.notFound()) {
        file = File::open(path, File::Mode::AppendCreateNew);
        created = file.isOpen();
    }
    if (!file.isOpen()) {
        result.error = Error{"Cannot open the capture file", path, file.error()};
        result.tornAt = tornAt;
        return result;
    }
    const std::optional<FileStamp> before = file.stamp();
    if (!before) {
        result.error = Error{"Cannot open the capture file", path, file.error()};
        result.tornAt = tornAt;
        return result;
    }
    result.before = created ? FileStamp{} : *before;

    // An earlier attempt left part of these bytes behind: write the rest.
    std::string_view rest = bytes;
    bool stillTorn = false;
    if (tornAt && !created) {
        const std::uint64_t held = heldPrefix(path, *tornAt, before->size, bytes);
        rest.remove_prefix(static_cast<std::size_t>(held));
        stillTorn = held > 0;
    }

    const char* failed = nullptr;
    if (!file.write(rest.data(), rest.size()))
        failed = "Cannot write the capture file";
    else if (!file.sync())
        failed = "Cannot save the capture file to disk";
    std::string why;
    if (failed == nullptr && created) {
        // A new file is durable only with its directory entry.
        if (const platform::PathResult synced = File::syncFolderOf(path); !synced.ok()) {
            failed = "Cannot save the capture file to disk";
            why = *synced.failure;
        }
    }
    if (failed != nullptr) {
        // Leave the file as it was, so that the retry writes these bytes once.
        if (why.empty())
            why = file.error();
        if (created) {
            file.close();
            if (!File::remove(path).ok()) {
                why += " (and the new file could not be removed)";
                result.tornAt = 0;
            }
        } else if (!file.truncate(before->size)) {
            why += " (and the partial write could not be undone: " + file.error() + ")";
            result.tornAt = stillTorn ? *tornAt : before->size;
        } else if (stillTorn) {
            result.tornAt = tornAt;
        }
        result.error = Error{failed, path, why};
        return result;
    }

    if (const auto after = file.stamp())
        result.after = *after;
    return result;
}

MaybeError holdCaptureFile(const std::string& path, std::unique_ptr<HeldFile>& held) {
    const std::optional<FileStamp> now = File::stampOf(path);
    if (!now) {
        if (held && held->path != path)
            held.reset();
        return std::nullopt; // the store makes it, and holds it then
    }
    if (held && held->path == path && held->stamp.device == now->device &&
        held->stamp.inode == now->inode)
        return std::nullopt;
    held.reset();
    // Where the file cannot be opened or locked at all (no read permission,
    // a file system without locks), capture goes on without the lock.
    File file = File::open(path, File::Mode::Read);
    if (!file.isOpen())
        return std::nullopt;
    switch (file.lockExclusive()) {
    case File::Lock::HeldElsewhere: {
        const std::string who = File::lockHolder(*now);
        return Error{"Cannot open the capture file", path,
                     "it is being captured into by another program" +
                         (who.empty() ? std::string() : " (" + who + ")")};
    }
    case File::Lock::Taken:
        held = std::make_unique<HeldFile>(HeldFile{path, *now, std::move(file)});
        break;
    case File::Lock::Unavailable:
        break;
    }
    return std::nullopt;
}

} // namespace kelmor::capture::fileops
