#pragma once

#include "app/Face.h"
#include "app/Form1.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::test {

using namespace kelmor::capture;

// A device at the end of a fake serial line. Like a UART, its driver drops
// what it holds when the port closes, unless close() hands it over.
struct FakeDevice {
    std::string path; // the device name Comm N opens
    bool plugged = true;
    std::string held;                  // received by the driver, not yet read
    std::string closing;               // arrives as the port closes: only close() has it
    std::string written;               // what the program sent
    std::optional<std::string> refuse; // why open fails, if it does
    app::LineSettings settings;        // as last opened
    int opens = 0;                     // attempts
};

class FakeDriver;

// Form1 with every face part faked: a port list, a dialog whose answers the
// test queues, a timer the test ticks, errors the test dismisses, and devices
// behind named paths.
class AppRig : public app::PortListView,
               public app::SaveDialogView,
               public app::TimerView,
               public app::ErrorView,
               public app::WindowView {
public:
    AppRig();
    ~AppRig();

    // Binds "Comm N" to a fake device (on Unix through the link folder).
    FakeDevice& bind(int port);
    FakeDevice& device(int port) { return devices_.at(port); }

    // The device sends bytes: one arrival event if its port is open.
    void send(int port, const std::string& bytes);
    // The device sends bytes the driver holds but has not announced yet.
    void sendQuietly(int port, const std::string& bytes) { device(port).held += bytes; }
    // Bytes that reach the driver only as the port closes, after the last read.
    void sendAsItCloses(int port, const std::string& bytes) { device(port).closing += bytes; }
    // The device goes away: its driver closes and reports the loss.
    void unplug(int port);

    // Presses "Save As"; the dialog answers with the name, or cancels.
    void saveAs(const std::optional<std::string>& name);
    // Timer ticks, if the timer runs.
    void ticks(int n);
    std::size_t acks(int port);
    // The user presses OK on the error shown.
    void dismiss();

    // Face parts.
    void addPort(const std::string& item) override { items.push_back(item); }
    std::string portText() const override { return text; }
    void setPortText(const std::string& t) override { text = t; }
    std::optional<std::string> askFileName() override;
    void startTicking(int periodMs) override { timerPeriod = periodMs; }
    void runSoon() override { ++sliceRequests; }
    // Runs the background slices asked for, until none is.
    void idle();
    void showError(const std::string& t) override { shown.push_back(t); }
    app::TwipsSize screenSize() const override { return {15360, 11520}; }
    app::TwipsSize outerSize() const override { return {4410, 1815}; }
    void moveTo(const app::TwipsPoint& origin) override { movedTo = origin; }
    void show() override { windowShown = true; }

    // The clock of the minute-long rules, which the test moves on.
    app::ErrorQueue::Clock::time_point now = app::ErrorQueue::Clock::now();
    TempDir config;
    ScopedEnv configHome{"XDG_CONFIG_HOME", config.path()};
    TempDir out;
    std::vector<std::string> items;
    std::string text;
    std::deque<std::optional<std::string>> answers;
    int timerPeriod = 0;
    int sliceRequests = 0;
    std::vector<std::string> shown;
    std::optional<app::TwipsPoint> movedTo;
    bool windowShown = false;

    std::map<int, FakeDevice> devices_;
    std::vector<FakeDriver*> drivers_;
    std::unique_ptr<app::Form1> form;
};

class FakeDriver final : public app::SerialDriver {
public:
    FakeDriver(AppRig& rig, app::DriverEvents& events);
    ~FakeDriver() override;

    std::optional<std::string> open(const app::PortDevice& device,
                                    const app::LineSettings& settings) override;
    std::string close() override;
    bool isOpen() const override { return device_ != nullptr; }
    std::string read() override;
    void write(std::string_view bytes) override;

    FakeDevice* device_ = nullptr;
    app::DriverEvents& events_;

private:
    AppRig& rig_;
};

} // namespace kelmor::test
