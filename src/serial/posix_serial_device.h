#pragma once

// A serial port on Linux. Everything the serial control sees happens on the UI thread: two
// socket notifiers turn "the fd is readable/writable" into readyRead()/readyWrite(), and the
// control then calls read()/write(), which never block. Modem-line changes need a different
// path because the kernel only reports them to a caller that sleeps in TIOCMIWAIT; a worker
// thread does that sleeping and merely posts "something changed" back to the UI thread, where
// the interrupt counters (TIOCGICOUNT) are compared with the last sample and turned into
// lineEvent() codes. Line errors do not wake TIOCMIWAIT, so the counters are sampled after
// reads as well. Drivers without TIOCMIWAIT get a polling timer instead; a pty, which has no
// modem lines at all, gets neither. A hang-up (read of 0, EIO, POLLHUP) silences all of this
// at once, because a hung-up fd stays readable forever, and is reported once through hungUp()
// after what the kernel still held has been read into a tail that read() then hands out.
//
// Opening takes the port only when nobody else has it: the UUCP lock file, the exclusive flag,
// flock() and, for a device that is not a pty, the other processes' descriptors are all
// checked before anything about the terminal changes, and a refusal names the holder. Closing
// releases the lock file, flock() and the exclusive flag at once, so the port can be opened
// again straight away; the last close() of the descriptor, which the kernel may hold back
// while a line stalled by flow control drains, runs on a closer thread after the line watcher
// has been knocked out of its wait and joined.
#include <QObject>
#include <QString>
#include <QTimer>
#include <linux/serial.h>
#include <memory>
#include <optional>
#include <thread>

#include "serial/line_marks.h"
#include "serial/line_watcher.h"
#include "serial/port_holders.h"
#include "serial/port_use.h"
#include "serial/serial_device.h"
#include "serial/termios_translation.h"

class QSocketNotifier;

namespace parvolo {

class PosixSerialDevice : public SerialDevice {
    Q_OBJECT
public:
    // Where serial programs keep their UUCP lock files (/run/lock on Debian).
    static constexpr const char* kLockDirectory = "/var/lock";

    explicit PosixSerialDevice(QString lockDirectory = QString::fromLatin1(kLockDirectory),
                               QObject* parent = nullptr);
    ~PosixSerialDevice() override;

    // Where the kernel's console and the configured logins are read from (tests use their own),
    // and whether a port in such use may be taken (PARVOLO_ALLOW_CONSOLE=1 says so).
    void setPortUseSources(const PortUseSources& sources) { m_useSources = sources; }
    void setSystemPortsAllowed(bool allowed) { m_systemPortsAllowed = allowed; }

    void open(const QString& path) override;
    void close() override;
    bool isOpen() const override { return m_fd >= 0; }

    void applySettings(const LineSettings& settings) override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    ModemLines modemLines() const override;

    qint64 read(char* data, qint64 maxSize) override;
    qint64 write(const char* data, qint64 size) override;
    qint64 driverOutputCount() const override;
    void discardInput() override;
    void discardOutput() override;

    void setReadNotification(bool enabled) override;
    void setWriteNotification(bool enabled) override;

    int handle() const override { return m_fd; }

    // The output rate the driver reports, 0 while closed or hung up.
    qint32 currentBaudRate() const;
    // What the driver read back after the last applySettings() of this or the last session,
    // whether it was taken or not; nothing when no read-back was possible.
    std::optional<LineSettings> readBackSettings() const override { return m_readBack; }
    // Whether the open device has modem lines (a pty has none).
    bool hasModemLines() const override { return m_hasModemLines; }
    // The line-error counters now, where the driver keeps them (not on a pty); nothing while
    // closed or hung up.
    std::optional<KernelLineCounts> kernelLineCounts() const override;
    const DriverCapabilities* driverCapabilities() const override { return m_driver; }

private:
    void setModemLine(int bit, bool on, const char* name);
    bool usable() const { return m_fd >= 0 && !m_hungUp; }
    void onReadActivated();
    void hangUp();
    void startLineWatch();
    // Posts step to this object's thread, where it runs unless the port was closed or opened
    // again since `generation`.
    template <typename Step>
    void postForSession(quint64 generation, Step step);
    void onWatchReport(WatchReport report);
    void checkLines();
    // Takes the line discipline's marks out of what was read, reporting them where they are
    // the only word of a line error; returns the bytes left.
    qint64 unmark(char* data, qint64 size);
    // Posts what changed since the last look: line changes by their counters and, with
    // `levels`, by the lines' levels; line errors by their counters.
    void checkLineChanges(bool levels);
    void releaseNotifiers();

    int m_fd = -1;
    QString m_path;
    QString m_lockDirectory;
    PortUseSources m_useSources;
    bool m_systemPortsAllowed = systemPortsAllowed();
    PortLock m_lock;
    bool m_hungUp = false;
    // What the kernel still held when the line went away.
    QByteArray m_tail;
    // Bumped on every open and close so that reports of an earlier session are dropped.
    quint64 m_generation = 0;

    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;

    bool m_hasModemLines = false;
    bool m_hasCounters = false;
    // Last sample of the modem lines (TIOCM_* bits) and of the interrupt counters.
    int m_lastLines = 0;
    serial_icounter_struct m_lastCounters{};
    // The open port's driver (nullptr for a pty), and the marks of damaged bytes where the
    // driver reports errors only that way.
    const DriverCapabilities* m_driver = nullptr;
    bool m_marking = false;
    LineMarks m_marks;
    std::optional<KernelLineCounts> m_countsAtHangUp;
    std::optional<LineSettings> m_readBack;

    LineWatcher m_lineWatcher;
    QTimer m_pollTimer;
};

}  // namespace parvolo
