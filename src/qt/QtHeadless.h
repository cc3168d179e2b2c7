#pragma once

#include "FormTimers.h"
#include "app/CommandLine.h"
#include "app/ErrorQueue.h"
#include "app/Face.h"
#include "app/Form1.h"
#include "app/HeadlessErrors.h"

#include <QObject>

#include <memory>
#include <string>

namespace kelmor::qt {

// Form1 without a window or a display: the command line names the port and
// the files, errors go to standard error, one line each (app::HeadlessErrorView).
class QtHeadless final : public QObject {
public:
    explicit QtHeadless(QObject* parent = nullptr);
    ~QtHeadless() override;

    // See Form1::start; the options hold a name (--save).
    void start(const app::Options& options) { form_->start(options); }
    void endCapture() { form_->endCapture(); }

private:
    app::HeadlessErrorView errors_;
    FormTimers timers_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::qt
