#include "FileOps.h"
#include "Journal.h"

#include <algorithm>
#include <utility>

// The CSV file: continued where it ends, or rendered anew in slices.
namespace kelmor::capture::fileops {

using platform::File;

CsvWriteResult continueCsv(const std::string& csvPath, const CsvResume& from,
                           std::string_view appended, const CsvOptions& options,
                           const StoreNotes& notes) {
    CsvWriteResult result;
    File out = File::open(csvPath, File::Mode::Write);
    std::string csv;
    csv.reserve(appended.size() + appended.size() / 2 + 16);
    if (options.plain()) {
        CsvRenderer renderer(from);
        renderer.feed(appended, csv);
        result.resume = renderer.resumePoint();
        renderer.finish(csv);
    } else {
        RecordRenderer renderer(options, from);
        renderer.feed(appended, notes, csv);
        result.resume = renderer.resumePoint();
        renderer.finish(csv);
    }
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

CsvRewrite::CsvRewrite(std::string txtPath, std::string csvPath, std::size_t blockSize,
                       CsvOptions options)
    : txt_(std::move(txtPath)), csv_(std::move(csvPath)),
      blockSize_(std::max<std::size_t>(blockSize, 1)), options_(options) {}

CsvRewrite::~CsvRewrite() {
    dropPartial();
}

std::string CsvRewrite::partialFor(const std::string& csvFile) {
    return besideAsHidden(csvFile, ".kelmor-partial");
}

MaybeError CsvRewrite::failure(const std::string& path, const File& file) const {
    return Error{"Cannot write the CSV file", path, file.error()};
}

MaybeError CsvRewrite::begin() {
    // The new file takes the old one's place: where that is a link, the
    // file it leads to; never a folder, a pipe or a device.
    namespace fs = std::filesystem;
    std::error_code ec;
    target_ = csv_;
    const fs::file_status found = fs::status(csv_, ec);
    if (fs::exists(found)) {
        if (fs::is_directory(found))
            return Error{"Cannot write the CSV file", csv_, "Is a directory"};
        if (!fs::is_regular_file(found))
            return Error{"Cannot write the CSV file", csv_, "Not a regular file"};
        if (fs::is_symlink(fs::symlink_status(csv_, ec))) {
            const fs::path resolved = fs::canonical(csv_, ec);
            if (ec)
                return Error{"Cannot write the CSV file", csv_, ec.message()};
            target_ = resolved.string();
        }
        permissions_ = found.permissions();
    }
    begun_ = true;
    partial_ = partialFor(target_);
    // Made new, so that it can never be a file or a link someone else put
    // there. One by that name is what a killed run left: it goes.
    out_ = File::open(partial_, File::Mode::CreateNew);
    if (!out_.isOpen() && out_.alreadyExists() && File::remove(partial_).ok())
        out_ = File::open(partial_, File::Mode::CreateNew);
    if (!out_.isOpen())
        return renderInPlace();
    partialMade_ = true;
    // The new file must not be more open than the old: where its mode cannot
    // be set, the old file is rewritten in place and keeps its own.
    if (permissions_ && !out_.setMode(static_cast<unsigned>(*permissions_))) {
        dropPartial();
        return renderInPlace();
    }
    outStamp_ = out_.stamp();
    return std::nullopt;
}

void CsvRewrite::dropPartial() {
    if (!partialMade_)
        return;
    out_.close();
    (void)File::remove(partial_);
    partialMade_ = false;
}

MaybeError CsvRewrite::renderInPlace() {
    dropPartial();
    inPlace_ = true;
    out_ = File::open(target_, File::Mode::Write);
    if (!out_.isOpen())
        return failure(csv_, out_);
    startOver();
    outStamp_ = out_.stamp();
    return std::nullopt;
}

void CsvRewrite::startOver() {
    renderer_ = CsvRenderer();
    records_ = RecordRenderer(options_);
    journal_.reset();
    consumed_ = produced_ = 0;
}

CsvRewrite::Slice CsvRewrite::slice(Clock::duration budget) {
    const auto start = Clock::now();
    Slice slice;
    if (!begun_) {
        if ((slice.error = begin()))
            return slice;
    }
    File in = File::open(txt_, File::Mode::Read);
    if (!in.isOpen() || !in.seek(consumed_)) {
        slice.error = Error{"Cannot read the capture file", txt_, in.error()};
        return slice;
    }
    if (out_.stamp() != outStamp_) {
        // Someone else wrote to the file being rendered into: start it over.
        startOver();
        if (!out_.truncate(0) || !in.seek(0)) {
            slice.error = failure(csv_, out_);
            return slice;
        }
    }
    block_.resize(blockSize_);
    for (;;) {
        const long long n = in.read(block_.data(), block_.size());
        if (n < 0) {
            slice.error = Error{"Cannot read the capture file", txt_, in.error()};
            return slice;
        }
        rendered_.clear();
        if (n == 0) {
            const std::optional<FileStamp> txt = in.stamp();
            if (!txt) {
                slice.error = Error{"Cannot read the capture file", txt_, in.error()};
                return slice;
            }
            txtStamp_ = *txt;
            if (options_.plain()) {
                result_.resume = renderer_.resumePoint();
                renderer_.finish(rendered_);
            } else {
                result_.resume = records_.resumePoint();
                records_.finish(rendered_);
            }
        } else {
            const std::string_view bytes(block_.data(), static_cast<std::size_t>(n));
            if (options_.plain()) {
                renderer_.feed(bytes, rendered_);
            } else {
                if (!journal_)
                    journal_ = std::make_unique<JournalReader>(txt_);
                records_.feed(bytes, journal_->notes(consumed_, consumed_ + bytes.size()),
                              rendered_);
            }
            consumed_ += static_cast<std::uint64_t>(n);
        }
        // Each block goes out to the disk before the next: a backlog of this
        // file's data would hold up the next ACK's sync of the capture file,
        // and the wait counts against this slice's budget.
        const bool written =
            out_.seek(produced_) && out_.write(rendered_.data(), rendered_.size()) && out_.settle();
        if (!written || !(outStamp_ = out_.stamp())) {
            if (inPlace_) {
                slice.error = failure(csv_, out_);
                return slice;
            }
            // No room for a second copy: the CSV file itself is written.
            if ((slice.error = renderInPlace()) || !in.seek(0))
                return slice;
            continue;
        }
        produced_ += rendered_.size();
        if (n == 0)
            break;
        // A short read is the end of the file: finish within this slice.
        if (static_cast<std::size_t>(n) == block_.size() && Clock::now() - start >= budget)
            return slice;
    }
    return complete();
}

// The whole file rendered: in place, cut to its length; or beside it, put in
// its place.
CsvRewrite::Slice CsvRewrite::complete() {
    Slice slice;
    if (inPlace_) {
        const std::optional<FileStamp> csv =
            out_.truncate(produced_) ? out_.stamp() : std::optional<FileStamp>();
        if (!csv) {
            slice.error = failure(csv_, out_);
            return slice;
        }
        out_.close();
        result_.csv = *csv;
        slice.done = true;
        return slice;
    }
    // The name must still lead to this file: never put a link or a stranger's
    // file in the CSV file's place.
    const bool ours = out_.isAt(partial_);
    out_.close();
    const platform::PathResult renamed =
        ours ? File::rename(partial_, target_)
             : platform::PathResult{"the partial file was replaced"};
    if (!renamed.ok()) {
        // A folder that takes no new names, or a CSV file held open: the
        // CSV file itself is written, from the next slice on.
        slice.error = renderInPlace();
        return slice;
    }
    partialMade_ = false;
    const std::optional<FileStamp> csv = File::stampOf(target_);
    if (!csv) {
        slice.error = Error{"Cannot write the CSV file", csv_, "it vanished"};
        return slice;
    }
    result_.csv = *csv;
    slice.done = true;
    return slice;
}

} // namespace kelmor::capture::fileops
