#pragma once

#include "app/ErrorQueue.h"
#include "app/Geometry.h"
#include "app/LineSettings.h"
#include "app/PortNaming.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// What a face (the Qt window, the window-less mode, the Win32 window) gives
// Form1. Faces draw and forward; every decision is Form1's.
namespace kelmor::app {

// The port list: its items and its editable text.
class PortListView {
public:
    virtual void addPort(const std::string& item) = 0;
    virtual std::string portText() const = 0;
    virtual void setPortText(const std::string& text) = 0;

protected:
    ~PortListView() = default;
};

// The modal save dialog. It may run the event loop while open; events and
// ticks go on meanwhile.
class SaveDialogView {
public:
    // The confirmed name, as raw bytes the file system takes; nothing when
    // the user cancels.
    virtual std::optional<std::string> askFileName() = 0;

protected:
    ~SaveDialogView() = default;
};

// The periodic timer whose ticks run Form1::Timer1_Timer, and work done
// between events.
class TimerView {
public:
    // Sets the period and enables the timer; it is never stopped.
    virtual void startTicking(int periodMs) = 0;
    // Calls Form1::backgroundSlice once, as soon as the events that wait
    // have been handled, on the window's thread.
    virtual void runSoon() = 0;

protected:
    ~TimerView() = default;
};

// The window's place on the screen, in twips, and its first showing.
class WindowView {
public:
    virtual TwipsSize screenSize() const = 0;
    virtual TwipsSize outerSize() const = 0;
    virtual void moveTo(const TwipsPoint& origin) = 0;
    virtual void show() = 0;

protected:
    ~WindowView() = default;
};

// What a serial driver raises, always on the window's thread, never inside
// a call into the driver, one event per arrival and per error.
class DriverEvents {
public:
    virtual void arrived() = 0;
    // The device went away. The driver has closed the port already, and
    // hands over what it had received.
    virtual void lost(const std::string& reason, std::string received) = 0;
    // A write failed; the port stays open.
    virtual void writeFailed(const std::string& reason) = 0;

protected:
    ~DriverEvents() = default;
};

// A serial port as the platform offers it.
class SerialDriver {
public:
    virtual ~SerialDriver() = default;
    // Opens the device with the settings and raises DTR (a port that cannot
    // raise it is no error). Returns the system's reason on failure.
    [[nodiscard]] virtual std::optional<std::string> open(const PortDevice& device,
                                                          const LineSettings& settings) = 0;
    // Closes the port, first taking what the driver holds: a UART drops its
    // receive queue when it closes. Returns those bytes.
    [[nodiscard]] virtual std::string close() = 0;
    virtual bool isOpen() const = 0;
    // Removes and returns what waits; empty when nothing does.
    virtual std::string read() = 0;
    virtual void write(std::string_view bytes) = 0;
};

using DriverFactory = std::function<std::unique_ptr<SerialDriver>(DriverEvents&)>;

// A face's parts. Every face has a timer, a place for errors and serial
// drivers. The port list, the dialog and the window may be missing in a face
// without a window; then only the command line starts capture.
struct Face {
    TimerView& timer;
    ErrorView& errors;
    DriverFactory makeDriver;
    PortListView* portList = nullptr;
    SaveDialogView* dialog = nullptr;
    WindowView* window = nullptr;
    // A face that writes its errors to a system log says so here.
    ErrorQueue::Repeats errorRepeats = ErrorQueue::Repeats::AfterSuccessOrQuietTime;
    // A face that prints its errors: a line written needs no OK.
    bool errorsNeedOk = true;
    // The clock of the minute-long rules (an error seen once, a CSV file
    // retried): the system's, or a test's.
    std::function<ErrorQueue::Clock::time_point()> now = ErrorQueue::Clock::now;

    // A window that is all of the parts itself.
    template <typename Window> static Face of(Window& window, DriverFactory makeDriver) {
        return {window, window, std::move(makeDriver), &window, &window, &window};
    }
};

} // namespace kelmor::app
