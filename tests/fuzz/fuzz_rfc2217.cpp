// The bytes a com-port server sends are untrusted: the decoder must split them the same however
// the reads cut them, and the negotiation must never answer more than it was told nor turn on
// an option we do not want.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "serial/rfc2217_protocol.h"

using namespace parvolo::rfc2217;

namespace {

[[noreturn]] void fail(const char* what, int line) {
    std::fprintf(stderr, "fuzz_rfc2217.cpp:%d: %s\n", line, what);
    std::abort();
}
#define REQUIRE(cond) ((cond) ? void() : fail(#cond, __LINE__))

struct Decoded {
    QByteArray data;
    std::vector<ServerMessage> messages;
    bool operator==(const Decoded&) const = default;
};

Decoded decodeWhole(QByteArrayView bytes) {
    Decoded out;
    StreamDecoder().feed(bytes, out.data, out.messages);
    return out;
}

// Pieces of 0 to 15 bytes, their sizes drawn from a hash of the input, so a crash replays.
Decoded decodeInPieces(QByteArrayView bytes) {
    quint32 seed = 2166136261u;
    for (char c : bytes) seed = (seed ^ quint8(c)) * 16777619u;
    Decoded out;
    StreamDecoder decoder;
    // A reset decoder must forget what the first half left behind.
    decoder.feed(bytes.first(bytes.size() / 2), out.data, out.messages);
    decoder.reset();
    out = {};
    for (qsizetype at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype n = std::min<qsizetype>((seed >> 16) % 16, bytes.size() - at);
        decoder.feed(bytes.sliced(at, n), out.data, out.messages);
        at += n;
    }
    return out;
}

bool wanted(quint8 option) {
    return option == option::kBinary || option == option::kSuppressGoAhead ||
           option == option::kComPort;
}

bool isVerb(quint8 byte) {
    return byte >= quint8(Verb::Will) && byte <= quint8(Verb::Dont);
}

// Our answer to a DO/DONT is WILL/WONT and the other way round, about the same option.
void checkReply(const QByteArray& reply, Verb verb, quint8 option) {
    if (reply.isEmpty()) return;
    REQUIRE(reply.size() == 3);
    REQUIRE(quint8(reply[0]) == telnet::kIac);
    REQUIRE(isVerb(quint8(reply[1])));
    REQUIRE(quint8(reply[2]) == option);
    const bool aboutUs = verb == Verb::Do || verb == Verb::Dont;
    const Verb answer = Verb(quint8(reply[1]));
    REQUIRE(aboutUs == (answer == Verb::Will || answer == Verb::Wont));
}

using State = OptionNegotiation::State;

bool off(State s) {
    return s == State::Off || s == State::Refused;
}

void negotiate(const std::vector<ServerMessage>& messages) {
    OptionNegotiation negotiation;
    const QByteArray requests = negotiation.start();
    REQUIRE(requests.size() % 3 == 0);
    qsizetype received = 0;
    qsizetype replied = 0;
    for (const ServerMessage& m : messages) {
        if (m.kind != ServerMessage::Kind::Negotiation) continue;
        const auto local = negotiation.local(m.option);
        const auto remote = negotiation.remote(m.option);
        const QByteArray reply = negotiation.receive(m.verb, m.option);
        checkReply(reply, m.verb, m.option);
        replied += reply.size();
        received += 1;
        REQUIRE(replied <= 3 * received);
        // An acknowledgement, or a refusal of what is already off, gets no word back.
        if ((m.verb == Verb::Will && remote == State::On) ||
            (m.verb == Verb::Do && local == State::On) || (m.verb == Verb::Wont && off(remote)) ||
            (m.verb == Verb::Dont && off(local)))
            REQUIRE(reply.isEmpty());
        if (!wanted(m.option)) {
            REQUIRE(negotiation.local(m.option) != State::On);
            REQUIRE(negotiation.remote(m.option) != State::On);
        }
    }
}

// Every message, framed again, decodes to itself; a com-port value goes through the parsers.
void checkMessage(const ServerMessage& m) {
    REQUIRE(!describe(m).isEmpty());
    if (m.kind == ServerMessage::Kind::Negotiation) {
        REQUIRE(isVerb(quint8(m.verb)));
        REQUIRE(decodeWhole(negotiation(m.verb, m.option)) == Decoded({{}, {m}}));
        return;
    }
    REQUIRE(m.value.size() <= StreamDecoder::kMaxSubnegotiation - 2);
    // Framed by hand: the server's command byte may be IAC, which ours never are.
    const QByteArray sub = QByteArray(1, char(m.command)) + m.value;
    const QByteArray frame =
        QByteArray("\xff\xfa") + char(option::kComPort) + escapeData(sub) + QByteArray("\xff\xf0");
    REQUIRE(decodeWhole(frame) == Decoded({{}, {m}}));
    if (const auto baud = baudOfValue(m.value))
        REQUIRE(setBaudRate(*baud) == comPortCommand(ComCommand::SetBaudRate, m.value));
    if (const auto byte = byteOfValue(m.value)) {
        if (const auto parity = parityOfCode(*byte)) REQUIRE(parityCode(*parity) == *byte);
        if (const auto stop = stopBitsOfCode(*byte)) REQUIRE(stopSizeCode(*stop) == *byte);
        if (const auto flow = flowOfCode(*byte)) REQUIRE(flowCode(*flow) == *byte);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const QByteArrayView input(bytes, qsizetype(size));
    const Decoded whole = decodeWhole(input);
    REQUIRE(whole.data.size() <= input.size());
    REQUIRE(decodeInPieces(input) == whole);
    // Escaped data is data only, whatever it holds.
    REQUIRE(decodeWhole(escapeData(input)) == Decoded({input.toByteArray(), {}}));
    for (const ServerMessage& m : whole.messages) checkMessage(m);
    negotiate(whole.messages);
    return 0;
}
