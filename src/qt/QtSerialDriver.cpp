#include "QtSerialDriver.h"

#include <QDir>
#include <QLockFile>
#include <QSignalBlocker>

namespace kelmor::qt {

namespace {

std::string toStd(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

QtSerialDriver::QtSerialDriver(app::DriverEvents& events) : events_(events) {
    connect(&port_, &QSerialPort::readyRead, this, [this] { events_.arrived(); });
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialDriver::onError);
}

QtSerialDriver::~QtSerialDriver() = default;

std::optional<std::string> QtSerialDriver::open(const app::PortDevice& device,
                                                const app::LineSettings& settings) {
    port_.setPortName(QString::fromLocal8Bit(device.path));
    port_.setBaudRate(settings.baud);
    port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        std::string reason =
            port_.error() == QSerialPort::PermissionError ? lockHolder() : std::string();
        if (reason.empty())
            reason = port_.errorString().toStdString();
        port_.clearError();
        return reason;
    }
    // Pseudo-terminals and some adapters have no modem lines; that is no
    // reason to refuse the port.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(false);
    port_.clearError();
    dropping_ = false;
    return std::nullopt;
}

std::string QtSerialDriver::close() {
    if (!port_.isOpen())
        return {};
    // A serial driver drops its input queue when the port closes: take what
    // it holds first. No readyRead from inside this call.
    const QSignalBlocker quiet(port_);
    port_.waitForReadyRead(0);
    std::string received = toStd(port_.readAll());
    port_.close();
    port_.clearError();
    return received;
}

std::string QtSerialDriver::read() {
    return port_.isOpen() ? toStd(port_.readAll()) : std::string();
}

void QtSerialDriver::write(std::string_view bytes) {
    if (!port_.isOpen())
        return;
    port_.write(bytes.data(), static_cast<qint64>(bytes.size()));
    port_.flush();
}

void QtSerialDriver::onError(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        // A vanished device keeps the read notifier firing; the port must
        // go before the event loop spins on it. Closing is deferred out of
        // QSerialPort's own notification code.
        if (port_.isOpen() && !dropping_) {
            dropping_ = true;
            QMetaObject::invokeMethod(this, &QtSerialDriver::dropLostPort, Qt::QueuedConnection);
        }
        break;
    case QSerialPort::WriteError: {
        const std::string reason = port_.errorString().toStdString();
        port_.clearError();
        QMetaObject::invokeMethod(
            this, [this, reason] { events_.writeFailed(reason); }, Qt::QueuedConnection);
        break;
    }
    default:
        // Unsupported modem-line calls on pseudo-terminals and the like.
        break;
    }
}

void QtSerialDriver::dropLostPort() {
    dropping_ = false;
    if (!port_.isOpen())
        return;
    const std::string reason = port_.errorString().toStdString();
    std::string received = toStd(port_.readAll());
    port_.close();
    port_.clearError();
    events_.lost(reason, std::move(received));
}

std::string QtSerialDriver::lockHolder() const {
    // QSerialPort locks a device with a lock file "LCK..name" in the first
    // of these folders it can write; the file names the holder's process.
    QString name = port_.portName();
    if (name.startsWith(QStringLiteral("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& folder : {QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
                                  QStringLiteral("/var/spool/locks"),
                                  QStringLiteral("/var/spool/uucp"), QDir::tempPath()}) {
        QLockFile lock(folder + QStringLiteral("/LCK..") + name);
        qint64 pid = 0;
        QString host;
        QString program;
        if (lock.getLockInfo(&pid, &host, &program) && pid > 0) {
            std::string who = program.isEmpty() ? std::string() : program.toStdString() + ", ";
            return "the port is in use by another program (" + who + "process " +
                   std::to_string(pid) + ")";
        }
    }
    return {};
}

} // namespace kelmor::qt
