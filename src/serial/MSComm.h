#pragma once

#include "capture/Error.h"
#include "serial/LineSettings.h"
#include "serial/SerialLink.h"

#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <string>

namespace kelmor {

// The serial control: port number, line settings, open and close, reading
// and writing raw bytes, and one OnComm per arrival and per error, always on
// the thread that owns it.
class MSComm : public QObject, public SerialLink {
    Q_OBJECT

public:
    explicit MSComm(QObject* parent = nullptr);
    ~MSComm() override;

    int CommPort() const { return commPort_; }
    void setCommPort(int port) { commPort_ = port; }

    std::string Settings() const { return formatSettings(settings_); }
    MaybeError setSettings(const std::string& text);

    // Every read returns the whole queue; other values are accepted and
    // ignored, as nothing here reads less.
    void setInputLen(int) {}

    bool PortOpen() const { return port_.isOpen(); }
    MaybeError setPortOpen(bool open);

    // The device opened for the current port number, e.g. "/dev/ttyUSB0".
    QString deviceName() const;

    std::string input() override;
    void output(std::string_view bytes) override;
    bool isOpen() const override { return port_.isOpen(); }

    // The failure that raised the last OnComm, if one did; cleared by reading.
    MaybeError takeError();

    // After the device vanished, the same port is tried again this often
    // until it opens or the port is closed or opened on purpose.
    static constexpr int ReconnectIntervalMs = 1000;
    bool reconnecting() const { return reconnect_.isActive(); }

signals:
    void OnComm();

private:
    void onPortError(QSerialPort::SerialPortError error);
    void dropLostPort();
    void tryReconnect();
    MaybeError openDevice();
    std::string portLabel() const;

    QSerialPort port_;
    int commPort_ = 1;
    LineSettings settings_;
    // Bytes taken from a port that had to be closed, delivered by input().
    std::string stash_;
    MaybeError error_;
    bool dropping_ = false;
    QTimer reconnect_;
};

} // namespace kelmor
