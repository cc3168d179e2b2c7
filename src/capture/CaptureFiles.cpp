#include "capture/CaptureFiles.h"

#include "capture/CsvFormat.h"
#include "capture/FileOps.h"

namespace kelmor {

StoreResult CaptureFiles::store(std::string_view text, const std::string& baseName) {
    const FileNames names = deriveNames(baseName);
    StoreResult result;
    if (auto err = fileops::appendDurably(names.TxtName, text)) {
        result.error = std::move(err);
        return result;
    }
    result.stored = true;
    result.error = fileops::rebuildCsv(names.TxtName, names.CsvName);
    return result;
}

} // namespace kelmor
