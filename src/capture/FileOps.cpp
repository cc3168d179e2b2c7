#include "FileOps.h"

#include <algorithm>
#include <filesystem>
#include <utility>

namespace kelmor::fileops {

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

CsvWriteResult continueCsv(const std::string& csvPath, const CsvResume& from,
                           std::string_view appended) {
    CsvWriteResult result;
    File out = File::open(csvPath, File::Mode::Write);
    std::string csv;
    csv.reserve(appended.size() + appended.size() / 2 + 16);
    CsvRenderer renderer(from);
    renderer.feed(appended, csv);
    result.resume = renderer.resumePoint();
    renderer.finish(csv);
    std::optional<FileStamp> written;
    if (out.isOpen() && out.truncate(from.csvOffset) && out.seek(from.csvOffset) &&
        out.write(csv.data(), csv.size()))
        written = out.stamp();
    if (!written) {
        result.error = Error{"Cannot write the CSV file", csvPath, out.error()};
        return result;
    }
    result.csv = *written;
    return result;
}

CsvRewrite::CsvRewrite(std::string txtPath, std::string csvPath, std::size_t blockSize)
    : txt_(std::move(txtPath)), csv_(std::move(csvPath)),
      blockSize_(std::max<std::size_t>(blockSize, 1)) {}

std::optional<std::string> CsvRewrite::placeBeside() {
    // The new file takes the old one's place: where that is a link, the
    // file it leads to; never a folder, a pipe or a device.
    namespace fs = std::filesystem;
    std::error_code ec;
    target_ = csv_;
    const fs::file_status found = fs::status(csv_, ec);
    if (fs::exists(found)) {
        if (fs::is_directory(found))
            return std::string("Is a directory");
        if (!fs::is_regular_file(found))
            return std::string("Not a regular file");
        if (fs::is_symlink(fs::symlink_status(csv_, ec))) {
            const fs::path resolved = fs::canonical(csv_, ec);
            if (ec)
                return ec.message();
            target_ = resolved.string();
        }
    }
    partial_ = target_ + ".rewrite";
    // The old file's permissions carry over to the new one.
    permissions_ = fs::exists(found) ? std::optional<fs::perms>(found.permissions()) : std::nullopt;
    return std::nullopt;
}

CsvRewrite::~CsvRewrite() {
    if (!replaced_ && partialStamp_)
        (void)File::remove(partial_);
}

CsvRewrite::Slice CsvRewrite::slice(Clock::duration budget) {
    const auto start = Clock::now();
    Slice slice;
    const auto fail = [&](const char* what, const std::string& path, const File& f) {
        slice.error = Error{what, path, f.error()};
        return slice;
    };
    if (!partialStamp_) {
        if (auto why = placeBeside()) {
            slice.error = Error{"Cannot write the CSV file", csv_, *why};
            return slice;
        }
    }
    File in = File::open(txt_, File::Mode::Read);
    if (!in.isOpen() || !in.seek(consumed_))
        return fail("Cannot read the capture file", txt_, in);
    File out = File::open(partial_, partialStamp_ ? File::Mode::Write : File::Mode::WriteTruncate);
    if (!out.isOpen())
        return fail("Cannot write the CSV file", csv_, out);
    if (!partialStamp_ && permissions_) {
        std::error_code ec;
        std::filesystem::permissions(partial_, *permissions_, ec);
    }
    if (partialStamp_ && out.stamp() != partialStamp_) {
        // Someone else touched the partial file: start it over.
        renderer_ = CsvRenderer();
        consumed_ = produced_ = 0;
        if (!out.truncate(0) || !in.seek(0))
            return fail("Cannot write the CSV file", csv_, out);
    }
    if (!out.seek(produced_))
        return fail("Cannot write the CSV file", csv_, out);
    block_.resize(blockSize_);
    for (;;) {
        const long long n = in.read(block_.data(), block_.size());
        if (n < 0)
            return fail("Cannot read the capture file", txt_, in);
        out_.clear();
        if (n == 0) {
            const std::optional<FileStamp> txt = in.stamp();
            if (!txt)
                return fail("Cannot read the capture file", txt_, in);
            txtStamp_ = *txt;
            result_.resume = renderer_.resumePoint();
            renderer_.finish(out_);
        } else {
            renderer_.feed(std::string_view(block_.data(), static_cast<std::size_t>(n)), out_);
            consumed_ += static_cast<std::uint64_t>(n);
        }
        // Each block goes out to the disk before the next: a backlog of this
        // file's data would hold up the next ACK's sync of the capture file,
        // and the wait counts against this slice's budget.
        if (!out.write(out_.data(), out_.size()) || !out.settle())
            return fail("Cannot write the CSV file", csv_, out);
        produced_ += out_.size();
        partialStamp_ = out.stamp();
        if (!partialStamp_)
            return fail("Cannot write the CSV file", csv_, out);
        if (n == 0)
            break;
        // A short read is the end of the file: finish within this slice.
        if (static_cast<std::size_t>(n) == block_.size() && Clock::now() - start >= budget)
            return slice;
    }
    out.close();
    if (const platform::PathResult renamed = File::rename(partial_, target_); !renamed.ok()) {
        slice.error = Error{"Cannot write the CSV file", csv_, *renamed.failure};
        return slice;
    }
    replaced_ = true;
    const std::optional<FileStamp> csv = File::stampOf(target_);
    if (!csv) {
        slice.error = Error{"Cannot write the CSV file", csv_, "it vanished"};
        return slice;
    }
    result_.csv = *csv;
    slice.done = true;
    return slice;
}

} // namespace kelmor::fileops
