#pragma once

// The one error type of the serial layer, with every description it gives. The descriptions
// are written in English and translated (translations/parvolo_ja.ts): the window always asks
// for Japanese, the checker for the user's language. They keep the specifics: the device path,
// what the driver or the C library answered (its reason stays untranslated inside the
// sentence), the device's group, the program that holds the port.
//
// The error chain, from the operating system to what the operator or a script sees:
//   errno (or a refusal found by looking: a holder, a lock file, a read-back)
//   -> SerialError: a Code, a Reason and a description, made in serial_error.cpp (openFailed()
//      maps errno; who may open a refused device is found by deviceAccess(), port_holders.h)
//      or, for a port on another machine, in remote_errors.cpp
//   -> the control's error number, number() (kCodes: 380, 8002, 8005, 8010, 8012, 8015;
//      checked arithmetic gives 6)
//   -> in the window, the message "description (number)", WindowError::messageText(),
//      titled "通信エラー" (window/window_error.cpp)
//   -> in parvolo-check, the result word and exit code, in tools/check/check_run.cpp
//      (SettingRefused: settings-not-applied, 4; every other open error: cannot-open, 3;
//      a hang-up during the run: line-lost, 5) and check_result.cpp; the reason word and the
//      number go into its reports for scripts to match.

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <stdexcept>

#include "serial/line_settings.h"

namespace parvolo {

// The serial layer's texts, in one translation context.
struct SerialTexts {
    Q_DECLARE_TR_FUNCTIONS(SerialTexts)
};

// The control's error numbers, which the window shows with a description.
namespace error_numbers {
enum : int {
    Overflow = 6,
    InvalidPropertyValue = 380,
    InvalidPort = 8002,
    PortAlreadyOpen = 8005,
    HardwareUnavailable = 8010,
    PortNotOpen = 8012,
    CannotSetState = 8015,
    DeviceLost = 1011,  // the communication event of a device that went away
};
}  // namespace error_numbers

// Why a port could not be opened or set, or was lost: a stable word for scripts to match,
// one row each in kReasons (serial_error.cpp).
enum class SerialReason {
    Missing,         // nothing at the path, or a COM number that reaches no device
    NotASerialPort,  // something is there, but it is no tty
    BadName,         // a port name that names nothing: COM0, a malformed remote name
    Busy,            // another program holds the port, or a lock says so
    StillClosing,    // our own last close has not finished
    Permission,      // the user may not open the device
    Console,         // the kernel's console or a login is on the port
    Unreachable,     // a remote host that is not found or does not accept the connection
    ServerSilent,    // a remote server that accepted the connection and then did not answer
    ServerRefused,   // a remote server that refused port control or closed the connection
    SettingRefused,  // the driver or the server does not take the line settings
    LineRefused,     // an RTS or DTR change refused
    DeviceGone,      // the device went away during the run
    ServerGone,      // the remote server went away during the run
    OsError,         // any other reason the operating system gave
    Misuse,          // an operation the control does not allow in its state
};

struct SerialReasonRow {
    SerialReason reason;
    const char* word;
    const char* meaning;
};
extern const QList<SerialReasonRow> kSerialReasons;
QString reasonWord(SerialReason reason);

struct ComNumbers;
struct DeviceAccess;
struct ComPort;
struct SerialPortInfo;
struct PortHolder;
struct LockFileState;
struct PortUse;

// Errors after which a device cannot be used any more: the adapter is gone or the tty was hung
// up under us.
bool isDeviceGone(int err);

class SerialError : public std::runtime_error {
public:
    enum class Code {
        InvalidValue,  // a property value out of its range
        InvalidPort,   // a port number outside COM1..COM15
        NoSuchPort,    // nothing at the path, or not a serial port
        AlreadyOpen,
        NotOpen,
        PermissionDenied,
        Busy,            // another program holds the port
        StillClosing,    // our own previous close of the device has not finished
        OpenFailed,      // any other reason an open failed
        SettingRefused,  // the driver does not take the line settings, or reads back others
        LineRefused,     // the driver refuses an RTS or DTR change
    };

    // The reason follows from the code unless given.
    SerialError(Code code, const QString& description);
    SerialError(Code code, SerialReason reason, const QString& description);

    Code code() const noexcept { return m_code; }
    SerialReason reason() const noexcept { return m_reason; }
    // The control's error number for the code (error_numbers).
    int number() const noexcept;
    const QString& description() const noexcept { return m_description; }

    static SerialError invalidValue();
    static SerialError invalidPortNumber(int port);
    static SerialError alreadyOpen();
    static SerialError notOpen();
    // A failed open(), tcgetattr() or lock, from its errno.
    static SerialError openFailed(const QString& path, int err);
    static SerialError permissionDenied(const QString& path, int err, const DeviceAccess& access);
    static SerialError busy(const QString& path, const PortHolder& holder);
    // The kernel's console or a login is on the port (PortUse); taken only when allowed.
    static SerialError inSystemUse(const QString& path, const PortUse& use);
    // Something at the lock path says neither that the port is free nor who has it.
    static SerialError lockInTheWay(const QString& path, const LockFileState& lock);
    // A pty whose exclusive flag outlived the program that set it.
    static SerialError exclusiveLeftOver(const QString& path);
    static SerialError stillClosing(const QString& path);
    // A COM number that reaches no device: which number, what it would have opened (`opening`
    // is the device's own description of why not), and the numbers that do reach one.
    static SerialError comPortReachesNothing(const ComPort& port, const ComNumbers& numbers,
                                             const QString& opening);
    // serial:NUMBER that names no device (`matching` empty) or several; `numbered` are the
    // devices that have a serial number.
    static SerialError serialNumberNotOne(const QString& name,
                                          const QList<SerialPortInfo>& matching,
                                          const QList<SerialPortInfo>& numbered);
    // The device does not take `what`; `problem` says why.
    static SerialError settingRefused(const QString& path, const QString& what,
                                      const QString& problem);
    static SerialError lineRefused(const QString& path, const QString& line, bool on, int err);
    // The same, with what was answered instead of an errno.
    static SerialError lineRefused(const QString& path, const QString& line, bool on,
                                   const QString& problem);

    // A remote port (rfc2217://HOST:PORT). `url` is the name as given; the reasons stay inside
    // the sentence as the C library or the server gave them.
    // A name that is not HOST:PORT; `problem` says what is wrong (remote_texts).
    static SerialError badRemoteName(const QString& url, const QString& problem);
    // The host name does not resolve (`reason` from gai_strerror), or not within the bound.
    static SerialError remoteHostNotFound(const QString& url, const QString& host,
                                          const QString& reason);
    static SerialError remoteLookupTimedOut(const QString& url, const QString& host, int ms);
    // The TCP connection failed with `err`: refused or unreachable is no such port.
    static SerialError remoteUnreachable(const QString& url, int err);
    static SerialError remoteConnectTimedOut(const QString& url, int ms);
    // Connected, but the server did not answer `what` within `ms`.
    static SerialError remoteNoAnswer(const QString& url, const QString& what, int ms);
    // The server said no to port control (DONT COM-PORT).
    static SerialError remoteRefusedControl(const QString& url);
    // The server closed the connection while it was being set up; `said` is what it wrote.
    static SerialError remoteClosed(const QString& url, const QString& said);
    // The port was closed while open() waited for the server.
    static SerialError remoteOpenCancelled(const QString& url);
    // No answer to a settings command within `ms`.
    static SerialError remoteSettingUnanswered(const QString& url, const QString& what, int ms);
    // An RTS or DTR change the server answered otherwise, or not at all (`problem`).
    static SerialError remoteLineRefused(const QString& url, const QString& line, bool on,
                                         const QString& problem);

private:
    Code m_code;
    SerialReason m_reason;
    QString m_description;
};

// Pieces of the refusal texts.
namespace setting_texts {
// "on", "off"
QString onOff(bool on);
QString allSettings(const LineSettings& settings);
QString baudRate(qint64 baud);
QString dataBits(int bits);
QString parity(Parity parity);
QString stopBits(int bits);
QString flowControl(bool rtsCts, bool xonXoff);
QString driverReports(const QString& value);
// A remote port's read-back is what its server answered.
QString serverAnswers(const QString& value);
QString rateMustBePositive();
// Hardware flow control asked of a driver that does not apply it.
QString driverIgnoresFlow(const QString& driver);
// A rate above the fastest the driver makes, which some drivers clamp without saying so.
QString driverFastestRate(const QString& driver, qint32 fastest);
// A remote port: both flow controls at once cannot be asked for; a code the server answered
// that has no meaning.
QString remoteFlowCannotCombine();
QString serverCode(const QString& setting, const QString& code);
// The settings by name, for a code a server answered.
QString baudRateName();
QString dataBitsName();
QString parityName();
QString stopBitsName();
QString flowControlName();
}  // namespace setting_texts

// Pieces of the remote port's texts.
namespace remote_texts {
QString notRemoteScheme();
QString noHost();
QString noPort();
QString badPort(const QString& port);
QString trailingText(const QString& text);
QString badHostCharacters(const QString& host);
QString badIpv6(const QString& host);
QString ipv6NeedsBrackets();
// What a server answered to an RTS or DTR change, or that it did not.
QString serverAnswered(const QString& line, bool on);
QString serverAnsweredCode(int code);
QString serverSilent(int ms);
// "3 s", "0.5 s"
QString seconds(int ms);
// What the device waited for when a server did not answer the port-control offer.
QString comPortControlOffer();
}  // namespace remote_texts

// The C library's own, untranslated text for an errno value.
QString osReason(int err);
// The hint that follows a permission error.
QString permissionHint(const DeviceAccess& access);

}  // namespace parvolo
