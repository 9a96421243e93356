#pragma once

// One run of the checker on the window's own engine and serial control. The port is opened
// and configured the way the window does it (MSComm on a PortDevice: a local or a remote
// port); then, with --lines, the handshake lines are driven and watched; then blocks go out
// one at a time: each is queued with Output, a precise one-shot timer is started with the send
// run's time-out, and every read is fed to the loopback check. A block that completes records its
// round trip and the next one goes out (what arrived after the completing read is discarded,
// as the window does, but counted as extra); a block that times out is abandoned. With
// --stream several blocks are in flight, each with its own deadline. In both modes every byte
// read is also placed in the stream of sent bytes (StreamCheck), which finds what the window's
// count would let through: bytes added, lost or late. Everything happens in the event
// loop of the caller, on the thread the run lives on; nothing waits without a bound, and
// closing the port never blocks.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>

#include "check_options.h"
#include "check_result.h"
#include "engine/loopback_check.h"
#include "engine/send_run.h"
#include "line_check.h"
#include "round_trip_stats.h"
#include "stream_check.h"
#include "serial/mscomm.h"
#include "serial/port_device.h"
#include "serial/serial_error.h"

namespace parvolo {

struct CheckOutcome {
    RunEnd end = RunEnd::Finished;
    QString error;  // the serial layer's description when the port failed us
    // Why the port could not be opened or was lost, for scripts: the reason and the control's
    // error number that the window would show with it.
    std::optional<SerialReason> reason;
    qint32 errorNumber = 0;
    QString devicePath;  // the device PORT reached, links followed; else what it resolved to
    QString link;        // the port map link it went through, if any
    std::optional<LineSettings> applied;
    LoopbackCounters counters;
    qint32 abandonedBlocks = 0;
    bool counterFull = false;  // a counter reached 2,147,483,647 and the run ended there
    qint32 timeoutMs = 0;
    qint16 blockLength = 0;
    bool stream = false;
    qint32 inFlight = 1;  // blocks in flight at most (1 one block at a time)
    StreamCounts placed;  // every byte read, placed in the stream of sent bytes
    std::optional<StreamFailure> firstFailure;
    double seconds = 0;  // from the first block to the end
    RoundTripStats roundTrip;
    std::optional<KernelLineCounts> kernelLineErrors;  // counted during the run
    LineCheck lines;
    // A port on another machine: its lines and line errors are what the server reported, and
    // a server that reported none leaves them unknown.
    bool remote = false;
    bool lineErrorsKnown = true;
    QString lostReason;  // line-lost: why the device went away, where it could tell
    qint32 outages = 0;  // --reconnect: times the device went away and came back
    double outageSeconds = 0;
    QString blindDriver;                   // a local driver that cannot report line errors at all
    std::optional<ModemLines> modemLines;  // remote only: the last state the server reported
};

class CheckRun : public QObject {
    Q_OBJECT
public:
    // A step of the handshake-line check waits this long for the pins to follow.
    static constexpr int kLineStepMs = 500;
    // After this many blocks in a row time out with nothing received, the far end is taken to
    // have stopped answering: the run ends instead of waiting out every remaining block.
    static constexpr int kSilentBlocks = 3;
    // How often a device that went away is looked for (--reconnect).
    static constexpr int kReconnectPollMs = 250;

    explicit CheckRun(
        const CheckOptions& options,
        QString lockDirectory = QString::fromLatin1(PosixSerialDevice::kLockDirectory),
        QObject* parent = nullptr);
    ~CheckRun() override;

    // Opens the port and begins; finished() follows, possibly before this returns.
    void start();
    // Ctrl+C: ends now; the block in flight is not counted.
    void interrupt();

    bool isFinished() const { return m_finished; }
    const CheckOptions& options() const { return m_options; }
    const QString& portName() const { return m_options.port; }
    const CheckOutcome& outcome() const { return m_outcome; }
    // The outcome as it stands during the run, for a report brought up to date as it goes;
    // valid until the next call.
    const CheckOutcome& outcomeSoFar() const;
    RunFacts facts() const;
    // For the progress line while the run goes on.
    LoopbackCounters counters() const;
    qint64 comparedBytes() const { return m_stream.counts().compared(); }
    double secondsSoFar() const;

signals:
    void finished();
    // As they happen, for the event log: every failure the stream check finds, every line
    // error and every change of a modem input the driver reports.
    void failureFound(const parvolo::StreamFailure& failure);
    void lineEventSeen(parvolo::LineEvent event);
    // --reconnect: the device went away; it is back (after `seconds`).
    void outageBegan();
    void outageEnded(double seconds);

private:
    void nameDevice();
    void deviceLost();
    void tryReopen();
    // The blocks in flight when the device went away: lost, counted as timed out.
    void abandonInFlight();
    void configure();
    void startLines();
    void driveLineStep();
    void watchLines();
    void startBlocks();
    void sendBlock();
    void onComm();
    void onBlockTimer();
    void nextBlockOrFinish();
    bool moreBlocks() const;
    void sendStreamBlock();
    void onStreamData(const QByteArray& bytes);
    void onStreamTimer();
    void fillStream();
    void sizeStream(qint64 roundTripUs);
    void finish(RunEnd end);
    void failWith(const SerialError& error);
    template <typename Step>
    void guarded(Step step);

    CheckOptions m_options;
    mutable CheckOutcome m_outcomeSoFar;
    PortDevice* m_device;  // owned by m_comm
    MSComm m_comm;
    LoopbackCheck m_check;
    SendRun m_sendRun;
    QString m_expected;
    CheckOutcome m_outcome;
    std::optional<KernelLineCounts> m_countsAtStart;

    // One precise timer serves every block: it is armed for a block's deadline and, when a
    // later block is in flight by then, re-armed for that block's, so that a block costs a
    // clock reading and not a timer registration.
    QTimer m_blockTimer;
    QTimer m_reconnectTimer;
    QDeadlineTimer m_reconnectDeadline;
    double m_outageStart = 0;
    bool m_kernelCountsLost = false;
    QDeadlineTimer m_blockDeadline;
    QElapsedTimer m_blockClock;
    QElapsedTimer m_runClock;
    QDeadlineTimer m_runDeadline;
    bool m_blockInFlight = false;
    int m_silentBlocks = 0;  // blocks in a row that timed out with nothing received
    qint32 m_receivedAtBlockStart = 0;
    bool m_discardOutput = false;

    StreamCheck m_stream;
    // --stream: the blocks in flight, oldest first.
    struct Flight {
        qint64 block;
        qint64 sentNs;  // on m_runClock
        QDeadlineTimer deadline;
        qint64 receivedAtSend;
    };
    std::deque<Flight> m_flights;
    qint32 m_window = 1;
    qint64 m_blocksSent = 0;

    QTimer m_lineTimer;
    QDeadlineTimer m_lineDeadline;
    int m_lineStep = 0;

    bool m_started = false;
    bool m_finished = false;
};

}  // namespace parvolo
