#include "QtHeadless.h"

#include "QtSerialDriver.h"

#include <cstdio>

namespace kelmor::qt {

namespace {

// One line each; a failed write (a log reader gone) is no reason to stop.
bool toStandardError(const std::string& line) {
    return std::fprintf(stderr, "kelmor-csv: %s\n", line.c_str()) >= 0 && std::fflush(stderr) == 0;
}

} // namespace

QtHeadless::QtHeadless(QObject* parent)
    : QObject(parent),
      errors_(toStandardError, [this] { return form_ ? form_->fileName() : std::string(); }) {
    const auto makeDriver = [](app::DriverEvents& events) {
        return std::make_unique<QtSerialDriver>(events); // owned by Form1 alone, no Qt parent
    };
    app::Face face{timers_, errors_, makeDriver};
    face.errorsNeedOk = false;
    form_ = std::make_unique<app::Form1>(std::move(face));
    timers_.drive(*form_);
}

QtHeadless::~QtHeadless() {
    form_.reset();
}

} // namespace kelmor::qt
