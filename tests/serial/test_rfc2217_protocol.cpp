// The Telnet com-port codec without any socket: the bytes of our commands, the splitting of a
// server's stream into data and messages however the reads cut it, and the option answers.

#include <QtTest>

#include "serial/rfc2217_protocol.h"

using namespace parvolo;
using namespace parvolo::rfc2217;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text));
}

// "ff fd 2c | 41" as the reads "ff fd 2c" and "41".
QList<QByteArray> reads(const char* text) {
    QList<QByteArray> result;
    for (const QByteArray& piece : QByteArray(text).split('|')) result << hex(piece.constData());
    return result;
}

QStringList described(const std::vector<ServerMessage>& messages) {
    QStringList result;
    for (const ServerMessage& m : messages) result << describe(m);
    return result;
}

}  // namespace

class TestRfc2217Protocol : public QObject {
    Q_OBJECT
private slots:
    void escaping_data();
    void escaping();
    void commands_data();
    void commands();
    void decoding_data();
    void decoding();
    void optionAnswers_data();
    void optionAnswers();
    void settingCodesRoundTrip();
};

void TestRfc2217Protocol::escaping_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("nothing") << QByteArray() << QByteArray();
    QTest::newRow("no IAC") << hex("00417ffe") << hex("00417ffe");
    QTest::newRow("one IAC") << hex("41ff42") << hex("41ffff42");
    QTest::newRow("IAC then SE stays data") << hex("fff0") << hex("fffff0");
    QTest::newRow("IACs in a row") << hex("ffffff") << hex("ffffffffffff");
}

void TestRfc2217Protocol::escaping() {
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, escaped);
    QCOMPARE(escapeData(data), escaped);
    // What we escape, a server's stream decodes back to the same bytes.
    StreamDecoder decoder;
    QByteArray decoded;
    std::vector<ServerMessage> messages;
    decoder.feed(escaped, decoded, messages);
    QCOMPARE(decoded, data);
    QVERIFY(messages.empty());
}

void TestRfc2217Protocol::commands_data() {
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("DO COM-PORT") << negotiation(Verb::Do, option::kComPort) << hex("fffd2c");
    QTest::newRow("baud 9600, big-endian") << setBaudRate(9600) << hex("fffa2c0100002580fff0");
    QTest::newRow("baud with IAC bytes escaped") << setBaudRate(0xFF00FFFFu)
                                                 << hex("fffa2c01ffff00ffffffff"
                                                        "fff0");
    QTest::newRow("7 data bits") << setDataSize(DataBits::Seven) << hex("fffa2c0207fff0");
    QTest::newRow("no such data size") << setDataSize(DataBits(9)) << QByteArray();
    QTest::newRow("parity none") << setParity(Parity::None) << hex("fffa2c0301fff0");
    QTest::newRow("parity odd") << setParity(Parity::Odd) << hex("fffa2c0302fff0");
    QTest::newRow("parity even") << setParity(Parity::Even) << hex("fffa2c0303fff0");
    QTest::newRow("parity mark") << setParity(Parity::Mark) << hex("fffa2c0304fff0");
    QTest::newRow("parity space") << setParity(Parity::Space) << hex("fffa2c0305fff0");
    QTest::newRow("two stop bits") << setStopSize(StopBits::Two) << hex("fffa2c0402fff0");
    QTest::newRow("hardware flow") << setControl(control::kHardware) << hex("fffa2c0503fff0");
    QTest::newRow("RTS off") << setControl(control::kRtsOff) << hex("fffa2c050cfff0");
    QTest::newRow("DTR on") << setControl(control::kDtrOn) << hex("fffa2c0508fff0");
    QTest::newRow("line errors asked for")
        << setLineStateMask(linestate::kErrors) << hex("fffa2c0a1efff0");
    QTest::newRow("every modem line asked for")
        << setModemStateMask(modemstate::kAll) << hex("fffa2c0bfffffff0");
    QTest::newRow("purge what the server received")
        << purgeData(purge::kReceived) << hex("fffa2c0c01fff0");
}

void TestRfc2217Protocol::commands() {
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, bytes);
    QCOMPARE(built.toHex(' '), bytes.toHex(' '));
}

void TestRfc2217Protocol::decoding_data() {
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("plain data") << reads("414243") << hex("414243") << QStringList();
    QTest::newRow("doubled IAC is one data byte")
        << reads("41ffff42") << hex("41ff42") << QStringList();
    QTest::newRow("doubled IAC cut between reads")
        << reads("41ff|ff42") << hex("41ff42") << QStringList();
    QTest::newRow("negotiation cut between reads")
        << reads("41fffd|2c42") << hex("4142") << QStringList{"DO 44"};
    QTest::newRow("answer cut into three reads")
        << reads("fffa2c65|0000|2580fff0") << QByteArray() << QStringList{"101 00 00 25 80"};
    QTest::newRow("IAC SE inside a value is not its end")
        << reads("fffa2c65ffff|f0ffff00fff0") << QByteArray() << QStringList{"101 FF F0 FF 00"};
    QTest::newRow("data around a notification")
        << reads("41fffa2c6b30fff042") << hex("4142") << QStringList{"107 30"};
    QTest::newRow("NOP, GA and a stray SE say nothing")
        << reads("41fff1fff9fff042") << hex("4142") << QStringList();
    QTest::newRow("another option's subnegotiation is dropped")
        << reads("fffa1801fff041") << hex("41") << QStringList();
    QTest::newRow("a subnegotiation without IAC SE ends at the next command")
        << reads("fffa2c6601fffb01") << QByteArray() << QStringList{"102 01", "WILL 1"};
    QTest::newRow("an endless subnegotiation is dropped, data after it kept")
        << QList<QByteArray>{hex("fffa2c65") + QByteArray(200, 'x') + hex("fff041")} << hex("41")
        << QStringList();
    QTest::newRow("every verb") << reads("fffb00fffc01fffd02fffe03") << QByteArray()
                                << QStringList{"WILL 0", "WONT 1", "DO 2", "DONT 3"};
}

void TestRfc2217Protocol::decoding() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, data);
    QFETCH(QStringList, messages);

    StreamDecoder decoder;
    QByteArray decoded;
    std::vector<ServerMessage> found;
    for (const QByteArray& chunk : chunks) decoder.feed(chunk, decoded, found);
    QCOMPARE(decoded.toHex(' '), data.toHex(' '));
    QCOMPARE(described(found), messages);

    // However the reads cut the stream, one byte at a time included, it says the same.
    StreamDecoder bytewise;
    QByteArray bytewiseData;
    std::vector<ServerMessage> bytewiseFound;
    for (char c : chunks.join()) bytewise.feed(QByteArrayView(&c, 1), bytewiseData, bytewiseFound);
    QCOMPARE(bytewiseData, decoded);
    QCOMPARE(described(bytewiseFound), messages);
}

using Said = QList<QPair<Verb, quint8>>;
Q_DECLARE_METATYPE(Said)
using State = OptionNegotiation::State;
Q_DECLARE_METATYPE(OptionNegotiation::State)

void TestRfc2217Protocol::optionAnswers_data() {
    QTest::addColumn<bool>("started");
    QTest::addColumn<Said>("server");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<State>("comPort");  // our side of COM-PORT afterwards
    QTest::addColumn<State>("binaryFromServer");

    const QByteArray none;
    QTest::newRow("server agrees to our requests: nothing to say")
        << true
        << Said{{Verb::Do, 44}, {Verb::Do, 0}, {Verb::Will, 0}, {Verb::Do, 3}, {Verb::Will, 3}}
        << none << State::On << State::On;
    QTest::newRow("server refuses COM-PORT: no answer to a refusal")
        << true << Said{{Verb::Dont, 44}} << none << State::Refused << State::Requested;
    QTest::newRow("agreement said twice is answered never")
        << true << Said{{Verb::Do, 44}, {Verb::Do, 44}, {Verb::Will, 0}, {Verb::Will, 0}} << none
        << State::On << State::On;
    QTest::newRow("unknown options refused each time they are asked for")
        << true << Said{{Verb::Will, 1}, {Verb::Do, 24}, {Verb::Will, 1}}
        << negotiation(Verb::Dont, 1) + negotiation(Verb::Wont, 24) + negotiation(Verb::Dont, 1)
        << State::Requested << State::Requested;
    QTest::newRow("refusals of what is off need no answer")
        << true << Said{{Verb::Wont, 1}, {Verb::Dont, 1}} << none << State::Requested
        << State::Requested;
    QTest::newRow("server turns BINARY off after agreeing: acknowledged once")
        << true << Said{{Verb::Will, 0}, {Verb::Wont, 0}, {Verb::Wont, 0}}
        << negotiation(Verb::Dont, 0) << State::Requested << State::Refused;
    QTest::newRow("server offers COM-PORT on its side: accepted")
        << true << Said{{Verb::Will, 44}, {Verb::Do, 44}} << negotiation(Verb::Do, 44) << State::On
        << State::Requested;
    QTest::newRow("server asks for what we did not request yet: agreed")
        << false << Said{{Verb::Do, 0}, {Verb::Do, 44}}
        << negotiation(Verb::Will, 0) + negotiation(Verb::Will, 44) << State::On << State::Off;
    QTest::newRow("a flip loop on BINARY: each change answered once, one reply per message")
        << true << Said{{Verb::Will, 0}, {Verb::Do, 0}, {Verb::Wont, 0}, {Verb::Will, 0},
                        {Verb::Dont, 0}, {Verb::Do, 0}, {Verb::Will, 0}, {Verb::Do, 0}}
        << negotiation(Verb::Dont, 0) + negotiation(Verb::Do, 0) + negotiation(Verb::Wont, 0) +
               negotiation(Verb::Will, 0)
        << State::Requested << State::On;
    QTest::newRow("server takes COM-PORT back: we stop")
        << true << Said{{Verb::Do, 44}, {Verb::Dont, 44}} << negotiation(Verb::Wont, 44)
        << State::Refused << State::Requested;
}

void TestRfc2217Protocol::optionAnswers() {
    QFETCH(bool, started);
    QFETCH(Said, server);
    QFETCH(QByteArray, answers);
    QFETCH(State, comPort);
    QFETCH(State, binaryFromServer);

    OptionNegotiation options;
    if (started)
        QCOMPARE(options.start().toHex(' '), hex("fffb00fffd00fffb03fffd03fffb2c").toHex(' '));
    QByteArray said;
    for (const auto& [verb, option] : server) said += options.receive(verb, option);
    QCOMPARE(said.toHex(' '), answers.toHex(' '));
    QCOMPARE(options.local(option::kComPort), comPort);
    QCOMPARE(options.remote(option::kBinary), binaryFromServer);
}

void TestRfc2217Protocol::settingCodesRoundTrip() {
    for (Parity p : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space})
        QCOMPARE(parityOfCode(parityCode(p)), p);
    QCOMPARE(parityOfCode(0), std::nullopt);
    QCOMPARE(parityOfCode(6), std::nullopt);
    for (StopBits s : {StopBits::One, StopBits::Two}) QCOMPARE(stopBitsOfCode(stopSizeCode(s)), s);
    QCOMPARE(stopBitsOfCode(3), std::nullopt);  // 1.5 stop bits: nothing the control can ask for
    for (FlowControl f : {FlowControl::None, FlowControl::XonXoff, FlowControl::RtsCts})
        QCOMPARE(flowOfCode(flowCode(f).value()), f);
    QCOMPARE(flowCode(FlowControl::Both), std::nullopt);
    QCOMPARE(baudOfValue(hex("0001c200")), 115200u);
    QCOMPARE(baudOfValue(hex("01c200")), std::nullopt);
    QCOMPARE(byteOfValue(hex("0708")), std::nullopt);
}

QTEST_GUILESS_MAIN(TestRfc2217Protocol)
#include "test_rfc2217_protocol.moc"
