#pragma once

#include "app/Face.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace kelmor::win32 {

// The serial driver over the Win32 comm API: the only code that knows it.
// A reader thread waits for bytes and hands them to the window's thread
// through a message-only window, so every event reaches the app layer on the
// window's thread, one per arrival, never inside a call into the driver.
class Win32SerialDriver final : public app::SerialDriver {
public:
    explicit Win32SerialDriver(app::DriverEvents& events);
    ~Win32SerialDriver() override;
    Win32SerialDriver(const Win32SerialDriver&) = delete;
    Win32SerialDriver& operator=(const Win32SerialDriver&) = delete;

    std::optional<std::string> open(const app::PortDevice& device,
                                    const app::LineSettings& settings) override;
    std::string close() override;
    bool isOpen() const override { return port_ != INVALID_HANDLE_VALUE; }
    std::string read() override;
    void write(std::string_view bytes) override;

private:
    static LRESULT CALLBACK messages(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void readLoop();
    void stopReader();
    // Whether no other capture of ours has the device; then it is ours until
    // unlockPort().
    bool lockPort(const std::string& device);
    void unlockPort();
    // Whatever the driver's queue holds, without waiting.
    std::string drainQueue();

    app::DriverEvents& events_;
    HWND messenger_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    HANDLE portLock_ = nullptr;
    std::thread reader_;
    std::mutex lock_;
    std::string received_;     // guarded by lock_
    std::string lostReason_;   // guarded by lock_
    std::string writeFailure_; // guarded by lock_
    std::string cannotWork_;   // why the driver's window or event could not be made
};

} // namespace kelmor::win32
