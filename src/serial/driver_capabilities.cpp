#include "serial/driver_capabilities.h"

#include <QFileInfo>

namespace parvolo {

namespace {

using E = ErrorReporting;
// clang-format off
constexpr DriverCapabilities kDrivers[] = {
    // driver          cts    dsr   dcd   ri    line errors        waits  rtscts  max baud, ring counted
    {"serial8250",     true,  true, true, true, E::Counters,       true,  true,   0},
    {"ftdi_sio",       true,  true, true, true, E::Counters,       true,  true,   3000000},
    // ACM has no CTS: the driver reads it as on and never reports a change.
    {"cdc_acm",        false, true, true, true, E::Counters,       true,  false,  0, true},
    {"ch341-uart",     true,  true, true, true, E::None,           true,  false,  3000000},
    {"cp210x",         true,  true, true, true, E::CountersIfInpck, false, true,  1000000},
    {"pl2303",         true,  true, true, true, E::Marks,          true,  true,   0},
};
// clang-format on
constexpr DriverCapabilities kUnknownDriver = {"",          true, true, true, true,
                                               E::Counters, true, true, 0};

}  // namespace

std::span<const DriverCapabilities> knownDrivers() {
    return kDrivers;
}

ModemLines realLines(const DriverCapabilities* driver) {
    if (!driver) return {.cts = true, .dsr = true, .dcd = true, .ri = true};
    return {.cts = driver->cts, .dsr = driver->dsr, .dcd = driver->dcd, .ri = driver->ri};
}

const DriverCapabilities& capabilitiesOf(const QString& driver) {
    for (const DriverCapabilities& row : kDrivers)
        if (driver == QLatin1String(row.driver)) return row;
    return kUnknownDriver;
}

QString ttyDriverName(const QString& ttyName, const QString& sysTtyDirectory) {
    // The tty's device, or the first parent that has a driver: a USB serial port's own device
    // has one (ftdi_sio), an ACM tty's is the interface's (cdc_acm).
    QString dir =
        QFileInfo(sysTtyDirectory + QLatin1Char('/') + ttyName + QStringLiteral("/device"))
            .canonicalFilePath();
    for (int depth = 0; depth < 8 && dir.size() > 1; ++depth) {
        const QString driver = QFileInfo(dir + QStringLiteral("/driver")).canonicalFilePath();
        if (!driver.isEmpty() && !driver.contains(QStringLiteral("/bus/serial-base/")))
            return QFileInfo(driver).fileName();
        dir = QFileInfo(dir).path();
    }
    return QString();
}

}  // namespace parvolo
