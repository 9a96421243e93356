#include "check_run.h"

#include <QFileInfo>

#include "serial/port_names.h"

#include <cmath>
#include <limits>

#include "check_report.h"
#include "engine/checked_int.h"
#include "engine/code_page.h"
#include "serial/line_error_kinds.h"
#include "serial/os_comm_calls.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

// How often the pins are looked at while a line step waits for them.
constexpr int kLinePollMs = 5;
// --stream: bytes in flight at most; the send queue is made this large.
constexpr qint32 kStreamBytes = 16384;

qint32 clamped(qint64 value) {
    return qint32(std::min<qint64>(value, std::numeric_limits<qint32>::max()));
}

// Every kind in the table fails the run, the window's fatal buffer overrun too: the checker
// goes on so that the report covers the whole run.
bool isLineError(LineEvent event) {
    return lineErrorKindOf(event) != nullptr;
}

}  // namespace

CheckRun::CheckRun(const CheckOptions& options, QString lockDirectory, QObject* parent)
    : QObject(parent),
      m_options(options),
      m_device(new PortDevice(std::move(lockDirectory))),
      m_comm(std::unique_ptr<SerialDevice>(m_device)) {
    connect(&m_comm, &MSComm::OnComm, this, [this] { guarded([this] { onComm(); }); });
    m_stream.setFailureObserver(
        [this](const StreamFailure& failure) { emit failureFound(failure); });
    m_blockTimer.setSingleShot(true);
    m_blockTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_blockTimer, &QTimer::timeout, this, [this] { guarded([this] { onBlockTimer(); }); });
    m_reconnectTimer.setInterval(kReconnectPollMs);
    connect(&m_reconnectTimer, &QTimer::timeout, this,
            [this] { guarded([this] { tryReopen(); }); });
    m_lineTimer.setInterval(kLinePollMs);
    connect(&m_lineTimer, &QTimer::timeout, this, [this] { guarded([this] { watchLines(); }); });
}

CheckRun::~CheckRun() = default;

// No exception may reach the event loop: whatever a step throws ends the run with a reason.
template <typename Step>
void CheckRun::guarded(Step step) {
    if (m_finished) return;
    try {
        step();
    } catch (const ArithmeticOverflow&) {
        m_outcome.counterFull = true;
        finish(RunEnd::Finished);
    } catch (const SerialError& error) {
        failWith(error);
        finish(RunEnd::LineLost);
    } catch (const std::exception& error) {
        m_outcome.error = QString::fromLocal8Bit(error.what());
        finish(RunEnd::LineLost);
    }
}

void CheckRun::failWith(const SerialError& error) {
    m_outcome.error = error.description();
    m_outcome.reason = error.reason();
    m_outcome.errorNumber = error.number();
}

void CheckRun::configure() {
    // The serial control as the window sets it up at start.
    m_comm.setRThreshold(1);
    m_comm.setSThreshold(0);  // the checker paces by the echo and needs no send event
    m_comm.setInputMode(1);
    m_comm.setInBufferSize(4096);
    m_comm.setOutBufferSize(
        m_options.stream ? qint16(std::min<qint64>(
                               32767, std::max<qint64>(kStreamBytes, 2 * m_options.text.size())))
                         : qint16(4096));
    m_comm.setRTSEnable(true);
    m_comm.setDTREnable(true);
    if (m_options.comPort > 0)
        m_comm.setCommPort(m_options.comPort);
    else
        m_comm.setDevicePath(m_options.port);
    const LineSettings& line = m_options.line;
    m_comm.setSettings(QStringLiteral("%1,%2,%3,%4")
                           .arg(line.baudRate)
                           .arg(parityLetter(line.parity))
                           .arg(line.dataBitCount())
                           .arg(line.stopBitCount()));
    m_comm.setHandshaking(qint32(line.flow));

    // The send run starts from the settings as the window's does; its time-out is known, and
    // reported, even when the port then does not open.
    const LineSettings& inForce = m_comm.lineSettings();
    m_outcome.blockLength = checkedNarrow<qint16>(m_options.text.size());
    m_sendRun.start(m_outcome.blockLength, inForce.baudRate,
                    checkedNarrow<qint16>(inForce.estimateBitsPerCharacter()));
    m_outcome.timeoutMs = m_sendRun.timeoutMs();
}

// The summary names the device behind a COM number's link, or what the link leads to.
void CheckRun::nameDevice() {
    const QString opened = m_comm.openedPath();
    if (opened.isEmpty() || isRemotePortName(opened)) return;
    const QFileInfo info(opened);
    if (info.isSymLink()) m_outcome.link = opened;
    const QString device = info.canonicalFilePath();
    m_outcome.devicePath = !device.isEmpty()  ? device
                           : info.isSymLink() ? info.symLinkTarget()
                                              : opened;
}

void CheckRun::start() {
    if (m_started || m_finished) return;
    m_started = true;
    guarded([this] {
        configure();
        m_outcome.devicePath = m_comm.portPath();
        try {
            m_comm.setPortOpen(true);
            nameDevice();
        } catch (const SerialError& error) {
            nameDevice();
            failWith(error);
            // Nothing ran, so nothing is known of the line's errors.
            m_outcome.lineErrorsKnown = false;
            const bool refused = error.code() == SerialError::Code::SettingRefused;
            if (refused) m_outcome.applied = m_device->readBackSettings();
            finish(refused ? RunEnd::SettingsNotApplied : RunEnd::CannotOpen);
            return;
        }
        m_outcome.applied = m_device->readBackSettings();
        // What the far end sent before the run is not part of it, as the window purges at open.
        m_comm.purge(PURGE_RXCLEAR);
        m_countsAtStart = m_device->kernelLineCounts();
        if (m_options.lines)
            startLines();
        else
            startBlocks();
    });
}

void CheckRun::deviceLost() {
    if (m_options.reconnectSeconds <= 0 || m_options.lines) return finish(RunEnd::LineLost);
    m_blockTimer.stop();
    abandonInFlight();
    // After a hang-up closing touches nothing; the node may be gone already.
    m_comm.setPortOpen(false);
    m_outageStart = secondsSoFar();
    m_reconnectDeadline.setRemainingTime(qint64(m_options.reconnectSeconds) * 1000);
    m_reconnectTimer.start();
    emit outageBegan();
}

void CheckRun::abandonInFlight() {
    if (m_blockInFlight) {
        m_blockInFlight = false;
        ++m_outcome.abandonedBlocks;
        m_check.abandonBlock();
        m_stream.expire(m_stream.sentBlocks());
    }
    while (!m_flights.empty()) {
        ++m_outcome.abandonedBlocks;
        m_stream.expire(m_flights.front().block);
        m_flights.pop_front();
    }
    m_discardOutput = false;
    m_silentBlocks = 0;
}

// The same port name as at the start, so a COM number finds its adapter under a new node.
void CheckRun::tryReopen() {
    const bool durationOver =
        m_options.stopRule == StopRule::Duration && m_runDeadline.hasExpired();
    try {
        if (!durationOver) m_comm.setPortOpen(true);
    } catch (const SerialError&) {
        if (!m_reconnectDeadline.hasExpired()) return;
        m_outcome.lostReason =
            CheckTexts::tr("it did not come back within %1 s").arg(m_options.reconnectSeconds);
        m_reconnectTimer.stop();
        return finish(RunEnd::LineLost);
    }
    m_reconnectTimer.stop();
    ++m_outcome.outages;
    const double seconds = secondsSoFar() - m_outageStart;
    m_outcome.outageSeconds += seconds;
    emit outageEnded(seconds);
    if (durationOver) return finish(RunEnd::Finished);
    m_comm.purge(PURGE_RXCLEAR);
    // The counts of the device that went away are gone with it.
    m_countsAtStart.reset();
    m_kernelCountsLost = true;
    if (m_options.stream)
        fillStream();
    else
        nextBlockOrFinish();
}

void CheckRun::interrupt() {
    finish(RunEnd::Interrupted);
}

double CheckRun::secondsSoFar() const {
    return m_runClock.isValid() ? double(m_runClock.nsecsElapsed()) / 1e9 : 0.0;
}

const CheckOutcome& CheckRun::outcomeSoFar() const {
    if (m_finished) return m_outcome;
    CheckOutcome& outcome = m_outcomeSoFar;
    outcome = m_outcome;
    outcome.stream = m_options.stream;
    outcome.placed = m_stream.counts();
    outcome.firstFailure = m_stream.firstFailure();
    outcome.counters = counters();
    outcome.seconds = secondsSoFar();
    return outcome;
}

RunFacts CheckRun::facts() const {
    RunFacts facts;
    const LoopbackCounters& counters = m_outcome.counters;
    facts.end = m_outcome.end;
    facts.sentBlocks = m_options.sendsBlocks();
    facts.blocks = counters.blocks;
    facts.mismatches = counters.mismatches;
    facts.lineErrors = counters.lineErrors;
    facts.receivedBytes = counters.receivedBytes;
    facts.extraBytes = m_outcome.placed.extra;
    facts.outages = m_outcome.outages;
    // What the window's count lets through (a byte lost inside a block it still completes).
    if (m_outcome.firstFailure && facts.mismatches == 0) facts.mismatches = 1;
    if (m_options.lines) facts.lines = m_outcome.lines.verdict();
    return facts;
}

void CheckRun::startLines() {
    if (!m_device->hasModemLines()) {
        m_outcome.lines.skip(CheckTexts::tr("the device has no modem lines"));
        startBlocks();
        return;
    }
    m_outcome.lines.useDriver(m_device->driverCapabilities());
    m_lineStep = 0;
    driveLineStep();
}

void CheckRun::driveLineStep() {
    const LineStep& step = kLineSteps[m_lineStep];
    try {
        m_comm.setRTSEnable(step.rts);
        m_comm.setDTREnable(step.dtr);
    } catch (const SerialError& error) {
        if (error.code() != SerialError::Code::LineRefused) throw;
        m_outcome.lines.refuse(error.description());
        startBlocks();
        return;
    }
    m_lineDeadline.setRemainingTime(kLineStepMs);
    watchLines();
}

void CheckRun::watchLines() {
    const LineStep& step = kLineSteps[m_lineStep];
    const ModemLines seen = m_outcome.lines.seenOnDriver(step, m_comm.device().modemLines());
    if (!LineCheck::settled(step, seen) && !m_lineDeadline.hasExpired()) {
        if (!m_lineTimer.isActive()) m_lineTimer.start();
        return;
    }
    m_lineTimer.stop();
    m_outcome.lines.record(step, seen);
    if (++m_lineStep < int(std::size(kLineSteps)))
        driveLineStep();
    else
        startBlocks();
}

void CheckRun::startBlocks() {
    if (!m_options.sendsBlocks()) {
        finish(RunEnd::Finished);
        return;
    }
    m_check.resetForRun(m_outcome.blockLength);
    m_expected = m_options.text;
    m_runClock.start();
    if (m_options.stopRule == StopRule::Duration)
        m_runDeadline.setRemainingTime(m_options.durationMs, Qt::PreciseTimer);
    sendBlock();
}

LoopbackCounters CheckRun::counters() const {
    LoopbackCounters counters = m_check.counters();
    if (!m_options.stream) return counters;
    // One block at a time the window's count is kept; in flight, the placement gives it.
    const StreamCounts& placed = m_stream.counts();
    counters.blocks = clamped(placed.completedBlocks);
    counters.matchedBytes = clamped(placed.matched);
    counters.mismatches = clamped(placed.mismatched + placed.missing + placed.timedOutBlocks);
    const auto& first = m_stream.firstFailure();
    counters.firstMismatch =
        first && first->kind != FailureKind::Extra ? clamped(first->received) : 0;
    return counters;
}

bool CheckRun::moreBlocks() const {
    switch (m_options.stopRule) {
        case StopRule::Blocks:
            return m_blocksSent < m_options.blocks;
        case StopRule::Duration:
            return !m_runDeadline.hasExpired();
        case StopRule::Continuous:
            break;
    }
    return true;
}

void CheckRun::sendStreamBlock() {
    if (m_options.send == SendKind::CountUp) m_expected = m_sendRun.nextData(m_expected, true);
    m_sendRun.countTransmission();
    ++m_blocksSent;
    const qint64 block = m_stream.expect(code_page::encode(m_expected));
    Flight flight{block, m_runClock.nsecsElapsed(), QDeadlineTimer(Qt::PreciseTimer),
                  m_stream.counts().received};
    flight.deadline.setRemainingTime(m_outcome.timeoutMs, Qt::PreciseTimer);
    m_flights.push_back(flight);
    if (!m_blockTimer.isActive()) m_blockTimer.start(m_outcome.timeoutMs);
    m_comm.setOutput(m_expected);
}

void CheckRun::fillStream() {
    while (qint32(m_flights.size()) < m_window && moreBlocks()) sendStreamBlock();
    if (m_flights.empty()) finish(RunEnd::Finished);
}

// Enough blocks in flight to cover twice the first block's round trip at the line rate, so
// that the echo of one block is on its way while the next ones still go out.
void CheckRun::sizeStream(qint64 roundTripUs) {
    const qint64 length = std::max<qint64>(1, m_outcome.blockLength);
    const LineSettings& line = m_outcome.applied ? *m_outcome.applied : m_options.line;
    const double rate = lineRateBytesPerSecond(line);
    qint64 window = m_options.inFlight;
    if (window == 0)
        window = qint64(std::ceil(2.0 * double(roundTripUs) / 1e6 * rate / double(length))) + 1;
    // Never more than the send queue holds, nor more than half a block's time-out of sending.
    const qint64 bytes = std::min<qint64>(
        kStreamBytes, std::max<qint64>(2 * length, qint64(rate * m_outcome.timeoutMs / 2000.0)));
    window = std::clamp<qint64>(window, 1, std::max<qint64>(1, bytes / length));
    if (m_options.inFlight > 0) window = std::min<qint64>(window, m_options.inFlight);
    m_window = qint32(std::max<qint64>(window, 1));
    m_outcome.inFlight = m_window;
}

void CheckRun::onStreamData(const QByteArray& bytes) {
    m_check.feed(bytes, m_expected, false);  // counts what was received, overflow checked
    m_stream.feed(bytes);
    bool done = false;
    while (!m_flights.empty() && m_flights.front().block <= m_stream.resolvedBlocks()) {
        const qint64 us = (m_runClock.nsecsElapsed() - m_flights.front().sentNs) / 1000;
        m_outcome.roundTrip.add(quint64(std::max<qint64>(0, us)));
        if (m_flights.front().block == 1 && m_options.stream) sizeStream(us);
        m_flights.pop_front();
        m_silentBlocks = 0;
        done = true;
    }
    if (m_stream.counts().matched > std::numeric_limits<qint32>::max()) throw ArithmeticOverflow();
    if (done) fillStream();
}

void CheckRun::onStreamTimer() {
    if (m_flights.empty()) return;
    const Flight flight = m_flights.front();
    if (!flight.deadline.hasExpired()) {
        m_blockTimer.start(int(std::max<qint64>(1, flight.deadline.remainingTime())));
        return;
    }
    m_flights.pop_front();
    ++m_outcome.abandonedBlocks;
    m_stream.expire(flight.block);
    if (flight.block == 1 && m_stream.counts().received == 0) return finish(RunEnd::NoAnswer);
    const bool silent = m_stream.counts().received == flight.receivedAtSend;
    m_silentBlocks = silent ? m_silentBlocks + 1 : 0;
    if (m_silentBlocks >= kSilentBlocks) return finish(RunEnd::WentSilent);
    // The first block never came back: the window stays at one.
    if (!m_flights.empty())
        m_blockTimer.start(int(std::max<qint64>(1, m_flights.front().deadline.remainingTime())));
    fillStream();
}

void CheckRun::sendBlock() {
    if (m_options.stream) return sendStreamBlock();
    // The count-up data advances with every transmission, as in the window's send run.
    if (m_options.send == SendKind::CountUp) m_expected = m_sendRun.nextData(m_expected, true);
    m_sendRun.countTransmission();
    // What an abandoned block left unsent must not run into this one.
    if (m_discardOutput) {
        m_comm.setOutBufferCount(0);
        m_discardOutput = false;
    }
    m_blockInFlight = true;
    m_receivedAtBlockStart = m_check.counters().receivedBytes;
    m_blockClock.start();
    m_blockDeadline.setRemainingTime(m_outcome.timeoutMs, Qt::PreciseTimer);
    if (!m_blockTimer.isActive()) m_blockTimer.start(m_outcome.timeoutMs);
    m_stream.expect(code_page::encode(m_expected));
    m_comm.setOutput(m_expected);
}

void CheckRun::onComm() {
    const LineEvent event = LineEvent(m_comm.CommEvent());
    if (event == LineEvent::DeviceLost) return deviceLost();
    if (event != LineEvent::DataReceived && event != LineEvent::TransmitEmpty)
        emit lineEventSeen(event);
    if (isLineError(event)) {
        m_check.countLineError();
        // As in the window: what the buffer holds when a line error is reported is suspect
        // and dropped.
        if (m_comm.InBufferCount() != 0) {
            m_comm.Input();
            if (event != LineEvent::ParityError) m_comm.setInBufferCount(0);
        }
        return;
    }
    if (event != LineEvent::DataReceived) return;

    const QByteArray bytes = m_comm.Input();
    // Before the first block nothing is expected.
    if (!m_runClock.isValid() || bytes.isEmpty()) return;
    if (m_options.stream) return onStreamData(bytes);
    m_stream.feed(bytes);
    if (!m_blockInFlight) return;
    const LoopbackCheck::FeedResult fed = m_check.feed(bytes, m_expected, true);
    if (fed.overflowed) throw ArithmeticOverflow();
    if (!fed.blockComplete) return;
    m_silentBlocks = 0;
    m_outcome.roundTrip.add(quint64(m_blockClock.nsecsElapsed() / 1000));
    m_blockInFlight = false;
    m_check.clearBlockDone();
    // The rest of the read is not the window's business, but it is the checker's: it was
    // placed above, and what is buffered behind it is placed too (as extra, nothing else
    // being in flight).
    if (const QByteArray rest = m_comm.Input(); !rest.isEmpty()) m_stream.feed(rest);
    nextBlockOrFinish();
}

void CheckRun::onBlockTimer() {
    if (m_options.stream) return onStreamTimer();
    if (!m_blockInFlight) return;
    if (!m_blockDeadline.hasExpired()) {
        m_blockTimer.start(int(std::max<qint64>(1, m_blockDeadline.remainingTime())));
        return;
    }
    m_blockInFlight = false;
    ++m_outcome.abandonedBlocks;
    m_check.abandonBlock();
    m_stream.expire(m_stream.sentBlocks());
    // A dead line is told apart at once instead of after every block has timed out.
    if (m_sendRun.transmissions() == 1 && m_check.counters().receivedBytes == 0)
        return finish(RunEnd::NoAnswer);
    const bool silent = m_check.counters().receivedBytes == m_receivedAtBlockStart;
    m_silentBlocks = silent ? m_silentBlocks + 1 : 0;
    if (m_silentBlocks >= kSilentBlocks) return finish(RunEnd::WentSilent);
    m_discardOutput = true;
    nextBlockOrFinish();
}

void CheckRun::nextBlockOrFinish() {
    bool more = true;
    switch (m_options.stopRule) {
        case StopRule::Blocks:
            more = qint64(m_check.counters().blocks) + m_outcome.abandonedBlocks < m_options.blocks;
            break;
        case StopRule::Duration:
            more = !m_runDeadline.hasExpired();
            break;
        case StopRule::Continuous:
            break;
    }
    if (more)
        sendBlock();
    else
        finish(RunEnd::Finished);
}

void CheckRun::finish(RunEnd end) {
    if (m_finished) return;
    m_finished = true;
    m_blockTimer.stop();
    m_lineTimer.stop();
    m_reconnectTimer.stop();
    m_outcome.end = end;
    // Bytes held back to tell a shift from a mismatch are decided with what came; the blocks
    // still in flight are not counted.
    m_stream.settle();
    m_outcome.stream = m_options.stream;
    m_outcome.placed = m_stream.counts();
    m_outcome.firstFailure = m_stream.firstFailure();
    m_outcome.counters = counters();
    m_outcome.seconds = secondsSoFar();
    // A remote port's counts start with the session, at the server's first report.
    if (const auto now = m_device->kernelLineCounts(); now && !m_kernelCountsLost)
        m_outcome.kernelLineErrors = now->since(m_countsAtStart.value_or(KernelLineCounts{}));
    m_outcome.remote = m_device->isRemote();
    if (const DriverCapabilities* driver = m_device->driverCapabilities();
        driver && driver->errors == ErrorReporting::None) {
        m_outcome.lineErrorsKnown = false;
        m_outcome.blindDriver = QString::fromLatin1(driver->driver);
    }
    if (end == RunEnd::LineLost && m_outcome.lostReason.isEmpty())
        m_outcome.lostReason = m_device->lostReason();
    // A device that went away, for good or for a while, is the reason of a line-lost run.
    if ((end == RunEnd::LineLost || m_outcome.outages > 0) && !m_outcome.reason) {
        m_outcome.reason =
            m_device->isRemote() ? SerialReason::ServerGone : SerialReason::DeviceGone;
        m_outcome.errorNumber = error_numbers::DeviceLost;
    }
    if (m_outcome.remote) {
        m_outcome.lineErrorsKnown = m_outcome.kernelLineErrors.has_value();
        if (m_device->hasModemLines()) m_outcome.modemLines = m_device->modemLines();
    }
    // Never blocks: queued output is dropped and the last close runs on a closer thread.
    if (m_comm.PortOpen()) m_comm.setPortOpen(false);
    emit finished();
}

}  // namespace parvolo
