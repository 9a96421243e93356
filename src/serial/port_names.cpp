#include "serial/port_names.h"

#include <QDir>
#include <QFileInfo>

namespace parvolo {

QString portMapDirectory() {
    const QString fromEnv = qEnvironmentVariable("PARVOLO_PORT_DIR");
    if (!fromEnv.isEmpty()) return fromEnv;
    return QDir::homePath() + QStringLiteral("/.config/parvolo/ports");
}

QString resolvePortPath(int portNumber) {
    const QString mapped = portMapDirectory() + QStringLiteral("/COM%1").arg(portNumber);
    // A dangling link still names the device the user meant; opening it reports it missing.
    if (QFileInfo(mapped).isSymLink() || QFileInfo::exists(mapped)) return mapped;
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
}

}  // namespace parvolo
