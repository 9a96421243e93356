#include "serial/rfc2217_device.h"

#include <QPointer>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "serial/line_error_kinds.h"
#include "serial/port_names.h"
#include "serial/serial_error.h"

namespace parvolo {

using namespace rfc2217;

namespace {

// Decoded bytes held before the socket is left to throttle the server.
constexpr qsizetype kMaxInput = 64 * 1024;
// While an answer is awaited the socket is read whatever the control wants; past this much
// unread data the bytes are dropped (and reported) rather than kept without end.
constexpr qsizetype kHardInputLimit = 1 << 20;

// What a server wrote before it hung up, as far as it reads as text.
QString printableText(const QByteArray& bytes) {
    QString text;
    for (char c : bytes.left(200)) {
        if (c >= 0x20 && c < 0x7F)
            text.append(QLatin1Char(c));
        else if (!text.endsWith(QLatin1Char(' ')))
            text.append(QLatin1Char(' '));
    }
    return text.trimmed().left(120);
}

// SET-CONTROL carries flow control, break, DTR and RTS; an answer belongs to a request of the
// same group (a server that leaves one group unanswered must not shift the answers of another).
int answerGroup(quint8 command, quint8 value) {
    if (command != quint8(ComCommand::SetControl)) return 0;
    if (value <= control::kHardware || value >= 13) return 1;  // outbound and inbound flow
    if (value <= 6) return 2;                                  // break
    if (value <= 9) return 3;                                  // DTR
    return 4;                                                  // RTS
}

// The line-state bits and the kind of line error each one is.
constexpr std::pair<quint8, LineEvent> kLineStateBits[] = {
    {linestate::kBreak, LineEvent::Break},
    {linestate::kFraming, LineEvent::FramingError},
    {linestate::kParity, LineEvent::ParityError},
    {linestate::kOverrun, LineEvent::Overrun}};

}  // namespace

Rfc2217Device::Rfc2217Device(QObject* parent) : SerialDevice(parent) {
    m_link.received = [this](QByteArrayView bytes) { onReceived(bytes); };
    m_link.receivedAtEnd = [this](QByteArrayView bytes) {
        // The end of what the far side sent; what it says besides data is no longer news.
        std::vector<ServerMessage> ignored;
        m_decoder.feed(bytes, m_input, ignored);
    };
    m_link.writable = [this] {
        if (!m_opening && m_writeWanted) emit readyWrite();
    };
    m_link.ended = [this] { onLinkEnded(); };
}

Rfc2217Device::~Rfc2217Device() {
    close();
}

bool Rfc2217Device::isRemoteName(const QString& name) {
    return name.startsWith(QLatin1String(kScheme), Qt::CaseInsensitive);
}

Rfc2217Device::RemoteAddress Rfc2217Device::parseRemoteName(const QString& url) {
    return RemoteLink::parseAddress(url, QLatin1String(kScheme));
}

QString Rfc2217Device::lostReason() const {
    return m_link.hasEnded() ? m_link.endReason() : QString();
}

// ---- opening ----

void Rfc2217Device::open(const QString& url) {
    if (m_link.isConnected() || m_opening) throw SerialError::alreadyOpen();
    const RemoteAddress address = parseRemoteName(url);

    const quint64 generation = ++m_generation;
    m_opening = true;
    m_url = url;
    m_readBack.reset();
    const QPointer<Rfc2217Device> self(this);
    // Any failure below leaves the device closed; one that closed or destroyed it meanwhile
    // leaves it to whoever did that.
    auto fail = [&, generation](const SerialError& error) -> SerialError {
        if (self && m_generation == generation) close();
        return error;
    };
    try {
        m_link.connectTo(url, address, m_bounds);
    } catch (const SerialError& error) {
        throw fail(error);
    }
    updateNotifiers();

    // Telnet first: without the server's DO COM-PORT nothing about the port can be set.
    queueCommand(m_options.start());
    m_link.flush();
    const WaitResult result = waitUntil(
        [this] {
            const auto state = m_options.local(option::kComPort);
            return state == OptionNegotiation::State::On ||
                   state == OptionNegotiation::State::Refused;
        },
        m_bounds.answerMs);
    switch (result) {
        case WaitResult::Destroyed:
        case WaitResult::Closed:
            throw fail(SerialError::remoteOpenCancelled(url));
        case WaitResult::HungUp:
            throw fail(SerialError::remoteClosed(url, printableText(m_input)));
        case WaitResult::TimedOut:
        case WaitResult::Ended:
            throw fail(SerialError::remoteNoAnswer(url, remote_texts::comPortControlOffer(),
                                                   m_bounds.answerMs));
        case WaitResult::Done:
            break;
    }
    if (m_options.local(option::kComPort) != OptionNegotiation::State::On)
        throw fail(SerialError::remoteRefusedControl(url));

    // Not every server answers the masks, so they are not waited for.
    queueCommand(setLineStateMask(linestate::kErrors));
    queueCommand(setModemStateMask(modemstate::kAll));
    m_link.flush();
    if (m_link.hasEnded()) throw fail(SerialError::remoteClosed(url, printableText(m_input)));
    // What arrived during the negotiation is the far end's; the control reads it after open.
    m_opening = false;
    updateNotifiers();
}

void Rfc2217Device::close() {
    if (!m_link.isConnected() && !m_opening) return;
    ++m_generation;
    m_link.close();
    m_opening = false;
    m_url.clear();
    m_readWanted = m_writeWanted = false;
    m_readyReadPosted = false;
    m_decoder.reset();
    m_options = OptionNegotiation();
    m_input.clear();
    m_pending.clear();
    m_linesUnanswered = false;
    m_modemState.reset();
    m_lineCounts.reset();
    m_lineStateNotifications = 0;
    m_notified = {};
}

// ---- answers ----

quint64 Rfc2217Device::expectAnswer(ComCommand command, quint8 value) {
    const int group = answerGroup(quint8(command), value);
    // An earlier request of the same kind that was given up on and is still unanswered will not
    // be answered now: its answer would be taken for this one's.
    std::erase_if(m_pending, [&](const PendingAnswer& p) {
        return p.abandoned && p.command == quint8(command) && p.group == group;
    });
    const quint64 id = m_nextAnswerId++;
    m_pending.push_back({id, quint8(command), group, std::nullopt, false});
    return id;
}

bool Rfc2217Device::answered(quint64 id) const {
    for (const PendingAnswer& p : m_pending)
        if (p.id == id) return p.value.has_value();
    return false;
}

std::optional<QByteArray> Rfc2217Device::takeAnswer(quint64 id) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->id != id) continue;
        std::optional<QByteArray> value = std::move(it->value);
        m_pending.erase(it);
        return value;
    }
    return std::nullopt;
}

void Rfc2217Device::abandonAnswer(quint64 id) {
    for (PendingAnswer& p : m_pending)
        if (p.id == id) p.abandoned = true;
}

// ---- settings and lines ----

void Rfc2217Device::applySettings(const LineSettings& settings) {
    if (!usable() || m_opening) return;
    const QString url = m_url;
    auto refuse = [&](const QString& what, const QString& problem) {
        throw SerialError::settingRefused(url, what, problem);
    };
    if (settings.baudRate <= 0)
        refuse(setting_texts::baudRate(settings.baudRate), setting_texts::rateMustBePositive());
    const std::optional<quint8> flow = flowCode(settings.flow);
    if (!flow)
        refuse(setting_texts::flowControl(settings.rtsCts(), settings.xonXoff()),
               setting_texts::remoteFlowCannotCombine());
    const QByteArray commands[] = {setBaudRate(quint32(settings.baudRate)),
                                   setDataSize(settings.dataBits), setParity(settings.parity),
                                   setStopSize(settings.stopBits), setControl(*flow)};
    for (const QByteArray& command : commands)
        if (command.isEmpty()) throw SerialError::invalidValue();

    const ComCommand order[] = {ComCommand::SetBaudRate, ComCommand::SetDataSize,
                                ComCommand::SetParity, ComCommand::SetStopSize,
                                ComCommand::SetControl};
    const QString whats[] = {setting_texts::baudRate(settings.baudRate),
                             setting_texts::dataBits(settings.dataBitCount()),
                             setting_texts::parity(settings.parity),
                             setting_texts::stopBits(settings.stopBitCount()),
                             setting_texts::flowControl(settings.rtsCts(), settings.xonXoff())};
    quint64 ids[5];
    for (int i = 0; i < 5; ++i) {
        ids[i] = expectAnswer(order[i], i == 4 ? *flow : 0);
        queueCommand(commands[i]);
    }
    m_link.flush();
    const WaitResult result = waitUntil(
        [&] {
            return std::all_of(std::begin(ids), std::end(ids),
                               [&](quint64 id) { return answered(id); });
        },
        m_bounds.answerMs);
    if (result == WaitResult::Destroyed) return;
    if (result != WaitResult::Done) {
        int firstUnanswered = -1;
        for (int i = 0; i < 5; ++i) {
            if (answered(ids[i])) {
                takeAnswer(ids[i]);
            } else {
                abandonAnswer(ids[i]);
                if (firstUnanswered < 0) firstUnanswered = i;
            }
        }
        // A hang-up is reported through hungUp(); a close needs no word.
        if (result == WaitResult::HungUp || result == WaitResult::Closed) return;
        throw SerialError::remoteSettingUnanswered(url, whats[std::max(0, firstUnanswered)],
                                                   m_bounds.answerMs);
    }

    QByteArray values[5];
    for (int i = 0; i < 5; ++i) values[i] = takeAnswer(ids[i]).value_or(QByteArray());
    const std::optional<quint32> baud = baudOfValue(values[0]);
    std::optional<DataBits> dataRead;
    if (const auto size = byteOfValue(values[1]); size && *size >= 5 && *size <= 8)
        dataRead = DataBits(*size);
    const auto byteOf = [&](int i) { return byteOfValue(values[i]).value_or(0); };
    const std::optional<Parity> parityRead = parityOfCode(byteOf(2));
    const std::optional<StopBits> stopRead = stopBitsOfCode(byteOf(3));
    const std::optional<FlowControl> flowRead = flowOfCode(byteOf(4));

    // What the server says it has now; nothing when an answer has no meaning here.
    if (baud && dataRead && parityRead && stopRead && flowRead)
        m_readBack = LineSettings{qint32(std::min<quint32>(*baud, INT32_MAX)), *parityRead,
                                  *dataRead, *stopRead, *flowRead};
    else
        m_readBack.reset();

    // An answer that has no meaning is named by its bytes.
    const auto codeOf = [&](int i, const QString& setting) {
        return setting_texts::serverCode(setting,
                                         QString::fromLatin1(values[i].toHex(' ').toUpper()));
    };
    // A UART reaches most rates only approximately; 2% is what a receiver tolerates.
    const qint64 wantedBaud = settings.baudRate;
    if (!baud || std::llabs(qint64(*baud) - wantedBaud) * 50 > wantedBaud)
        refuse(whats[0],
               setting_texts::serverAnswers(baud ? setting_texts::baudRate(*baud)
                                                 : codeOf(0, setting_texts::baudRateName())));
    if (dataRead != settings.dataBits)
        refuse(whats[1],
               setting_texts::serverAnswers(dataRead ? setting_texts::dataBits(int(*dataRead))
                                                     : codeOf(1, setting_texts::dataBitsName())));
    if (parityRead != settings.parity)
        refuse(whats[2],
               setting_texts::serverAnswers(parityRead ? setting_texts::parity(*parityRead)
                                                       : codeOf(2, setting_texts::parityName())));
    if (stopRead != settings.stopBits)
        refuse(whats[3],
               setting_texts::serverAnswers(stopRead ? setting_texts::stopBits(int(*stopRead))
                                                     : codeOf(3, setting_texts::stopBitsName())));
    if (flowRead != settings.flow)
        refuse(whats[4],
               setting_texts::serverAnswers(
                   flowRead ? setting_texts::flowControl(*flowRead == FlowControl::RtsCts,
                                                         *flowRead == FlowControl::XonXoff)
                            : codeOf(4, setting_texts::flowControlName())));
}

void Rfc2217Device::setRts(bool on) {
    setLine(on ? control::kRtsOn : control::kRtsOff, QStringLiteral("RTS"), on);
}

void Rfc2217Device::setDtr(bool on) {
    setLine(on ? control::kDtrOn : control::kDtrOff, QStringLiteral("DTR"), on);
}

void Rfc2217Device::setLine(quint8 value, const QString& line, bool on) {
    if (!usable() || m_opening) return;
    const QString url = m_url;
    queueCommand(setControl(value));
    // A server that let a line change go unanswered (ser2net on a device without modem lines)
    // has a port without lines, which takes changes silently as a local one does; waiting on
    // every switch would only stall the window.
    if (m_linesUnanswered) {
        m_link.flush();
        return;
    }
    const quint64 id = expectAnswer(ComCommand::SetControl, value);
    m_link.flush();
    const WaitResult result =
        waitUntil([&] { return answered(id); }, std::min(m_bounds.answerMs, kLineAnswerMs));
    switch (result) {
        case WaitResult::Destroyed:
            return;
        case WaitResult::HungUp:
        case WaitResult::Closed:
            abandonAnswer(id);
            return;
        case WaitResult::TimedOut:
        case WaitResult::Ended:
            abandonAnswer(id);
            m_linesUnanswered = true;
            return;
        case WaitResult::Done:
            break;
    }
    const std::optional<quint8> answer = byteOfValue(takeAnswer(id).value_or(QByteArray()));
    if (answer == value) return;
    QString problem;
    if (answer == control::kRtsOn || answer == control::kRtsOff)
        problem = remote_texts::serverAnswered(QStringLiteral("RTS"), answer == control::kRtsOn);
    else if (answer == control::kDtrOn || answer == control::kDtrOff)
        problem = remote_texts::serverAnswered(QStringLiteral("DTR"), answer == control::kDtrOn);
    else
        problem = remote_texts::serverAnsweredCode(answer ? int(*answer) : -1);
    throw SerialError::remoteLineRefused(url, line, on, problem);
}

ModemLines Rfc2217Device::modemLines() const {
    ModemLines lines;
    if (!usable() || m_opening || !m_modemState) return lines;
    lines.cts = *m_modemState & modemstate::kCts;
    lines.dsr = *m_modemState & modemstate::kDsr;
    lines.dcd = *m_modemState & modemstate::kDcd;
    lines.ri = *m_modemState & modemstate::kRi;
    return lines;
}

// ---- data ----

qint64 Rfc2217Device::read(char* data, qint64 maxSize) {
    if (!m_link.isConnected() || m_opening || maxSize <= 0) return 0;
    const qint64 n = std::min<qint64>(maxSize, m_input.size());
    if (n <= 0) return 0;
    std::memcpy(data, m_input.constData(), size_t(n));
    m_input.remove(0, qsizetype(n));
    updateNotifiers();
    return n;
}

qint64 Rfc2217Device::write(const char* data, qint64 size) {
    if (!usable() || m_opening || size <= 0) return 0;
    const qsizetype room = RemoteLink::kMaxData - m_link.queued();
    if (room <= 0) return 0;
    QByteArray escaped;
    escaped.reserve(std::min<qsizetype>(room, qsizetype(size) * 2));
    qint64 taken = 0;
    for (; taken < size; ++taken) {
        const bool iac = quint8(data[taken]) == telnet::kIac;
        if (escaped.size() + (iac ? 2 : 1) > room) break;
        escaped.append(data[taken]);
        if (iac) escaped.append(data[taken]);
    }
    if (taken == 0) return 0;
    m_link.queue(std::move(escaped), RemoteLink::Part::Data);
    m_link.flush();
    return taken;
}

void Rfc2217Device::queueCommand(const QByteArray& bytes) {
    m_link.queue(bytes, RemoteLink::Part::Command);
}

qsizetype Rfc2217Device::unsentDataBytes() const {
    qsizetype count = 0;
    // A doubled IAC is one byte of the control's.
    for (QByteArrayView unsent : m_link.unsentData())
        count += unsent.size() - unsent.count(char(telnet::kIac)) / 2;
    return count;
}

qint64 Rfc2217Device::driverOutputCount() const {
    if (!usable() || m_opening) return 0;
    return unsentDataBytes() + m_link.socketQueued();
}

void Rfc2217Device::discardInput() {
    if (!usable() || m_opening) return;
    m_input.clear();
    queueCommand(purgeData(purge::kReceived));
    m_link.flush();
}

void Rfc2217Device::discardOutput() {
    if (!usable() || m_opening) return;
    // The socket took part of a piece; a doubled IAC cut in two must be completed, or the
    // server would read the next command's IAC as data.
    m_link.discardUnsentData([](QByteArrayView bytes, qsizetype sent) {
        qsizetype i = 0;
        while (i < sent) i += quint8(bytes.at(i)) == telnet::kIac ? 2 : 1;
        return std::min(i, bytes.size());
    });
    queueCommand(purgeData(purge::kToSend));
    m_link.flush();
}

void Rfc2217Device::setReadNotification(bool enabled) {
    m_readWanted = enabled;
    if (!usable() || m_opening) return;
    updateNotifiers();
    if (enabled && !m_input.isEmpty()) postReadyRead();
}

void Rfc2217Device::setWriteNotification(bool enabled) {
    m_writeWanted = enabled;
    if (usable()) updateNotifiers();
}

void Rfc2217Device::updateNotifiers() {
    if (!usable()) return;
    m_link.setReading(m_opening || (m_readWanted && m_input.size() < kMaxInput));
    m_link.setWantWritable(m_writeWanted && !m_opening);
}

void Rfc2217Device::postReadyRead() {
    if (m_readyReadPosted) return;
    m_readyReadPosted = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation) return;
            m_readyReadPosted = false;
            if (usable() && !m_opening && m_readWanted && !m_input.isEmpty()) emit readyRead();
        },
        Qt::QueuedConnection);
}

void Rfc2217Device::onReceived(QByteArrayView bytes) {
    const qsizetype before = m_input.size();
    std::vector<ServerMessage> messages;
    m_decoder.feed(bytes, m_input, messages);
    bool overflow = false;
    if (m_input.size() > kHardInputLimit) {
        m_input.truncate(std::max(before, kHardInputLimit));
        overflow = true;
    }
    const bool arrived = m_input.size() > before;
    m_notified = {};
    for (const ServerMessage& message : messages) handleMessage(message);
    m_link.flush();
    if (!messages.empty()) m_link.wakeWaits();

    // However many notifications the read held, each line that changed is one event and each
    // kind of line error one event (its count is in kernelLineCounts()). Line errors go ahead
    // of the bytes they damaged, as on a local port. While opening nobody listens yet: what
    // the lines are is kept, their history is not news.
    std::vector<LineEvent> events;
    if (overflow) events.push_back(LineEvent::ReceiveOverflow);
    for (const LineErrorKind& kind : kLineErrorKinds)
        if (m_notified.errors.*kind.count) events.push_back(kind.event);
    const std::pair<bool, LineEvent> lines[] = {{m_notified.cts, LineEvent::CtsChanged},
                                                {m_notified.dsr, LineEvent::DsrChanged},
                                                {m_notified.dcd, LineEvent::CarrierChanged},
                                                {m_notified.ring, LineEvent::Ring}};
    for (const auto& [changed, event] : lines)
        if (changed) events.push_back(event);

    // A receiver may close or destroy the device in the middle of these.
    const QPointer<Rfc2217Device> self(this);
    const quint64 generation = m_generation;
    auto live = [&] { return self && generation == m_generation && usable(); };
    for (LineEvent event : events) {
        if (!live()) return;
        if (!m_opening) emit lineEvent(event);
    }
    if (!live()) return;
    updateNotifiers();
    if (arrived && m_readWanted && !m_opening) emit readyRead();
}

void Rfc2217Device::handleMessage(const ServerMessage& message) {
    if (message.kind == ServerMessage::Kind::Negotiation) {
        queueCommand(m_options.receive(message.verb, message.option));
        return;
    }
    if (message.command < kServerOffset) return;  // a client's command: not for us
    const quint8 command = message.command - kServerOffset;
    switch (ComCommand(command)) {
        case ComCommand::NotifyLineState:
            if (const auto state = byteOfValue(message.value)) noteLineState(*state);
            return;
        case ComCommand::NotifyModemState:
            if (const auto state = byteOfValue(message.value)) noteModemState(*state);
            return;
        case ComCommand::FlowControlSuspend:
            m_link.setDataHeld(true);
            return;
        case ComCommand::FlowControlResume:
            m_link.setDataHeld(false);
            return;
        default:
            break;
    }
    const int group = answerGroup(command, byteOfValue(message.value).value_or(0));
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->command != command || it->group != group || it->value) continue;
        if (it->abandoned)
            m_pending.erase(it);  // the late answer of a request given up on ends there
        else
            it->value = message.value;
        return;
    }
}

void Rfc2217Device::noteLineState(quint8 state) {
    if (!m_lineCounts) m_lineCounts = KernelLineCounts{};
    if (state & linestate::kErrors) ++m_lineStateNotifications;
    for (const auto& [bit, event] : kLineStateBits) {
        if (!(state & bit)) continue;
        const auto count = lineErrorKindOf(event)->count;
        ++(*m_lineCounts.*count);
        ++(m_notified.errors.*count);
    }
}

void Rfc2217Device::noteModemState(quint8 state) {
    // The first report says how the lines are; only its deltas are changes.
    const quint8 last = m_modemState.value_or(state);
    const quint8 changed = quint8(state ^ last);
    auto changedLine = [&](quint8 level, quint8 delta) {
        return (changed & level) || (state & delta);
    };
    m_notified.cts |= changedLine(modemstate::kCts, modemstate::kCtsDelta);
    m_notified.dsr |= changedLine(modemstate::kDsr, modemstate::kDsrDelta);
    m_notified.dcd |= changedLine(modemstate::kDcd, modemstate::kDcdDelta);
    // One ring, one event, at its end, as the local port reports it. pyserial's server sets
    // the edge bit on both edges, so the level must be off too.
    const bool ringEnded = (state & modemstate::kRiTrailingEdge) ||
                           ((last & modemstate::kRi) && !(state & modemstate::kRi));
    m_notified.ring |= ringEnded && !(state & modemstate::kRi);
    m_modemState = state;
}

void Rfc2217Device::onLinkEnded() {
    // Posted, not emitted here: the end is found inside read(), write() and the waits, and the
    // caller should finish its own step first. A failed open reports it as its error instead.
    if (m_opening) return;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation) emit hungUp();
        },
        Qt::QueuedConnection);
}

}  // namespace parvolo
