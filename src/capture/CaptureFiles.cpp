#include "capture/CaptureFiles.h"

#include "FileOps.h"

namespace kelmor::capture {

CaptureFiles::CaptureFiles(std::size_t blockSize, std::function<Clock::time_point()> now)
    : blockSize_(blockSize), now_(std::move(now)) {}

CaptureFiles::~CaptureFiles() = default;

bool CaptureFiles::tracking(const std::string& baseName) const {
    return tracked_ && tracked_->names == deriveNames(baseName);
}

StoreResult CaptureFiles::store(std::string_view text, const std::string& baseName,
                                const std::function<void()>& stored, Clock::duration csvBudget) {
    const FileNames names = deriveNames(baseName);
    StoreResult result;
    if (MaybeError held = fileops::holdCaptureFile(names.TxtName, held_)) {
        tracked_.reset();
        result.storeError = std::move(held);
        return result;
    }
    std::optional<std::uint64_t> tornAt;
    if (torn_ && torn_->path == names.TxtName)
        tornAt = torn_->offset;
    fileops::AppendResult appended = fileops::appendDurably(names.TxtName, text, tornAt);
    torn_.reset();
    if (appended.tornAt)
        torn_ = Torn{names.TxtName, *appended.tornAt};
    if (appended.error) {
        tracked_.reset();
        result.storeError = std::move(appended.error);
        return result;
    }
    result.captureSize = appended.after.size;
    // The capture file is the record of truth: the device may hear now.
    if (stored)
        stored();
    if (!held_)
        (void)fileops::holdCaptureFile(names.TxtName, held_); // made by this store
    result.csvError = updateCsv(names, appended.before, appended.after, text, csvBudget);
    if (csvBudget == Unlimited)
        while (!result.csvError && rewrite_)
            result.csvError = csvSlice(Unlimited);
    return result;
}

MaybeError CaptureFiles::updateCsv(const FileNames& names, const FileStamp& before,
                                   const FileStamp& after, std::string_view text,
                                   Clock::duration budget) {
    if (rewrite_ && rewriteNames_ != names) {
        // Another name: the old rewrite is given up, and the old CSV file
        // stays as it was; the next run that stores to it rewrites it.
        rewrite_.reset();
    }
    if (csvRetryAt_ && csvFailedNames_ == names && now_() < *csvRetryAt_)
        return std::nullopt; // behind, and said so; tried again in a while
    if (rewrite_) {
        // The rewrite reads on to the capture file's new end.
        if (before == rewriteTxt_)
            rewriteTxt_ = after;
        else
            startRewrite(names, after);
    } else if (tracked_ && tracked_->names == names && tracked_->txt == before &&
               fileops::stampOf(names.CsvName) == tracked_->csv) {
        fileops::CsvWriteResult written =
            fileops::continueCsv(names.CsvName, tracked_->resume, text);
        if (written.error) {
            tracked_.reset();
            csvFailedNames_ = names;
            csvFailureReported_ = true;
            return written.error;
        }
        tracked_ = Tracked{names, after, written.csv, written.resume};
        return std::nullopt;
    } else {
        startRewrite(names, after);
    }
    return csvSlice(budget);
}

void CaptureFiles::startRewrite(FileNames names, FileStamp txt) {
    tracked_.reset();
    rewrite_.reset();
    rewrite_ = std::make_unique<fileops::CsvRewrite>(names.TxtName, names.CsvName, blockSize_);
    rewriteNames_ = std::move(names);
    rewriteTxt_ = txt;
}

MaybeError CaptureFiles::csvSlice(Clock::duration budget) {
    if (!rewrite_)
        return std::nullopt;
    // Changed by someone else since this program last wrote it: start over.
    if (const auto now = fileops::stampOf(rewriteNames_.TxtName); now && *now != rewriteTxt_)
        startRewrite(rewriteNames_, *now);
    fileops::CsvRewrite::Slice slice = rewrite_->slice(budget);
    if (slice.error)
        return rewriteFailed(std::move(*slice.error));
    if (!slice.done)
        return std::nullopt;
    if (rewrite_->txtStamp() != rewriteTxt_) {
        startRewrite(rewriteNames_, rewrite_->txtStamp());
        return std::nullopt;
    }
    tracked_ = Tracked{rewriteNames_, rewrite_->txtStamp(), rewrite_->result().csv,
                       rewrite_->result().resume};
    rewrite_.reset();
    csvRetryAt_.reset();
    csvFailureReported_ = false;
    return std::nullopt;
}

MaybeError CaptureFiles::rewriteFailed(Error error) {
    rewrite_.reset();
    if (csvFailedNames_ != rewriteNames_)
        csvFailureReported_ = false;
    csvFailedNames_ = rewriteNames_;
    csvRetryAt_ = now_() + CsvRetryPeriod;
    if (csvFailureReported_)
        return std::nullopt;
    csvFailureReported_ = true;
    return error;
}

void CaptureFiles::retryCsvSoon() {
    csvRetryAt_.reset();
    csvFailureReported_ = false;
}

} // namespace kelmor::capture
