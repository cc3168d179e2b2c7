#pragma once

#include "app/CommandLine.h"
#include "app/ErrorQueue.h"
#include "app/Face.h"
#include "app/Form1.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <string>

namespace kelmor::qt {

// Form1 without a window or a display: the command line names the port and
// the files, errors go to standard error, one line each.
class HeadlessFace final : public QObject,
                           private app::PortListView,
                           private app::TimerView,
                           private app::ErrorView {
public:
    explicit HeadlessFace(QObject* parent = nullptr);
    ~HeadlessFace() override;

    // Starts capture as the options say; they hold a name (--save).
    void start(const app::Options& options);
    void endCapture() { form_->endCapture(); }

private:
    void addPort(const std::string&) override {}
    std::string portText() const override { return portText_; }
    void setPortText(const std::string& text) override { portText_ = text; }
    void startTicking(int periodMs) override { timer_.start(periodMs); }
    void runSoon() override { slices_.start(); }
    void showError(const std::string& text) override;

    std::string portText_;
    QTimer timer_;
    QTimer slices_;
    app::RepeatFilter repeats_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::qt
