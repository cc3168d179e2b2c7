#pragma once

#include "app/ErrorQueue.h"

#include <functional>
#include <string>

namespace kelmor::app {

// How a face without a window says its errors: one line each on its own
// channel (standard error, the event log); where that takes none (no
// console, a reader gone, a full event log), in NAME.log beside the capture
// files, never through a link. Such a face sets Face::errorsNeedOk to false:
// a line written needs no OK.
class HeadlessErrorView final : public ErrorView {
public:
    // channel writes one line and says whether it was taken; fileName is the
    // name capture uses now, empty before the first.
    HeadlessErrorView(std::function<bool(const std::string& line)> channel,
                      std::function<std::string()> fileName)
        : channel_(std::move(channel)), fileName_(std::move(fileName)) {}

    void showError(const std::string& text) override;
    // The last error said, on one line.
    const std::string& last() const { return last_; }

private:
    std::function<bool(const std::string&)> channel_;
    std::function<std::string()> fileName_;
    std::string last_;
};

// Where errors go when no channel takes them: beside the capture files, NAME.log.
std::string errorLogName(const std::string& fileName);

} // namespace kelmor::app
