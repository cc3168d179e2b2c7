#include "app/MSComm.h"

#include "app/PortNaming.h"
#include "app/PortText.h"

#include <utility>

namespace kelmor::app {

MSComm::MSComm(DriverFactory makeDriver, std::function<void()> onComm)
    : makeDriver_(std::move(makeDriver)), onComm_(std::move(onComm)) {}

MSComm::~MSComm() = default;

bool MSComm::PortOpen() const {
    return driver_ && driver_->isOpen();
}

namespace {
std::string label(int port, const std::string& device) {
    return portText(port) + " (" + device + ")";
}
} // namespace

std::string MSComm::portLabel(int port) const {
    return label(port, deviceForPort(port).path);
}

MaybeError MSComm::openOn(SerialDriver& driver, int port) {
    const PortDevice device = deviceForPort(port);
    if (device.dangling)
        return Error{"Cannot open port", label(port, device.path),
                     "the link " + device.link + " points to no device"};
    if (auto reason = driver.open(device, Line19200N81))
        return Error{"Cannot open port", label(port, device.path), *reason};
    openedLabel_ = label(port, device.path);
    openedDevice_ = device.path;
    return std::nullopt;
}

MaybeError MSComm::open() {
    stopReconnecting();
    if (PortOpen())
        return std::nullopt;
    if (!driver_)
        driver_ = makeDriver_(*this);
    return openOn(*driver_, commPort_);
}

void MSComm::close() {
    stopReconnecting();
    if (PortOpen())
        stash_ += driver_->close();
}

MaybeError MSComm::switchTo(int port) {
    if (PortOpen()) {
        // Two names for one adapter: the system would call it busy, and name
        // this very program.
        if (const PortDevice device = deviceForPort(port); device.path == openedDevice_)
            return Error{"Cannot open port", label(port, device.path),
                         "it is the device this window is already capturing from"};
    }
    std::unique_ptr<SerialDriver> next = makeDriver_(*this);
    if (auto err = openOn(*next, port))
        return err;
    stopReconnecting();
    if (driver_ && driver_->isOpen())
        stash_ += driver_->close();
    driver_ = std::move(next);
    commPort_ = port;
    return std::nullopt;
}

std::string MSComm::input() {
    std::string bytes = std::exchange(stash_, {});
    if (PortOpen())
        bytes += driver_->read();
    return bytes;
}

void MSComm::output(std::string_view bytes) {
    if (PortOpen())
        driver_->write(bytes);
}

std::vector<Error> MSComm::takeErrors() {
    return std::exchange(errors_, {});
}

void MSComm::tick() {
    if (!reconnecting() || --reconnectIn_ > 0)
        return;
    // Failures while the device is away were reported once already.
    if (!driver_)
        driver_ = makeDriver_(*this);
    if (openOn(*driver_, commPort_))
        startReconnecting();
}

void MSComm::arrived() {
    onComm_();
}

void MSComm::lost(const std::string& reason, std::string received) {
    stash_ += received;
    errors_.push_back(Error{"Lost the connection to port", openedLabel_, reason});
    startReconnecting();
    onComm_();
}

void MSComm::writeFailed(const std::string& reason) {
    errors_.push_back(Error{"Cannot write to port", portLabel(commPort_), reason});
    onComm_();
}

} // namespace kelmor::app
