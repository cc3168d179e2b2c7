#include "window/ErrorReporter.h"

#include <QMessageBox>
#include <QWidget>

namespace kelmor {

namespace {
// Enough to show every different fault; a runaway source cannot grow it.
constexpr int MaxQueued = 20;
} // namespace

ErrorReporter::ErrorReporter(QWidget* window) : QObject(window), window_(window) {}

void ErrorReporter::report(const QString& message) {
    if ((box_ && message == shown_) || queued_.contains(message))
        return;
    if (box_) {
        if (queued_.size() < MaxQueued)
            queued_.append(message);
        return;
    }
    shown_ = message;
    auto* box = new QMessageBox(QMessageBox::Critical, window_->windowTitle(), message,
                                QMessageBox::Ok, window_);
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setDefaultButton(QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QObject::destroyed, this, &ErrorReporter::showNext, Qt::QueuedConnection);
    box_ = box;
    // open(), not exec(): no event loop runs inside the caller's handler.
    box->open();
}

void ErrorReporter::showNext() {
    if (box_ || queued_.isEmpty())
        return;
    report(queued_.takeFirst());
}

} // namespace kelmor
