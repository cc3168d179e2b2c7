#include "serial/MSComm.h"

#include "serial/PortNaming.h"

#include <QMetaObject>

namespace kelmor {

namespace {

QSerialPort::Parity toParity(char p) {
    switch (p) {
    case 'E':
        return QSerialPort::EvenParity;
    case 'O':
        return QSerialPort::OddParity;
    case 'M':
        return QSerialPort::MarkParity;
    case 'S':
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits toStopBits(int s) {
    switch (s) {
    case 2:
        return QSerialPort::TwoStop;
    case 15:
        return QSerialPort::OneAndHalfStop;
    default:
        return QSerialPort::OneStop;
    }
}

} // namespace

MSComm::MSComm(QObject* parent) : QObject(parent) {
    connect(&port_, &QSerialPort::readyRead, this, &MSComm::OnComm);
    connect(&port_, &QSerialPort::errorOccurred, this, &MSComm::onPortError);
    reconnect_.setSingleShot(true);
    reconnect_.setInterval(ReconnectIntervalMs);
    connect(&reconnect_, &QTimer::timeout, this, &MSComm::tryReconnect);
}

MSComm::~MSComm() = default;

MaybeError MSComm::setSettings(const std::string& text) {
    ParsedSettings parsed = parseSettings(text);
    if (!parsed.error)
        settings_ = parsed.settings;
    return parsed.error;
}

QString MSComm::deviceName() const {
    return deviceForPort(commPort_).path;
}

std::string MSComm::portLabel() const {
    return "Comm " + std::to_string(commPort_) + " (" + deviceName().toStdString() + ")";
}

MaybeError MSComm::setPortOpen(bool open) {
    // Any open or close on purpose ends the attempts to win a lost port back.
    reconnect_.stop();
    if (!open) {
        if (port_.isOpen()) {
            // A serial driver drops its input queue when the port closes:
            // take what it holds first (delivered through OnComm).
            port_.waitForReadyRead(0);
            const QByteArray waiting = port_.readAll();
            stash_.append(waiting.constData(), static_cast<std::size_t>(waiting.size()));
            port_.close();
        }
        return std::nullopt;
    }
    if (port_.isOpen())
        return std::nullopt;
    return openDevice();
}

MaybeError MSComm::openDevice() {
    const PortDevice device = deviceForPort(commPort_);
    if (device.dangling)
        return Error{"Cannot open port", portLabel(),
                     "the link " + device.link.toStdString() + " points to no device"};
    port_.setPortName(device.path);
    port_.setBaudRate(settings_.baud);
    port_.setParity(toParity(settings_.parity));
    port_.setDataBits(static_cast<QSerialPort::DataBits>(settings_.dataBits));
    port_.setStopBits(toStopBits(settings_.stopBits));
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        Error err{"Cannot open port", portLabel(), port_.errorString().toStdString()};
        port_.clearError();
        return err;
    }
    // Pseudo-terminals and some adapters have no modem lines; that is no
    // reason to refuse the port.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(false);
    port_.clearError();
    dropping_ = false;
    return std::nullopt;
}

std::string MSComm::input() {
    std::string bytes = std::move(stash_);
    stash_.clear();
    if (port_.isOpen()) {
        const QByteArray waiting = port_.readAll();
        bytes.append(waiting.constData(), static_cast<std::size_t>(waiting.size()));
    }
    return bytes;
}

void MSComm::output(std::string_view bytes) {
    if (!port_.isOpen())
        return;
    port_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    port_.flush();
}

MaybeError MSComm::takeError() {
    MaybeError err = std::move(error_);
    error_.reset();
    return err;
}

void MSComm::onPortError(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        // A vanished device keeps the read notifier firing; the port must
        // go before the event loop spins on it. Closing is deferred out of
        // QSerialPort's own notification code.
        if (!dropping_) {
            dropping_ = true;
            error_ = Error{"Lost the connection to port", portLabel(),
                           port_.errorString().toStdString()};
            QMetaObject::invokeMethod(this, &MSComm::dropLostPort, Qt::QueuedConnection);
        }
        break;
    case QSerialPort::WriteError:
        error_ = Error{"Cannot write to port", portLabel(), port_.errorString().toStdString()};
        QMetaObject::invokeMethod(this, &MSComm::OnComm, Qt::QueuedConnection);
        break;
    default:
        // Unsupported modem-line calls on pseudo-terminals and the like.
        break;
    }
}

void MSComm::dropLostPort() {
    if (port_.isOpen()) {
        const QByteArray waiting = port_.readAll();
        stash_.append(waiting.constData(), static_cast<std::size_t>(waiting.size()));
        port_.close();
        reconnect_.start();
    }
    port_.clearError();
    dropping_ = false;
    emit OnComm();
}

void MSComm::tryReconnect() {
    // Failures here are expected while the device is away and were reported
    // once already, with the loss.
    if (!port_.isOpen() && openDevice())
        reconnect_.start();
}

} // namespace kelmor
