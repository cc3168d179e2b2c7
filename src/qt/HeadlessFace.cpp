#include "HeadlessFace.h"

#include "QtSerialDriver.h"

#include <cstdio>

namespace kelmor::qt {

HeadlessFace::HeadlessFace(QObject* parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    app::Face face;
    face.portList = this;
    face.timer = this;
    face.errors = this;
    face.makeDriver = [this](app::DriverEvents& events) {
        return std::make_unique<QtSerialDriver>(events, this);
    };
    form_ = std::make_unique<app::Form1>(std::move(face));
    connect(&timer_, &QTimer::timeout, this, [this] { form_->Timer1_Timer(); });
    slices_.setSingleShot(true);
    slices_.setInterval(0);
    connect(&slices_, &QTimer::timeout, this, [this] { form_->backgroundSlice(); });
}

HeadlessFace::~HeadlessFace() {
    form_.reset();
}

void HeadlessFace::start(const app::Options& options) {
    form_->Form_Load();
    if (options.portText)
        setPortText(*options.portText);
    form_->startCapture(options.save, true);
}

void HeadlessFace::showError(const std::string& text) {
    if (repeats_.pass(text, app::RepeatFilter::Clock::now())) {
        std::fprintf(stderr, "kelmor-csv: %s\n", text.c_str());
        std::fflush(stderr);
    }
    // A printed line needs no OK: the next error may follow at once.
    QMetaObject::invokeMethod(
        this, [this] { form_->errorDismissed(); }, Qt::QueuedConnection);
}

} // namespace kelmor::qt
