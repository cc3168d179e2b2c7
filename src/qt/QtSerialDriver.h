#pragma once

#include "app/Face.h"

#include <QObject>
#include <QSerialPort>

#include <optional>
#include <string>

namespace kelmor::qt {

// The serial driver over QSerialPort: the only code that knows it. Events
// reach the app layer on the window's thread, never inside a call into the
// driver.
class QtSerialDriver final : public QObject, public app::SerialDriver {
    Q_OBJECT

public:
    explicit QtSerialDriver(app::DriverEvents& events);
    ~QtSerialDriver() override;

    std::optional<std::string> open(const app::PortDevice& device,
                                    const app::LineSettings& settings) override;
    std::string close() override;
    bool isOpen() const override { return port_.isOpen(); }
    std::string read() override;
    void write(std::string_view bytes) override;

private:
    void onError(QSerialPort::SerialPortError error);
    void dropLostPort();
    // Why the device is locked, naming the holder where its lock file says.
    std::string lockHolder() const;

    app::DriverEvents& events_;
    QSerialPort port_;
    bool dropping_ = false;
};

} // namespace kelmor::qt
