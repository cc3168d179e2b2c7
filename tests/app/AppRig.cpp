#include "AppRig.h"

#include "app/PortNaming.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace kelmor::test {

using namespace kelmor::capture;

AppRig::AppRig() {
    app::Face face = app::Face::of(*this, [this](app::DriverEvents& events) {
        return std::make_unique<FakeDriver>(*this, events);
    });
    face.now = [this] { return now; };
    form = std::make_unique<app::Form1>(std::move(face));
    form->start({});
}

AppRig::~AppRig() {
    form.reset();
}

FakeDevice& AppRig::bind(int port) {
    FakeDevice& device = devices_[port];
#ifdef _WIN32
    device.path = app::deviceForPort(port).path;
#else
    const std::filesystem::path folder = config.path() + "/kelmor-csv";
    std::filesystem::create_directories(folder);
    const auto link = folder / ("com" + std::to_string(port));
    std::filesystem::remove(link);
    const std::string target = config.path() + "/dev" + std::to_string(port);
    writeFile(target, "");
    std::filesystem::create_symlink(target, link);
    device.path = std::filesystem::canonical(target).string();
#endif
    device.plugged = true;
    return device;
}

void AppRig::send(int port, const std::string& bytes) {
    device(port).held += bytes;
    for (FakeDriver* driver : drivers_)
        if (driver->device_ == &device(port))
            driver->events_.arrived();
}

void AppRig::unplug(int port) {
    FakeDevice& gone = device(port);
    gone.plugged = false;
#ifndef _WIN32
    std::filesystem::remove(config.path() + "/dev" + std::to_string(port)); // its link dangles
#endif
    for (FakeDriver* driver : drivers_) {
        if (driver->device_ == &gone) {
            std::string held = std::exchange(gone.held, {});
            driver->device_ = nullptr;
            driver->events_.lost("Input/output error", std::move(held));
        }
    }
}

void AppRig::saveAs(const std::optional<std::string>& name) {
    answers.push_back(name);
    form->cmdGetData_Click();
}

void AppRig::ticks(int n) {
    for (int i = 0; i < n && timerPeriod > 0; ++i)
        form->Timer1_Timer();
}

std::size_t AppRig::acks(int port) {
    return static_cast<std::size_t>(
        std::count(device(port).written.begin(), device(port).written.end(), '\x06'));
}

void AppRig::idle() {
    while (sliceRequests > 0) {
        --sliceRequests;
        form->backgroundSlice();
    }
}

void AppRig::dismiss() {
    form->errorDismissed();
}

std::optional<std::string> AppRig::askFileName() {
    if (answers.empty())
        throw std::logic_error("the dialog opened with no answer queued");
    auto name = answers.front();
    answers.pop_front();
    return name;
}

FakeDriver::FakeDriver(AppRig& rig, app::DriverEvents& events) : events_(events), rig_(rig) {
    rig_.drivers_.push_back(this);
}

FakeDriver::~FakeDriver() {
    std::erase(rig_.drivers_, this);
}

std::optional<std::string> FakeDriver::open(const app::PortDevice& device,
                                            const app::LineSettings& settings) {
    for (auto& [port, candidate] : rig_.devices_) {
        if (candidate.path != device.path)
            continue;
        ++candidate.opens;
        if (!candidate.plugged)
            return "No such file or directory";
        if (candidate.refuse)
            return candidate.refuse;
        device_ = &candidate;
        device_->settings = settings;
        return std::nullopt;
    }
    return "No such file or directory";
}

std::string FakeDriver::close() {
    std::string held = device_ != nullptr
                           ? std::exchange(device_->held, {}) + std::exchange(device_->closing, {})
                           : std::string();
    device_ = nullptr;
    return held;
}

std::string FakeDriver::read() {
    return device_ != nullptr ? std::exchange(device_->held, {}) : std::string();
}

void FakeDriver::write(std::string_view bytes) {
    if (device_ != nullptr)
        device_->written += bytes;
}

} // namespace kelmor::test
