#pragma once

// The TCP side of a remote port, below any protocol: the HOST:PORT of its name, a host name
// lookup on a thread, a connection bounded in time with the socket options that find a peer
// gone without a word, the read and write notifiers, a bounded output queue written in
// batches, and the nested waits that let the event loop go on while a step waits for the
// far side. The protocol above (the RFC 2217 device) decides what the bytes mean.
//
// Everything runs on the UI thread. The far side is untrusted, so everything it can make
// grow is bounded:
//  - output: data is taken only while less than kMaxData is unsent; commands and replies may
//    fill the queue to kMaxQueued, and one more ends the link (the far side stopped reading);
//    the socket's own send queue is small (kSendBuffer), and a far side that takes nothing
//    for TCP_USER_TIMEOUT ends the link through the kernel;
//  - input: the protocol reads only while it has room, and the tail read at the end is capped;
//  - time: every wait has a bound, a vanished peer is found by keep-alive or the user timeout.
// Queued output goes out with one sendmsg() per readiness, however many pieces it holds.
//
// The end of the link (EOF, a reset, a time-out, the queue bound) reads what the socket still
// holds into receivedAtEnd, stops the notifiers and calls ended once; from then on nothing is
// sent and nothing is read.

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <sys/socket.h>

#include <deque>
#include <functional>
#include <vector>

class QEventLoop;
class QSocketNotifier;

namespace parvolo {

class RemoteLink : public QObject {
    Q_OBJECT
public:
    struct Address {
        QString host;  // a name, an IPv4 address or an IPv6 address without its brackets
        quint16 port = 0;
    };
    // How long each step of connecting may take, in milliseconds.
    struct Bounds {
        int lookupMs = 3000;   // a host name lookup
        int connectMs = 5000;  // the TCP connection, over all the host's addresses
    };
    enum class WaitResult { Done, TimedOut, Ended, HungUp, Closed, Destroyed };
    enum class Part { Data, Command };

    // Unsent bytes (escaped, commands included) below which data is still taken.
    static constexpr qsizetype kMaxData = 16 * 1024;
    // Unsent bytes past which the far side is taken to have stopped reading.
    static constexpr qsizetype kMaxQueued = 64 * 1024;
    // The socket's send buffer (the kernel doubles it).
    static constexpr int kSendBuffer = 16 * 1024;
    // Bytes read from the socket at its end, for the protocol to keep.
    static constexpr qsizetype kMaxTail = 1 << 20;
    // No answer from the network for this long ends the link (TCP_USER_TIMEOUT), sending or
    // not: an idle link is probed by keep-alive after 10 s and every 5 s, and with a user
    // timeout set Linux ends it at the first probe past the timeout, not after a probe count.
    static constexpr int kUserTimeoutMs = 30000;

    explicit RemoteLink(QObject* parent = nullptr);
    ~RemoteLink() override;

    // HOST:PORT after `scheme`; throws SerialError (no such port) naming the URL and what is
    // wrong with it.
    static Address parseAddress(const QString& url, QLatin1String scheme);

    // Looks the host up and connects, each within its bound, waiting in nested loops; throws
    // SerialError and stays closed. A link closed or destroyed meanwhile throws "cancelled"
    // without touching anything.
    void connectTo(const QString& url, const Address& address, const Bounds& bounds);
    // Never blocks; wakes every wait (they return Closed).
    void close();
    bool isConnected() const { return m_fd >= 0; }
    bool usable() const { return m_fd >= 0 && !m_ended; }
    bool hasEnded() const { return m_ended; }
    int handle() const { return m_fd; }
    // Why the link ended, in words for a report ("it closed the connection", ...).
    QString endReason() const { return m_endReason; }

    // Runs a nested event loop (no user input) until done() holds, the bound passes, the link
    // ends or closes, or the loop is ended from outside; Destroyed means the link is gone and
    // nothing of the caller's may be touched.
    WaitResult waitUntil(const std::function<bool()>& done, int boundMs);
    // Every wait looks again at what it waits for.
    void wakeWaits();
    bool isWaiting() const { return !m_waits.empty(); }

    // Appends to the output; nothing is sent until flush().
    void queue(QByteArray bytes, Part part);
    void flush();
    // Unsent bytes here, data and commands, escaped as queued.
    qsizetype queued() const { return m_queued; }
    // Bytes the socket took and has not yet had acknowledged.
    qint64 socketQueued() const;
    // The unsent data, piece by piece.
    std::vector<QByteArrayView> unsentData() const;
    // Drops the unsent data; a piece of which the socket took a part is kept up to where
    // cut(piece, sent) says the protocol's next unit begins.
    void discardUnsentData(const std::function<qsizetype(QByteArrayView, qsizetype)>& cut);
    // Data waits (commands still go) while the far side holds it back.
    void setDataHeld(bool held);

    // Whether the protocol wants bytes now (waits read regardless), and room to write.
    void setReading(bool wanted);
    void setWantWritable(bool wanted);

    // Set by the protocol above. A callback may close or destroy the link.
    std::function<void(QByteArrayView)> received;
    std::function<void(QByteArrayView)> receivedAtEnd;
    std::function<void()> writable;
    std::function<void()> ended;

    // One address of the host, as the C library gives it.
    struct ResolvedAddress {
        sockaddr_storage address{};
        socklen_t length = 0;
    };

private:
    struct Piece {
        QByteArray bytes;
        qsizetype sent = 0;
        Part part = Part::Data;
    };

    std::vector<ResolvedAddress> lookUp(const QString& url, const Address& address, int boundMs);
    int connectFirst(const QString& url, const std::vector<ResolvedAddress>& addresses,
                     int boundMs);
    void onReadable();
    void onWritable();
    void end(QString reason);
    void endWithError(int err);
    void updateNotifiers();
    void releaseSocket();
    void consume(qsizetype sent);

    int m_fd = -1;
    bool m_ended = false;
    QString m_endReason;
    // Bumped on every connect and close, so that a wait of an earlier session ends.
    quint64 m_session = 0;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    bool m_reading = false;
    bool m_wantWritable = false;
    bool m_dataHeld = false;
    std::deque<Piece> m_output;
    qsizetype m_queued = 0;
    std::vector<QEventLoop*> m_waits;
};

}  // namespace parvolo
