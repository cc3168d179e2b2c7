#include "FileOps.h"

#include <algorithm>

namespace kelmor::fileops {

namespace {

using platform::File;

constexpr std::size_t BlockSize = 256 << 10;

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
        if (auto folder = File::syncFolderOf(path)) {
            failed = "Cannot save the capture file to disk";
            why = *folder;
        }
    }
    if (failed != nullptr) {
        // Leave the file as it was, so that the retry writes these bytes once.
        if (why.empty())
            why = file.error();
        if (created) {
            file.close();
            if (File::remove(path)) {
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

CsvWriteResult writeCsv(const std::string& txtPath, const std::string& csvPath,
                        const CsvResume& from) {
    CsvWriteResult result;
    const bool whole = from == CsvResume{};
    const auto csvError = [&](const File& f) {
        return Error{"Cannot write the CSV file", csvPath, f.error()};
    };
    const auto txtError = [&](const File& f) {
        return Error{"Cannot read the capture file", txtPath, f.error()};
    };

    File out = File::open(csvPath, whole ? File::Mode::WriteTruncate : File::Mode::Write);
    if (!out.isOpen() || (!whole && (!out.truncate(from.csvOffset) || !out.seek(from.csvOffset)))) {
        result.error = csvError(out);
        return result;
    }
    File in = File::open(txtPath, File::Mode::Read);
    const std::optional<FileStamp> txt = in.isOpen() ? in.stamp() : std::nullopt;
    if (!txt || !in.seek(from.captureOffset)) {
        result.error = txtError(in);
        return result;
    }

    // Usually only the last line and the new text are read: size the buffers
    // to that rather than to a whole block.
    const std::size_t blockSize =
        txt->size >= from.captureOffset
            ? std::clamp<std::size_t>(static_cast<std::size_t>(txt->size - from.captureOffset) + 1,
                                      4096, BlockSize)
            : BlockSize;
    std::string block;
    block.resize(blockSize);
    std::string csv;
    csv.reserve(blockSize + blockSize / 2 + 16);
    CsvRenderer renderer(from);
    for (;;) {
        const long long n = in.read(block.data(), block.size());
        if (n < 0) {
            result.error = txtError(in);
            return result;
        }
        csv.clear();
        if (n == 0) {
            result.resume = renderer.resumePoint();
            renderer.finish(csv);
        } else {
            renderer.feed(std::string_view(block.data(), static_cast<std::size_t>(n)), csv);
        }
        if (!out.write(csv.data(), csv.size())) {
            result.error = csvError(out);
            return result;
        }
        if (n == 0)
            break;
    }
    const std::optional<FileStamp> written = out.stamp();
    if (!written) {
        result.error = csvError(out);
        return result;
    }
    result.csv = *written;
    return result;
}

} // namespace kelmor::fileops
