#include "serial/port_use.h"

#include <QFile>
#include <QFileInfo>

#include <sys/sysmacros.h>

namespace parvolo {

namespace {

// "ttyS0                -W- (EC  p a)    4:64": the name, flags, and major:minor last.
QString consoleOn(dev_t rdev, const QString& consolesFile) {
    QFile file(consolesFile);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    const QByteArray wanted =
        QByteArray::number(major(rdev)) + ':' + QByteArray::number(minor(rdev));
    for (const QByteArray& line : file.read(64 * 1024).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields.last() == wanted)
            return QString::fromLatin1(fields.first());
    }
    return QString();
}

}  // namespace

PortUse portUse(dev_t rdev, const QString& deviceName, const PortUseSources& sources) {
    if (const QString console = consoleOn(rdev, sources.consoles); !console.isEmpty())
        return {PortUse::Kind::Console, console};
    const QString unit = QStringLiteral("serial-getty@%1.service").arg(deviceName);
    if (QFileInfo(sources.loginUnits + QLatin1Char('/') + unit).isSymLink() ||
        QFileInfo::exists(sources.loginUnits + QLatin1Char('/') + unit))
        return {PortUse::Kind::Login, unit};
    return {};
}

bool isLoginProgram(const QString& program) {
    return program.endsWith(QLatin1String("getty")) || program == QLatin1String("login");
}

bool systemPortsAllowed() {
    return qEnvironmentVariable("PARVOLO_ALLOW_CONSOLE") == QLatin1String("1");
}

}  // namespace parvolo
