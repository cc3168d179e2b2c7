#include "Win32Headless.h"

#include "Console.h"
#include "Win32SerialDriver.h"
#include "app/ErrorQueue.h"
#include "capture/WindowsText.h"
#include "messages.h" // KELMOR_ERROR: the message table's one entry, "%1"

#include <cstdio>

namespace kelmor::win32 {

namespace {

constexpr wchar_t WindowClass[] = L"KelmorCsvCapture";
constexpr UINT Stop = WM_APP + 20;

} // namespace

Win32Headless::Win32Headless(Console) : Win32Headless(nullptr, {}) {}

Win32Headless::Win32Headless(Service service)
    : Win32Headless(HWND_MESSAGE, std::move(service.eventSource)) {}

Win32Headless::Win32Headless(HWND parent, std::wstring eventSource)
    : eventSource_(std::move(eventSource)),
      errors_([this](const std::string& line) { return say(line); },
              [this] { return form_ ? form_->fileName() : std::string(); }) {
    static const ATOM registered = [] {
        WNDCLASSW type{};
        type.lpfnWndProc = &Win32Headless::windowProc;
        type.hInstance = ::GetModuleHandleW(nullptr);
        type.lpszClassName = WindowClass;
        return ::RegisterClassW(&type);
    }();
    (void)registered;
    // Never shown.
    window_ = ::CreateWindowExW(0, WindowClass, L"KELMOR CSV File Creator (capturing)", 0, 0, 0, 0,
                                0, parent, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
        // No timers and no events without it: say why, and run() ends at once.
        errors_.showError("Cannot make the program's message window: " +
                          capture::windows::describe(::GetLastError()));
        stopping_ = true;
    }
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    const auto makeDriver = [](app::DriverEvents& events) {
        return std::make_unique<Win32SerialDriver>(events);
    };
    app::Face face{timers_, errors_, makeDriver};
    face.errorsNeedOk = false;
    if (!eventSource_.empty())
        face.errorRepeats = app::ErrorQueue::Repeats::AfterQuietTime;
    form_ = std::make_unique<app::Form1>(std::move(face));
    timers_.drive(window_, *form_);
}

Win32Headless::~Win32Headless() {
    form_.reset();
    ::DestroyWindow(window_);
    if (eventLog_ != nullptr)
        ::DeregisterEventSource(eventLog_);
}

void Win32Headless::run(const std::function<void()>& stillStopping) {
    MSG message{};
    while (!stopping_ && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    form_->endCapture(app::Form1::StopLimit, stillStopping);
}

void Win32Headless::stop() {
    stopping_ = true;
    // Queued behind the event in hand: it is finished first.
    ::PostMessageW(window_, Stop, 0, 0);
}

LRESULT CALLBACK Win32Headless::windowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Headless*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->form_ == nullptr)
        return ::DefWindowProcW(window, message, wParam, lParam);
    if (self->timers_.handle(message, wParam))
        return 0;
    switch (message) {
    case Stop:
        ::PostQuitMessage(0);
        return 0;
    case WM_CLOSE: // taskkill without /F
        self->stop();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The session ends once this returns: close the port now.
        if (wParam)
            self->form_->endCapture();
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

bool Win32Headless::say(const std::string& line) {
    return eventSource_.empty() ? writeToConsole("kelmor-csv: " + line + "\r\n", true)
                                : toEventLog(line);
}

bool Win32Headless::toEventLog(const std::string& line) {
    if (eventLog_ == nullptr)
        eventLog_ = ::RegisterEventSourceW(nullptr, eventSource_.c_str());
    const std::wstring wide = capture::windows::widen(line);
    LPCWSTR strings[] = {wide.c_str()};
    return eventLog_ != nullptr && ::ReportEventW(eventLog_, EVENTLOG_ERROR_TYPE, 0, KELMOR_ERROR,
                                                  nullptr, 1, 0, strings, nullptr);
}

} // namespace kelmor::win32
