#include "app/HeadlessErrors.h"

#include "capture/CsvFormat.h"
#include "capture/FileAccess.h"

namespace kelmor::app {

void HeadlessErrorView::showError(const std::string& text) {
    last_ = oneLine(text);
    if (channel_(last_))
        return;
    // Where the log cannot be written either, nothing is left to tell it
    // to; capture goes on.
    if (const std::string name = fileName_(); !name.empty())
        capture::appendLogLine(errorLogName(name), last_);
}

std::string errorLogName(const std::string& fileName) {
    std::string txt = deriveNames(fileName).TxtName;
    return txt.erase(txt.size() - 4) + ".log";
}

} // namespace kelmor::app
