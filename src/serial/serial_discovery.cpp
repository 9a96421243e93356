#include "serial/serial_discovery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <libudev.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "serial/driver_capabilities.h"

namespace parvolo {

namespace {

// A USB device writes its own strings: keep them to one short printable line.
constexpr qsizetype kMaxStringLength = 64;

QString printable(const QString& raw) {
    QString text = raw.trimmed().left(kMaxStringLength);
    for (QChar& c : text)
        if (!c.isPrint()) c = QLatin1Char('?');
    return text;
}

// A serial number as a word of an identity: nothing a line or a file name could trip on.
QString identityWord(const QString& text) {
    QString word = printable(text);
    for (QChar& c : word)
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char(':')) c = QLatin1Char('_');
    return word;
}

QString readAttribute(const QString& dir, const char* name) {
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return printable(QString::fromUtf8(file.read(4096)));
}

// The serial core keeps a port it found nothing at as type 0; opening it fails.
bool absentUart(const QString& type) {
    return type == QLatin1String("0");
}

// The udev links that lead to each device node, from /dev/serial/by-id and by-path.
struct SerialLinks {
    QHash<QString, QString> byId;
    QHash<QString, QString> byPath;
};

void readLinkDirectory(const QString& dir, QHash<QString, QString>& into) {
    for (const QFileInfo& link :
         QDir(dir).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        if (link.isSymLink()) into.insert(link.canonicalFilePath(), link.absoluteFilePath());
}

SerialLinks readSerialLinks(const QString& devDirectory) {
    SerialLinks links;
    readLinkDirectory(devDirectory + QStringLiteral("/serial/by-id"), links.byId);
    readLinkDirectory(devDirectory + QStringLiteral("/serial/by-path"), links.byPath);
    return links;
}

void addPortNumber(SerialPortInfo& info, const QString& portNumber) {
    // A chip with several ports on one interface numbers them; the first is 0.
    if (!portNumber.isEmpty() && portNumber != QLatin1String("0"))
        info.interfaceNumber += QLatin1Char(':') + portNumber;
}

void sortByNode(QList<SerialPortInfo>& ports) {
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.node < b.node; });
}

// sysfs: the tty's device, and the USB interface and device above it.
SerialPortInfo fromSysfsTty(const QString& ttyDir, const QString& name,
                            const DiscoveryRoots& roots) {
    SerialPortInfo info;
    info.node = roots.devDirectory + QLatin1Char('/') + name;
    info.driver = ttyDriverName(name, roots.sysDirectory + QStringLiteral("/class/tty"));
    const QString device = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
    addPortNumber(info, readAttribute(device, "port_number"));
    const QString top =
        QFileInfo(roots.sysDirectory + QStringLiteral("/devices")).canonicalFilePath();
    QString interfaceNumber;
    for (QString dir = device; dir.size() > top.size() && dir.startsWith(top);
         dir = QFileInfo(dir).path()) {
        if (interfaceNumber.isEmpty()) interfaceNumber = readAttribute(dir, "bInterfaceNumber");
        if (!QFileInfo::exists(dir + QStringLiteral("/idVendor"))) continue;
        info.vendorId = readAttribute(dir, "idVendor");
        info.productId = readAttribute(dir, "idProduct");
        info.manufacturer = readAttribute(dir, "manufacturer");
        info.product = readAttribute(dir, "product");
        info.serialNumber = readAttribute(dir, "serial");
        info.usbPortPath = QFileInfo(dir).fileName();
        info.interfaceNumber.prepend(interfaceNumber);
        break;
    }
    return info;
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

QString attribute(udev_device* device, const char* name) {
    return device ? printable(QString::fromUtf8(udev_device_get_sysattr_value(device, name)))
                  : QString();
}

std::optional<SerialPortInfo> fromUdevTty(udev_device* tty) {
    // A tty without a device behind it is a virtual console, ptmx or the like.
    udev_device* parent = udev_device_get_parent(tty);
    const char* node = udev_device_get_devnode(tty);
    if (!parent || !node || absentUart(attribute(tty, "type"))) return std::nullopt;
    SerialPortInfo info;
    info.node = QString::fromUtf8(node);
    info.driver = ttyDriverName(QString::fromUtf8(udev_device_get_sysname(tty)));
    addPortNumber(info, attribute(parent, "port_number"));
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
        info.vendorId = attribute(usb, "idVendor");
        info.productId = attribute(usb, "idProduct");
        info.manufacturer = attribute(usb, "manufacturer");
        info.product = attribute(usb, "product");
        info.serialNumber = attribute(usb, "serial");
        info.usbPortPath = QString::fromUtf8(udev_device_get_sysname(usb));
        info.interfaceNumber.prepend(
            attribute(udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface"),
                      "bInterfaceNumber"));
    }
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(tty); link;
         link = udev_list_entry_get_next(link)) {
        const QString name = QString::fromUtf8(udev_list_entry_get_name(link));
        if (name.startsWith(QLatin1String("/dev/serial/by-id/"))) info.byId = name;
        if (name.startsWith(QLatin1String("/dev/serial/by-path/"))) info.byPath = name;
    }
    return info;
}

QList<SerialPortInfo> discoverFromUdev() {
    QList<SerialPortInfo> ports;
    const UdevPtr<udev> context(udev_new());
    if (!context) return ports;
    const UdevPtr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) return ports;
    udev_enumerate_add_match_subsystem(enumeration.get(), "tty");
    udev_enumerate_scan_devices(enumeration.get());
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumeration.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        const UdevPtr<udev_device> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) continue;
        if (const auto info = fromUdevTty(tty.get())) ports << *info;
    }
    sortByNode(ports);
    return ports;
}

}  // namespace

QString SerialPortInfo::ttyName() const {
    return QFileInfo(node).fileName();
}

bool SerialPortInfo::isOnBoardUart() const {
    static const QRegularExpression name(QStringLiteral("^ttyS[0-9]+$"));
    return name.match(ttyName()).hasMatch();
}

QString SerialPortInfo::identity() const {
    if (!isUsb()) return QStringLiteral("tty:") + ttyName();
    const QString ids = vendorId + QLatin1Char(':') + productId;
    if (!serialNumber.isEmpty())
        return QStringLiteral("serial:%1:%2:%3")
            .arg(ids, identityWord(serialNumber), interfaceNumber);
    return QStringLiteral("usb-port:%1:%2:%3").arg(ids, usbPortPath, interfaceNumber);
}

QString SerialPortInfo::description() const {
    if (!isUsb())
        return driver.isEmpty() ? QStringLiteral("UART") : driver + QStringLiteral(" UART");
    QString name = !product.isEmpty()        ? product
                   : !manufacturer.isEmpty() ? manufacturer
                                             : QStringLiteral("USB %1:%2").arg(vendorId, productId);
    return serialNumber.isEmpty() ? name : name + QLatin1Char(' ') + serialNumber;
}

bool udevDatabasePresent(const DiscoveryRoots& roots) {
    if (qEnvironmentVariable("PARVOLO_NO_UDEV") == QLatin1String("1")) return false;
    return roots.sysDirectory == QLatin1String("/sys") && QFileInfo(roots.udevDatabase).isDir();
}

QList<SerialPortInfo> discoverFromSysfs(const DiscoveryRoots& roots) {
    const SerialLinks links = readSerialLinks(roots.devDirectory);
    const QDir classDir(roots.sysDirectory + QStringLiteral("/class/tty"));
    QList<SerialPortInfo> ports;
    for (const QString& name :
         classDir.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString ttyDir = classDir.filePath(name);
        if (!QFileInfo(ttyDir + QStringLiteral("/device")).exists()) continue;
        if (absentUart(readAttribute(ttyDir, "type"))) continue;
        SerialPortInfo info = fromSysfsTty(ttyDir, name, roots);
        const QString node = QFileInfo(info.node).canonicalFilePath();
        info.byId = links.byId.value(node);
        info.byPath = links.byPath.value(node);
        ports << info;
    }
    sortByNode(ports);
    return ports;
}

QList<SerialPortInfo> discoverSerialPorts(const DiscoveryRoots& roots) {
    return udevDatabasePresent(roots) ? discoverFromUdev() : discoverFromSysfs(roots);
}

}  // namespace parvolo
