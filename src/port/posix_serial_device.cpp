#include "port/posix_serial_device.h"

#include <QFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "app/app_error.h"
#include "port/termios2_settings.h"

namespace {

constexpr quint32 kParityBits = PARENB | PARODD | CMSPAR;
constexpr quint32 kFlowInputBits = IXON | IXOFF | IXANY;
constexpr int kWatchedLines = TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
constexpr int kLinePollMs = 50;
// How long close() waits for the line watcher before leaving it to finish on its own.
constexpr auto kWatchStopBound = std::chrono::milliseconds(200);
constexpr auto kWatchKnockInterval = std::chrono::milliseconds(2);

// Messages are for the log and the message box in any locale, so the reason is always the
// untranslated C library text (strerror follows LC_MESSAGES, which QApplication sets).
QString osReason(int err) {
    const char* text = ::strerrordesc_np(err);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(err);
}

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

[[noreturn]] void throwOpenError(const QString& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            throw AppError(AppError::ErrHardwareUnavailable,
                           QStringLiteral("%1 opening %2: add your user to the 'dialout' group "
                                          "(sudo usermod -aG dialout $USER) and log in again")
                               .arg(osReason(err), path));
        case EBUSY:
            throw AppError(AppError::ErrHardwareUnavailable,
                           QStringLiteral("%1 is already in use: %2").arg(path, osReason(err)));
        case EWOULDBLOCK:  // from flock(LOCK_NB)
            throw AppError(
                AppError::ErrHardwareUnavailable,
                QStringLiteral("%1 is already in use: another program holds its lock (%2)")
                    .arg(path, osReason(err)));
        case ENOTTY:
            throw AppError(AppError::ErrInvalidPort,
                           QStringLiteral("%1 is not a serial port: %2").arg(path, osReason(err)));
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
        case ENAMETOOLONG:
        case EIO:  // a /dev/ttyS node without a UART behind it
            throw AppError(AppError::ErrInvalidPort,
                           QStringLiteral("Cannot open %1: %2").arg(path, osReason(err)));
        default:
            throw AppError(AppError::ErrHardwareUnavailable,
                           QStringLiteral("Cannot open %1: %2").arg(path, osReason(err)));
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

QString parityName(quint32 cflag) {
    if (!(cflag & PARENB)) return QStringLiteral("no");
    if (cflag & CMSPAR) return (cflag & PARODD) ? QStringLiteral("mark") : QStringLiteral("space");
    return (cflag & PARODD) ? QStringLiteral("odd") : QStringLiteral("even");
}

QString handshakingName(quint32 cflag, quint32 iflag) {
    const bool rtsCts = cflag & CRTSCTS;
    const bool xonXoff = (iflag & (IXON | IXOFF)) != 0;
    if (rtsCts && xonXoff) return QStringLiteral("RTS/CTS and XON/XOFF handshaking");
    if (rtsCts) return QStringLiteral("RTS/CTS handshaking");
    if (xonXoff) return QStringLiteral("XON/XOFF handshaking");
    return QStringLiteral("no handshaking");
}

}  // namespace

TermiosBits buildTermiosBits(const LineSettings& s) {
    TermiosBits bits;
    bits.cflag = CLOCAL | CREAD;
    switch (s.dataBits) {
        case 5:
            bits.cflag |= CS5;
            break;
        case 6:
            bits.cflag |= CS6;
            break;
        case 7:
            bits.cflag |= CS7;
            break;
        case 8:
            bits.cflag |= CS8;
            break;
        default:
            throw AppError::invalidPropertyValue();
    }
    switch (std::toupper(static_cast<unsigned char>(s.parity))) {
        case 'N':
            break;
        case 'E':
            bits.cflag |= PARENB;
            break;
        case 'O':
            bits.cflag |= PARENB | PARODD;
            break;
        case 'M':
            bits.cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 'S':
            bits.cflag |= PARENB | CMSPAR;
            break;
        default:
            throw AppError::invalidPropertyValue();
    }
    switch (s.stopBits) {
        case 1:
            break;
        case 2:
            bits.cflag |= CSTOPB;
            break;
        default:
            throw AppError::invalidPropertyValue();
    }
    if (s.handshaking < 0 || s.handshaking > 3) throw AppError::invalidPropertyValue();
    if (s.handshaking & 1) bits.iflag |= IXON | IXOFF;
    if (s.handshaking & 2) bits.cflag |= CRTSCTS;
    return bits;
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

PosixSerialDevice::PosixSerialDevice(QObject* parent) : SerialDevice(parent) {
    m_pollTimer.setInterval(kLinePollMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &PosixSerialDevice::checkLines);
}

PosixSerialDevice::~PosixSerialDevice() {
    close();
}

void PosixSerialDevice::open(const QString& path) {
    if (m_fd >= 0)
        throw AppError(AppError::ErrPortAlreadyOpen, QStringLiteral("Port already open"));

    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throwOpenError(path, errno);

    auto undo = [&](int err) {
        ::close(fd);
        throwOpenError(path, err);
    };

    struct termios attributes {};
    if (::tcgetattr(fd, &attributes) != 0) undo(errno == EINVAL ? ENOTTY : errno);
    // Root is let through TIOCEXCL; ask so that root does not barge in on another owner.
    int alreadyExclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive) undo(EBUSY);
    // The lock comes before TIOCEXCL: if another instance holds the port, its exclusive flag
    // must stay as it is.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) undo(errno);
    if (::ioctl(fd, TIOCEXCL) != 0) undo(errno);

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
    m_hungUp = false;
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
    stopLineWatch();
    m_pollTimer.stop();
    m_lineCheckQueued = false;

    const int fd = std::exchange(m_fd, -1);
    // A line held back by flow control would otherwise keep close() waiting for the drain.
    ::tcflush(fd, TCOFLUSH);
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);

    m_path.clear();
    m_hungUp = false;
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
        throw AppError(
            AppError::ErrCannotSetState,
            QStringLiteral("The port cannot set %1 on %2: %3").arg(what, m_path, problem));
    };
    const QString allSettings =
        QStringLiteral("the line settings %1,%2,%3,%4")
            .arg(QString::number(settings.baudRate), QString(QChar::fromLatin1(settings.parity)),
                 QString::number(settings.dataBits), QString::number(settings.stopBits));
    if (settings.baudRate <= 0)
        refuse(QStringLiteral("%1 baud").arg(settings.baudRate),
               QStringLiteral("the rate must be positive"));

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
        // A UART reaches most rates only approximately; 2% is what a receiver tolerates.
        auto farOff = [baud](quint32 rate) {
            return std::llabs(qint64(rate) - qint64(baud)) * 50 > qint64(baud);
        };
        const quint32 out = termios2OutputSpeed(actual);
        const quint32 in = termios2InputSpeed(actual);
        if (farOff(out) || farOff(in)) {
            what = QStringLiteral("%1 baud").arg(baud);
            problem =
                QStringLiteral("the driver reports %1 baud instead").arg(farOff(out) ? out : in);
        } else if ((actual.cflag & CSIZE) != (bits.cflag & CSIZE)) {
            what = QStringLiteral("%1 data bits").arg(settings.dataBits);
            problem = QStringLiteral("the driver reports %1 data bits instead")
                          .arg(dataBitsOf(actual.cflag));
        } else if ((actual.cflag & kParityBits) != (bits.cflag & kParityBits)) {
            what = parityName(bits.cflag) + QStringLiteral(" parity");
            problem = QStringLiteral("the driver reports %1 parity instead")
                          .arg(parityName(actual.cflag));
        } else if ((actual.cflag & CSTOPB) != (bits.cflag & CSTOPB)) {
            what = QStringLiteral("%1 stop bits").arg(settings.stopBits);
            problem = QStringLiteral("the driver reports %1 stop bits instead")
                          .arg((actual.cflag & CSTOPB) ? 2 : 1);
        } else if ((actual.cflag & CRTSCTS) != (bits.cflag & CRTSCTS) ||
                   (actual.iflag & kFlowInputBits) != (bits.iflag & kFlowInputBits)) {
            what = handshakingName(bits.cflag, bits.iflag);
            problem = QStringLiteral("the driver reports %1 instead")
                          .arg(handshakingName(actual.cflag, actual.iflag));
        }
    }
    if (what.isEmpty()) return;
    setTermios2(m_fd, previous);
    refuse(what, problem);
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
    throw AppError(AppError::ErrCannotSetState,
                   QStringLiteral("The port cannot %1 %2 on %3: %4")
                       .arg(on ? QStringLiteral("raise") : QStringLiteral("lower"),
                            QLatin1String(name), m_path, osReason(err)));
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
    if (!usable() || maxSize <= 0) return 0;
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
    m_hungUp = true;
    // A hung-up fd is readable and writable forever; left enabled, the notifiers would spin.
    if (m_readNotifier) m_readNotifier->setEnabled(false);
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    stopLineWatch();
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

void PosixSerialDevice::stopLineWatch() {
    if (!m_watchThread.joinable()) {
        m_watch.reset();
        return;
    }
    bool finished = false;
    {
        std::unique_lock lock(m_watch->mutex);
        m_watch->stopping = true;
        const auto deadline = std::chrono::steady_clock::now() + kWatchStopBound;
        // The signal can land between the stopping check and the ioctl, so knock until the
        // thread is out rather than once.
        while (!m_watch->finished && std::chrono::steady_clock::now() < deadline) {
            ::pthread_kill(m_watchThread.native_handle(), wakeSignal());
            m_watch->finishedChanged.wait_for(lock, kWatchKnockInterval);
        }
        finished = m_watch->finished;
    }
    if (finished)
        m_watchThread.join();
    else
        m_watchThread.detach();  // it holds its own descriptor and posts nothing any more
    m_watch.reset();
}

void PosixSerialDevice::onWatchReport(quint64 generation, WatchReport report) {
    if (generation != m_generation || !usable()) return;
    switch (report) {
        case WatchReport::LinesChanged:
            checkLines();
            break;
        case WatchReport::Unsupported:
            // The driver has modem lines but cannot wait for them: look at them regularly.
            stopLineWatch();
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

    std::vector<int> codes;
    serial_icounter_struct now{};
    if (m_hasCounters && ::ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        const LineCounters counters{now.cts,   now.dsr,     now.rng,    now.dcd,        now.brk,
                                    now.frame, now.overrun, now.parity, now.buf_overrun};
        const LineCounters& last = m_lastCounters;
        const std::pair<bool, int> changes[] = {
            {counters.cts != last.cts, 3},
            {counters.dsr != last.dsr, 4},
            {counters.dcd != last.dcd, 5},
            {counters.rng != last.rng, 6},
            {counters.brk != last.brk, 1001},
            {counters.frame != last.frame, 1004},
            {counters.overrun != last.overrun, 1006},
            {counters.parity != last.parity, 1009},
            {counters.bufOverrun != last.bufOverrun, 1008},
        };
        for (const auto& [changed, code] : changes)
            if (changed) codes.push_back(code);
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
        if (changed & TIOCM_CTS) codes.push_back(3);
        if (changed & TIOCM_DSR) codes.push_back(4);
        if (changed & TIOCM_CD) codes.push_back(5);
        // The ring counter counts the end of a ring; the levels do the same.
        if ((m_lastLines & TIOCM_RNG) && !(lines & TIOCM_RNG)) codes.push_back(6);
        m_lastLines = lines;
    }

    // A receiver may close the port in the middle of these.
    const quint64 generation = m_generation;
    for (int code : codes) {
        if (generation != m_generation || !usable()) return;
        emit lineEvent(code);
    }
}
