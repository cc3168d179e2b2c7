#include "capture/CaptureFiles.h"

namespace kelmor {

bool CaptureFiles::tracking(const std::string& baseName) const {
    return tracked_ && tracked_->names == deriveNames(baseName);
}

StoreResult CaptureFiles::store(std::string_view text, const std::string& baseName) {
    const FileNames names = deriveNames(baseName);
    StoreResult result;
    fileops::AppendResult appended = fileops::appendDurably(names.TxtName, text);
    if (appended.error) {
        tracked_.reset();
        result.error = std::move(appended.error);
        return result;
    }
    result.stored = true;

    CsvResume from;
    if (tracked_ && tracked_->names == names && tracked_->txt == appended.before &&
        fileops::stampOf(names.CsvName) == tracked_->csv)
        from = tracked_->resume;

    fileops::CsvWriteResult written = fileops::writeCsv(names.TxtName, names.CsvName, from);
    if (written.error) {
        tracked_.reset();
        result.error = std::move(written.error);
        return result;
    }
    tracked_ = Tracked{names, appended.after, written.csv, written.resume};
    return result;
}

} // namespace kelmor
