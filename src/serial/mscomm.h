#pragma once

// The serial control. The window sets properties (CommPort, Settings, ...), opens the port
// with PortOpen and then works only through this class: Output queues text (encoded in the
// CP932 code page) and writes it as the device accepts it; the device's input is read eagerly
// into a buffer of InBufferSize bytes that Input drains; while it is full the rest waits in
// the kernel. Everything that happens on the line becomes a CommEvent code, queued and
// delivered one at a time through OnComm on the UI thread: 1 when the transmit side has
// drained, 2 when data has arrived, 3..6 modem lines, 1001..1011 errors. Each code waits in
// one entry at most, so the queue stays a few entries long however fast the line (or a remote
// server) reports: 1 and 2 wait once (a new Output drops a waiting 1, which spoke of the data
// before); 3, 4 and 5 wait once, since the window reads the line's level when it is told; a
// ring, a line error or a fatal error that comes again while its code waits is counted in its
// entry and delivered as often as it came, the entry going to the back of the queue after each
// delivery so that the other codes (the data behind a flood) have their turn.
// A hang-up of the device posts 2 for the bytes the line still held, then 1011 once; the port
// then stays "open" with its received bytes readable until the window closes it, and nothing
// touches the device.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

#include "serial/line_event.h"
#include "serial/serial_device.h"

namespace parvolo {

class MSComm : public QObject {
    Q_OBJECT
public:
    explicit MSComm(std::unique_ptr<SerialDevice> device, QObject* parent = nullptr);
    ~MSComm() override;

    qint16 CommPort() const { return m_commPort; }
    void setCommPort(qint16 port);
    QString Settings() const { return m_settingsText; }
    void setSettings(const QString& settings);
    qint32 Handshaking() const { return qint32(m_settings.flow); }
    void setHandshaking(qint32 mode);
    bool RTSEnable() const { return m_rtsEnable; }
    void setRTSEnable(bool on);
    bool DTREnable() const { return m_dtrEnable; }
    void setDTREnable(bool on);
    qint16 RThreshold() const { return m_rThreshold; }
    void setRThreshold(qint16 value);
    qint16 SThreshold() const { return m_sThreshold; }
    void setSThreshold(qint16 value);
    qint32 InputMode() const { return m_inputMode; }
    void setInputMode(qint32 mode);
    qint16 InBufferSize() const { return m_inBufferSize; }
    void setInBufferSize(qint16 size);
    qint16 OutBufferSize() const { return m_outBufferSize; }
    void setOutBufferSize(qint16 size);

    bool PortOpen() const { return m_open; }
    void setPortOpen(bool open);

    qint16 InBufferCount() const;
    void setInBufferCount(qint16 count);
    qint16 OutBufferCount() const;
    void setOutBufferCount(qint16 count);
    QByteArray Input();
    void setOutput(const QString& text);

    bool CDHolding() const;
    bool CTSHolding() const;
    bool DSRHolding() const;
    qint16 CommEvent() const { return qint16(m_commEvent); }
    qint32 CommID() const;

    // The line settings in force (for the send-time estimate and the drain timer).
    const LineSettings& lineSettings() const { return m_settings; }
    // The device path that CommPort resolves to, or the one set below.
    QString portPath() const;
    // What the last open was given, once COM numbers and serial numbers were resolved.
    const QString& openedPath() const { return m_openedPath; }
    // A device path opened instead of CommPort's (the headless checker takes any path); empty
    // goes back to CommPort. Throws SerialError (already open) while open.
    void setDevicePath(const QString& path);
    SerialDevice& device() { return *m_device; }
    // Events posted and not yet delivered, each counted as often as it will be delivered.
    qsizetype pendingEventCount() const;

    // Operations on the handle, used by the operating-system communication calls.
    void purge(quint32 flags);
    quint32 takeErrorFlags();

signals:
    void OnComm();

private:
    QString m_openedPath;
    void postCommEvent(LineEvent event);
    void deliverCommEvent();
    void onReadyRead();
    void onReadyWrite();
    void onLineEvent(LineEvent event);
    void onHungUp();
    void writePending();
    void checkDrained();
    void resumeReading();
    void requireOpen() const;
    bool deviceUsable() const { return m_open && !m_hungUp; }
    void openDevice();
    void closeDevice();

    std::unique_ptr<SerialDevice> m_device;
    qint16 m_commPort = 1;
    QString m_devicePath;
    QString m_settingsText = QStringLiteral("9600,n,8,1");
    LineSettings m_settings;
    bool m_rtsEnable = false;
    bool m_dtrEnable = false;
    qint16 m_rThreshold = 0;
    qint16 m_sThreshold = 0;
    qint32 m_inputMode = 0;
    qint16 m_inBufferSize = 1024;
    qint16 m_outBufferSize = 512;

    bool m_open = false;
    bool m_hungUp = false;
    bool m_readPaused = false;
    bool m_sendEventDue = false;
    QByteArray m_inBuffer;
    QByteArray m_outQueue;
    QTimer m_drainTimer;
    QTimer m_deliveryTimer;
    // One entry per code waiting, with how many times it is still to be delivered.
    struct PendingEvent {
        LineEvent event;
        quint32 times = 1;
    };
    std::deque<PendingEvent> m_pendingEvents;
    LineEvent m_commEvent{};
    quint32 m_errorFlags = 0;
};

}  // namespace parvolo
