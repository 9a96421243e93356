#pragma once

// What a serial port is used for by the system itself: the kernel's console (it prints its
// messages there and may take logins on it), or a login prompt (a getty). On servers and
// industrial PCs the first UART often is both, so writing test data there, or toggling its
// lines, disturbs the machine. Such a port is not taken unless the user says so, with
// PARVOLO_ALLOW_CONSOLE=1 in the environment. Everything here is read from files; no port is
// opened to find out.

#include <QString>
#include <QtGlobal>

#include <sys/types.h>

namespace parvolo {

struct PortUse {
    enum class Kind { Free, Console, Login };
    Kind kind = Kind::Free;
    QString by;  // the console's name, or the login program and how it was found
};

// Where the facts are; tests point these at files of their own.
struct PortUseSources {
    QString consoles = QStringLiteral("/proc/consoles");
    // systemd starts serial-getty@NAME.service for every link here.
    QString loginUnits = QStringLiteral("/etc/systemd/system/getty.target.wants");
};

// The console or configured login on the device with this device number and name below
// /dev (ttyS0).
PortUse portUse(dev_t rdev, const QString& deviceName, const PortUseSources& sources);

// A program that waits for a login on a terminal line.
bool isLoginProgram(const QString& program);

// Whether the user let ports in system use be taken (PARVOLO_ALLOW_CONSOLE=1).
bool systemPortsAllowed();

}  // namespace parvolo
