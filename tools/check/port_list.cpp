#include "port_list.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_holders.h"
#include "serial/port_names.h"
#include "serial/posix_serial_device.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

QString who(const PortHolder& holder) {
    if (holder.program.isEmpty()) return QStringLiteral("PID %1").arg(holder.pid);
    return QStringLiteral("%1 (PID %2)").arg(holder.program).arg(holder.pid);
}

// The serial core reports an unused 8250 port as type 0; opening it fails with EIO.
std::optional<bool> uartPresent(const QString& device, const DeviceRoots& roots) {
    QFile type(roots.sysTtyDirectory + QLatin1Char('/') + QFileInfo(device).fileName() +
               QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly)) return std::nullopt;
    return type.readAll().trimmed() != "0";
}

// The driver of the device or of the nearest parent that has one, passing over the serial
// core's own port and controller drivers (serial-base), which every UART has.
QString driverOf(const QString& device, dev_t rdev, const DeviceRoots& roots) {
    if (isPseudoTerminal(rdev)) return QStringLiteral("pty");
    return ttyDriverName(QFileInfo(device).fileName(), roots.sysTtyDirectory);
}

QString byIdName(const QString& device, const DeviceRoots& roots) {
    const QDir dir(roots.byIdDirectory);
    for (const QFileInfo& link :
         dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        if (link.canonicalFilePath() == device) return link.fileName();
    return QString();
}

// What keeps the port from being locked: something at the lock path that is no lock file, or
// one that cannot be read. Empty when the lock file is absent or names a PID.
QString lockProblem(const QString& directory, const QString& device) {
    using Kind = LockFileState::Kind;
    const LockFileState lock = readLockFile(lockFilePath(directory, device));
    switch (lock.kind) {
        case Kind::NotAFile:
            return QStringLiteral("%1 is not a lock file").arg(lock.path);
        case Kind::Unreadable:
            return QStringLiteral("lock file %1 (owner %2) cannot be read: %3")
                .arg(lock.path, userName(lock.owner), osReason(lock.error));
        case Kind::Empty:
        case Kind::TooLarge:
        case Kind::NotANumber:
        case Kind::PidOutOfRange:
            // An older one is stale and goes when the port is opened.
            if (lock.mayBeBeingWritten())
                return QStringLiteral("lock file %1 holds no valid PID").arg(lock.path);
            break;
        case Kind::Missing:
        case Kind::Pid:
        case Kind::CannotRemove:
            break;
    }
    return QString();
}

QString permissionStatus(const QString& path) {
    const DeviceAccess access = deviceAccess(path);
    QString text = QStringLiteral("permission denied");
    if (access.unknown) return text;
    if (access.group.isEmpty())
        return text +
               (access.owner == QLatin1String("root")
                    ? QStringLiteral(": only root may open it")
                    : QStringLiteral(": only its owner %1 and root may open it").arg(access.owner));
    if (access.joined)
        return text + QStringLiteral(": in group %1 since this login started; log in again")
                          .arg(access.group);
    return text + QStringLiteral(": join group %1 (sudo usermod -aG %1 $USER), log in again")
                      .arg(access.group);
}

QString statusOf(const QString& path, const QString& device, const struct stat& node,
                 const DeviceRoots& roots) {
    if (!S_ISCHR(node.st_mode)) return QStringLiteral("not a serial device");
    if (uartPresent(device, roots) == false)
        return QStringLiteral("missing (no UART at this port)");
    if (const PortUse use = portUse(node.st_rdev, QFileInfo(device).fileName(), roots.portUse);
        use.kind != PortUse::Kind::Free)
        return (use.kind == PortUse::Kind::Console
                    ? QStringLiteral("in use as the kernel's console (%1)")
                    : QStringLiteral("in use for logins (%1)"))
                   .arg(use.by) +
               (systemPortsAllowed() ? QStringLiteral("; allowed by PARVOLO_ALLOW_CONSOLE=1")
                                     : QStringLiteral("; not taken"));
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM) return permissionStatus(path);
        return QStringLiteral("cannot be opened (%1)").arg(osReason(err));
    }
    if (const QString problem = lockProblem(roots.lockDirectory, device); !problem.isEmpty())
        return QStringLiteral("blocked: ") + problem;
    if (const PortHolder holder = lockFileHolder(roots.lockDirectory, device); holder.pid > 0)
        return QStringLiteral("busy: ") + who(holder);
    if (const PortHolder holder = flockHolder(node.st_dev, node.st_ino); holder.pid > 0)
        return QStringLiteral("busy: ") + who(holder);
    // A pty's far end holds it by design; only other devices are looked up by descriptor.
    if (!isPseudoTerminal(node.st_rdev)) {
        QStringList openers;
        for (const PortHolder& holder : deviceOpeners(node.st_rdev, ::getpid()))
            openers << (isLoginProgram(holder.program) ? QStringLiteral("login: ") : QString()) +
                           who(holder);
        if (!openers.isEmpty())
            return QStringLiteral("busy: ") + openers.join(QStringLiteral(", "));
    }
    return QStringLiteral("ok");
}

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// The link and where it leads: the device, or for a dangling link its target.
QString deviceColumn(const PortEntry& entry) {
    const QString end = entry.device.isEmpty() ? entry.target : entry.device;
    if (end.isEmpty() || end == entry.path) return entry.path;
    return entry.path + QStringLiteral(" -> ") + end;
}

QStringList identityColumns(const PortEntry& e) {
    if (!e.identity || !e.identity->isUsb()) {
        const QString unplugged = e.unplugged.isEmpty()
                                      ? QStringLiteral("-")
                                      : QStringLiteral("(unplugged) ") + e.unplugged;
        return {QStringLiteral("-"), QStringLiteral("-"), unplugged, QStringLiteral("-")};
    }
    const SerialPortInfo& d = *e.identity;
    return {d.vendorId + QLatin1Char(':') + d.productId, orDash(d.manufacturer), orDash(d.product),
            orDash(d.serialNumber)};
}

QJsonValue orNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject entryJson(const PortEntry& e) {
    QJsonObject json{
        {QStringLiteral("path"), e.path},
        {QStringLiteral("link_target"), orNull(e.target)},
        {QStringLiteral("device"), orNull(e.device)},
        {QStringLiteral("driver"), orNull(e.driver)},
        {QStringLiteral("by_id"), orNull(e.identity ? e.identity->byId : QString())},
        {QStringLiteral("by_path"), orNull(e.identity ? e.identity->byPath : QString())},
        {QStringLiteral("status"), e.status}};
    if (!e.name.isEmpty()) {
        json.insert(QStringLiteral("port"), e.name);
        json.insert(QStringLiteral("number"), orNull(e.kind));
        json.insert(QStringLiteral("unplugged"), orNull(e.unplugged));
    }
    QJsonValue usb;
    if (e.identity && e.identity->isUsb()) {
        const SerialPortInfo& d = *e.identity;
        usb = QJsonObject{{QStringLiteral("vendor_id"), d.vendorId},
                          {QStringLiteral("product_id"), d.productId},
                          {QStringLiteral("manufacturer"), orNull(d.manufacturer)},
                          {QStringLiteral("product"), orNull(d.product)},
                          {QStringLiteral("serial"), orNull(d.serialNumber)},
                          {QStringLiteral("port_path"), d.usbPortPath},
                          {QStringLiteral("interface"), d.interfaceNumber},
                          {QStringLiteral("identity"), d.identity()}};
    }
    json.insert(QStringLiteral("usb"), usb);
    return json;
}

}  // namespace

QByteArray portListJson(const QList<PortEntry>& comPorts, const QList<PortEntry>& others) {
    QJsonArray ports, devices;
    for (const PortEntry& e : comPorts) ports << entryJson(e);
    for (const PortEntry& e : others) devices << entryJson(e);
    return QJsonDocument(QJsonObject{{QStringLiteral("format"), 1},
                                     {QStringLiteral("ports"), ports},
                                     {QStringLiteral("other_devices"), devices}})
        .toJson();
}

DeviceRoots defaultDeviceRoots() {
    DeviceRoots roots;
    roots.lockDirectory = QString::fromLatin1(PosixSerialDevice::kLockDirectory);
    return roots;
}

PortEntry describePort(const QString& name, const QString& path, const DeviceRoots& roots) {
    PortEntry entry;
    entry.name = name;
    entry.path = path;
    // --list opens nothing, and a remote port is not even contacted.
    if (isRemotePortName(path)) {
        entry.driver = QStringLiteral("rfc2217");
        entry.status = QStringLiteral("remote; not contacted");
        return entry;
    }
    const QFileInfo info(path);
    if (info.isSymLink()) entry.target = info.symLinkTarget();
    struct stat node {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0) {
        entry.status = QStringLiteral("missing (%1)").arg(osReason(errno));
        return entry;
    }
    entry.device = info.canonicalFilePath();
    entry.byId = byIdName(entry.device, roots);
    if (S_ISCHR(node.st_mode)) entry.driver = driverOf(entry.device, node.st_rdev, roots);
    entry.status = statusOf(path, entry.device, node, roots);
    return entry;
}

QList<PortEntry> listComPorts(const ComNumbers& numbers, const DeviceRoots& roots) {
    static const QHash<ComPort::Source, QString> kinds = {
        {ComPort::Source::HandLink, QStringLiteral("hand link")},
        {ComPort::Source::Assigned, QStringLiteral("assigned")},
        {ComPort::Source::OnBoard, QStringLiteral("on-board")}};
    QList<PortEntry> entries;
    for (const ComPort& port : numbers.ports) {
        PortEntry entry = describePort(port.name(), port.path, roots);
        entry.kind = kinds.value(port.source);
        entry.identity = port.device;
        entry.unplugged = port.unplugged;
        if (port.device && !port.device->byId.isEmpty())
            entry.byId = QFileInfo(port.device->byId).fileName();
        entries << entry;
    }
    return entries;
}

QList<PortEntry> listOtherDevices(const QList<PortEntry>& listed,
                                  const QList<SerialPortInfo>& devices, const DeviceRoots& roots) {
    QSet<QString> seen;
    for (const PortEntry& entry : listed)
        if (!entry.device.isEmpty()) seen.insert(entry.device);
    QList<PortEntry> entries;
    for (const SerialPortInfo& device : devices) {
        const QString node = QFileInfo(device.node).canonicalFilePath();
        if (node.isEmpty() || seen.contains(node)) continue;
        PortEntry entry = describePort(QString(), device.node, roots);
        entry.identity = device;
        entries << entry;
    }
    return entries;
}

QString formatPortList(const QList<PortEntry>& comPorts, const QList<PortEntry>& others) {
    auto table = [](const QStringList& header, const QList<QStringList>& rows) {
        QList<qsizetype> widths;
        for (const QString& title : header) widths << title.size();
        for (const QStringList& row : rows)
            for (qsizetype i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], row[i].size());
        QString text;
        for (const QStringList& row : QList<QStringList>{header} + rows) {
            QString line;
            for (qsizetype i = 0; i < row.size(); ++i)
                line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
            text += line + QLatin1Char('\n');
        }
        return text;
    };
    const QStringList identityTitles{QStringLiteral("USB-ID"), QStringLiteral("MANUFACTURER"),
                                     QStringLiteral("PRODUCT"), QStringLiteral("SERIAL")};
    QList<QStringList> comRows;
    for (const PortEntry& e : comPorts)
        comRows << QStringList{e.name, deviceColumn(e), orDash(e.kind), orDash(e.driver)} +
                       identityColumns(e) + QStringList{e.status};
    QString text = table(QStringList{QStringLiteral("PORT"), QStringLiteral("DEVICE"),
                                     QStringLiteral("NUMBER"), QStringLiteral("DRIVER")} +
                             identityTitles + QStringList{QStringLiteral("STATUS")},
                         comRows);
    text += QStringLiteral("\nSerial devices without a COM number (open them by path):\n");
    if (others.isEmpty()) return text + QStringLiteral("none found\n");
    QList<QStringList> otherRows;
    for (const PortEntry& e : others)
        otherRows << QStringList{e.path, orDash(e.driver)} + identityColumns(e) +
                         QStringList{e.status};
    return text + table(QStringList{QStringLiteral("DEVICE"), QStringLiteral("DRIVER")} +
                            identityTitles + QStringList{QStringLiteral("STATUS")},
                        otherRows);
}

}  // namespace parvolo
