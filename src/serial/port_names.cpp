#include "serial/port_names.h"

#include "serial/serial_discovery.h"
#include "serial/port_device.h"
#include "serial/serial_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace parvolo {

namespace {
const QLatin1String kSerialNumberScheme("serial:");
}

QString portMapDirectory() {
    const QString fromEnv = qEnvironmentVariable("PARVOLO_PORT_DIR");
    if (!fromEnv.isEmpty()) return fromEnv;
    return QDir::homePath() + QStringLiteral("/.config/parvolo/ports");
}

QString remotePortOf(const QString& mapEntry) {
    // QFileInfo makes a link's target absolute; the URL is the link's own text.
    const QByteArray raw = QFile::encodeName(mapEntry);
    char buffer[512];
    const ssize_t length = ::readlink(raw.constData(), buffer, sizeof buffer);
    if (length <= 0 || length == ssize_t(sizeof buffer)) return QString();
    const QString text = QString::fromUtf8(buffer, qsizetype(length));
    return isRemotePortName(text) ? text : QString();
}

bool isRemotePortName(const QString& name) {
    return remotePortKindOf(name) >= 0;
}

int remotePortKindOf(const QString& name) {
    const auto kinds = remotePortKinds();
    for (size_t i = 0; i < kinds.size(); ++i)
        if (name.startsWith(QLatin1String(kinds[i].scheme), Qt::CaseInsensitive)) return int(i);
    return -1;
}

bool isSerialNumberName(const QString& name) {
    return name.startsWith(kSerialNumberScheme) && name.size() > kSerialNumberScheme.size();
}

QString resolveSerialNumberName(const QString& name) {
    const QString wanted = name.mid(kSerialNumberScheme.size());
    QList<SerialPortInfo> matching, numbered;
    for (const SerialPortInfo& device : discoverSerialPorts()) {
        if (device.serialNumber.isEmpty()) continue;
        numbered << device;
        if (device.serialNumber == wanted ||
            device.serialNumber + QLatin1Char(':') + device.interfaceNumber == wanted)
            matching << device;
    }
    if (matching.size() == 1) return matching.first().node;
    throw SerialError::serialNumberNotOne(name, matching, numbered);
}

QString resolvePortPath(int portNumber) {
    const QString mapped = portMapDirectory() + QStringLiteral("/COM%1").arg(portNumber);
    if (const QString remote = remotePortOf(mapped); !remote.isEmpty()) return remote;
    // A dangling link still names the device the user meant; opening it reports it missing.
    if (QFileInfo(mapped).isSymLink() || QFileInfo::exists(mapped)) return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

}  // namespace parvolo
