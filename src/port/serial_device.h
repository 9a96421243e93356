#pragma once

#include <QObject>
#include <QString>

// Line settings as the serial control hands them to a device.
struct LineSettings {
    qint32 baudRate = 9600;
    char parity = 'N';    // N, E, O, M, S (upper case)
    int dataBits = 8;     // 5..8
    int stopBits = 1;     // 1 or 2
    int handshaking = 0;  // 0 none, 1 Xon/Xoff, 2 RTS/CTS, 3 both

    bool operator==(const LineSettings&) const = default;
};

struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
};

// The boundary to the operating system. The serial control keeps buffers, thresholds and
// events; a device only opens, configures, moves bytes and reports what the line did.
// Notifications are emitted on the thread the device lives on (the UI thread).
class SerialDevice : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialDevice() override = default;

    // Opens exclusively; throws AppError (8002 missing or not a serial port, 8010 busy, held
    // by another program, or permission denied). A failed open leaves the device closed and
    // the terminal untouched.
    virtual void open(const QString& path) = 0;
    // Never blocks and never throws; also undoes a half-finished open.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Applies and reads back the settings; throws AppError 8015 when the device does not take
    // them, leaving the previous settings in force.
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

signals:
    void readyRead();
    void readyWrite();
    // A modem line change (3 CTS, 4 DSR, 5 DCD, 6 ring) or line error (1001 break,
    // 1004 framing, 1006 overrun, 1009 parity, 1008 driver buffer overrun).
    void lineEvent(int code);
    // The device went away (unplugged adapter, far end of a pty closed). Emitted once, when the
    // bytes still readable have been set aside for read().
    void hungUp();
};
