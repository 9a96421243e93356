#include "serial/serial_error.h"

#include "serial/com_numbers.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "serial/port_holders.h"
#include "serial/port_use.h"

namespace parvolo {

bool isDeviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

namespace {

struct CodeRow {
    SerialError::Code code;
    int number;
    SerialReason reason;  // unless the error names a finer one
};

constexpr CodeRow kCodes[] = {
    {SerialError::Code::InvalidValue, error_numbers::InvalidPropertyValue, SerialReason::Misuse},
    {SerialError::Code::InvalidPort, error_numbers::InvalidPort, SerialReason::BadName},
    {SerialError::Code::NoSuchPort, error_numbers::InvalidPort, SerialReason::Missing},
    {SerialError::Code::AlreadyOpen, error_numbers::PortAlreadyOpen, SerialReason::Misuse},
    {SerialError::Code::NotOpen, error_numbers::PortNotOpen, SerialReason::Misuse},
    {SerialError::Code::PermissionDenied, error_numbers::HardwareUnavailable,
     SerialReason::Permission},
    {SerialError::Code::Busy, error_numbers::HardwareUnavailable, SerialReason::Busy},
    {SerialError::Code::StillClosing, error_numbers::HardwareUnavailable,
     SerialReason::StillClosing},
    {SerialError::Code::OpenFailed, error_numbers::HardwareUnavailable, SerialReason::OsError},
    {SerialError::Code::SettingRefused, error_numbers::CannotSetState,
     SerialReason::SettingRefused},
    {SerialError::Code::LineRefused, error_numbers::CannotSetState, SerialReason::LineRefused},
};

const CodeRow& rowOf(SerialError::Code code) {
    for (const CodeRow& row : kCodes)
        if (row.code == code) return row;
    return kCodes[std::size(kCodes) - 1];
}

}  // namespace

const QList<SerialReasonRow> kSerialReasons = {
    {SerialReason::Missing, "missing",
     "nothing is at the port's path, or its COM number reaches no device"},
    {SerialReason::NotASerialPort, "not-a-serial-port",
     "something is there, but it is not a serial port"},
    {SerialReason::BadName, "bad-name", "the port name is not one that can be opened"},
    {SerialReason::Busy, "busy", "another program has the port, or a lock file says so"},
    {SerialReason::StillClosing, "still-closing", "the port's last close has not finished yet"},
    {SerialReason::Permission, "permission", "the user may not open the device"},
    {SerialReason::Console, "console", "the kernel's console or a login is on the port"},
    {SerialReason::Unreachable, "unreachable",
     "the remote host is not found or takes no connection"},
    {SerialReason::ServerSilent, "server-silent",
     "the remote server took the connection but does not answer"},
    {SerialReason::ServerRefused, "server-refused",
     "the remote server refused port control or hung up"},
    {SerialReason::SettingRefused, "setting-refused",
     "the driver or server does not take the line settings"},
    {SerialReason::LineRefused, "line-refused", "an RTS or DTR change was refused"},
    {SerialReason::DeviceGone, "device-gone", "the device went away during the run"},
    {SerialReason::ServerGone, "server-gone", "the remote server went away during the run"},
    {SerialReason::OsError, "os-error", "the operating system refused for another reason"},
    {SerialReason::Misuse, "misuse", "an operation the port does not allow in its state"},
};

QString reasonWord(SerialReason reason) {
    for (const SerialReasonRow& row : kSerialReasons)
        if (row.reason == reason) return QLatin1String(row.word);
    return QString();
}

SerialError::SerialError(Code code, const QString& description)
    : SerialError(code, rowOf(code).reason, description) {}

SerialError::SerialError(Code code, SerialReason reason, const QString& description)
    : std::runtime_error(description.toStdString()),
      m_code(code),
      m_reason(reason),
      m_description(description) {}

int SerialError::number() const noexcept {
    return rowOf(m_code).number;
}

QString osReason(int err) {
    // strerror follows LC_MESSAGES, which QApplication sets; the reason stays the C library's
    // plain text whatever the locale.
    const char* text = ::strerrordesc_np(err);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(err);
}

SerialError SerialError::invalidValue() {
    return SerialError(Code::InvalidValue, SerialTexts::tr("Invalid property value"));
}

SerialError SerialError::invalidPortNumber(int port) {
    return SerialError(Code::InvalidPort, SerialTexts::tr("Invalid port number: COM%1").arg(port));
}

SerialError SerialError::alreadyOpen() {
    return SerialError(Code::AlreadyOpen, SerialTexts::tr("The port is already open"));
}

SerialError SerialError::notOpen() {
    return SerialError(Code::NotOpen,
                       SerialTexts::tr("The port is not open, so this cannot be done"));
}

SerialError SerialError::openFailed(const QString& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return permissionDenied(path, err, deviceAccess(path));
        case EBUSY:
        case EWOULDBLOCK:  // from flock(LOCK_NB)
            return busy(path, PortHolder{});
        case ENOTTY:
            return SerialError(
                Code::NoSuchPort, SerialReason::NotASerialPort,
                SerialTexts::tr("%1 is not a serial port: %2").arg(path, osReason(err)));
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
        case ENAMETOOLONG:
        case EIO:  // a /dev/ttyS node without a UART behind it
            return SerialError(Code::NoSuchPort,
                               SerialTexts::tr("Cannot open %1: %2").arg(path, osReason(err)));
        default:
            return SerialError(Code::OpenFailed,
                               SerialTexts::tr("Cannot open %1: %2").arg(path, osReason(err)));
    }
}

QString permissionHint(const DeviceAccess& access) {
    if (access.unknown) return QString();
    if (access.group.isEmpty())
        return access.owner == QLatin1String("root")
                   ? SerialTexts::tr("Only root may open this device")
                   : SerialTexts::tr("Only its owner %1 and root may open this device")
                         .arg(access.owner);
    if (access.joined)
        return SerialTexts::tr(
                   "You are in the group %1, but this login does not have it yet. Log in again")
            .arg(access.group);
    return SerialTexts::tr("Join the group %1 (sudo usermod -aG %1 $USER) and log in again")
        .arg(access.group);
}

SerialError SerialError::permissionDenied(const QString& path, int err,
                                          const DeviceAccess& access) {
    QString text = SerialTexts::tr("No permission to open %1: %2").arg(path, osReason(err));
    const QString hint = permissionHint(access);
    if (!hint.isEmpty()) text = SerialTexts::tr("%1. %2").arg(text, hint);
    return SerialError(Code::PermissionDenied, text);
}

SerialError SerialError::busy(const QString& path, const PortHolder& holder) {
    QString who;
    if (holder.pid > 0 && !holder.program.isEmpty())
        who = SerialTexts::tr("%1 (PID %2) has it").arg(holder.program).arg(holder.pid);
    else if (holder.pid > 0)
        who = SerialTexts::tr("the program with PID %1 has it").arg(holder.pid);
    else
        who = SerialTexts::tr("another program has it");
    return SerialError(Code::Busy, SerialTexts::tr("%1 is in use: %2").arg(path, who));
}

namespace {

QString fileKindText(mode_t type) {
    switch (type) {
        case S_IFIFO:
            return QStringLiteral("FIFO");
        case S_IFLNK:
            return SerialTexts::tr("symbolic link");
        case S_IFDIR:
            return SerialTexts::tr("directory");
        case S_IFCHR:
        case S_IFBLK:
            return SerialTexts::tr("device");
        case S_IFSOCK:
            return SerialTexts::tr("socket");
        default:
            return SerialTexts::tr("something that is not a regular file");
    }
}

QString lockProblemText(const LockFileState& lock) {
    using Kind = LockFileState::Kind;
    switch (lock.kind) {
        case Kind::Empty:
            return SerialTexts::tr("the lock file %1 is empty").arg(lock.path);
        case Kind::TooLarge:
            return SerialTexts::tr("the lock file %1 is too large for a lock file (%2 bytes)")
                .arg(lock.path)
                .arg(lock.size);
        case Kind::NotANumber:
            return SerialTexts::tr("the lock file %1 holds no PID").arg(lock.path);
        case Kind::PidOutOfRange:
            return SerialTexts::tr("the PID in the lock file %1 is a value no process can have")
                .arg(lock.path);
        case Kind::NotAFile:
            return SerialTexts::tr("the lock file %1 is not a file but a %2")
                .arg(lock.path, fileKindText(lock.type));
        case Kind::Unreadable:
            return SerialTexts::tr("cannot read the lock file %1 (owner %2): %3")
                .arg(lock.path, userName(lock.owner), osReason(lock.error));
        case Kind::CannotRemove:
            return SerialTexts::tr("cannot remove the old lock file %1 (owner %2): %3")
                .arg(lock.path, userName(lock.owner), osReason(lock.error));
        case Kind::Missing:
        case Kind::Pid:
            break;
    }
    return SerialTexts::tr("the lock file %1").arg(lock.path);
}

}  // namespace

SerialError SerialError::inSystemUse(const QString& path, const PortUse& use) {
    const QString text =
        use.kind == PortUse::Kind::Console
            ? SerialTexts::tr(
                  "%1 is the kernel's console (%2). Sending test data would disturb the "
                  "system, so it is not opened (to use it anyway: PARVOLO_ALLOW_CONSOLE=1)")
            : SerialTexts::tr(
                  "%1 is a login terminal (%2). Sending test data would disturb the system, "
                  "so it is not opened (to use it anyway: PARVOLO_ALLOW_CONSOLE=1)");
    return SerialError(Code::Busy, SerialReason::Console, text.arg(path, use.by));
}

SerialError SerialError::lockInTheWay(const QString& path, const LockFileState& lock) {
    // Without a lock other programs cannot see that the port is taken, so it is not opened;
    // the message names the file, so that whoever may remove it can.
    return SerialError(
        Code::Busy, SerialTexts::tr("Cannot tell whether %1 is in use: %2. Check, then remove it")
                        .arg(path, lockProblemText(lock)));
}

SerialError SerialError::exclusiveLeftOver(const QString& path) {
    // Nothing tells a pty's user from its far end, so both causes are named.
    return SerialError(
        Code::Busy, SerialTexts::tr("%1 is in exclusive mode: another program is using it, or the "
                                    "program that used it ended without closing it")
                        .arg(path));
}

SerialError SerialError::comPortReachesNothing(const ComPort& port, const ComNumbers& numbers,
                                               const QString& opening) {
    QString text;
    if (!port.unplugged.isEmpty())
        text = SerialTexts::tr("%2 on %1 is not connected").arg(port.name(), port.unplugged);
    else if (port.source == ComPort::Source::HandLink)
        text = SerialTexts::tr("The link target %2 of %1 does not exist (link %3)")
                   .arg(port.name(), port.linkTarget, port.path);
    else
        text = SerialTexts::tr("Nothing is connected to %1 (%2)").arg(port.name(), opening);
    const QString reachable = numbers.reachable();
    return SerialError(
        Code::NoSuchPort,
        reachable.isEmpty()
            ? SerialTexts::tr("%1. No COM number reaches a device").arg(text)
            : SerialTexts::tr("%1. COM numbers with a device: %2").arg(text, reachable));
}

SerialError SerialError::serialNumberNotOne(const QString& name,
                                            const QList<SerialPortInfo>& matching,
                                            const QList<SerialPortInfo>& numbered) {
    auto names = [](const QList<SerialPortInfo>& devices, bool withInterface) {
        QStringList words;
        for (const SerialPortInfo& d : devices)
            words << (withInterface ? QStringLiteral("%1 (%2:%3)")
                                          .arg(d.node, d.serialNumber, d.interfaceNumber)
                                    : QStringLiteral("%1 (%2)").arg(d.serialNumber, d.node));
        return words.join(QStringLiteral(", "));
    };
    if (!matching.isEmpty())
        return SerialError(
            Code::NoSuchPort,
            SerialTexts::tr("%1 matches %2 devices: %3. Choose one with serial:NUMBER:INTERFACE")
                .arg(name)
                .arg(matching.size())
                .arg(names(matching, true)));
    return SerialError(
        Code::NoSuchPort,
        SerialTexts::tr("No USB device with the serial number %1 is connected. %2")
            .arg(name, numbered.isEmpty() ? SerialTexts::tr("No device has a serial number")
                                          : SerialTexts::tr("Devices with a serial number: %1")
                                                .arg(names(numbered, false))));
}

SerialError SerialError::stillClosing(const QString& path) {
    return SerialError(
        Code::StillClosing,
        // The kernel's last close waits until what was queued has left, and some drivers then
        // wait longer (pl2303: 2 s at 1200 baud and below); flow control can hold it far longer.
        SerialTexts::tr("%1 is still closing (the kernel is waiting for the last bytes to leave). "
                        "Open it again in a moment")
            .arg(path));
}

SerialError SerialError::settingRefused(const QString& path, const QString& what,
                                        const QString& problem) {
    return SerialError(Code::SettingRefused,
                       SerialTexts::tr("Cannot set %2 on %1: %3").arg(path, what, problem));
}

SerialError SerialError::lineRefused(const QString& path, const QString& line, bool on, int err) {
    return lineRefused(path, line, on, osReason(err));
}

SerialError SerialError::lineRefused(const QString& path, const QString& line, bool on,
                                     const QString& problem) {
    return SerialError(Code::LineRefused, SerialTexts::tr("Cannot turn %2 of %1 %3: %4")
                                              .arg(path, line, setting_texts::onOff(on), problem));
}

namespace setting_texts {

QString onOff(bool on) {
    return on ? SerialTexts::tr("on") : SerialTexts::tr("off");
}

QString allSettings(const LineSettings& s) {
    return SerialTexts::tr("line settings %1,%2,%3,%4")
        .arg(QString::number(s.baudRate), QString(parityLetter(s.parity)),
             QString::number(s.dataBitCount()), QString::number(s.stopBitCount()));
}

QString baudRate(qint64 baud) {
    return SerialTexts::tr("baud rate %1").arg(baud);
}

QString dataBits(int bits) {
    return SerialTexts::tr("data bits %1").arg(bits);
}

QString parity(Parity parity) {
    switch (parity) {
        case Parity::Even:
            return SerialTexts::tr("parity even");
        case Parity::Odd:
            return SerialTexts::tr("parity odd");
        case Parity::Mark:
            return SerialTexts::tr("parity mark");
        case Parity::Space:
            return SerialTexts::tr("parity space");
        case Parity::None:
            break;
    }
    return SerialTexts::tr("parity none");
}

QString stopBits(int bits) {
    return SerialTexts::tr("stop bits %1").arg(bits);
}

QString flowControl(bool rtsCts, bool xonXoff) {
    if (rtsCts && xonXoff) return SerialTexts::tr("flow control RTS/CTS and Xon/Xoff");
    if (rtsCts) return SerialTexts::tr("flow control RTS/CTS");
    if (xonXoff) return SerialTexts::tr("flow control Xon/Xoff");
    return SerialTexts::tr("flow control none");
}

QString driverReports(const QString& value) {
    return SerialTexts::tr("the driver reports %1").arg(value);
}

QString serverAnswers(const QString& value) {
    return SerialTexts::tr("the server answered %1").arg(value);
}

QString rateMustBePositive() {
    return SerialTexts::tr("the baud rate must be positive");
}

QString driverIgnoresFlow(const QString& driver) {
    return SerialTexts::tr("the driver %1 does no hardware flow control").arg(driver);
}

QString driverFastestRate(const QString& driver, qint32 fastest) {
    return SerialTexts::tr("the driver %1 goes no faster than %2").arg(driver).arg(fastest);
}

QString remoteFlowCannotCombine() {
    return SerialTexts::tr("a remote port cannot have RTS/CTS and Xon/Xoff at once");
}

QString serverCode(const QString& setting, const QString& code) {
    return SerialTexts::tr("%1 code %2").arg(setting, code);
}

QString baudRateName() {
    return SerialTexts::tr("baud rate");
}

QString dataBitsName() {
    return SerialTexts::tr("data bits");
}

QString parityName() {
    return SerialTexts::tr("parity");
}

QString stopBitsName() {
    return SerialTexts::tr("stop bits");
}

QString flowControlName() {
    return SerialTexts::tr("flow control");
}

}  // namespace setting_texts

}  // namespace parvolo
