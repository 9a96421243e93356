#pragma once

// Every description the serial layer gives, in the window's language. They are the D of the
// "D (N)" the window shows, so each keeps the specifics: the device path, what the driver or
// the C library answered (its reason stays untranslated inside the sentence), the device's
// group, the program that holds the port.

#include <QString>

#include "app/app_error.h"
#include "port/serial_device.h"

struct PortHolder;

// Who may open a device that refused us with EACCES.
struct DeviceAccess {
    QString group;        // a group that may open it; empty: only root may
    bool joined = false;  // the user is in that group, but this session started before
    bool unknown = true;  // the device could not be looked at
};

// Reads the device's owner group and mode and the user's groups.
DeviceAccess deviceAccess(const QString& path);

namespace SerialErrors {

AppError invalidPropertyValue();       // 380
AppError invalidPortNumber(int port);  // 8002
AppError alreadyOpen();                // 8005
AppError notOpen();                    // 8012

// A failed open(), tcgetattr() or lock, from its errno: 8002 when there is no serial port at
// the path, else 8010.
AppError openFailed(const QString& path, int err);
AppError permissionDenied(const QString& path, int err, const DeviceAccess& access);
AppError busy(const QString& path, const PortHolder& holder);
// A pty in exclusive mode with no lock naming its holder: still used, or left so by a program
// that ended without closing it.
AppError exclusiveLeftOver(const QString& path);
// The previous close of the same device has not finished (a line held back by flow control).
AppError stillClosing(const QString& path);

// 8015: the device does not take `what`; `problem` says why.
AppError settingRefused(const QString& path, const QString& what, const QString& problem);
AppError lineRefused(const QString& path, const QString& line, bool on, int err);

// Pieces of the refusal texts.
QString allSettings(const LineSettings& settings);
QString baudRate(qint64 baud);
QString dataBits(int bits);
QString parity(char letter);  // N, E, O, M, S
QString stopBits(int bits);
QString handshaking(bool rtsCts, bool xonXoff);
QString driverReports(const QString& value);
QString rateMustBePositive();

// The C library's own, untranslated text for an errno value.
QString osReason(int err);
// The hint that follows a permission error.
QString permissionHint(const DeviceAccess& access);

}  // namespace SerialErrors
