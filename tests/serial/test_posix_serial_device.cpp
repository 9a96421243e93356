// PosixSerialDevice against pseudo-terminals: the test holds the master side, the device
// opens the slave. A pty takes any baud rate but forces 8 data bits and no parity, so those
// settings are checked on the bits the device builds instead. A pty has no modem lines either;
// for the line watching, this program answers the modem ioctls of one chosen pty itself.

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>

#include "serial/mscomm.h"
#include "serial/os_comm_calls.h"
#include "serial/port_holders.h"
#include "serial/stop_signals.h"
#include "serial/posix_serial_device.h"
#include "serial/serial_error.h"
#include "support/holder_process.h"
#include "support/pty_pair.h"
#include "support/window_language.h"

using namespace parvolo;
using Code = SerialError::Code;
Q_DECLARE_METATYPE(SerialError::Code)

Q_DECLARE_METATYPE(LineSettings)
using CounterField = int serial_icounter_struct::*;
Q_DECLARE_METATYPE(CounterField)

namespace {

QByteArray allByteValues() {
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i) bytes[i] = char(i);
    return bytes;
}

qint64 cpuMicroseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval& t) { return qint64(t.tv_sec) * 1000000 + t.tv_usec; };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

// Modem lines and interrupt counters for the tty whose device number is `rdev`, answered
// in place of the kernel. TIOCMIWAIT sleeps until wake() and, like the real one, returns EINTR
// when a signal arrives. Every other request and every other file goes to the kernel.
struct FakeLines {
    std::atomic<dev_t> rdev{0};
    std::atomic<int> levels{0};
    std::atomic<bool> canWait{true};
    std::atomic<bool> hasCounters{true};
    std::atomic<int> refuseWith{0};  // errno for TIOCMBIS/TIOCMBIC
    std::atomic<int> waiting{0};
    std::atomic<int> waitsEntered{0};
    std::atomic<int> levelReads{0};
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::mutex mutex;
    serial_icounter_struct counters{};

    void reset(const QString& path) {
        std::lock_guard lock(mutex);
        counters = {};
        levels = 0;
        canWait = hasCounters = true;
        refuseWith = waiting = waitsEntered = levelReads = 0;
        quint64 drained;
        while (::read(wakeFd, &drained, sizeof drained) > 0) {
        }
        rdev = deviceNumber(path);
    }
    void bump(int serial_icounter_struct::*counter) {
        std::lock_guard lock(mutex);
        ++(counters.*counter);
    }
    void wake() {
        const quint64 one = 1;
        (void)::write(wakeFd, &one, sizeof one);
    }
    int answer(unsigned long request, void* arg) {
        switch (request) {
            case TIOCMGET:
                ++levelReads;
                *static_cast<int*>(arg) = levels;
                return 0;
            case TIOCMBIS:
            case TIOCMBIC:
                if (refuseWith) return errno = refuseWith, -1;
                request == TIOCMBIS ? levels |= *static_cast<int*>(arg)
                                    : levels &= ~*static_cast<int*>(arg);
                return 0;
            case TIOCGICOUNT: {
                if (!hasCounters) return errno = EINVAL, -1;
                std::lock_guard lock(mutex);
                *static_cast<serial_icounter_struct*>(arg) = counters;
                return 0;
            }
            case TIOCMIWAIT: {
                if (!canWait) return errno = ENOTTY, -1;
                ++waiting;
                ++waitsEntered;
                pollfd p{wakeFd, POLLIN, 0};
                const int r = ::poll(&p, 1, -1);
                const int err = errno;
                quint64 drained;
                if (r > 0) (void)::read(wakeFd, &drained, sizeof drained);
                --waiting;
                return r > 0 ? 0 : (errno = err, -1);
            }
            default:
                return errno = ENOTTY, -1;
        }
    }
};

FakeLines fakeLines;

// The last close of one tty held back, as the kernel holds it while a line stalled by flow
// control drains (up to closing_wait, 30 s by default). Given up after 3 s, so that a close
// made on the calling thread shows as a slow test rather than a hung one.
struct HeldCloses {
    std::atomic<dev_t> rdev{0};
    std::atomic<int> waiting{0};
    std::mutex mutex;
    std::condition_variable released;

    void release() {
        rdev = 0;
        released.notify_all();
    }
};

HeldCloses heldCloses;

// For a condition another thread sets: unlike QTRY_*, leaves this thread's posted events queued.
template <typename Condition>
bool waitWithoutEvents(Condition done) {
    const QDeadlineTimer deadline(2000);
    while (!done())
        if (deadline.hasExpired()) return false;
    return true;
}

LineSettings settings(qint32 baud, char parity = 'N', int dataBits = 8, int stopBits = 1,
                      int handshaking = 0) {
    return parseSettings(QStringLiteral("%1,%2,%3,%4")
                             .arg(baud)
                             .arg(QLatin1Char(parity))
                             .arg(dataBits)
                             .arg(stopBits),
                         FlowControl(handshaking));
}

}  // namespace

FAKE_MODEM_IOCTL(fakeLines)

extern "C" int close(int fd) noexcept {
    if (isDevice(fd, heldCloses.rdev)) {
        ++heldCloses.waiting;
        std::unique_lock lock(heldCloses.mutex);
        heldCloses.released.wait_for(lock, std::chrono::seconds(3),
                                     [] { return heldCloses.rdev == 0; });
        --heldCloses.waiting;
    }
    return int(::syscall(SYS_close, fd));
}

class TestPosixSerialDevice : public QObject {
    Q_OBJECT
private slots:
    void openAndClose();
    void secondOpenOfSamePathIsRefused();
    void busyPortIsNamed_data();
    void busyPortIsNamed();
    void closeNeverWaitsForTheLine();
    void openErrors_data();
    void openErrors();
    void baudRates_data();
    void baudRates();
    void settingsOnPty_data();
    void settingsOnPty();
    void linesAndCountersForTheReport_data();
    void linesAndCountersForTheReport();
    void termiosBits_data();
    void termiosBits();
    void allByteValuesBothWays();
    void hangUp_data();
    void hangUp();
    void lineEventsFromCounters_data();
    void lineEventsFromCounters();
    void lineLevelsPolledWhereWaitIsMissing();
    void closeStopsTheLineWatcher();
    void msCommOverPty();
    void stopSignalEndsAWaitThatNeverEnds();
    void ringCountedOnBothEdgesIsOneRing();
    void countsOutliveAHangUp();
    void closeLeavesNoFlowControlToWaitFor();
    void consoleIsNotTaken_data();
    void consoleIsNotTaken();
    void cleanup();
};

// Line watchers are stopped on closer threads; the next case starts when they are out.
void TestPosixSerialDevice::cleanup() {
    QTRY_COMPARE_WITH_TIMEOUT(fakeLines.waiting.load(), 0, 2000);
    fakeLines.rdev = 0;
}

void TestPosixSerialDevice::openAndClose() {
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    QCOMPARE(device.handle(), -1);
    device.open(pty.path());
    QVERIFY(device.isOpen());
    const int fd = device.handle();
    QVERIFY(fd >= 0);
    QVERIFY(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    QVERIFY_THROWS_EXCEPTION(SerialError, device.open(pty.path()));

    // No modem lines on a pty: switching them is silent and every line reads off.
    device.setRts(true);
    device.setDtr(true);
    const ModemLines lines = device.modemLines();
    QVERIFY(!lines.cts && !lines.dsr && !lines.dcd && !lines.ri);

    device.close();
    QVERIFY(!device.isOpen());
    QCOMPARE(device.handle(), -1);
    // The last close runs on a closer thread; it must not be left undone.
    QTRY_COMPARE_WITH_TIMEOUT(::fcntl(fd, F_GETFD), -1, 2000);
    device.close();
    // The lock went with the close: the port opens again.
    device.open(pty.path());
    QVERIFY(device.isOpen());
}

void TestPosixSerialDevice::secondOpenOfSamePathIsRefused() {
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice first;
    PosixSerialDevice second;
    first.open(pty.path());
    try {
        second.open(pty.path());
        QFAIL("second open succeeded");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), Code::Busy);
        QVERIFY2(e.description().contains(pty.path()), qPrintable(e.description()));
    }
    QVERIFY(!second.isOpen());
    first.close();
    second.open(pty.path());
    QVERIFY(second.isOpen());
}

void TestPosixSerialDevice::busyPortIsNamed_data() {
    QTest::addColumn<QString>("device");  // empty: a pty
    QTest::addColumn<int>("hold");        // how the holder holds it; -1: by a lock file only
    QTest::addColumn<bool>("gone");       // the holder is killed before the open
    QTest::newRow("lock file") << QString() << -1 << false;
    QTest::newRow("flock") << QString() << int(HolderProcess::Flock) << false;
    QTest::newRow("exclusive flag left on a pty")
        << QString() << int(HolderProcess::Exclusive) << true;
    // A real UART, never the machine's console: the virtual-hardware leg names one.
    QTest::newRow("plain open, not a pty")
        << qEnvironmentVariable("PARVOLO_TEST_UART") << int(HolderProcess::OpenOnly) << false;
}

// Another program has the port: the open is refused with its name and PID, and the terminal
// is left exactly as that program set it.
void TestPosixSerialDevice::busyPortIsNamed() {
    QFETCH(QString, device);
    QFETCH(int, hold);
    QFETCH(bool, gone);
    PtyPair pty;
    QVERIFY(pty.ok());
    if (hold == int(HolderProcess::OpenOnly) && device.isEmpty())
        QSKIP("PARVOLO_TEST_UART names no UART here");
    if (device.isEmpty()) device = pty.path();
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) QSKIP("no UART that can be opened here");
    QTemporaryDir lockDir;
    HolderProcess holder(hold < 0 ? QString() : device, std::max(hold, 0));
    QVERIFY(holder.ok());
    if (hold < 0) {
        QFile lock(lockDir.filePath(lockFileName(device)));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(holder.pid()).rightJustified(10, ' ') + '\n');
    }
    const QString expected = gone ? device + QStringLiteral(" は排他モードになっています")
                                  : QStringLiteral("%1 は使用中です: %2 (PID %3) が使っています")
                                        .arg(device, programName(holder.pid()))
                                        .arg(holder.pid());
    if (gone) holder.kill();
    // Cooked, as a shell has it: an open that made it raw would show.
    struct termios before {};
    QCOMPARE(::tcgetattr(fd, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    QCOMPARE(::tcsetattr(fd, TCSANOW, &before), 0);
    QCOMPARE(::tcgetattr(fd, &before), 0);

    PosixSerialDevice port(lockDir.path());
    try {
        port.open(device);
        QFAIL("a port another program has was opened");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), Code::Busy);
        QVERIFY2(e.description().startsWith(expected), qPrintable(e.description()));
    }
    QVERIFY(!port.isOpen());
    struct termios after {};
    QCOMPARE(::tcgetattr(fd, &after), 0);
    ::close(fd);
    QVERIFY(std::memcmp(&before, &after, sizeof before) == 0);
}

void TestPosixSerialDevice::closeNeverWaitsForTheLine() {
    PtyPair pty;
    QVERIFY(pty.ok());
    QTemporaryDir lockDir;
    PosixSerialDevice device(lockDir.path());
    device.open(pty.path());
    heldCloses.rdev = deviceNumber(pty.path());
    device.close();
    // close() has returned while the kernel still holds the last close; what a reopen needs
    // is released already.
    QVERIFY(waitWithoutEvents([] { return heldCloses.waiting == 1; }));
    QVERIFY(QDir(lockDir.path()).isEmpty());
    // A reopen would wait in the kernel for that close: it is refused instead, and says why.
    PosixSerialDevice again(lockDir.path());
    try {
        again.open(pty.path());
        QFAIL("opened while the last close was still running");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), Code::StillClosing);
        QVERIFY2(e.description().contains(QStringLiteral("まだ閉じている途中です")),
                 qPrintable(e.description()));
    }
    heldCloses.release();
    QVERIFY(waitWithoutEvents([] { return heldCloses.waiting == 0; }));
    again.open(pty.path());
    QVERIFY(again.isOpen());
}

void TestPosixSerialDevice::openErrors_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<Code>("code");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("/dev/parvolo-no-such-port") << Code::NoSuchPort
                             << QStringLiteral("No such file or directory");
    QTest::newRow("not a tty") << QStringLiteral("/dev/null") << Code::NoSuchPort
                               << QStringLiteral("シリアルポートではありません");
    QTest::newRow("directory") << QDir::tempPath() << Code::NoSuchPort
                               << QStringLiteral("Is a directory");
}

void TestPosixSerialDevice::openErrors() {
    QFETCH(QString, path);
    QFETCH(Code, code);
    QFETCH(QString, reason);
    PosixSerialDevice device;
    try {
        device.open(path);
        QFAIL("open succeeded");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), code);
        QVERIFY2(e.description().contains(path), qPrintable(e.description()));
        QVERIFY2(e.description().contains(reason), qPrintable(e.description()));
    }
    QVERIFY(!device.isOpen());
    QCOMPARE(device.handle(), -1);
}

void TestPosixSerialDevice::baudRates_data() {
    QTest::addColumn<qint32>("baud");
    for (qint32 baud :
         {300,    600,    1200,   2400,   4800,   9600,    14400,   19200,   28800,   38400, 57600,
          115200, 128000, 256000, 460800, 921600, 1000000, 1500000, 2000000, 3000000, 123456})
        QTest::addRow("%d", baud) << baud;
}

void TestPosixSerialDevice::baudRates() {
    QFETCH(qint32, baud);
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    device.open(pty.path());
    // Start from a rate that differs from every row so that a no-op cannot pass.
    device.applySettings(settings(50));
    QCOMPARE(device.currentBaudRate(), 50);
    device.applySettings(settings(baud));
    QCOMPARE(device.currentBaudRate(), baud);
}

void TestPosixSerialDevice::settingsOnPty_data() {
    QTest::addColumn<LineSettings>("wanted");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("named");
    QTest::newRow("2 stop bits") << settings(19200, 'N', 8, 2) << true << QString();
    QTest::newRow("xon/xoff") << settings(19200, 'N', 8, 1, 1) << true << QString();
    QTest::newRow("rts/cts") << settings(19200, 'N', 8, 1, 2) << true << QString();
    QTest::newRow("both") << settings(19200, 'N', 8, 1, 3) << true << QString();
    // The pty driver forces 8 data bits and clears PARENB: these must read back as refused.
    QTest::newRow("7 data bits") << settings(19200, 'N', 7) << false
                                 << QStringLiteral("データビット 7 を設定できません");
    QTest::newRow("even") << settings(19200, 'E') << false
                          << QStringLiteral("パリティ 偶数 を設定できません");
    QTest::newRow("odd") << settings(19200, 'O') << false
                         << QStringLiteral("パリティ 奇数 を設定できません");
    QTest::newRow("mark") << settings(19200, 'M') << false
                          << QStringLiteral("パリティ マーク を設定できません");
    QTest::newRow("space") << settings(19200, 'S') << false
                           << QStringLiteral("パリティ スペース を設定できません");
}

void TestPosixSerialDevice::settingsOnPty() {
    QFETCH(LineSettings, wanted);
    QFETCH(bool, taken);
    QFETCH(QString, named);
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    device.open(pty.path());
    device.applySettings(settings(4800));
    if (taken) {
        device.applySettings(wanted);
        QCOMPARE(device.currentBaudRate(), 19200);
        QVERIFY(device.readBackSettings() == wanted);
        return;
    }
    try {
        device.applySettings(wanted);
        QFAIL("a setting the pty cannot take was accepted");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), Code::SettingRefused);
        QVERIFY2(e.description().contains(named), qPrintable(e.description()));
        QVERIFY2(e.description().contains(pty.path()), qPrintable(e.description()));
    }
    // The refused request was rolled back as a whole, and what the driver made of it is kept.
    QCOMPARE(device.currentBaudRate(), 4800);
    LineSettings driver = wanted;
    driver.dataBits = DataBits::Eight;
    driver.parity = Parity::None;
    QVERIFY(device.readBackSettings() == driver);
    // A new session starts without a read-back.
    device.close();
    device.open(pty.path());
    QVERIFY(!device.readBackSettings());
}

// What the checker reports besides the data: modem lines and the kernel's line-error
// counters, which a pty lacks and a UART driver keeps (played here by the fake ioctls).
void TestPosixSerialDevice::linesAndCountersForTheReport_data() {
    QTest::addColumn<bool>("fake");
    QTest::addColumn<bool>("counters");
    QTest::newRow("pty") << false << false;
    QTest::newRow("UART with counters") << true << true;
    QTest::newRow("modem lines, no counters") << true << false;
}

void TestPosixSerialDevice::linesAndCountersForTheReport() {
    QFETCH(bool, fake);
    QFETCH(bool, counters);
    PtyPair pty;
    QVERIFY(pty.ok());
    if (fake) {
        fakeLines.reset(pty.path());
        fakeLines.canWait = false;
        fakeLines.hasCounters = counters;
        fakeLines.bump(&serial_icounter_struct::frame);  // counted before the open
    }
    PosixSerialDevice device;
    QVERIFY(!device.kernelLineCounts());
    device.open(pty.path());
    QCOMPARE(device.hasModemLines(), fake);
    const std::optional<KernelLineCounts> atOpen = device.kernelLineCounts();
    QCOMPARE(atOpen.has_value(), counters);
    if (counters) {
        for (CounterField field :
             {&serial_icounter_struct::frame, &serial_icounter_struct::parity,
              &serial_icounter_struct::parity, &serial_icounter_struct::brk,
              &serial_icounter_struct::overrun, &serial_icounter_struct::buf_overrun})
            fakeLines.bump(field);
        const std::optional<KernelLineCounts> now = device.kernelLineCounts();
        QVERIFY(now);
        QCOMPARE(now->frame, 2u);
        QVERIFY(now->since(*atOpen) == (KernelLineCounts{1, 1, 2, 1, 1}));
        // The kernel's counters wrap; what was counted since is still right.
        QVERIFY((KernelLineCounts{3, 0, 0, 0, 0}.since(KernelLineCounts{
                    0xFFFFFFFEu, 0, 0, 0, 0})) == (KernelLineCounts{5, 0, 0, 0, 0}));
    }
    device.close();
    QVERIFY(!device.kernelLineCounts());
    QVERIFY(!device.hasModemLines());
}

void TestPosixSerialDevice::termiosBits_data() {
    QTest::addColumn<LineSettings>("wanted");
    QTest::addColumn<quint32>("cflag");
    QTest::addColumn<quint32>("iflag");
    QTest::newRow("8N1") << settings(9600) << quint32(CS8) << 0u;
    QTest::newRow("5 data bits") << settings(9600, 'N', 5) << quint32(CS5) << 0u;
    QTest::newRow("6 data bits") << settings(9600, 'N', 6) << quint32(CS6) << 0u;
    QTest::newRow("7 data bits") << settings(9600, 'N', 7) << quint32(CS7) << 0u;
    QTest::newRow("even") << settings(9600, 'E', 7) << quint32(CS7 | PARENB) << 0u;
    QTest::newRow("odd") << settings(9600, 'O', 7) << quint32(CS7 | PARENB | PARODD) << 0u;
    QTest::newRow("mark") << settings(9600, 'M') << quint32(CS8 | PARENB | PARODD | CMSPAR) << 0u;
    QTest::newRow("space") << settings(9600, 'S') << quint32(CS8 | PARENB | CMSPAR) << 0u;
    QTest::newRow("2 stop bits") << settings(9600, 'N', 8, 2) << quint32(CS8 | CSTOPB) << 0u;
    QTest::newRow("xon/xoff") << settings(9600, 'N', 8, 1, 1) << quint32(CS8)
                              << quint32(IXON | IXOFF);
    QTest::newRow("rts/cts") << settings(9600, 'N', 8, 1, 2) << quint32(CS8 | CRTSCTS) << 0u;
    QTest::newRow("both") << settings(9600, 'N', 8, 1, 3) << quint32(CS8 | CRTSCTS)
                          << quint32(IXON | IXOFF);
}

void TestPosixSerialDevice::termiosBits() {
    QFETCH(LineSettings, wanted);
    QFETCH(quint32, cflag);
    QFETCH(quint32, iflag);
    const TermiosBits bits = buildTermiosBits(wanted);
    // Modem-control lines are never waited for and the receiver is always on.
    QCOMPARE(bits.cflag, cflag | CLOCAL | CREAD);
    QCOMPARE(bits.iflag, iflag);
}

void TestPosixSerialDevice::allByteValuesBothWays() {
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    device.open(pty.path());
    device.applySettings(settings(115200));
    QByteArray got;
    connect(&device, &SerialDevice::readyRead, &device, [&] {
        char chunk[64];
        qint64 n;
        while ((n = device.read(chunk, sizeof chunk)) > 0) got.append(chunk, n);
    });
    QSignalSpy arrivals(&device, &SerialDevice::readyRead);
    device.setReadNotification(true);
    QCoreApplication::processEvents();
    QCOMPARE(arrivals.count(), 0);

    const QByteArray bytes = allByteValues();
    QVERIFY(pty.send(bytes));
    QTRY_COMPARE_WITH_TIMEOUT(got, bytes, 2000);
    QVERIFY(arrivals.count() > 0);

    qint64 sent = 0;
    for (int tries = 0; sent < bytes.size() && tries < 100; ++tries)
        sent += device.write(bytes.constData() + sent, bytes.size() - sent);
    QCOMPARE(sent, qint64(bytes.size()));
    // A pty reports nothing waiting in the driver, even right after a write.
    QCOMPARE(device.driverOutputCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(pty.received(), bytes, 2000);
}

void TestPosixSerialDevice::hangUp_data() {
    QTest::addColumn<QString>("foundBy");
    QTest::newRow("read notifier") << QStringLiteral("notifier");
    QTest::newRow("read") << QStringLiteral("read");
    QTest::newRow("write") << QStringLiteral("write");
}

void TestPosixSerialDevice::hangUp() {
    QFETCH(QString, foundBy);
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    device.open(pty.path());
    device.applySettings(settings(9600));
    QSignalSpy hungUp(&device, &SerialDevice::hungUp);
    QSignalSpy readable(&device, &SerialDevice::readyRead);
    char byte = 'x';
    // Watching in every case: the read and write rows find the hang-up before the notifier.
    device.setReadNotification(true);

    pty.closeMaster();
    if (foundBy == QLatin1String("read")) QCOMPARE(device.read(&byte, 1), 0);
    if (foundBy == QLatin1String("write")) QCOMPARE(device.write(&byte, 1), 0);
    QTRY_COMPARE_WITH_TIMEOUT(hungUp.count(), 1, 2000);

    // A hung-up fd stays readable: a device still watching it would burn a core from here on.
    readable.clear();
    const qint64 cpuBefore = cpuMicroseconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(200);
    const qint64 cpuUsed = cpuMicroseconds() - cpuBefore;
    QVERIFY2(cpuUsed * 2 < wall.nsecsElapsed() / 1000,
             qPrintable(QStringLiteral("%1 us of CPU in %2 ms").arg(cpuUsed).arg(wall.elapsed())));
    QCOMPARE(readable.count(), 0);

    QCOMPARE(device.read(&byte, 1), 0);
    QCOMPARE(device.write(&byte, 1), 0);
    QCoreApplication::processEvents();
    QCOMPARE(hungUp.count(), 1);
    QVERIFY(device.isOpen());
    device.close();
    QVERIFY(!device.isOpen());
    QCoreApplication::processEvents();
    QCOMPARE(hungUp.count(), 1);
}

void TestPosixSerialDevice::lineEventsFromCounters_data() {
    QTest::addColumn<CounterField>("counter");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("afterRead");
    // Modem lines wake the watcher; line errors come with data and are found after a read.
    QTest::newRow("cts") << &serial_icounter_struct::cts << 3 << false;
    QTest::newRow("dsr") << &serial_icounter_struct::dsr << 4 << false;
    QTest::newRow("dcd") << &serial_icounter_struct::dcd << 5 << false;
    QTest::newRow("ring") << &serial_icounter_struct::rng << 6 << false;
    QTest::newRow("break") << &serial_icounter_struct::brk << 1001 << true;
    QTest::newRow("framing") << &serial_icounter_struct::frame << 1004 << true;
    QTest::newRow("overrun") << &serial_icounter_struct::overrun << 1006 << true;
    QTest::newRow("parity") << &serial_icounter_struct::parity << 1009 << true;
    QTest::newRow("buffer overrun") << &serial_icounter_struct::buf_overrun << 1008 << true;
}

void TestPosixSerialDevice::lineEventsFromCounters() {
    QFETCH(CounterField, counter);
    QFETCH(int, code);
    QFETCH(bool, afterRead);
    PtyPair pty;
    QVERIFY(pty.ok());
    fakeLines.reset(pty.path());
    PosixSerialDevice device;
    device.open(pty.path());
    device.applySettings(settings(9600));
    QSignalSpy events(&device, &SerialDevice::lineEvent);
    // A line error is reported before read() hands on the bytes it came with, so that the
    // window can throw them away unshown.
    qsizetype eventsWhenDataCame = -1;
    connect(&device, &SerialDevice::readyRead, &device, [&] {
        char chunk[16];
        while (device.read(chunk, sizeof chunk) > 0)
            if (eventsWhenDataCame < 0) eventsWhenDataCame = events.count();
    });
    device.setReadNotification(true);
    QTRY_COMPARE_WITH_TIMEOUT(fakeLines.waiting.load(), 1, 2000);

    auto trigger = [&] { afterRead ? (void)pty.send("x") : fakeLines.wake(); };
    fakeLines.bump(counter);
    trigger();
    QTRY_COMPARE_WITH_TIMEOUT(events.count(), 1, 2000);
    QCOMPARE(events.at(0).at(0).toInt(), code);
    if (afterRead) QCOMPARE(eventsWhenDataCame, qsizetype(1));
    // Nothing new counted: nothing to report. The CTS change after it shows the check ran.
    trigger();
    fakeLines.bump(&serial_icounter_struct::cts);
    fakeLines.wake();
    QTRY_COMPARE_WITH_TIMEOUT(events.count(), 2, 2000);
    QCOMPARE(events.at(1).at(0).toInt(), 3);
}

void TestPosixSerialDevice::lineLevelsPolledWhereWaitIsMissing() {
    PtyPair pty;
    QVERIFY(pty.ok());
    fakeLines.reset(pty.path());
    fakeLines.canWait = false;
    fakeLines.hasCounters = false;
    PosixSerialDevice device;
    device.open(pty.path());
    QSignalSpy events(&device, &SerialDevice::lineEvent);
    auto codes = [&] {
        QList<int> list;
        for (const auto& args : events) list.append(args.at(0).toInt());
        return list;
    };

    fakeLines.levels |= TIOCM_CTS;
    QTRY_COMPARE_WITH_TIMEOUT(codes(), QList<int>({3}), 2000);
    QVERIFY(device.modemLines().cts);
    // A ring counts when it ends, as the interrupt counter does.
    fakeLines.levels |= TIOCM_RNG;
    const int reads = fakeLines.levelReads;
    QTRY_VERIFY_WITH_TIMEOUT(fakeLines.levelReads >= reads + 2, 2000);
    QCOMPARE(events.count(), 1);
    fakeLines.levels &= ~TIOCM_RNG;
    fakeLines.levels |= TIOCM_DSR | TIOCM_CD;
    QTRY_COMPARE_WITH_TIMEOUT(codes(), QList<int>({3, 4, 5, 6}), 2000);

    // This device has modem lines, so a refused change is an error and not silence.
    fakeLines.refuseWith = EPERM;
    try {
        device.setRts(true);
        QFAIL("refused RTS change went unreported");
    } catch (const SerialError& e) {
        QCOMPARE(e.code(), Code::LineRefused);
        QVERIFY2(
            e.description().contains(pty.path()) && e.description().contains(QStringLiteral("RTS")),
            qPrintable(e.description()));
    }
}

void TestPosixSerialDevice::closeStopsTheLineWatcher() {
    PtyPair pty;
    QVERIFY(pty.ok());
    fakeLines.reset(pty.path());
    PosixSerialDevice device;
    device.open(pty.path());
    QSignalSpy events(&device, &SerialDevice::lineEvent);
    QTRY_COMPARE_WITH_TIMEOUT(fakeLines.waiting.load(), 1, 2000);
    // Let the watcher post a report and go back to waiting, then close before it is delivered.
    fakeLines.bump(&serial_icounter_struct::dcd);
    fakeLines.wake();
    QVERIFY(
        waitWithoutEvents([] { return fakeLines.waitsEntered == 2 && fakeLines.waiting == 1; }));
    const int fd = device.handle();
    device.close();
    // The watcher is knocked out of its wait and joined, and only then is the descriptor
    // closed: nothing is left behind holding the terminal.
    QVERIFY(waitWithoutEvents([] { return fakeLines.waiting == 0; }));
    QTRY_COMPARE_WITH_TIMEOUT(::fcntl(fd, F_GETFD), -1, 2000);
    QCoreApplication::processEvents();
    QCOMPARE(events.count(), 0);
}

void TestPosixSerialDevice::msCommOverPty() {
    PtyPair pty;
    QVERIFY(pty.ok());
    QTemporaryDir portMap;
    QVERIFY(portMap.isValid());
    QVERIFY(QFile::link(pty.path(), portMap.filePath(QStringLiteral("COM1"))));
    qputenv("PARVOLO_PORT_DIR", QFile::encodeName(portMap.path()));

    MSComm comm(std::make_unique<PosixSerialDevice>());
    QList<qint16> events;
    connect(&comm, &MSComm::OnComm, &comm, [&] { events.append(comm.CommEvent()); });
    comm.setCommPort(1);
    comm.setSettings(QStringLiteral("38400,n,8,1"));
    comm.setSThreshold(1);
    comm.setRThreshold(1);
    comm.setPortOpen(true);

    comm.setOutput(QStringLiteral("hello"));
    QTRY_COMPARE_WITH_TIMEOUT(pty.received(), QByteArray("hello"), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(qint16(LineEvent::TransmitEmpty)), 2000);

    QVERIFY(pty.send("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), qint16(3), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(qint16(LineEvent::DataReceived)), 2000);
    QCOMPARE(comm.Input(), QByteArray("abc"));
    QCOMPARE(comm.InBufferCount(), qint16(0));

    // With handshaking the control leaves what does not fit in the kernel; purging the receive
    // side must empty both its own buffer and the kernel's.
    comm.setPortOpen(false);
    comm.setHandshaking(2);
    comm.setInBufferSize(16);
    comm.setPortOpen(true);
    QVERIFY(pty.send(QByteArray(100, 'r')));
    QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), qint16(16), 2000);
    int inKernel = 0;
    QTRY_VERIFY_WITH_TIMEOUT(::ioctl(comm.CommID(), FIONREAD, &inKernel) == 0 && inKernel == 84,
                             2000);
    QVERIFY(PurgeComm(comm.CommID(), PURGE_RXCLEAR));
    QCOMPARE(comm.InBufferCount(), qint16(0));
    QCOMPARE(::ioctl(comm.CommID(), FIONREAD, &inKernel), 0);
    QCOMPARE(inKernel, 0);

    events.clear();
    pty.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(events.count(qint16(LineEvent::DeviceLost)), qsizetype(1), 2000);
    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
    qunsetenv("PARVOLO_PORT_DIR");
}

// A program stuck in a wait that does not end (here: opening a FIFO nobody writes, as reading a
// planted lock file once did) still ends on a stop signal: the first asks it to finish its work,
// and one that comes a second later while the first is still not dealt with ends it.
void TestPosixSerialDevice::stopSignalEndsAWaitThatNeverEnds() {
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        StopSignals stopSignals;
        ::open(fifo.constData(), O_RDONLY);  // waits for a writer that never comes
        ::_exit(0);
    }
    int status = 0;
    bool reaped = false;  // QTRY_VERIFY asks more than once
    auto ended = [&] { return reaped = reaped || ::waitpid(child, &status, WNOHANG) == child; };
    const auto noOrphan = qScopeGuard([&] {
        if (!ended()) ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
    });
    QTest::qWait(200);  // the child has installed its handlers and waits
    ::kill(child, SIGTERM);
    QTest::qWait(300);
    QVERIFY2(!ended(), "the first signal only asks");
    QTest::qWait(800);
    ::kill(child, SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 2000);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

// A port that the kernel's console or a login is on is refused before anything is done to it,
// unless the user allowed it; the consoles are read from a list of our own here.
void TestPosixSerialDevice::consoleIsNotTaken_data() {
    QTest::addColumn<QString>("use");  // console, other console, login unit
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QString>("refusal");  // empty: opened
    QTest::newRow("console") << "console" << false << "はカーネルのコンソール (ttyFAKE) です";
    QTest::newRow("console, allowed") << "console" << true << "";
    QTest::newRow("another device is the console") << "other console" << false << "";
}

void TestPosixSerialDevice::consoleIsNotTaken() {
    QFETCH(QString, use);
    QFETCH(bool, allowed);
    QFETCH(QString, refusal);
    PtyPair pty;
    QVERIFY(pty.ok());
    QTemporaryDir dir;
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(pty.path()).constData(), &st), 0);
    const unsigned minorNumber =
        minor(st.st_rdev) + (use == QLatin1String("other console") ? 1 : 0);
    QFile consoles(dir.filePath(QStringLiteral("consoles")));
    QVERIFY(consoles.open(QIODevice::WriteOnly));
    consoles.write(QStringLiteral("tty0                 -WU (E  p  )    4:1\n"
                                  "ttyFAKE              -W- (EC p a)    %1:%2\n")
                       .arg(major(st.st_rdev))
                       .arg(minorNumber)
                       .toLatin1());
    consoles.close();
    PosixSerialDevice port(dir.path());
    port.setPortUseSources({consoles.fileName(), dir.filePath(QStringLiteral("none"))});
    port.setSystemPortsAllowed(allowed);
    try {
        port.open(pty.path());
        QVERIFY2(refusal.isEmpty(), "the console was taken");
        QVERIFY(port.isOpen());
    } catch (const SerialError& e) {
        QVERIFY2(!refusal.isEmpty() && e.code() == Code::Busy &&
                     e.description().startsWith(pty.path() + QLatin1Char(' ') + refusal),
                 qPrintable(e.description()));
        // What the checker reports for it.
        QCOMPARE(reasonWord(e.reason()), QStringLiteral("console"));
        QCOMPARE(e.number(), 8010);
        QVERIFY(!QFile::exists(dir.filePath(lockFileName(pty.path()))));  // not even locked
    }
}

// ftdi_sio counts both edges of a ring where the 8250 counts its end: one ring, one event.
void TestPosixSerialDevice::ringCountedOnBothEdgesIsOneRing() {
    PtyPair pty;
    QVERIFY(pty.ok());
    fakeLines.reset(pty.path());
    PosixSerialDevice device;
    device.open(pty.path());
    QSignalSpy events(&device, &SerialDevice::lineEvent);
    QTRY_COMPARE_WITH_TIMEOUT(fakeLines.waiting.load(), 1, 2000);
    fakeLines.levels |= TIOCM_RNG;  // the ring starts
    fakeLines.bump(&serial_icounter_struct::rng);
    fakeLines.wake();
    QTRY_COMPARE_WITH_TIMEOUT(fakeLines.waitsEntered.load(), 2, 2000);
    fakeLines.levels &= ~TIOCM_RNG;  // and ends
    fakeLines.bump(&serial_icounter_struct::rng);
    fakeLines.bump(&serial_icounter_struct::cts);  // shows that the second sample was taken
    fakeLines.wake();
    QTRY_COMPARE_WITH_TIMEOUT(events.count(), 2, 2000);
    QCOMPARE(events.at(0).at(0).toInt(), 3);
    QCOMPARE(events.at(1).at(0).toInt(), 6);
}

// A hung-up tty answers EIO, so the report's kernel counts are those read at the hang-up.
void TestPosixSerialDevice::countsOutliveAHangUp() {
    PtyPair pty;
    QVERIFY(pty.ok());
    fakeLines.reset(pty.path());
    PosixSerialDevice device;
    device.open(pty.path());
    fakeLines.bump(&serial_icounter_struct::parity);
    QSignalSpy hungUp(&device, &SerialDevice::hungUp);
    device.setReadNotification(true);
    pty.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(hungUp.count(), 1, 2000);
    const std::optional<KernelLineCounts> counts = device.kernelLineCounts();
    QVERIFY(counts.has_value());
    QCOMPARE(counts->parity, 1u);
}

// With RTS/CTS the last close would wait for an adapter's own buffer to drain while CTS is held;
// the close leaves the line without flow control, so there is nothing to wait for.
void TestPosixSerialDevice::closeLeavesNoFlowControlToWaitFor() {
    PtyPair pty;
    QVERIFY(pty.ok());
    PosixSerialDevice device;
    device.open(pty.path());
    device.applySettings(settings(9600, 'N', 8, 1, 2));
    struct termios attributes {};
    QCOMPARE(::tcgetattr(pty.slave(), &attributes), 0);
    QVERIFY(attributes.c_cflag & CRTSCTS);
    device.close();
    QCOMPARE(::tcgetattr(pty.slave(), &attributes), 0);
    QVERIFY(!(attributes.c_cflag & CRTSCTS));
}

PARVOLO_TEST_IN_WINDOW_LANGUAGE

QTEST_MAIN(TestPosixSerialDevice)
#include "test_posix_serial_device.moc"
