#include "HeadlessFace.h"

#include "QtSerialDriver.h"

#include <cstdio>

namespace kelmor::qt {

HeadlessFace::HeadlessFace(QObject* parent) : QObject(parent) {
    const auto makeDriver = [this](app::DriverEvents& events) {
        return std::make_unique<QtSerialDriver>(events, this);
    };
    app::Face face{timers_, *this, makeDriver};
    face.portList = this;
    form_ = std::make_unique<app::Form1>(std::move(face));
    timers_.drive(*form_);
}

HeadlessFace::~HeadlessFace() {
    form_.reset();
}

void HeadlessFace::showError(const std::string& text) {
    // One line each; a failed write (a log reader gone) is no reason to stop.
    std::fprintf(stderr, "kelmor-csv: %s\n", app::oneLine(text).c_str());
    std::fflush(stderr);
    // A printed line needs no OK: the next error may follow at once.
    QMetaObject::invokeMethod(
        this, [this] { form_->errorDismissed(); }, Qt::QueuedConnection);
}

} // namespace kelmor::qt
