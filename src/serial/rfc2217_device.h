#pragma once

// A serial port on another machine, reached through a Telnet com-port server (rfc2217://HOST:PORT).
// The TCP side (lookup, connect, liveness, the bounded output queue, nested waits) is the
// RemoteLink below; this is the protocol: what the server sends is split by the codec
// (rfc2217_protocol.h) into data bytes, kept in a buffer that read() hands out, and messages:
// option negotiation (answered at once), answers to our commands and notifications of modem
// lines and line errors, which become lineEvent(). Everything happens on the UI thread.
//
// Operations that need the server's answer (open, applySettings, setRts, setDtr) wait for it in
// a nested event loop that excludes user input, so the window and the checker's other ports go
// on meanwhile. Every wait is bounded; a wait ended from outside (QCoreApplication::quit) counts
// as no answer, and a device closed or destroyed from inside the wait returns without touching
// anything. While a wait runs the socket is read whatever setReadNotification() said, since
// the answer is behind the data; the data is kept and announced once reading is wanted again.
//
// What no answer means: at open, the open fails; to the settings, they are refused (the
// settings are what could not be confirmed, and the checker reports that as
// settings-not-applied); to an RTS or DTR change, the change is refused, and as some servers
// never answer one (ser2net on a device without modem lines), later changes of that session
// are sent and reported unconfirmed at once instead of costing a full wait each.
//
// The server is untrusted. Negotiation answers only changes (OptionNegotiation), so replies
// never outgrow what was received, and a server that stops reading them ends the port through
// the link's bound. Notifications coalesce: the modem lines of one read are one change per
// line, whatever number of notifications it held; line errors are counted per kind. A hang-up
// (the server closed or reset, keep-alive found it gone, it stopped reading, any fatal socket
// error) keeps the decoded bytes readable and emits hungUp() once, queued; from then on
// operations do nothing and raise nothing, and lostReason() says why.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <optional>
#include <vector>

#include "serial/remote_link.h"
#include "serial/rfc2217_protocol.h"
#include "serial/serial_device.h"

namespace parvolo {

class Rfc2217Device : public SerialDevice {
    Q_OBJECT
public:
    static constexpr const char* kScheme = "rfc2217://";
    // How long each step may take, in milliseconds.
    struct Bounds : RemoteLink::Bounds {
        int answerMs = 3000;  // the server's answer to a negotiation or a command
    };
    // A line change waits at most this long (and never longer than answerMs): a server that
    // does not answer one has a port without lines, and the window's open waits for it.
    static constexpr int kLineAnswerMs = 1000;

    // Where a remote name points.
    using RemoteAddress = RemoteLink::Address;

    explicit Rfc2217Device(QObject* parent = nullptr);
    ~Rfc2217Device() override;

    // Whether `name` is a remote port's name (rfc2217://...), well-formed or not.
    static bool isRemoteName(const QString& name);
    // Throws SerialError (no such port) naming the URL and what is wrong with it.
    static RemoteAddress parseRemoteName(const QString& url);

    void setBounds(const Bounds& bounds) { m_bounds = bounds; }
    const Bounds& bounds() const { return m_bounds; }

    // Connects and negotiates; throws SerialError: a bad name, an unknown host or a refused
    // connection (no such port), a server that does not answer or refuses port control (open
    // failed). The port's line settings are left as the server has them until applySettings().
    void open(const QString& url) override;
    void close() override;
    bool isOpen() const override { return m_link.isConnected() && !m_opening; }

    // Sends all five settings and waits for the answers; a value the server answers differently
    // is refused (what the server answered is kept as readBackSettings()). RTS/CTS together with
    // Xon/Xoff cannot be asked for and is refused before anything is sent.
    void applySettings(const LineSettings& settings) override;
    void setRts(bool on) override;
    void setDtr(bool on) override;
    // The lines as the server last notified them; all off before that, while closed or hung up.
    ModemLines modemLines() const override;

    qint64 read(char* data, qint64 maxSize) override;
    // Takes as many bytes as fit beside what is still unsent (0 when full).
    qint64 write(const char* data, qint64 size) override;
    // Unsent bytes here and in the socket's send queue.
    qint64 driverOutputCount() const override;
    void discardInput() override;
    void discardOutput() override;

    void setReadNotification(bool enabled) override;
    void setWriteNotification(bool enabled) override;

    // The socket, -1 while closed.
    int handle() const override { return m_opening ? -1 : m_link.handle(); }

    std::optional<LineSettings> readBackSettings() const override { return m_readBack; }
    // True once the server has notified the modem lines; a server that does not answer line
    // changes has a port without lines, whatever state it notified.
    bool hasModemLines() const override { return m_modemState.has_value() && !m_linesUnanswered; }
    // Counted from the server's line-state notifications since the open; nothing before the
    // first one.
    std::optional<KernelLineCounts> kernelLineCounts() const override { return m_lineCounts; }
    bool isRemote() const override { return true; }
    QString lostReason() const override;
    // Line-state notifications that carried an error, since the open.
    quint64 lineStateNotifications() const { return m_lineStateNotifications; }

    // The URL given to open(), empty while closed.
    QString url() const { return m_url; }

private:
    using WaitResult = RemoteLink::WaitResult;
    // A command whose answer is awaited. Answers come in the order of the requests of their
    // kind (the command, and for SET-CONTROL which of flow, break, DTR or RTS it is about).
    struct PendingAnswer {
        quint64 id = 0;
        quint8 command = 0;
        int group = 0;
        std::optional<QByteArray> value;
        bool abandoned = false;  // given up on: its late answer is dropped
    };

    bool usable() const { return m_link.usable(); }
    WaitResult waitUntil(const std::function<bool()>& done, int boundMs) {
        return m_link.waitUntil(done, boundMs);
    }
    void negotiate();

    quint64 expectAnswer(rfc2217::ComCommand command, quint8 value);
    bool answered(quint64 id) const;
    std::optional<QByteArray> takeAnswer(quint64 id);
    void abandonAnswer(quint64 id);
    void setLine(quint8 value, const QString& line, bool on);

    void queueCommand(const QByteArray& bytes);
    void onReceived(QByteArrayView bytes);
    void onLinkEnded();
    void handleMessage(const rfc2217::ServerMessage& message);
    void noteLineState(quint8 state);
    void noteModemState(quint8 state);
    void updateNotifiers();
    qsizetype unsentDataBytes() const;
    void postReadyRead();

    Bounds m_bounds;
    RemoteLink m_link;
    bool m_opening = false;
    QString m_url;
    // Bumped on every open and close, so that a posted step of an earlier session does nothing.
    quint64 m_generation = 0;

    bool m_readWanted = false;
    bool m_writeWanted = false;
    bool m_readyReadPosted = false;

    rfc2217::StreamDecoder m_decoder;
    rfc2217::OptionNegotiation m_options;
    QByteArray m_input;

    std::deque<PendingAnswer> m_pending;
    quint64 m_nextAnswerId = 1;
    // The server left an RTS or DTR change unanswered in this session.
    bool m_linesUnanswered = false;

    std::optional<LineSettings> m_readBack;
    std::optional<quint8> m_modemState;
    std::optional<KernelLineCounts> m_lineCounts;
    quint64 m_lineStateNotifications = 0;
    // What the notifications of the read being decoded said, reported once it is decoded.
    struct Notified {
        bool cts = false, dsr = false, dcd = false, ring = false;
        KernelLineCounts errors;
    } m_notified;
};

}  // namespace parvolo
