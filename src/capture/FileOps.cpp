#include "capture/FileOps.h"

#include <algorithm>

namespace kelmor::fileops {

namespace {

using platform::File;

constexpr std::size_t BlockSize = 256 << 10;

} // namespace

AppendResult appendDurably(const std::string& path, std::string_view bytes) {
    AppendResult result;
    bool created = false;
    File file = File::open(path, File::Mode::Append);
    if (!file.isOpen() && file.notFound()) {
        file = File::open(path, File::Mode::AppendCreateNew);
        created = file.isOpen();
    }
    if (!file.isOpen()) {
        result.error = Error{"Cannot open the capture file", path, file.error()};
        return result;
    }
    const std::optional<FileStamp> before = file.stamp();
    if (!before) {
        result.error = Error{"Cannot open the capture file", path, file.error()};
        return result;
    }
    result.before = created ? FileStamp{} : *before;

    const char* failed = nullptr;
    if (!file.write(bytes.data(), bytes.size()))
        failed = "Cannot write the capture file";
    else if (!file.sync())
        failed = "Cannot save the capture file to disk";
    if (failed != nullptr) {
        // Leave the file as it was, so that the retry writes these bytes once.
        std::string why = file.error();
        if (created) {
            file.close();
            if (File::remove(path))
                why += " (and the new empty file could not be removed)";
        } else if (!file.truncate(before->size)) {
            why += " (and the partial write could not be undone: " + file.error() + ")";
        }
        result.error = Error{failed, path, why};
        return result;
    }

    if (created)
        File::syncFolderOf(path); // a new file is durable only with its directory entry
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
