#include "Win32SerialDriver.h"

#include "Service.h"
#include "capture/WindowsText.h"

#include <cstdlib>

namespace kelmor::win32 {

namespace {

constexpr UINT Arrived = WM_APP + 1;
constexpr UINT Lost = WM_APP + 2;
constexpr UINT WriteFailed = WM_APP + 3;
constexpr wchar_t MessengerClass[] = L"KelmorSerialMessenger";

// Waits for an overlapped operation; false with the error set on failure.
bool finish(HANDLE port, OVERLAPPED& op, BOOL started, DWORD& done) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING)
        return false;
    return ::GetOverlappedResult(port, &op, &done, TRUE) != 0;
}

} // namespace

Win32SerialDriver::Win32SerialDriver(app::DriverEvents& events) : events_(events) {
    static const ATOM registered = [] {
        WNDCLASSW type{};
        type.lpfnWndProc = &Win32SerialDriver::messages;
        type.hInstance = ::GetModuleHandleW(nullptr);
        type.lpszClassName = MessengerClass;
        return ::RegisterClassW(&type);
    }();
    (void)registered;
    messenger_ = ::CreateWindowExW(0, MessengerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr);
    ::SetWindowLongPtrW(messenger_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Without them no event could reach the window: every open says so.
    if (messenger_ == nullptr || stop_ == nullptr)
        cannotWork_ = capture::windows::describe(::GetLastError());
}

Win32SerialDriver::~Win32SerialDriver() {
    (void)close();
    // Messages still queued for this driver go with its window.
    ::DestroyWindow(messenger_);
    ::CloseHandle(stop_);
}

std::optional<std::string> Win32SerialDriver::open(const app::PortDevice& port,
                                                   const app::LineSettings& settings) {
    if (isOpen())
        return std::nullopt;
    if (!cannotWork_.empty())
        return cannotWork_;
    const std::string& device = port.path;
    const auto inUse = [&] {
        // A capture service of ours is named: the user can stop it.
        if (const auto service = serviceHolding(port.port))
            return "the port is in use by the capture service " + *service;
        return std::string("the port is in use by another program");
    };
    if (!lockPort(device))
        return inUse();
    port_ = ::CreateFileW(capture::windows::widen(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        unlockPort();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION)
            return inUse();
        return capture::windows::describe(code);
    }
    const auto refused = [this] {
        const std::string why = capture::windows::describe(::GetLastError());
        ::CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        unlockPort();
        return why;
    };
    DCB line{};
    line.DCBlength = sizeof line;
    if (!::GetCommState(port_, &line))
        return refused();
    line.BaudRate = static_cast<DWORD>(settings.baud);
    line.ByteSize = static_cast<BYTE>(settings.dataBits);
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    // No handshaking; DTR up while open, RTS down.
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fNull = FALSE;
    line.fAbortOnError = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    if (!::SetCommState(port_, &line))
        return refused();
    // A port without modem lines refuses DTR; that is no reason to fail.
    ::EscapeCommFunction(port_, SETDTR);
    // A read of one byte waits at most 100 ms, then the reader looks again.
    // (Wine over a pseudo-terminal: the usual MAXDWORD/MAXDWORD/N timeouts
    // never complete and MAXDWORD/0/0 blocks, so the plain total timeout is
    // the one setting that behaves the same on both.)
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutConstant = 1000;
    ::SetCommTimeouts(port_, &timeouts);
    ::PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
    ::ResetEvent(stop_);
    {
        const std::lock_guard guard(lock_);
        lostReason_.clear();
    }
    reader_ = std::thread([this] { readLoop(); });
    return std::nullopt;
}

void Win32SerialDriver::readLoop() {
    OVERLAPPED op{};
    op.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (op.hEvent == nullptr) { // nothing could be read: the port is as good as lost
        {
            const std::lock_guard guard(lock_);
            lostReason_ = capture::windows::describe(::GetLastError());
        }
        ::PostMessageW(messenger_, Lost, 0, 0);
        return;
    }
    const auto stopping = [this](DWORD waitMs) {
        return ::WaitForSingleObject(stop_, waitMs) == WAIT_OBJECT_0;
    };
    for (;;) {
        // One byte at a time wakes the reader as soon as anything arrives;
        // the rest of what is queued follows in one read.
        char first = 0;
        DWORD got = 0;
        ::ResetEvent(op.hEvent);
        const ULONGLONG began = ::GetTickCount64();
        BOOL ok = ::ReadFile(port_, &first, 1, nullptr, &op);
        DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
        if (!ok && code == ERROR_IO_PENDING) {
            HANDLE waits[] = {op.hEvent, stop_};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIoEx(port_, &op);
                ::GetOverlappedResult(port_, &op, &got, TRUE);
                break;
            }
        }
        if (ok || code == ERROR_IO_PENDING) {
            ok = ::GetOverlappedResult(port_, &op, &got, FALSE);
            code = ok ? ERROR_SUCCESS : ::GetLastError();
        }
        if (!ok && code != ERROR_TIMEOUT && code != ERROR_OPERATION_ABORTED) {
            // The device is gone (Wine after an unplug: ERROR_BROKEN_PIPE at
            // once, every call). Report once and stop; never spin.
            {
                const std::lock_guard guard(lock_);
                lostReason_ = capture::windows::describe(code);
            }
            ::PostMessageW(messenger_, Lost, 0, 0);
            break;
        }
        if (got == 0) {
            // The total timeout expired: Windows completes with 0 bytes, Wine
            // fails with ERROR_TIMEOUT. Should either come back at once, wait
            // a little rather than spin.
            if (stopping(::GetTickCount64() - began < 5 ? 5 : 0))
                break;
            continue;
        }
        std::string bytes(1, first);
        bytes += drainQueue();
        {
            const std::lock_guard guard(lock_);
            received_ += bytes;
        }
        ::PostMessageW(messenger_, Arrived, 0, 0);
    }
    ::CloseHandle(op.hEvent);
}

std::string Win32SerialDriver::drainQueue() {
    std::string bytes;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port_, &errors, &status) || status.cbInQue == 0)
        return bytes;
    bytes.resize(status.cbInQue);
    OVERLAPPED op{};
    op.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (op.hEvent == nullptr) // the bytes stay queued for the next read
        return {};
    DWORD got = 0;
    const BOOL started = ::ReadFile(port_, bytes.data(), status.cbInQue, nullptr, &op);
    if (!finish(port_, op, started, got))
        got = 0;
    ::CloseHandle(op.hEvent);
    bytes.resize(got);
    return bytes;
}

void Win32SerialDriver::stopReader() {
    if (!reader_.joinable())
        return;
    ::SetEvent(stop_);
    reader_.join();
}

std::string Win32SerialDriver::close() {
    if (!isOpen())
        return {};
    stopReader();
    // A UART drops its receive queue when the port closes: take it first.
    std::string bytes = drainQueue();
    ::CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    unlockPort();
    const std::lock_guard guard(lock_);
    return std::exchange(received_, {}) + bytes;
}

bool Win32SerialDriver::lockPort(const std::string& device) {
    // Windows lets one program at a time open a port; Wine lets any number.
    // A mutex per port keeps two captures of ours apart on both, across
    // sessions: one in a service's session that this one may not open is
    // held as surely as one it may.
    const std::wstring name = L"Global\\kelmor-csv port " +
                              capture::windows::widen(device.substr(device.rfind('\\') + 1));
    portLock_ = ::CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD code = ::GetLastError();
    if (portLock_ == nullptr)
        return code != ERROR_ACCESS_DENIED;
    if (code == ERROR_ALREADY_EXISTS) {
        unlockPort();
        return false;
    }
    return true;
}

void Win32SerialDriver::unlockPort() {
    if (portLock_ != nullptr)
        ::CloseHandle(portLock_);
    portLock_ = nullptr;
}

std::string Win32SerialDriver::read() {
    const std::lock_guard guard(lock_);
    return std::exchange(received_, {});
}

void Win32SerialDriver::write(std::string_view bytes) {
    if (!isOpen())
        return;
    OVERLAPPED op{};
    op.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    bool ok = false;
    if (op.hEvent != nullptr) {
        const BOOL started =
            ::WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &op);
        ok = finish(port_, op, started, done) && done == bytes.size();
    }
    const DWORD code = ::GetLastError();
    if (op.hEvent != nullptr)
        ::CloseHandle(op.hEvent);
    if (!ok) {
        // Raised from the message queue, not from inside this call.
        {
            const std::lock_guard guard(lock_);
            writeFailure_ = capture::windows::describe(code);
        }
        ::PostMessageW(messenger_, WriteFailed, 0, 0);
    }
}

LRESULT CALLBACK Win32SerialDriver::messages(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    auto* self = reinterpret_cast<Win32SerialDriver*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr)
        return ::DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
    case Arrived:
        self->events_.arrived();
        return 0;
    case Lost: {
        if (!self->isOpen())
            return 0;
        std::string bytes = self->close();
        std::string reason;
        {
            const std::lock_guard guard(self->lock_);
            reason = self->lostReason_;
        }
        self->events_.lost(reason, std::move(bytes));
        return 0;
    }
    case WriteFailed: {
        std::string reason;
        {
            const std::lock_guard guard(self->lock_);
            reason = self->writeFailure_;
        }
        self->events_.writeFailed(reason);
        return 0;
    }
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace kelmor::win32
