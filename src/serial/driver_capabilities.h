#pragma once

// What each serial driver can and cannot do, one row per driver, keyed by the driver's name as
// sysfs gives it (the directory /sys/class/tty/NAME/device leads to). The device asks for line
// errors the way its driver needs, refuses flow control the driver would ignore, and the
// checker leaves out what the driver cannot see, so that nothing is claimed that the driver
// cannot give. A driver not in the table is taken to do everything, as the 8250 and ftdi_sio
// do. Measured on Debian 12's kernel 6.1 (its drivers' sources and the guest's adapters).

#include <QString>
#include <QtGlobal>
#include <span>

#include "serial/line_settings.h"

namespace parvolo {

// How a driver reports line errors.
enum class ErrorReporting {
    Counters,         // TIOCGICOUNT counts each kind
    CountersIfInpck,  // the same, but only while INPCK is set (cp210x switches the chip then)
    Marks,            // only as bytes marked by the line discipline (INPCK and PARMRK)
    None,             // not at all
};

struct DriverCapabilities {
    const char* driver;
    // Which input lines are real; a line that is not reads whatever the driver makes up.
    bool cts, dsr, dcd, ri;
    ErrorReporting errors;
    bool waitsForLines;  // TIOCMIWAIT; without it the lines are polled
    bool rtsCts;         // hardware flow control is applied
    qint32 maxBaud;      // the fastest rate it takes, 0 where the chip decides
    // Each count of the ring counter is one whole ring: cdc_acm counts the device's ring
    // notification and never wakes a waiter when the ring bit clears.
    bool ringIsCounted = false;
};

std::span<const DriverCapabilities> knownDrivers();
// The input lines the driver really has (all of them without a row).
ModemLines realLines(const DriverCapabilities* driver);
// The row of `driver`, or one that claims everything for a driver not in the table.
const DriverCapabilities& capabilitiesOf(const QString& driver);

// The name of the driver behind a tty ("ftdi_sio", "cdc_acm"), from sysfs under
// `sysTtyDirectory`; empty where there is none (a pty, a tty that is gone).
QString ttyDriverName(const QString& ttyName,
                      const QString& sysTtyDirectory = QStringLiteral("/sys/class/tty"));

}  // namespace parvolo
