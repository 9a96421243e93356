#pragma once

// The Telnet com-port protocol as bytes, without any I/O: the commands a client sends, the
// splitting of the server's stream into data bytes and messages, and the option negotiation.
// IAC (0xFF) is doubled in data and inside subnegotiation values, both ways.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

#include "serial/line_settings.h"

namespace parvolo::rfc2217 {

namespace telnet {
constexpr quint8 kSe = 240;
constexpr quint8 kSb = 250;
constexpr quint8 kIac = 255;
}  // namespace telnet

enum class Verb : quint8 { Will = 251, Wont = 252, Do = 253, Dont = 254 };

namespace option {
constexpr quint8 kBinary = 0;
constexpr quint8 kSuppressGoAhead = 3;
constexpr quint8 kComPort = 44;
}  // namespace option

// What a client asks for; the server answers with the same command plus kServerOffset.
enum class ComCommand : quint8 {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
constexpr quint8 kServerOffset = 100;

// SET-CONTROL values.
namespace control {
constexpr quint8 kNoFlow = 1;
constexpr quint8 kXonXoff = 2;
constexpr quint8 kHardware = 3;
constexpr quint8 kDtrOn = 8;
constexpr quint8 kDtrOff = 9;
constexpr quint8 kRtsOn = 11;
constexpr quint8 kRtsOff = 12;
}  // namespace control

// Bits of a line-state notification.
namespace linestate {
constexpr quint8 kBreak = 0x10;
constexpr quint8 kFraming = 0x08;
constexpr quint8 kParity = 0x04;
constexpr quint8 kOverrun = 0x02;
constexpr quint8 kErrors = kBreak | kFraming | kParity | kOverrun;
}  // namespace linestate

// Bits of a modem-state notification.
namespace modemstate {
constexpr quint8 kDcd = 0x80;
constexpr quint8 kRi = 0x40;
constexpr quint8 kDsr = 0x20;
constexpr quint8 kCts = 0x10;
constexpr quint8 kDcdDelta = 0x08;
constexpr quint8 kRiTrailingEdge = 0x04;
constexpr quint8 kDsrDelta = 0x02;
constexpr quint8 kCtsDelta = 0x01;
constexpr quint8 kAll = 0xFF;
}  // namespace modemstate

// PURGE-DATA values.
namespace purge {
constexpr quint8 kReceived = 1;  // what the server received from the line and not yet sent
constexpr quint8 kToSend = 2;    // what the server holds for the line
}  // namespace purge

// Data bytes with IAC doubled.
QByteArray escapeData(QByteArrayView bytes);
// IAC verb option.
QByteArray negotiation(Verb verb, quint8 option);
// IAC SB COM-PORT command value IAC SE, the value escaped.
QByteArray comPortCommand(ComCommand command, QByteArrayView value);

// The settings commands; values outside the protocol's codes give nothing.
QByteArray setBaudRate(quint32 baud);
QByteArray setDataSize(DataBits bits);
QByteArray setParity(Parity parity);
QByteArray setStopSize(StopBits bits);
QByteArray setControl(quint8 value);
QByteArray setLineStateMask(quint8 mask);
QByteArray setModemStateMask(quint8 mask);
QByteArray purgeData(quint8 what);

// Protocol codes of the line settings, and back; nothing for a code that has no meaning here.
quint8 parityCode(Parity parity);
std::optional<Parity> parityOfCode(quint8 code);
quint8 stopSizeCode(StopBits bits);
std::optional<StopBits> stopBitsOfCode(quint8 code);
// Nothing for FlowControl::Both, which has no code.
std::optional<quint8> flowCode(FlowControl flow);
std::optional<FlowControl> flowOfCode(quint8 code);
// A 4-byte big-endian baud rate, a 1-byte value.
std::optional<quint32> baudOfValue(QByteArrayView value);
std::optional<quint8> byteOfValue(QByteArrayView value);

// One thing the server said besides data.
struct ServerMessage {
    enum class Kind { Negotiation, ComPort };
    Kind kind = Kind::Negotiation;
    Verb verb = Verb::Will;  // Negotiation
    quint8 option = 0;       // Negotiation
    quint8 command = 0;      // ComPort: the server's code (the client's plus kServerOffset)
    QByteArray value;        // ComPort: unescaped

    bool operator==(const ServerMessage&) const = default;
    static ServerMessage negotiationOf(Verb verb, quint8 option) {
        return {Kind::Negotiation, verb, option, 0, {}};
    }
    static ServerMessage comPortOf(quint8 command, QByteArray value) {
        return {Kind::ComPort, Verb::Will, 0, command, std::move(value)};
    }
};

// A readable form for messages and errors, e.g. "DO 44", "SB 101 00 00 25 80".
QString describe(const ServerMessage& message);

// Splits the server's stream; a command cut between two reads is carried over to the next.
// Other Telnet commands (NOP, GA, ...) and subnegotiations of other options are dropped, and
// so is a subnegotiation longer than any the server could mean.
class StreamDecoder {
public:
    static constexpr qsizetype kMaxSubnegotiation = 64;

    void feed(QByteArrayView bytes, QByteArray& data, std::vector<ServerMessage>& messages);
    void reset() { *this = StreamDecoder(); }

private:
    enum class State { Data, Iac, Negotiation, Sub, SubIac };
    void endSubnegotiation(std::vector<ServerMessage>& messages);

    State m_state = State::Data;
    Verb m_verb = Verb::Will;
    QByteArray m_sub;
    bool m_subOverlong = false;
};

// The options both sides agree on. We want BINARY and SUPPRESS-GO-AHEAD both ways and
// COM-PORT on our side (accepting it on the server's side too); everything else is refused.
// RFC 1143's rules, without its queue (we never change our mind): a message that changes an
// option's state is answered once; an agreement with our request, or with the state in force,
// is never answered, so two sides that disagree cannot loop; an offer of an option we do not
// want is refused each time it comes, as the server may have missed the last refusal. So
// every reply answers one message of the server's, and replies never outgrow what it sent;
// a server that sends faster than it reads the replies fills the link's bounded queue.
class OptionNegotiation {
public:
    enum class State { Off, Requested, On, Refused };

    // Our own requests: WILL BINARY, DO BINARY, WILL SGA, DO SGA, WILL COM-PORT.
    QByteArray start();
    // What to send back for what the server said about `option` (empty: nothing).
    QByteArray receive(Verb verb, quint8 option);
    // Our side (WILL/WONT) and the server's side (its WILL/WONT) of an option.
    State local(quint8 option) const;
    State remote(quint8 option) const;

private:
    struct Side {
        State state = State::Off;
    };
    // The same options on both sides.
    static bool wanted(quint8 option);

    Side m_local[256];
    Side m_remote[256];
};

}  // namespace parvolo::rfc2217
