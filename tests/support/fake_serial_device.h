#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

#include "serial/serial_device.h"
#include "serial/serial_error.h"

namespace parvolo {

// A scriptable device for everything a pseudo-terminal cannot do: modem lines, rings, line
// errors, refused settings and switches, failed opens, a transmit side held back by flow
// control, echo and hang-up. Notifications are posted to the event loop, as a real device's
// are, so the window sees them only when it dispatches events.
class FakeSerialDevice : public SerialDevice {
    Q_OBJECT
public:
    struct State {
        // Script
        std::optional<SerialError::Code> openError;  // the error the next open raises
        bool refuseSettings = false;                 // applySettings refuses
        bool refuseRts = false, refuseDtr = false;
        bool echo = false;                // written bytes come back
        bool holdTransmit = false;        // flow control holds written bytes in the driver
        qint64 driverCapacity = 1 << 20;  // bytes the driver takes before writes block
        // Observed
        bool open = false;
        QString path;
        LineSettings settings;
        bool rts = false, dtr = false;
        int rtsChanges = 0, dtrChanges = 0;
        ModemLines lines;
        QByteArray written;      // bytes that left through the line
        QByteArray driverQueue;  // bytes held in the driver (holdTransmit)
        QByteArray kernelInput;  // bytes waiting to be read
        bool readNotification = false;
        int opens = 0, closes = 0, discardedOutput = 0, discardedInput = 0;
        bool hungUp = false;
    };

    explicit FakeSerialDevice(State* state, QObject* parent = nullptr);

    // Scripting helpers (post the matching notifications).
    void receive(const QByteArray& bytes);
    void setLine(int code, bool on);  // 3 CTS, 4 DSR, 5 DCD (the CommEvent numbers)
    void ring();
    void raiseLineEvent(int code);  // any code, as the OS would report it
    void hangUp();
    void releaseTransmit();  // the held bytes leave the driver

    void open(const QString& path) override;
    void close() override;
    bool isOpen() const override { return m_state->open; }
    void applySettings(const LineSettings& settings) override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    ModemLines modemLines() const override { return m_state->lines; }
    qint64 read(char* data, qint64 maxSize) override;
    qint64 write(const char* data, qint64 size) override;
    qint64 driverOutputCount() const override { return m_state->driverQueue.size(); }
    void discardInput() override;
    void discardOutput() override;
    void setReadNotification(bool enabled) override;
    void setWriteNotification(bool enabled) override;
    int handle() const override { return m_state->open ? m_handle : -1; }

private:
    void postReadable();

    State* m_state;
    int m_handle;
    bool m_writeNotification = false;
};

}  // namespace parvolo
