#pragma once

#include "FormTimers.h"
#include "app/CommandLine.h"
#include "app/Face.h"
#include "app/Form1.h"
#include "app/HeadlessErrors.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace kelmor::win32 {

// Form1 without a window, for --headless and for the service: the command
// line names the port and the files. Errors go to standard error (the
// console mode) or to the event log (the service), one line each, and to
// NAME.log beside the capture files where neither takes them. Never a box.
class Win32Headless final {
public:
    struct Console {};
    struct Service {
        std::wstring eventSource;
    };
    // At a console: a hidden window, so that taskkill and a logoff end it
    // cleanly.
    explicit Win32Headless(Console);
    // Under the service manager: a message-only window, which no program of
    // the desktop can close.
    explicit Win32Headless(Service service);
    ~Win32Headless();
    Win32Headless(const Win32Headless&) = delete;
    Win32Headless& operator=(const Win32Headless&) = delete;

    // See Form1::start; the options hold a name (--save).
    void start(const app::Options& options) { form_->start(options); }
    // Handles the thread's messages until stop(), then ends the capture
    // (Form1::endCapture), calling stillStopping while it finishes.
    void run(const std::function<void()>& stillStopping = {});
    // From any thread: the event in hand is finished, then run() returns.
    void stop();

    // Whether the port is open, and the last error said, as the start left them.
    bool capturing() const { return form_->comm().PortOpen(); }
    const std::string& lastError() const { return errors_.last(); }

private:
    Win32Headless(HWND parent, std::wstring eventSource);
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // One line to standard error or the event log; whether it was taken.
    bool say(const std::string& line);
    bool toEventLog(const std::string& line);

    HWND window_ = nullptr;
    std::wstring eventSource_; // empty: standard error
    HANDLE eventLog_ = nullptr;
    std::atomic<bool> stopping_ = false;
    app::HeadlessErrorView errors_;
    FormTimers timers_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::win32
