#pragma once

#include <QObject>
#include <QString>
#include <optional>

#include "serial/driver_capabilities.h"
#include "serial/line_event.h"
#include "serial/line_settings.h"

namespace parvolo {

// The line-error counters the driver (or, for a remote port, the server's notifications) kept,
// counting since the port was taken.
struct KernelLineCounts {
    quint32 frame = 0;
    quint32 overrun = 0;
    quint32 parity = 0;
    quint32 brk = 0;
    quint32 bufferOverrun = 0;

    bool operator==(const KernelLineCounts&) const = default;
    // What was counted after `earlier`; the counters wrap like unsigned numbers.
    KernelLineCounts since(const KernelLineCounts& earlier) const {
        return {frame - earlier.frame, overrun - earlier.overrun, parity - earlier.parity,
                brk - earlier.brk, bufferOverrun - earlier.bufferOverrun};
    }
};

// The boundary to the operating system. The serial control keeps buffers, thresholds and
// events; a device only opens, configures, moves bytes and reports what the line did.
// Notifications are emitted on the thread the device lives on (the UI thread).
class SerialDevice : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialDevice() override = default;

    // Opens exclusively; throws SerialError (no such port, permission
    // denied, busy with the holder named, ...). A failed open leaves the device closed and
    // the terminal untouched.
    virtual void open(const QString& path) = 0;
    // Never blocks and never throws; also undoes a half-finished open.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Applies and reads back the settings; throws SerialError (setting refused) when the device
    // does not take them, leaving the previous settings in force.
    virtual void applySettings(const LineSettings& settings) = 0;
    // A device without modem lines takes these silently; one that has them and refuses throws.
    virtual void setRts(bool on) = 0;
    virtual void setDtr(bool on) = 0;
    // Every line reads off on a device without modem lines.
    virtual ModemLines modemLines() const = 0;

    // Non-blocking: the bytes read (0 when none are waiting). A hang-up is reported through
    // hungUp(); from then on read returns what the line still held when it went away, then 0.
    virtual qint64 read(char* data, qint64 maxSize) = 0;
    // Non-blocking: the number of bytes the driver accepted (0 when it would block).
    virtual qint64 write(const char* data, qint64 size) = 0;
    // Bytes still in the driver's transmit queue.
    virtual qint64 driverOutputCount() const = 0;
    virtual void discardInput() = 0;
    virtual void discardOutput() = 0;

    // Input watching can be paused so that the kernel throttles the line (flow control).
    virtual void setReadNotification(bool enabled) = 0;
    // Asks for readyWrite() while the control still holds bytes to send.
    virtual void setWriteNotification(bool enabled) = 0;

    // The operating-system handle, -1 while closed.
    virtual int handle() const = 0;

    // What a device can tell about the line beyond its data; the defaults are those of a device
    // that can tell nothing. What the device read back after the last applySettings(), taken or
    // not; nothing when no read-back was possible.
    virtual std::optional<LineSettings> readBackSettings() const { return std::nullopt; }
    // Whether the modem lines are known: a pty has none, a remote server may never report them.
    virtual bool hasModemLines() const { return false; }
    // The line-error counters now, where they are kept; nothing where they are not known.
    virtual std::optional<KernelLineCounts> kernelLineCounts() const { return std::nullopt; }
    // A port on another machine, reached over the network.
    virtual bool isRemote() const { return false; }
    // After hungUp(): why the device went away, in words for a report, where it can tell.
    virtual QString lostReason() const { return {}; }
    // What the open port's driver can do; nothing where there is no driver (a pty, a remote
    // port).
    virtual const DriverCapabilities* driverCapabilities() const { return nullptr; }

signals:
    void readyRead();
    void readyWrite();
    // A modem line change (CTS, DSR, DCD, ring) or a line error (break, framing, overrun,
    // parity, a driver buffer that overflowed).
    void lineEvent(parvolo::LineEvent event);
    // The device went away (unplugged adapter, far end of a pty closed). Emitted once, when the
    // bytes still readable have been set aside for read().
    void hungUp();
};

}  // namespace parvolo
