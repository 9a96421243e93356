#pragma once

#include <QList>
#include <QString>

#include "serial/com_numbers.h"
#include "serial/port_use.h"

// --list: COM1..COM15 as the window resolves them (giving numbers to new devices first), and
// the serial devices no number reaches, each with who it is (USB ids, strings, by-id name), its
// driver, where its number comes from and whether it could be opened now. Nothing is
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
    QString kind;    // where COMn comes from: "hand link", "assigned", "on-board"; empty: nothing
    std::optional<SerialPortInfo> identity;  // the device as discovery knows it
    QString unplugged;                       // an assigned number's device that is not plugged in
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
QList<PortEntry> listComPorts(const ComNumbers& numbers, const DeviceRoots& roots);
// The devices in `devices` that no entry of `listed` reaches.
QList<PortEntry> listOtherDevices(const QList<PortEntry>& listed,
                                  const QList<SerialPortInfo>& devices, const DeviceRoots& roots);

QString formatPortList(const QList<PortEntry>& comPorts, const QList<PortEntry>& others);
// The same for scripts: {"format": 1, "ports": [...], "other_devices": [...]}.
QByteArray portListJson(const QList<PortEntry>& comPorts, const QList<PortEntry>& others);

}  // namespace parvolo
