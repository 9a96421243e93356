#include "serial/rfc2217_protocol.h"

#include <QStringList>

namespace parvolo::rfc2217 {

namespace {

using telnet::kIac;
using telnet::kSb;
using telnet::kSe;

bool isVerb(quint8 byte) {
    return byte >= quint8(Verb::Will) && byte <= quint8(Verb::Dont);
}

QByteArray oneByte(quint8 value) {
    return QByteArray(1, char(value));
}

}  // namespace

QByteArray escapeData(QByteArrayView bytes) {
    QByteArray out;
    out.reserve(bytes.size() + bytes.count(char(kIac)));
    for (char c : bytes) {
        out.append(c);
        if (quint8(c) == kIac) out.append(c);
    }
    return out;
}

QByteArray negotiation(Verb verb, quint8 option) {
    const char bytes[] = {char(kIac), char(verb), char(option)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray comPortCommand(ComCommand command, QByteArrayView value) {
    QByteArray out;
    out.append(char(kIac)).append(char(kSb)).append(char(option::kComPort)).append(char(command));
    out.append(escapeData(value));
    out.append(char(kIac)).append(char(kSe));
    return out;
}

QByteArray setBaudRate(quint32 baud) {
    const char value[] = {char(baud >> 24), char(baud >> 16), char(baud >> 8), char(baud)};
    return comPortCommand(ComCommand::SetBaudRate, QByteArrayView(value, sizeof value));
}

QByteArray setDataSize(DataBits bits) {
    const int n = int(bits);
    if (n < 5 || n > 8) return {};
    return comPortCommand(ComCommand::SetDataSize, oneByte(quint8(n)));
}

QByteArray setParity(Parity parity) {
    const quint8 code = parityCode(parity);
    return code ? comPortCommand(ComCommand::SetParity, oneByte(code)) : QByteArray();
}

QByteArray setStopSize(StopBits bits) {
    const quint8 code = stopSizeCode(bits);
    return code ? comPortCommand(ComCommand::SetStopSize, oneByte(code)) : QByteArray();
}

QByteArray setControl(quint8 value) {
    return comPortCommand(ComCommand::SetControl, oneByte(value));
}

QByteArray setLineStateMask(quint8 mask) {
    return comPortCommand(ComCommand::SetLineStateMask, oneByte(mask));
}

QByteArray setModemStateMask(quint8 mask) {
    return comPortCommand(ComCommand::SetModemStateMask, oneByte(mask));
}

QByteArray purgeData(quint8 what) {
    return comPortCommand(ComCommand::PurgeData, oneByte(what));
}

quint8 parityCode(Parity parity) {
    switch (parity) {
        case Parity::None:
            return 1;
        case Parity::Odd:
            return 2;
        case Parity::Even:
            return 3;
        case Parity::Mark:
            return 4;
        case Parity::Space:
            return 5;
    }
    return 0;
}

std::optional<Parity> parityOfCode(quint8 code) {
    for (Parity p : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space})
        if (parityCode(p) == code) return p;
    return std::nullopt;
}

quint8 stopSizeCode(StopBits bits) {
    switch (bits) {
        case StopBits::One:
            return 1;
        case StopBits::Two:
            return 2;
    }
    return 0;
}

std::optional<StopBits> stopBitsOfCode(quint8 code) {
    if (code == 1) return StopBits::One;
    if (code == 2) return StopBits::Two;
    return std::nullopt;
}

std::optional<quint8> flowCode(FlowControl flow) {
    switch (flow) {
        case FlowControl::None:
            return control::kNoFlow;
        case FlowControl::XonXoff:
            return control::kXonXoff;
        case FlowControl::RtsCts:
            return control::kHardware;
        case FlowControl::Both:
            break;
    }
    return std::nullopt;
}

std::optional<FlowControl> flowOfCode(quint8 code) {
    switch (code) {
        case control::kNoFlow:
            return FlowControl::None;
        case control::kXonXoff:
            return FlowControl::XonXoff;
        case control::kHardware:
            return FlowControl::RtsCts;
        default:
            return std::nullopt;
    }
}

std::optional<quint32> baudOfValue(QByteArrayView value) {
    if (value.size() != 4) return std::nullopt;
    quint32 baud = 0;
    for (char c : value) baud = (baud << 8) | quint8(c);
    return baud;
}

std::optional<quint8> byteOfValue(QByteArrayView value) {
    if (value.size() != 1) return std::nullopt;
    return quint8(value[0]);
}

QString describe(const ServerMessage& message) {
    if (message.kind == ServerMessage::Kind::Negotiation) {
        static const char* const kVerbs[] = {"WILL", "WONT", "DO", "DONT"};
        return QStringLiteral("%1 %2")
            .arg(QLatin1String(kVerbs[quint8(message.verb) - quint8(Verb::Will)]))
            .arg(message.option);
    }
    QStringList fields{QString::number(message.command)};
    for (char c : message.value)
        fields << QStringLiteral("%1").arg(quint8(c), 2, 16, QLatin1Char('0')).toUpper();
    return fields.join(QLatin1Char(' '));
}

void StreamDecoder::feed(QByteArrayView bytes, QByteArray& data,
                         std::vector<ServerMessage>& messages) {
    for (char c : bytes) {
        const quint8 byte = quint8(c);
        switch (m_state) {
            case State::Data:
                if (byte == kIac)
                    m_state = State::Iac;
                else
                    data.append(c);
                break;
            case State::Iac:
                if (byte == kIac) {
                    data.append(c);
                    m_state = State::Data;
                } else if (isVerb(byte)) {
                    m_verb = Verb(byte);
                    m_state = State::Negotiation;
                } else if (byte == kSb) {
                    m_sub.clear();
                    m_subOverlong = false;
                    m_state = State::Sub;
                } else {
                    m_state = State::Data;  // NOP, GA, DM, a stray SE: nothing to act on
                }
                break;
            case State::Negotiation:
                messages.push_back(ServerMessage::negotiationOf(m_verb, byte));
                m_state = State::Data;
                break;
            case State::Sub:
                if (byte == kIac) {
                    m_state = State::SubIac;
                } else if (m_sub.size() < kMaxSubnegotiation) {
                    m_sub.append(c);
                } else {
                    m_subOverlong = true;
                }
                break;
            case State::SubIac:
                if (byte == kIac) {
                    if (m_sub.size() < kMaxSubnegotiation)
                        m_sub.append(c);
                    else
                        m_subOverlong = true;
                    m_state = State::Sub;
                } else if (byte == kSe) {
                    endSubnegotiation(messages);
                    m_state = State::Data;
                } else {
                    // A server that forgot IAC SE: the subnegotiation ends here and the
                    // command that follows is taken as one.
                    endSubnegotiation(messages);
                    m_state = State::Iac;
                    feed(QByteArrayView(&c, 1), data, messages);
                }
                break;
        }
    }
}

void StreamDecoder::endSubnegotiation(std::vector<ServerMessage>& messages) {
    if (!m_subOverlong && m_sub.size() >= 2 && quint8(m_sub[0]) == option::kComPort)
        messages.push_back(ServerMessage::comPortOf(quint8(m_sub[1]), m_sub.mid(2)));
    m_sub.clear();
    m_subOverlong = false;
}

bool OptionNegotiation::wanted(quint8 option) {
    return option == option::kBinary || option == option::kSuppressGoAhead ||
           option == option::kComPort;
}

QByteArray OptionNegotiation::start() {
    QByteArray out;
    auto ask = [&](Side& side, Verb verb, quint8 option) {
        side.state = State::Requested;
        out.append(negotiation(verb, option));
    };
    ask(m_local[option::kBinary], Verb::Will, option::kBinary);
    ask(m_remote[option::kBinary], Verb::Do, option::kBinary);
    ask(m_local[option::kSuppressGoAhead], Verb::Will, option::kSuppressGoAhead);
    ask(m_remote[option::kSuppressGoAhead], Verb::Do, option::kSuppressGoAhead);
    ask(m_local[option::kComPort], Verb::Will, option::kComPort);
    return out;
}

QByteArray OptionNegotiation::receive(Verb verb, quint8 option) {
    const bool aboutUs = verb == Verb::Do || verb == Verb::Dont;
    const bool enable = verb == Verb::Do || verb == Verb::Will;
    Side& side = aboutUs ? m_local[option] : m_remote[option];
    const bool agreed = wanted(option);
    const Verb yes = aboutUs ? Verb::Will : Verb::Do;
    const Verb no = aboutUs ? Verb::Wont : Verb::Dont;

    if (enable) {
        if (!agreed) return negotiation(no, option);
        const State before = std::exchange(side.state, State::On);
        // Our own request is answered; one that is already on needs no word.
        return before == State::Off || before == State::Refused ? negotiation(yes, option)
                                                                : QByteArray();
    }
    const State before = side.state;
    if (before == State::Off || before == State::Refused) return {};
    side.state = State::Refused;
    return before == State::On ? negotiation(no, option) : QByteArray();
}

OptionNegotiation::State OptionNegotiation::local(quint8 option) const {
    return m_local[option].state;
}

OptionNegotiation::State OptionNegotiation::remote(quint8 option) const {
    return m_remote[option].state;
}

}  // namespace parvolo::rfc2217
