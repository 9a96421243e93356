#include "serial/port_admission.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "serial/line_watcher.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

QString realDevicePath(const QByteArray& nativePath) {
    char* real = ::realpath(nativePath.constData(), nullptr);
    const QString path = QFile::decodeName(real ? QByteArray(real) : nativePath);
    std::free(real);
    return path;
}

// Who holds the port that refused us: the flock() owner, else for a device that is not a pty
// the processes that have it open. A pty's exclusive flag with nobody behind it was left by a
// program that ended without closing the port.
SerialError busyError(const QString& path, const struct stat& device, bool exclusiveFlag) {
    PortHolder holder = flockHolder(device.st_dev, device.st_ino);
    const bool pty = isPseudoTerminal(device.st_rdev);
    if (holder.pid == 0 && !pty) holder = deviceOpeners(device.st_rdev, ::getpid()).value(0);
    if (holder.pid == 0 && pty && exclusiveFlag) return SerialError::exclusiveLeftOver(path);
    return SerialError::busy(path, holder);
}

QString deviceNameBelowDev(const QString& device) {
    static const QString kDev = QStringLiteral("/dev/");
    return device.startsWith(kDev) ? device.mid(kDev.size()) : device;
}

// Another process has the port open; a getty waiting there means the port is a login line.
SerialError openerError(const QString& path, const PortHolder& opener, bool systemPortsAllowed) {
    if (systemPortsAllowed || !isLoginProgram(opener.program))
        return SerialError::busy(path, opener);
    return SerialError::inSystemUse(
        path,
        {PortUse::Kind::Login, QStringLiteral("%1, PID %2").arg(opener.program).arg(opener.pid)});
}

// Refuses the port when its lock file names a live holder or something that is not a lock.
void takeLockOrRefuse(PortLock& lock, const QString& directory, const QString& path,
                      const QString& device) {
    PortHolder holder;
    LockFileState found;
    switch (lock.take(directory, device, &holder, &found)) {
        case PortLock::Outcome::HeldByOther:
            if (holder.pid == 0 && found.invalid()) throw SerialError::lockInTheWay(path, found);
            throw SerialError::busy(path, holder);
        case PortLock::Outcome::Blocked:
            throw SerialError::lockInTheWay(path, found);
        case PortLock::Outcome::Taken:
        case PortLock::Outcome::NotKept:
            break;
    }
}

}  // namespace

int openAdmitted(const QString& path, const AdmissionRules& rules, PortLock& lock) {
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat node {};
    const bool isDevice = ::stat(nativePath.constData(), &node) == 0 && S_ISCHR(node.st_mode);
    if (isDevice && !LineWatcher::waitUntilClosed(node.st_rdev))
        throw SerialError::stillClosing(path);
    // Lock files go by the device itself, with COMn and /dev/serial/by-id links resolved, as
    // other serial programs name it.
    const QString realPath = isDevice ? realDevicePath(nativePath) : QString();
    if (isDevice && !rules.systemPortsAllowed) {
        const PortUse use = portUse(node.st_rdev, deviceNameBelowDev(realPath), rules.useSources);
        if (use.kind != PortUse::Kind::Free) throw SerialError::inSystemUse(path, use);
    }
    if (isDevice) takeLockOrRefuse(lock, rules.lockDirectory, path, realPath);

    // Opening with O_NONBLOCK changes nothing on the line; every check below comes before the
    // first change to the terminal, so a port someone else uses keeps its mode.
    const int fd = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EBUSY && isDevice) throw busyError(path, node, true);
        throw SerialError::openFailed(path, err);
    }
    auto undo = [fd](const SerialError& error) {
        ::close(fd);
        throw error;
    };

    struct stat device {};
    if (::fstat(fd, &device) != 0) undo(SerialError::openFailed(path, errno));
    struct termios attributes {};
    if (::tcgetattr(fd, &attributes) != 0)
        undo(SerialError::openFailed(path, errno == EINVAL ? ENOTTY : errno));
    // Root is let through TIOCEXCL; ask so that root does not barge in on another owner.
    int alreadyExclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive)
        undo(busyError(path, device, true));
    // The lock comes before TIOCEXCL: if another instance holds the port, its exclusive flag
    // must stay as it is.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        undo(err == EWOULDBLOCK ? busyError(path, device, false)
                                : SerialError::openFailed(path, err));
    }
    // A getty, a modem manager or a terminal program may have a real port open without any
    // lock. A pty's far end holds it by design, so ptys are not asked.
    if (!isPseudoTerminal(device.st_rdev)) {
        const QList<PortHolder> others = deviceOpeners(device.st_rdev, ::getpid());
        if (!others.isEmpty()) undo(openerError(path, others.first(), rules.systemPortsAllowed));
    }
    if (::ioctl(fd, TIOCEXCL) != 0) undo(SerialError::openFailed(path, errno));

    return fd;
}

}  // namespace parvolo
