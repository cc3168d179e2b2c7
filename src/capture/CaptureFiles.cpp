#include "capture/CaptureFiles.h"

#include "FileOps.h"

namespace kelmor {

bool CaptureFiles::tracking(const std::string& baseName) const {
    return tracked_ && tracked_->names == deriveNames(baseName);
}

StoreResult CaptureFiles::store(std::string_view text, const std::string& baseName) {
    const FileNames names = deriveNames(baseName);
    StoreResult result;
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

    CsvResume from;
    if (tracked_ && tracked_->names == names && tracked_->txt == appended.before &&
        fileops::stampOf(names.CsvName) == tracked_->csv)
        from = tracked_->resume;

    fileops::CsvWriteResult written = fileops::writeCsv(names.TxtName, names.CsvName, from);
    if (written.error) {
        tracked_.reset();
        result.csvError = std::move(written.error);
        return result;
    }
    tracked_ = Tracked{names, appended.after, written.csv, written.resume};
    return result;
}

} // namespace kelmor
