// The CH340 model against the requests the ch341 driver sends and the packets it reads, without
// USB.
#include <QTest>

#include "ch340_model.h"
#include "fake_line.h"

using namespace ch341;
using adapter::FakeLine;

namespace {

QByteArray hex(const std::vector<uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex();
}

// A vendor request as the driver sends it; IN requests ask for two bytes.
std::vector<uint8_t> ask(Ch340& chip, uint8_t req, uint16_t value, uint16_t index = 0) {
    std::vector<uint8_t> in;
    const bool toHost = req == kReadVersion || req == kReadRegisters;
    const adapter::Setup setup{.type = uint8_t(toHost ? 0xC0 : 0x40),
                               .request = req,
                               .value = value,
                               .index = index,
                               .length = uint16_t(toHost ? 2 : 0)};
    if (!chip.control(setup, {}, in)) in = {0xDE, 0xAD};  // a stall: no register reads that
    return in;
}

struct Rig {
    Ch340 chip;
    FakeLine line;
    Rig() { chip.attach(&line); }
};

}  // namespace

class TestCh340Model : public QObject {
    Q_OBJECT
private slots:
    void rates_data();
    void rates();
    void lineControl_data();
    void lineControl();
    void modemControl_data();
    void modemControl();
    void requests();
    void status();
    void bulkIn();
};

void TestCh340Model::rates_data() {
    QTest::addColumn<uint>("sent");  // wIndex: the divisor register high, the prescaler low
    QTest::addColumn<double>("made");
    // What ch341_get_divisor sends for each rate, with bit 7 set.
    QTest::newRow("46, the slowest") << 0x0180u << 48e6 / (4096 * 255);
    QTest::newRow("9600") << 0xB282u << 48e6 / (64 * 78);
    QTest::newRow("115200") << 0xCC83u << 48e6 / (8 * 52);
    QTest::newRow("256000, fast clock") << 0xD187u << 48e6 / (4 * 47);
    QTest::newRow("921600") << 0xF387u << 48e6 / (4 * 13);
    QTest::newRow("3000000, and faster clamped to it") << 0xFE83u << 3e6;
    QTest::newRow("divisor register 0 is 256") << 0x0080u << 48e6 / (4096 * 256);
}

void TestCh340Model::rates() {
    QFETCH(uint, sent);
    QFETCH(double, made);
    Rig r;
    QVERIFY(ask(r.chip, kWriteRegisters, kRegDivisor << 8 | kRegPrescaler, uint16_t(sent)).empty());
    QVERIFY2(qAbs(r.line.baud - made) < 0.01, qPrintable(QString::number(r.line.baud, 'f', 3)));
}

void TestCh340Model::lineControl_data() {
    QTest::addColumn<uint>("lcr");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("stopHalfBits");
    const uint on = kLcrEnableRx | kLcrEnableTx, mark = kLcrParity | kLcrMarkSpace;
    QTest::newRow("8N1") << (on | 3) << 8 << "none" << 2;
    QTest::newRow("7E1") << (on | kLcrParity | kLcrParityEven | 2) << 7 << "even" << 2;
    QTest::newRow("8O2") << (on | kLcrParity | kLcrTwoStopBits | 3) << 8 << "odd" << 4;
    QTest::newRow("5M1") << (on | mark) << 5 << "mark" << 2;
    QTest::newRow("6S1") << (on | mark | kLcrParityEven | 1) << 6 << "space" << 2;
    QTest::newRow("5N2: two, not 1.5") << (on | kLcrTwoStopBits) << 5 << "none" << 4;
}

void TestCh340Model::lineControl() {
    QFETCH(uint, lcr);
    Rig r;
    ask(r.chip, kWriteRegisters, 0x2500 | kRegLcr, uint16_t(lcr));  // and 0 into register 0x25
    QTEST(r.line.format.dataBits, "dataBits");
    QTEST(QString::fromStdString(adapter::parityName(r.line.format.parity)), "parity");
    QTEST(r.line.format.stopHalfBits, "stopHalfBits");
}

void TestCh340Model::modemControl_data() {
    QTest::addColumn<uint>("value");  // ~mcr, as the driver sends it
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    QTest::newRow("both on") << 0xFF9Fu << true << true;
    QTest::newRow("both off") << 0xFFFFu << false << false;
    QTest::newRow("DTR only") << 0xFFDFu << true << false;
    QTest::newRow("RTS only") << 0xFFBFu << false << true;
}

void TestCh340Model::modemControl() {
    QFETCH(uint, value);
    const Outputs outputs = decodeModemControl(uint16_t(value));
    QTEST(outputs.dtr, "dtr");
    QTEST(outputs.rts, "rts");
}

void TestCh340Model::requests() {
    Rig r;
    QCOMPARE(hex(ask(r.chip, kReadVersion, 0)), QByteArray("3100"));
    // The probe for break support reads register 5: a stall would make the driver fake breaks.
    QCOMPARE(hex(ask(r.chip, kReadRegisters, kRegBreak)), QByteArray("0100"));
    // A break as the driver makes it: read 0x1805, clear or set a bit in each, write them back.
    QCOMPARE(hex(ask(r.chip, kReadRegisters, kRegLcr << 8 | kRegBreak)), QByteArray("01c3"));
    ask(r.chip, kWriteRegisters, kRegLcr << 8 | kRegBreak, 0x8300);
    QVERIFY(r.line.breakOn);
    ask(r.chip, kWriteRegisters, kRegLcr << 8 | kRegBreak, 0xC301);
    QVERIFY(!r.line.breakOn);
    QCOMPARE(hex(ask(r.chip, 0x42, 0)), QByteArray("dead"));
}

// The inputs, inverted, in the status register and in the interrupt packet's third byte.
void TestCh340Model::status() {
    Rig r;
    std::vector<uint8_t> packet;
    r.line.in = {.cts = true, .dsr = false, .ri = false, .dcd = true};
    QCOMPARE(hex(ask(r.chip, kReadRegisters, kRegStatus2 << 8 | kRegStatus)), QByteArray("96ee"));
    QCOMPARE(r.line.opens, 1);  // the driver reads it as it opens the port
    QVERIFY(!r.chip.interruptPacket(packet));
    r.chip.inputsChanged(r.line.in);
    QVERIFY(r.chip.interruptPacket(packet) && !r.chip.interruptPacket(packet));
    QCOMPARE(hex(packet), QByteArray("087996ee"));
    // Two changes before the driver asks: the latest, flagged; a pulse undone still goes up.
    r.chip.inputsChanged({.cts = true, .dsr = true, .ri = false, .dcd = true});
    r.chip.inputsChanged(r.line.in);
    QVERIFY(r.chip.interruptPacket(packet));
    QCOMPARE(hex(packet), QByteArray("087d96ee"));
}

void TestCh340Model::bulkIn() {
    Rig r;
    using adapter::kBreak, adapter::kFramingError, adapter::kParityError;
    std::deque<RxByte> rx{{0x41, 0}, {0x45, kParityError}, {0x46, kFramingError}, {0x47, kBreak}};
    // Until the driver sets the prescaler's bit 7 only full packets go.
    QCOMPARE(r.chip.inDue(rx, 0), INT64_MAX);
    ask(r.chip, kWriteRegisters, kRegDivisor << 8 | kRegPrescaler, 0xB282);
    QCOMPARE(r.chip.inDue(rx, 0), qint64(1000000));
    // Damaged bytes go up as received, a break as a NUL.
    QCOMPARE(hex(r.chip.inPacket(rx, 32)), QByteArray("41454600"));
    for (int i = 0; i < 40; ++i) rx.push_back({uint8_t(i), 0});
    QCOMPARE(r.chip.inDue(rx, 0), INT64_MIN);
    QCOMPARE(r.chip.inPacket(rx, 64).size(), size_t(kMaxPacket));
    QCOMPARE(r.chip.inPacket(rx, 64).size(), size_t(8));
}

QTEST_APPLESS_MAIN(TestCh340Model)
#include "test_ch340_model.moc"
