#pragma once

#include "FormTimers.h"
#include "app/Face.h"
#include "app/Form1.h"
#include "app/Layout.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace kelmor::win32 {

// The Win32 face of Form1: the window and its controls, the save dialog,
// the timers and the error box. It draws and forwards; Form1 decides.
class Win32Window final : public app::PortListView,
                          public app::SaveDialogView,
                          public app::ErrorView,
                          public app::WindowView {
public:
    // how: the way WinMain was asked to show the window.
    Win32Window(HINSTANCE instance, int how);
    ~Win32Window();
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    // See Form1::start; the window shows from there.
    void start(const app::Options& options) { form_->start(options); }
    // Runs the message loop until the window closes; the exit code.
    int run();
    void endCapture() { form_->endCapture(); }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    HWND control(const wchar_t* kind, DWORD style, const app::layout::Control& layout,
                 const std::wstring& text, int id);
    HFONT boldFont(double points) const;
    void fitFont(HWND control, const app::layout::Control& layout);

    void addPort(const std::string& item) override;
    std::string portText() const override;
    void setPortText(const std::string& text) override;
    std::optional<std::string> askFileName() override;
    void showError(const std::string& text) override;
    app::TwipsSize screenSize() const override;
    app::TwipsSize outerSize() const override;
    void moveTo(const app::TwipsPoint& origin) override;
    void show() override;

    HINSTANCE instance_;
    int how_;
    HWND window_ = nullptr;
    HWND Label1 = nullptr;
    HWND Label2 = nullptr;
    HWND Combo1 = nullptr;
    HWND cmdGetData = nullptr;
    std::wstring faceName_;
    std::deque<HFONT> fonts_;
    // The error the app layer asked to show, until its box opens.
    std::optional<std::string> error_;
    FormTimers timers_;
    std::unique_ptr<app::Form1> form_;
};

} // namespace kelmor::win32
