#include "serial/posix_serial_device.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "serial/driver_capabilities.h"
#include "serial/line_error_kinds.h"
#include "serial/port_admission.h"
#include "serial/serial_error.h"
#include "serial/termios2_settings.h"

namespace parvolo {

namespace {

// How often the lines of a driver that cannot wait for them (cp210x) are looked at: a light
// follows within it, and the idle window wakes 10 times a second.
constexpr int kLinePollMs = 100;
// A hang-up reads at most this much of what the kernel still holds.
constexpr qsizetype kMaxTail = 1 << 20;

bool isTransient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Errors of a driver that simply does not have modem lines or counters.
bool isUnsupported(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOSYS;
}

}  // namespace

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

    PortLock lock;
    const int fd = openAdmitted(path, {m_lockDirectory, m_useSources, m_systemPortsAllowed}, lock);
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
    m_countsAtHangUp.reset();
    ++m_generation;

    int lines = 0;
    m_hasModemLines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    m_lastLines = m_hasModemLines ? lines : 0;
    serial_icounter_struct counters{};
    m_hasCounters = ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
    m_lastCounters = counters;
    const QString driver = ttyDriverName(QFileInfo(QFileInfo(path).canonicalFilePath()).fileName());
    m_driver = driver.isEmpty() ? nullptr : &capabilitiesOf(driver);
    m_marking = false;
    m_marks.reset();
    // A pty has neither lines nor counters: nothing to watch, no thread, no timer.
    if (m_hasModemLines) startLineWatch();
}

void PosixSerialDevice::close() {
    if (m_fd < 0) return;
    ++m_generation;
    releaseNotifiers();
    m_pollTimer.stop();

    const int fd = std::exchange(m_fd, -1);
    // What is still queued is dropped: a line held back by flow control would keep the last
    // close waiting for the drain.
    ::tcflush(fd, TCOFLUSH);
    // That empties the kernel's buffer, not an adapter's own. With RTS/CTS the last close would
    // wait for the adapter to drain (up to the driver's closing wait, 30 s) while CTS is held,
    // or follows the RTS dropped below as on a loopback plug; the port would stay "still
    // closing" all that time. Without flow control its few bytes simply leave.
    if (Termios2State state; getTermios2(fd, state) == 0 && (state.cflag & CRTSCTS)) {
        state.cflag &= ~quint32(CRTSCTS);
        setTermios2(fd, state);
    }
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
    m_lineWatcher.retire(fd);

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
    const QString allSettings = setting_texts::allSettings(settings);
    if (settings.baudRate <= 0)
        refuse(setting_texts::baudRate(settings.baudRate), setting_texts::rateMustBePositive());

    Termios2State previous;
    if (const int err = getTermios2(m_fd, previous)) {
        if (isDeviceGone(err)) return hangUp();
        refuse(allSettings, osReason(err));
    }
    // Hardware flow control that the driver would ignore is refused, not claimed.
    if (m_driver && settings.rtsCts() && !m_driver->rtsCts)
        refuse(setting_texts::flowControl(settings.rtsCts(), settings.xonXoff()),
               setting_texts::driverIgnoresFlow(QString::fromLatin1(m_driver->driver)));
    if (m_driver && m_driver->maxBaud > 0 && settings.baudRate > m_driver->maxBaud)
        refuse(setting_texts::baudRate(settings.baudRate),
               setting_texts::driverFastestRate(QString::fromLatin1(m_driver->driver),
                                                m_driver->maxBaud));
    // Line errors asked for the way the driver needs: cp210x reports them only while INPCK is
    // set, pl2303 only as bytes the line discipline marks. Elsewhere INPCK would turn a damaged
    // byte into a NUL, so it is left off.
    const ErrorReporting errors = m_driver ? m_driver->errors : ErrorReporting::Counters;
    quint32 errorBits = 0;
    if (errors == ErrorReporting::CountersIfInpck) errorBits = INPCK;
    if (errors == ErrorReporting::Marks) errorBits = INPCK | PARMRK;
    const Termios2State wanted =
        rawTermios2(previous, bits.cflag, bits.iflag | errorBits, quint32(settings.baudRate));

    // glibc and drivers may take part of a request and still report success, so what counts
    // is what reads back.
    Termios2State actual;
    int err = setTermios2(m_fd, wanted);
    if (err == 0) err = getTermios2(m_fd, actual);
    if (isDeviceGone(err)) return hangUp();
    ReadBack readBack;
    if (err != 0) {
        readBack.what = allSettings;
        readBack.problem = osReason(err);
    } else {
        readBack = compareReadBack(settings, bits, actual);
        m_readBack = readBack.settings;
    }
    if (readBack.what.isEmpty()) {
        m_marking = (actual.iflag & PARMRK) != 0;
        return;
    }
    setTermios2(m_fd, previous);
    refuse(readBack.what, readBack.problem);
}

std::optional<KernelLineCounts> PosixSerialDevice::kernelLineCounts() const {
    // A hung-up tty answers EIO: what was counted at the hang-up is the last word.
    if (m_fd >= 0 && m_hungUp) return m_countsAtHangUp;
    serial_icounter_struct now{};
    if (!usable() || !m_hasCounters || ::ioctl(m_fd, TIOCGICOUNT, &now) != 0) return {};
    return lineCountsOf(now);
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
    int err = errno;
    if (isUnsupported(err)) return;  // no modem lines: nothing to switch, nothing to report
    // pl2303 answers EIO for a control request that merely timed out (it allows 100 ms); the
    // device is gone only when the tty cannot even be read any more. A timeout gets one more try.
    int lines = 0;
    if (isDeviceGone(err)) {
        if (::ioctl(m_fd, TIOCMGET, &lines) != 0) return hangUp();
        if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return;
        err = errno;
    }
    throw SerialError::lineRefused(m_path, QLatin1String(name), on, err);
}

ModemLines PosixSerialDevice::modemLines() const {
    ModemLines result;
    int lines = 0;
    if (!usable() || ::ioctl(m_fd, TIOCMGET, &lines) != 0) return result;
    // A line the driver does not have reads off: cdc_acm makes CTS up as always on.
    const ModemLines real = realLines(m_driver);
    result.cts = real.cts && (lines & TIOCM_CTS);
    result.dsr = real.dsr && (lines & TIOCM_DSR);
    result.dcd = real.dcd && (lines & TIOCM_CD);
    result.ri = real.ri && (lines & TIOCM_RNG);
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
        // Line errors arrive with data and do not wake the line watcher. They are looked at
        // before the data is handed on, so that the error is reported ahead of the bytes it
        // damaged, which the window then throws away unshown.
        if (m_hasCounters) checkLineChanges(false);
        return m_marking ? unmark(data, got) : got;
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
    // Once hung up the counters may not be read again; failing now, the last sample stands.
    m_countsAtHangUp = kernelLineCounts();
    if (!m_countsAtHangUp && m_hasCounters) m_countsAtHangUp = lineCountsOf(m_lastCounters);
    m_hungUp = true;
    // A hung-up fd is readable and writable forever; left enabled, the notifiers would spin.
    if (m_readNotifier) m_readNotifier->setEnabled(false);
    if (m_writeNotifier) m_writeNotifier->setEnabled(false);
    m_lineWatcher.retire(-1);
    m_pollTimer.stop();
    // Posted, not emitted here: hang-up is found inside read() and write(), and the caller
    // should finish its own step before hearing about it.
    postForSession(m_generation, [this] { emit hungUp(); });
}

void PosixSerialDevice::startLineWatch() {
    const quint64 generation = m_generation;
    const bool watching = m_lineWatcher.start(m_fd, [this, generation](WatchReport what) {
        postForSession(generation, [this, what] { onWatchReport(what); });
    });
    if (!watching) return m_pollTimer.start();
    // And one more look a little later, for a change that slipped in just before the first
    // wait began.
    QTimer::singleShot(kLinePollMs, this, [this, generation] {
        if (generation == m_generation && usable()) checkLines();
    });
}

template <typename Step>
void PosixSerialDevice::postForSession(quint64 generation, Step step) {
    // May be called on the line watcher's thread: m_generation is only read on delivery.
    QMetaObject::invokeMethod(
        this,
        [this, generation, step] {
            if (generation == m_generation) step();
        },
        Qt::QueuedConnection);
}

void PosixSerialDevice::onWatchReport(WatchReport report) {
    if (!usable()) return;
    switch (report) {
        case WatchReport::LinesChanged:
            checkLines();
            break;
        case WatchReport::Unsupported:
            // The driver has modem lines but cannot wait for them: look at them regularly.
            m_lineWatcher.retire(-1);
            m_pollTimer.start();
            break;
        case WatchReport::HungUp:
            hangUp();
            break;
    }
}

qint64 PosixSerialDevice::unmark(char* data, qint64 size) {
    QByteArray bytes(data, qsizetype(size));
    const std::vector<LineMarks::Found> marks = m_marks.strip(bytes);
    std::memcpy(data, bytes.constData(), size_t(bytes.size()));
    // Where the driver keeps no counters the marks are the errors: each is one, a break by its
    // mark, any other of a kind the marks do not tell (reported as framing).
    if (!m_hasCounters) {
        const quint64 generation = m_generation;
        for (const LineMarks::Found& found : marks) {
            if (generation != m_generation || !usable()) break;
            emit lineEvent(found.mark == LineMarks::Mark::Break ? LineEvent::Break
                                                                : LineEvent::FramingError);
        }
    }
    return bytes.size();
}

void PosixSerialDevice::checkLines() {
    checkLineChanges(true);
}

void PosixSerialDevice::checkLineChanges(bool levels) {
    if (!usable()) return;
    // Cleared before sampling: a change after the sample then posts a new report.
    m_lineWatcher.changeTaken();

    int lines = m_lastLines;
    if (levels && m_hasModemLines && ::ioctl(m_fd, TIOCMGET, &lines) != 0) {
        if (isDeviceGone(errno)) return hangUp();
        lines = m_lastLines;
    }
    serial_icounter_struct now = m_lastCounters;
    if (m_hasCounters && ::ioctl(m_fd, TIOCGICOUNT, &now) != 0) {
        if (isDeviceGone(errno)) return hangUp();
        now = m_lastCounters;
    }
    // Counters tell of a change that came and went between two looks; levels tell what a
    // driver that counts no line changes (cp210x) or keeps no counters (pl2303) cannot.
    const serial_icounter_struct& last = m_lastCounters;
    const int flipped = lines ^ m_lastLines;
    // One ring, one event, at its end: the 8250 counts a ring's end, ftdi_sio both of its edges;
    // cdc_acm counts each ring once and never tells of its end.
    const bool ringOver =
        m_driver && m_driver->ringIsCounted
            ? now.rng != last.rng
            : !(lines & TIOCM_RNG) && (now.rng != last.rng || (flipped & TIOCM_RNG));
    const std::pair<bool, LineEvent> changes[] = {
        {now.cts != last.cts || (flipped & TIOCM_CTS), LineEvent::CtsChanged},
        {now.dsr != last.dsr || (flipped & TIOCM_DSR), LineEvent::DsrChanged},
        {now.dcd != last.dcd || (flipped & TIOCM_CD), LineEvent::CarrierChanged},
        {ringOver, LineEvent::Ring},
    };
    std::vector<LineEvent> events;
    // Without the levels a ring's counter cannot be told from its end, so the line changes wait
    // for the next look that reads them; their counters stay where they were.
    if (levels) {
        for (const auto& [changed, event] : changes)
            if (changed) events.push_back(event);
    }
    for (const LineErrorKind& kind : kLineErrorKinds) {
        if (now.*kind.kernelCounter != last.*kind.kernelCounter) events.push_back(kind.event);
        m_lastCounters.*kind.kernelCounter = now.*kind.kernelCounter;
    }
    if (levels) {
        m_lastCounters = now;
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
