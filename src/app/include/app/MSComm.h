#pragma once

#include "app/CaptureNames.h"
#include "app/Face.h"
#include "app/LineSettings.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelmor::app {

// The serial control: port number, line settings, open and close, reading
// and writing raw bytes, one OnComm per arrival and per error, and winning a
// lost port back. The platform's serial API stays behind SerialDriver.
class MSComm final : public SerialLink, private DriverEvents {
public:
    // A lost port is tried again every this many timer ticks (1 s).
    static constexpr int ReconnectTicks = 10;

    // onComm runs for every event the driver raises: the OnComm event.
    MSComm(DriverFactory makeDriver, std::function<void()> onComm);
    ~MSComm() override;
    MSComm(const MSComm&) = delete;
    MSComm& operator=(const MSComm&) = delete;

    // The control's CommPort and PortOpen properties. Every read returns
    // the whole queue (InputLen 0), with the fixed line settings.
    int CommPort() const { return commPort_; }
    void setCommPort(int port) { commPort_ = port; }
    bool PortOpen() const;
    // Opens CommPort.
    [[nodiscard]] MaybeError open();
    // Closes on purpose, keeping what the driver held for the next Input.
    void close();
    // Opens another port while this one keeps running, or is being won
    // back; only once it is open does this one close. On failure nothing
    // changes.
    [[nodiscard]] MaybeError switchTo(int port);

    // SerialLink: Input, Output and whether the port is open.
    std::string input() override;
    void output(std::string_view bytes) override;
    bool isOpen() const override { return PortOpen(); }

    // The failures that raised OnComm since the last call.
    [[nodiscard]] std::vector<Error> takeErrors();

    // Reconnecting: after a loss, or after a reopen of the same port failed,
    // the port is tried again every ReconnectTicks ticks until it opens or a
    // port is opened or closed on purpose.
    void startReconnecting() { reconnectIn_ = ReconnectTicks; }
    void stopReconnecting() { reconnectIn_ = 0; }
    bool reconnecting() const { return reconnectIn_ > 0; }
    // One tick of the window's timer.
    void tick();

    // "Comm 3 (/dev/ttyUSB0)": the port and the device it opens.
    std::string portLabel(int port) const;

private:
    void arrived() override;
    void lost(const std::string& reason, std::string received) override;
    void writeFailed(const std::string& reason) override;
    [[nodiscard]] MaybeError openOn(SerialDriver& driver, int port);

    DriverFactory makeDriver_;
    std::function<void()> onComm_;
    std::unique_ptr<SerialDriver> driver_;
    int commPort_ = 1;
    // The device the port was opened on, for the report when it goes away
    // (by then its link may point nowhere).
    std::string openedLabel_;
    std::string openedDevice_;
    // Bytes taken from a port that closed, delivered by the next input().
    std::string stash_;
    std::vector<Error> errors_;
    int reconnectIn_ = 0;
};

} // namespace kelmor::app
