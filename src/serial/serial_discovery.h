#pragma once

// Which serial devices this machine has, and who each one is: every tty with a device behind it
// (USB serial, ACM, on-board and platform UARTs that are present), never a virtual console or a
// pseudo-terminal. Read through libudev where udev keeps its database (it knows the
// /dev/serial/by-id and by-path names), else straight from sysfs (containers, CI, a machine
// without udev), which gives the same record.

#include <QList>
#include <QString>

namespace parvolo {

struct SerialPortInfo {
    QString node;      // /dev/ttyUSB0
    QString driver;    // ftdi_sio, cdc_acm, serial8250, ...
    QString vendorId;  // USB ids as four hex digits; empty for a device not on USB
    QString productId;
    QString manufacturer;  // the USB strings the device gives, empty when it gives none
    QString product;
    QString serialNumber;
    QString usbPortPath;      // the USB device's place on the bus, "3-1.2"
    QString interfaceNumber;  // its interface, "00"; ":1" more when one interface has ports
    QString devicePath;       // the device in sysfs (/devices/...), for devices not on USB
    QString byId;             // /dev/serial/by-id/..., where udev made one
    QString byPath;           // /dev/serial/by-path/...

    QString ttyName() const;  // ttyUSB0
    bool isUsb() const { return !vendorId.isEmpty(); }
    bool isOnBoardUart() const;  // ttyS<n>
    // Who the device is across plugs and reboots: its serial number, else where it is plugged
    // in; with the interface, since one adapter can carry several ports.
    QString identity() const;
    // What a person calls it: "FT232R USB UART A10K1234", "serial8250 UART".
    QString description() const;
};

// Where to look; tests point it at a tree of their own, which is always read as sysfs.
struct DiscoveryRoots {
    QString sysDirectory = QStringLiteral("/sys");
    QString devDirectory = QStringLiteral("/dev");
    QString udevDatabase = QStringLiteral("/run/udev/data");
};

// Sorted by node name. PARVOLO_NO_UDEV=1 reads sysfs even where udev runs.
QList<SerialPortInfo> discoverSerialPorts(const DiscoveryRoots& roots = {});
// The sysfs reading alone, which is what the udev reading is checked against.
QList<SerialPortInfo> discoverFromSysfs(const DiscoveryRoots& roots);
// Whether discoverSerialPorts() would use libudev.
bool udevDatabasePresent(const DiscoveryRoots& roots = {});

}  // namespace parvolo
