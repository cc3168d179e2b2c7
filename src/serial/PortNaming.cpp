#include "serial/PortNaming.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace kelmor {

QString portLinkFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kelmor-csv");
}

PortDevice deviceForPort(int port) {
    PortDevice device;
#ifdef Q_OS_WIN
    device.path = QStringLiteral("COM%1").arg(port);
#else
    const QString link = portLinkFolder() + QStringLiteral("/com%1").arg(port);
    const QFileInfo info(link);
    if (info.isSymLink() || info.exists()) {
        device.link = link;
        const QString target = info.canonicalFilePath();
        device.dangling = target.isEmpty();
        // The resolved name keeps the port's lock file the same however it
        // is reached.
        device.path = device.dangling ? link : target;
    } else {
        device.path = QStringLiteral("/dev/ttyS%1").arg(port - 1);
    }
#endif
    return device;
}

QString describePort(int port) {
    const PortDevice device = deviceForPort(port);
    if (device.link.isEmpty())
        return device.path;
    if (device.dangling)
        return QStringLiteral("%1 (points nowhere)").arg(QDir::toNativeSeparators(device.link));
    return QStringLiteral("%1 (via %2)").arg(device.path, QDir::toNativeSeparators(device.link));
}

} // namespace kelmor
