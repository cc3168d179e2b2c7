#include "Win32Window.h"

#include "Win32SerialDriver.h"
#include "app/ErrorQueue.h"
#include "app/Layout.h"
#include "capture/WindowsText.h"

#include <commdlg.h>

#include <cmath>
#include <vector>

namespace kelmor::win32 {

namespace {

namespace layout = app::layout;
using capture::windows::narrow;
using capture::windows::widen;

constexpr wchar_t WindowClass[] = L"KelmorCsvFileCreator";
constexpr UINT ShowError = WM_APP + 10;
constexpr int GetDataId = 1001;
constexpr int ComboId = 1002;
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

int px(int twips) {
    return app::twipsToPixels(twips);
}

// MS Sans Serif where the system has it, else the system's dialog font.
std::wstring chooseFace(HDC dc) {
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    wcscpy_s(wanted.lfFaceName, L"MS Sans Serif");
    bool found = false;
    ::EnumFontFamiliesExW(
        dc, &wanted,
        [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) -> int {
            *reinterpret_cast<bool*>(found) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    if (found)
        return L"MS Sans Serif";
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return metrics.lfMessageFont.lfFaceName;
}

} // namespace

Win32Window::Win32Window(HINSTANCE instance, int how) : instance_(instance), how_(how) {
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = &Win32Window::windowProc;
    type.hInstance = instance;
    type.hIcon = ::LoadIconW(instance, L"IDI_ICON1");
    type.hIconSm = type.hIcon;
    type.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = WindowClass;
    ::RegisterClassExW(&type);

    RECT outer{0, 0, px(layout::ClientWidth), px(layout::ClientHeight)};
    ::AdjustWindowRectEx(&outer, WindowStyle, FALSE, 0);
    window_ = ::CreateWindowExW(0, WindowClass, widen(layout::Caption).c_str(), WindowStyle,
                                CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                                outer.bottom - outer.top, nullptr, nullptr, instance, this);

    HDC dc = ::GetDC(window_);
    faceName_ = chooseFace(dc);
    ::ReleaseDC(window_, dc);

    // Created in tab order: the port list, then the button; labels take no
    // focus.
    Label1 = control(L"STATIC", SS_LEFT, layout::Label1, widen(layout::Label1.text), 0);
    Label2 = control(L"STATIC", SS_LEFT, layout::Label2, widen(layout::Label2.text), 0);
    Combo1 =
        control(L"COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN, layout::Combo1, L"", ComboId);
    cmdGetData = control(L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, layout::cmdGetData,
                         widen(layout::cmdGetData.text), GetDataId);
    fitFont(Label1, layout::Label1);
    fitFont(Label2, layout::Label2);
    fitFont(Combo1, layout::Combo1);
    fitFont(cmdGetData, layout::cmdGetData);

    const auto makeDriver = [](app::DriverEvents& events) {
        return std::make_unique<Win32SerialDriver>(events);
    };
    form_ = std::make_unique<app::Form1>(app::Face{timers_, *this, makeDriver, this, this, this});
    timers_.drive(window_, *form_);
}

Win32Window::~Win32Window() {
    form_.reset();
    if (::IsWindow(window_))
        ::DestroyWindow(window_);
    for (HFONT font : fonts_)
        ::DeleteObject(font);
}

HWND Win32Window::control(const wchar_t* kind, DWORD style, const app::layout::Control& c,
                          const std::wstring& text, int id) {
    // A drop-down's height includes its open list.
    const int height = std::wstring(kind) == L"COMBOBOX" ? px(c.height) + 240 : px(c.height);
    return ::CreateWindowExW(0, kind, text.c_str(), WS_CHILD | WS_VISIBLE | style, px(c.left),
                             px(c.top), px(c.width), height, window_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
}

HFONT Win32Window::boldFont(double points) const {
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return ::CreateFontW(-static_cast<int>(std::lround(points * dpi / 72.0)), 0, 0, 0, FW_BOLD,
                         FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                         CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                         faceName_.c_str());
}

void Win32Window::fitFont(HWND target, const app::layout::Control& c) {
    const std::wstring text = widen(c.widest);
    HDC dc = ::GetDC(target);
    const double points = layout::fittedPoints(c, [&](double size, int width, int height) {
        HFONT font = boldFont(size);
        HGDIOBJ old = ::SelectObject(dc, font);
        SIZE extent{};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        ::SelectObject(dc, old);
        ::DeleteObject(font);
        return extent.cx <= width && extent.cy <= height;
    });
    ::ReleaseDC(target, dc);
    HFONT chosen = boldFont(points);
    fonts_.push_back(chosen);
    ::SendMessageW(target, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), TRUE);
}

void Win32Window::show() {
    ::ShowWindow(window_, how_);
    ::UpdateWindow(window_);
    ::SetFocus(Combo1);
}

int Win32Window::run() {
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab between the controls; Return presses the focused button.
        if (::IsDialogMessageW(window_, &message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

LRESULT CALLBACK Win32Window::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->form_ == nullptr)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT Win32Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (timers_.handle(message, wParam))
        return 0;
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == GetDataId && HIWORD(wParam) == BN_CLICKED) {
            form_->cmdGetData_Click();
            return 0;
        }
        break;
    case ShowError:
        // Shown from its own message, never from inside a handler: the box's
        // modal loop runs other events meanwhile, and capture goes on.
        if (error_) {
            const std::string text = *error_;
            error_.reset();
            ::MessageBoxW(window_, widen(app::wrappableText(text)).c_str(),
                          widen(layout::Caption).c_str(), MB_OK | MB_ICONERROR);
            form_->errorDismissed();
        }
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Win32Window::addPort(const std::string& item) {
    ::SendMessageW(Combo1, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(item).c_str()));
}

std::string Win32Window::portText() const {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(Combo1)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(Combo1, text.data(), static_cast<int>(text.size()))));
    return narrow(text);
}

void Win32Window::setPortText(const std::string& text) {
    ::SetWindowTextW(Combo1, widen(text).c_str());
}

std::optional<std::string> Win32Window::askFileName() {
    std::vector<wchar_t> name(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    // No filter, no default extension, no overwrite prompt (capture
    // appends); the program's folder stays where it started, so a cancelled
    // first dialog writes .txt and .csv there.
    dialog.Flags = OFN_NOCHANGEDIR | OFN_EXPLORER;
    if (!::GetSaveFileNameW(&dialog))
        return std::nullopt;
    return narrow(name.data());
}

void Win32Window::showError(const std::string& text) {
    // The app layer shows one error at a time: the next comes once this one
    // is dismissed.
    error_ = text;
    ::PostMessageW(window_, ShowError, 0, 0);
}

app::TwipsSize Win32Window::screenSize() const {
    return {app::pixelsToTwips(::GetSystemMetrics(SM_CXSCREEN)),
            app::pixelsToTwips(::GetSystemMetrics(SM_CYSCREEN))};
}

app::TwipsSize Win32Window::outerSize() const {
    RECT outer{};
    ::GetWindowRect(window_, &outer);
    return {app::pixelsToTwips(outer.right - outer.left),
            app::pixelsToTwips(outer.bottom - outer.top)};
}

void Win32Window::moveTo(const app::TwipsPoint& origin) {
    ::SetWindowPos(window_, nullptr, app::twipsToPixels(origin.left),
                   app::twipsToPixels(origin.top), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace kelmor::win32
