#pragma once

#include <QList>
#include <QString>

#include "serial/port_use.h"

// --list: COM1..COM15 as the window resolves them, and the other serial devices, each with
// its /dev/serial/by-id name, its driver and whether it could be opened now. Nothing is
// opened: opening toggles DTR, and many boards reset on that. The status comes from the node
// itself (stat, access), the UART's presence in sysfs, the lock file, flock() and the other
// processes' descriptors.
namespace parvolo {

struct PortEntry {
    QString name;    // COM1..COM15; empty for another device
    QString path;    // what COMn resolves to, or the device
    QString target;  // the link's own target when path is a link
    QString device;  // the device node behind it, links resolved; empty when missing
    QString byId;    // a /dev/serial/by-id name of the same device
    QString driver;  // from sysfs; "pty" for a pseudo-terminal
    QString status;  // "ok", "missing (...)", "busy: ...", "permission denied: ...", ...
};

// Where serial devices are looked for; tests point them elsewhere.
struct DeviceRoots {
    QString lockDirectory;
    QString byIdDirectory = QStringLiteral("/dev/serial/by-id");
    QString devDirectory = QStringLiteral("/dev");
    QString sysTtyDirectory = QStringLiteral("/sys/class/tty");
    PortUseSources portUse;
};
DeviceRoots defaultDeviceRoots();

PortEntry describePort(const QString& name, const QString& path, const DeviceRoots& roots);
QList<PortEntry> listComPorts(const DeviceRoots& roots);
// By-id links, ttyUSB*, ttyACM* and UARTs that are present, except the devices in `listed`.
QList<PortEntry> listOtherDevices(const QList<PortEntry>& listed, const DeviceRoots& roots);

QString formatPortList(const QList<PortEntry>& comPorts, const QList<PortEntry>& others);

}  // namespace parvolo
