#include "serial/posix_serial_device.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "serial/port_holders.h"
#include "serial/serial_error.h"
#include "serial/termios2_settings.h"

namespace parvolo {

namespace {

constexpr quint32 kParityBits = PARENB | PARODD | CMSPAR;
constexpr quint32 kFlowInputBits = IXON | IXOFF | IXANY;
constexpr int kWatchedLines = TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
constexpr int kLinePollMs = 50;
constexpr auto kWatchKnockInterval = std::chrono::milliseconds(2);
// How long an open waits for the closer of the same device before saying it is still closing.
constexpr auto kEarlierCloseBound = std::chrono::milliseconds(250);
// A hang-up reads at most this much of what the kernel still holds.
constexpr qsizetype kMaxTail = 1 << 20;

bool isTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Errors after which the device cannot be used any more: the adapter is gone or the tty was
// hung up under us.
bool isGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

// Errors of a driver that simply does not have modem lines or counters.
bool isUnsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOSYS;
}

// Devices whose last close() is still running on a closer thread. An open of the same device
// in the meantime would wait in the kernel for that close, on the UI thread.
class PendingCloses {
public:
    void add(dev_t device) {
        std::lock_guard lock(m_mutex);
        m_devices.insert(device);
    }
    void remove(dev_t device) {
        {
            std::lock_guard lock(m_mutex);
            if (auto it = m_devices.find(device); it != m_devices.end()) m_devices.erase(it);
        }
        m_changed.notify_all();
    }
    bool waitUntilClosed(dev_t device) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, kEarlierCloseBound,
                                  [&] { return m_devices.count(device) == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multiset<dev_t> m_devices;
};

PendingCloses& pendingCloses() {
    // Never destroyed: a closer thread may still finish while the program exits.
    static PendingCloses* closes = new PendingCloses;
    return *closes;
}

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

// Stops the line watcher's TIOCMIWAIT. The handler does nothing; what matters is that it is
// installed without SA_RESTART, so the interrupted ioctl returns EINTR instead of resuming.
int wakeSignal() {
    static const int signal = [] {
        const int number = SIGRTMAX - 3;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

int dataBitsOf(quint32 cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

Parity parityOf(quint32 cflag) {
    if (!(cflag & PARENB)) return Parity::None;
    if (cflag & CMSPAR) return (cflag & PARODD) ? Parity::Mark : Parity::Space;
    return (cflag & PARODD) ? Parity::Odd : Parity::Even;
}

QString flowControlText(quint32 cflag, quint32 iflag) {
    return SettingTexts::flowControl(cflag & CRTSCTS, (iflag & (IXON | IXOFF)) != 0);
}

}  // namespace

TermiosBits buildTermiosBits(const LineSettings& s) {
    TermiosBits bits;
    bits.cflag = CLOCAL | CREAD;
    switch (s.dataBits) {
        case DataBits::Five:
            bits.cflag |= CS5;
            break;
        case DataBits::Six:
            bits.cflag |= CS6;
            break;
        case DataBits::Seven:
            bits.cflag |= CS7;
            break;
        case DataBits::Eight:
            bits.cflag |= CS8;
            break;
        default:
            throw SerialError::invalidValue();
    }
    switch (s.parity) {
        case Parity::None:
            break;
        case Parity::Even:
            bits.cflag |= PARENB;
            break;
        case Parity::Odd:
            bits.cflag |= PARENB | PARODD;
            break;
        case Parity::Mark:
            bits.cflag |= PARENB | PARODD | CMSPAR;
            break;
        case Parity::Space:
            bits.cflag |= PARENB | CMSPAR;
            break;
        default:
            throw SerialError::invalidValue();
    }
    switch (s.stopBits) {
        case StopBits::One:
            break;
        case StopBits::Two:
            bits.cflag |= CSTOPB;
            break;
        default:
            throw SerialError::invalidValue();
    }
    if (s.xonXoff()) bits.iflag |= IXON | IXOFF;
    if (s.rtsCts()) bits.cflag |= CRTSCTS;
    return bits;
}

LineSettings settingsOf(const Termios2State& state) {
    LineSettings s;
    s.baudRate = qint32(std::min<quint32>(termios2OutputSpeed(state), INT32_MAX));
    s.parity = parityOf(state.cflag);
    s.dataBits = DataBits(dataBitsOf(state.cflag));
    s.stopBits = (state.cflag & CSTOPB) ? StopBits::Two : StopBits::One;
    const bool rtsCts = state.cflag & CRTSCTS;
    const bool xonXoff = (state.iflag & (IXON | IXOFF)) != 0;
    s.flow = rtsCts ? (xonXoff ? FlowControl::Both : FlowControl::RtsCts)
                    : (xonXoff ? FlowControl::XonXoff : FlowControl::None);
    return s;
}

// Shared between the UI thread and the line watcher; outlives either side.
struct PosixSerialDevice::LineWatch {
    std::mutex mutex;
    std::condition_variable finishedChanged;
    bool stopping = false;
    bool finished = false;
    // One "lines changed" report in flight at a time; the UI thread clears it before sampling.
    std::atomic<bool> changeQueued{false};
};

PosixSerialDevice::PosixSerialDevice(QString lockDirectory, QObject* parent)
    : SerialDevice(parent), m_lockDirectory(std::move(lockDirectory)) {
    m_pollTimer.setInterval(kLinePollMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &PosixSerialDevice::checkLines);
}

PosixSerialDevice::~PosixSerialDevice() {
    close();
}

void PosixSerialDevice::open(const QString& path) {
    if (m_fd >= 0) throw SerialError::alreadyOpen();

    const QByteArray nativePath = QFile::encodeName(path);
    struct stat node {};
    const bool isDevice = ::stat(nativePath.constData(), &node) == 0 && S_ISCHR(node.st_mode);
    if (isDevice && !pendingCloses().waitUntilClosed(node.st_rdev))
        throw SerialError::stillClosing(path);
    // Lock files go by the device itself, with COMn and /dev/serial/by-id links resolved, as
    // other serial programs name it.
    const QString realPath = isDevice ? realDevicePath(nativePath) : QString();
    if (isDevice && !m_systemPortsAllowed) {
        const PortUse use = portUse(node.st_rdev, deviceNameBelowDev(realPath), m_useSources);
        if (use.kind != PortUse::Kind::Free) throw SerialError::inSystemUse(path, use);
    }
    PortLock lock;
    if (isDevice) takeLockOrRefuse(lock, m_lockDirectory, path, realPath);

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
        if (!others.isEmpty()) undo(openerError(path, others.first(), m_systemPortsAllowed));
    }
    if (::ioctl(fd, TIOCEXCL) != 0) undo(SerialError::openFailed(path, errno));

    try {
        m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        m_readNotifier->setEnabled(false);
        connect(m_readNotifier, &QSocketNotifier::activated, this,
                &PosixSerialDevice::onReadActivated);
        m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        m_writeNotifier->setEnabled(false);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] {
            if (usable()) emit readyWrite();
        });
    } catch (...) {
        releaseNotifiers();
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        throw;
    }

    m_fd = fd;
    m_path = path;
    m_lock = std::move(lock);
    m_readBack.reset();
    m_hungUp = false;
    m_tail.clear();
    ++m_generation;

    int lines = 0;
    m_hasModemLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    m_lastLines = m_hasModemLines ? lines : 0;
    serial_icounter_struct counters{};
    m_hasCounters = ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
    m_lastCounters = {counters.cts,     counters.dsr,    counters.rng,
                      counters.dcd,     counters.brk,    counters.frame,
                      counters.overrun, counters.parity, counters.buf_overrun};
    // A pty has neither lines nor counters: nothing to watch, no thread, no timer.
    if (m_hasModemLines) startLineWatch();
}

void PosixSerialDevice::close() {
    if (m_fd < 0) return;
    ++m_generation;
    releaseNotifiers();
    m_pollTimer.stop();
    m_lineCheckQueued = false;

    const int fd = std::exchange(m_fd, -1);
    // What is still queued is dropped: a line held back by flow control would keep the last
    // close waiting for the drain.
    ::tcflush(fd, TCOFLUSH);
    // DTR and RTS go down now, as HUPCL takes them down at the last close, which the kernel
    // may still hold back.
    if (m_hasModemLines) {
        const int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIC, &lines);
    }
    // Released here and not with the descriptor, so that the port opens again at once.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    m_lock.release();
    retire(fd);

    m_path.clear();
    m_hungUp = false;
    m_tail.clear();
    m_hasModemLines = false;
    m_hasCounters = false;
}

void PosixSerialDevice::releaseNotifiers() {
    // close() can run inside a notifier's own activation, so they are deleted later.
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (!*notifier) continue;
        (*notifier)->setEnabled(false);
        (*notifier)->disconnect(this);
        (*notifier)->deleteLater();
        *notifier = nullptr;
    }
}

void PosixSerialDevice::applySettings(const LineSettings& settings) {
    if (!usable()) return;
    const TermiosBits bits = buildTermiosBits(settings);
    auto refuse = [&](const QString& what, const QString& problem) {
        throw SerialError::settingRefused(m_path, what, problem);
    };
    const QString allSettings = SettingTexts::allSettings(settings);
    if (settings.baudRate <= 0)
        refuse(SettingTexts::baudRate(settings.baudRate), SettingTexts::rateMustBePositive());

    Termios2State previous;
    if (const int err = getTermios2(m_fd, previous)) {
        if (isGone(err)) return hangUp();
        refuse(allSettings, osReason(err));
    }
    const quint32 baud = quint32(settings.baudRate);
    const Termios2State wanted = rawTermios2(previous, bits.cflag, bits.iflag, baud);

    // glibc and drivers may take part of a request and still report success, so what counts
    // is what reads back.
    QString what;
    QString problem;
    Termios2State actual;
    if (const int err = setTermios2(m_fd, wanted)) {
        if (isGone(err)) return hangUp();
        what = allSettings;
        problem = osReason(err);
    } else if (const int err = getTermios2(m_fd, actual)) {
        if (isGone(err)) return hangUp();
        what = allSettings;
        problem = osReason(err);
    } else {
        m_readBack = settingsOf(actual);
        // A UART reaches most rates only approximately; 2% is what a receiver tolerates.
        auto farOff = [baud](quint32 rate) {
            return std::llabs(qint64(rate) - qint64(baud)) * 50 > qint64(baud);
        };
        const quint32 out = termios2OutputSpeed(actual);
        const quint32 in = termios2InputSpeed(actual);
        if (farOff(out) || farOff(in)) {
            what = SettingTexts::baudRate(baud);
            problem = SettingTexts::driverReports(SettingTexts::baudRate(farOff(out) ? out : in));
        } else if ((actual.cflag & CSIZE) != (bits.cflag & CSIZE)) {
            what = SettingTexts::dataBits(settings.dataBitCount());
            problem = SettingTexts::driverReports(SettingTexts::dataBits(dataBitsOf(actual.cflag)));
        } else if ((actual.cflag & kParityBits) != (bits.cflag & kParityBits)) {
            what = SettingTexts::parity(settings.parity);
            problem = SettingTexts::driverReports(SettingTexts::parity(parityOf(actual.cflag)));
        } else if ((actual.cflag & CSTOPB) != (bits.cflag & CSTOPB)) {
            what = SettingTexts::stopBits(settings.stopBitCount());
            problem = SettingTexts::driverReports(
                SettingTexts::stopBits((actual.cflag & CSTOPB) ? 2 : 1));
        } else if ((actual.cflag & CRTSCTS) != (bits.cflag & CRTSCTS) ||
                   (actual.iflag & kFlowInputBits) != (bits.iflag & kFlowInputBits)) {
            what = flowControlText(bits.cflag, bits.iflag);
            problem = SettingTexts::driverReports(flowControlText(actual.cflag, actual.iflag));
        }
    }
    if (what.isEmpty()) return;
    setTermios2(m_fd, previous);
    refuse(what, problem);
}

KernelLineCounts KernelLineCounts::since(const KernelLineCounts& earlier) const {
    return {frame - earlier.frame, overrun - earlier.overrun, parity - earlier.parity,
            brk - earlier.brk, bufferOverrun - earlier.bufferOverrun};
}

std::optional<KernelLineCounts> PosixSerialDevice::kernelLineCounts() const {
    serial_icounter_struct now{};
    if (!usable() || !m_hasCounters || ::ioctl(m_fd, TIOCGICOUNT, &now) != 0) return {};
    return KernelLineCounts{quint32(now.frame), quint32(now.overrun), quint32(now.parity),
                            quint32(now.brk), quint32(now.buf_overrun)};
}

qint32 PosixSerialDevice::currentBaudRate() const {
    Termios2State state;
    if (!usable() || getTermios2(m_fd, state) != 0) return 0;
    return qint32(termios2OutputSpeed(state));
}

void PosixSerialDevice::setRts(bool on) {
    setModemLine(TIOCM_RTS, on, "RTS");
}

void PosixSerialDevice::setDtr(bool on) {
    setModemLine(TIOCM_DTR, on, "DTR");
}

void PosixSerialDevice::setModemLine(int bit, bool on, const char* name) {
    if (!usable()) return;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return;
    const int err = errno;
    if (isUnsupported(err)) return;  // no modem lines: nothing to switch, nothing to report
    if (isGone(err)) return hangUp();
    throw SerialError::lineRefused(m_path, QLatin1String(name), on, err);
}

ModemLines PosixSerialDevice::modemLines() const {
    ModemLines result;
    int lines = 0;
    if (!usable() || ::ioctl(m_fd, TIOCMGET, &lines) != 0) return result;
    result.cts = lines & TIOCM_CTS;
    result.dsr = lines & TIOCM_DSR;
    result.dcd = lines & TIOCM_CD;
    result.ri = lines & TIOCM_RNG;
    return result;
}

qint64 PosixSerialDevice::read(char* data, qint64 maxSize) {
    if (m_fd < 0 || maxSize <= 0) return 0;
    if (m_hungUp) {
        const qint64 n = std::min<qint64>(maxSize, m_tail.size());
        std::memcpy(data, m_tail.constData(), size_t(n));
        m_tail.remove(0, qsizetype(n));
        return n;
    }
    const ssize_t got = ::read(m_fd, data, size_t(maxSize));
    if (got > 0) {
        // Line errors arrive with data and do not wake the line watcher.
        queueLineCheck();
        return got;
    }
    if (got < 0 && isTransient(errno)) return 0;
    // With O_NONBLOCK and VMIN 1 an empty port answers EAGAIN; 0 bytes or an error means the
    // tty was hung up.
    hangUp();
    return 0;
}

qint64 PosixSerialDevice::write(const char* data, qint64 size) {
    if (!usable() || size <= 0) return 0;
    const ssize_t written = ::write(m_fd, data, size_t(size));
    if (written >= 0) return written;
    if (isTransient(errno)) return 0;
    hangUp();
    return 0;
}

qint64 PosixSerialDevice::driverOutputCount() const {
    int count = 0;
    if (!usable() || ::ioctl(m_fd, TIOCOUTQ, &count) != 0) return 0;
    return count;
}

void PosixSerialDevice::discardInput() {
    if (usable()) ::tcflush(m_fd, TCIFLUSH);
}

void PosixSerialDevice::discardOutput() {
    if (usable()) ::tcflush(m_fd, TCOFLUSH);
}

void PosixSerialDevice::setReadNotification(bool enabled) {
    if (m_readNotifier) m_readNotifier->setEnabled(enabled && usable());
}

void PosixSerialDevice::setWriteNotification(bool enabled) {
    if (m_writeNotifier) m_writeNotifier->setEnabled(enabled && usable());
}

void PosixSerialDevice::onReadActivated() {
    if (!usable()) return;
    pollfd watched{m_fd, POLLIN, 0};
    if (::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLNVAL))) return hangUp();
    emit readyRead();
}

void PosixSerialDevice::hangUp() {
    if (!usable()) return;
    // Whatever the kernel still holds is read first: it is the end of what the far side sent.
    char chunk[4096];
    while (m_tail.size() < kMaxTail) {
        const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
        if (got > 0)
            m_tail.append(chunk, qsizetype(got));
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    m_hungUp = true;
    // A hung-up fd is readable and writable forever; left enabled, the notifiers would spin.
    if (m_readNotifier) m_readNotifier->setEnabled(false);
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    retire(-1);
    m_pollTimer.stop();
    // Posted, not emitted here: hang-up is found inside read() and write(), and the caller
    // should finish its own step before hearing about it.
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation) emit hungUp();
        },
        Qt::QueuedConnection);
}

void PosixSerialDevice::startLineWatch() {
    // The watcher has its own descriptor: should it ever outlive close(), it must not wait on a
    // number that has been reused for another file.
    const int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        m_pollTimer.start();
        return;
    }
    auto watch = std::make_shared<LineWatch>();
    const int signal = wakeSignal();
    const quint64 generation = m_generation;
    auto report = [this, watch, generation](WatchReport what) {
        std::lock_guard lock(watch->mutex);
        // Once close() has set stopping, nothing more may be posted to this object.
        if (watch->stopping) return false;
        QMetaObject::invokeMethod(
            this, [this, generation, what] { onWatchReport(generation, what); },
            Qt::QueuedConnection);
        return true;
    };
    try {
        m_watchThread = std::thread([watch, fd, signal, report] {
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, signal);
            pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
            for (;;) {
                {
                    std::lock_guard lock(watch->mutex);
                    if (watch->stopping) break;
                }
                if (::ioctl(fd, TIOCMIWAIT, kWatchedLines) == 0) {
                    if (!watch->changeQueued.exchange(true) && !report(WatchReport::LinesChanged))
                        break;
                    continue;
                }
                const int err = errno;
                if (err == EINTR) continue;
                report(isGone(err) ? WatchReport::HungUp : WatchReport::Unsupported);
                break;
            }
            ::close(fd);
            {
                std::lock_guard lock(watch->mutex);
                watch->finished = true;
            }
            watch->finishedChanged.notify_all();
        });
    } catch (const std::system_error&) {
        ::close(fd);
        m_pollTimer.start();
        return;
    }
    m_watch = std::move(watch);
}

// A line watcher being stopped, and the descriptor to close once it is out.
struct PosixSerialDevice::Retired {
    std::thread watcher;
    std::shared_ptr<LineWatch> watch;
    int fd = -1;
    dev_t device = 0;
    // An earlier retirement of the same session whose watcher must be out before fd closes.
    std::shared_ptr<Retired> previous;
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
};

void PosixSerialDevice::finishRetired(Retired& retired) {
    if (retired.watcher.joinable()) {
        std::unique_lock lock(retired.watch->mutex);
        // The signal can land between the stopping check and the ioctl, so knock until the
        // thread is out rather than once.
        while (!retired.watch->finished) {
            ::pthread_kill(retired.watcher.native_handle(), wakeSignal());
            retired.watch->finishedChanged.wait_for(lock, kWatchKnockInterval);
        }
        lock.unlock();
        retired.watcher.join();
    }
    if (const auto& previous = retired.previous) {
        std::unique_lock lock(previous->mutex);
        previous->doneChanged.wait(lock, [&] { return previous->done; });
    }
    // Every watcher's own descriptor is closed by now, so this is the last one: DTR drops.
    if (retired.fd >= 0) {
        ::close(retired.fd);
        pendingCloses().remove(retired.device);
    }
    {
        std::lock_guard lock(retired.mutex);
        retired.done = true;
    }
    retired.doneChanged.notify_all();
}

void PosixSerialDevice::retire(int fd) {
    auto retired = std::make_shared<Retired>();
    retired->watcher = std::move(m_watchThread);
    retired->watch = std::move(m_watch);
    // Nothing is posted to this object from here on, whenever the thread gets out.
    if (retired->watch) {
        std::lock_guard lock(retired->watch->mutex);
        retired->watch->stopping = true;
    }
    struct stat device {};
    if (fd >= 0 && ::fstat(fd, &device) == 0) {
        retired->fd = fd;
        retired->device = device.st_rdev;
        pendingCloses().add(device.st_rdev);
    } else if (fd >= 0) {
        ::close(fd);
    }
    if (fd >= 0) retired->previous = std::exchange(m_retiring, nullptr);
    if (!retired->watcher.joinable() && retired->fd < 0 && !retired->previous) return;
    if (fd < 0) m_retiring = retired;
    try {
        std::thread([retired] { finishRetired(*retired); }).detach();
    } catch (const std::system_error&) {
        finishRetired(*retired);
    }
}

void PosixSerialDevice::onWatchReport(quint64 generation, WatchReport report) {
    if (generation != m_generation || !usable()) return;
    switch (report) {
        case WatchReport::LinesChanged:
            checkLines();
            break;
        case WatchReport::Unsupported:
            // The driver has modem lines but cannot wait for them: look at them regularly.
            retire(-1);
            m_pollTimer.start();
            break;
        case WatchReport::HungUp:
            hangUp();
            break;
    }
}

void PosixSerialDevice::queueLineCheck() {
    if (!m_hasCounters || m_lineCheckQueued) return;
    m_lineCheckQueued = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation) checkLines();
        },
        Qt::QueuedConnection);
}

void PosixSerialDevice::checkLines() {
    m_lineCheckQueued = false;
    if (!usable()) return;
    // Cleared before sampling: a change after the sample then posts a new report.
    if (m_watch) m_watch->changeQueued = false;

    std::vector<LineEvent> events;
    serial_icounter_struct now{};
    if (m_hasCounters && ::ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        const LineCounters counters{now.cts,   now.dsr,     now.rng,    now.dcd,        now.brk,
                                    now.frame, now.overrun, now.parity, now.buf_overrun};
        const LineCounters& last = m_lastCounters;
        const std::pair<bool, LineEvent> changes[] = {
            {counters.cts != last.cts, LineEvent::CtsChanged},
            {counters.dsr != last.dsr, LineEvent::DsrChanged},
            {counters.dcd != last.dcd, LineEvent::CarrierChanged},
            {counters.rng != last.rng, LineEvent::Ring},
            {counters.brk != last.brk, LineEvent::Break},
            {counters.frame != last.frame, LineEvent::FramingError},
            {counters.overrun != last.overrun, LineEvent::Overrun},
            {counters.parity != last.parity, LineEvent::ParityError},
            {counters.bufOverrun != last.bufOverrun, LineEvent::ReceiveOverflow},
        };
        for (const auto& [changed, event] : changes)
            if (changed) events.push_back(event);
        m_lastCounters = counters;
    } else if (m_hasCounters && isGone(errno)) {
        return hangUp();
    } else if (m_hasModemLines) {
        int lines = 0;
        if (::ioctl(m_fd, TIOCMGET, &lines) != 0) {
            if (isGone(errno)) hangUp();
            return;
        }
        const int changed = lines ^ m_lastLines;
        if (changed & TIOCM_CTS) events.push_back(LineEvent::CtsChanged);
        if (changed & TIOCM_DSR) events.push_back(LineEvent::DsrChanged);
        if (changed & TIOCM_CD) events.push_back(LineEvent::CarrierChanged);
        // The ring counter counts the end of a ring; the levels do the same.
        if ((m_lastLines & TIOCM_RNG) && !(lines & TIOCM_RNG)) events.push_back(LineEvent::Ring);
        m_lastLines = lines;
    }

    // A receiver may close the port in the middle of these.
    const quint64 generation = m_generation;
    for (LineEvent event : events) {
        if (generation != m_generation || !usable()) return;
        emit lineEvent(event);
    }
}

}  // namespace parvolo
