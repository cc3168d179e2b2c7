#pragma once

#include "app/Face.h"
#include "app/Form1.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kelmor::win32 {

// Timer1, whose ticks run Timer1_Timer, and the background slices, run once
// the messages that wait have been handled: the timer part of both Win32
// faces, on their window's thread.
class FormTimers final : public app::TimerView {
public:
    // The window whose messages carry the ticks, and the form they drive.
    void drive(HWND window, app::Form1& form) {
        window_ = window;
        form_ = &form;
    }

    void startTicking(int periodMs) override {
        ::SetTimer(window_, Timer1Id, static_cast<UINT>(periodMs), nullptr);
    }

    void runSoon() override {
        // Posted messages come before input, painting and timers: when any of
        // those wait, the next slice waits for them behind a timer.
        if (HIWORD(::GetQueueStatus(QS_INPUT | QS_PAINT | QS_TIMER)) != 0)
            ::SetTimer(window_, SliceTimerId, USER_TIMER_MINIMUM, nullptr);
        else
            ::PostMessageW(window_, Slice, 0, 0);
    }

    // Whether the message was the timers'; it has been handled then.
    bool handle(UINT message, WPARAM wParam) {
        if (message == WM_TIMER && wParam == Timer1Id) {
            form_->Timer1_Timer();
            return true;
        }
        if (message == WM_TIMER && wParam == SliceTimerId) {
            ::KillTimer(window_, SliceTimerId);
            form_->backgroundSlice();
            return true;
        }
        if (message == Slice) {
            form_->backgroundSlice();
            return true;
        }
        return false;
    }

private:
    static constexpr UINT_PTR Timer1Id = 1;
    static constexpr UINT_PTR SliceTimerId = 2;
    static constexpr UINT Slice = WM_APP + 11;

    HWND window_ = nullptr;
    app::Form1* form_ = nullptr;
};

} // namespace kelmor::win32
