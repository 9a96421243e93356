// The CP2102 model against the requests and the stream the cp210x driver uses, without USB.
#include <QTest>

#include "cp2102_model.h"
#include "fake_line.h"

using namespace cp210x;
using adapter::FakeLine;

namespace {

QByteArray hex(const std::vector<uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex();
}

// An interface request as the driver sends it (0x41 out, 0xc1 in).
bool request(Cp2102& chip, uint8_t req, uint16_t value, std::vector<uint8_t> out,
             std::vector<uint8_t>& in, uint16_t length = 0) {
    const uint8_t type = length ? 0xC1 : 0x41;
    return chip.control({.type = type,
                         .request = req,
                         .value = value,
                         .index = 0,
                         .length = uint16_t(length ? length : out.size())},
                        out, in);
}

}  // namespace

class TestCp2102Model : public QObject {
    Q_OBJECT
private slots:
    void lineControl_data();
    void lineControl();
    void rates_data();
    void rates();
    void flowBlock_data();
    void flowBlock();
    void encoding_data();
    void encoding();
    void partNumber_data();
    void partNumber();
    void requests();
    void packets();
    void modemEvents();
    void endpointsOfEveryChip_data();
    void endpointsOfEveryChip();
};

void TestCp2102Model::lineControl_data() {
    QTest::addColumn<uint>("value");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("stopHalfBits");
    // The driver's BITS_DATA_n | BITS_PARITY_x | BITS_STOP_y.
    QTest::newRow("8N1") << 0x0800u << true << 8 << "none" << 2;
    QTest::newRow("7E1") << 0x0720u << true << 7 << "even" << 2;
    QTest::newRow("8O2") << 0x0812u << true << 8 << "odd" << 4;
    QTest::newRow("5M1.5") << 0x0531u << true << 5 << "mark" << 3;
    QTest::newRow("6S1") << 0x0640u << true << 6 << "space" << 2;
    QTest::newRow("4 data bits") << 0x0400u << false << 0 << "" << 0;
    QTest::newRow("parity 5") << 0x0850u << false << 0 << "" << 0;
    QTest::newRow("stop code 3") << 0x0803u << false << 0 << "" << 0;
}

void TestCp2102Model::lineControl() {
    QFETCH(uint, value);
    QFETCH(bool, taken);
    DataFormat f;
    QCOMPARE(decodeLineCtl(uint16_t(value), f), taken);
    if (!taken) return;
    QTEST(f.dataBits, "dataBits");
    QTEST(QString::fromStdString(adapter::parityName(f.parity)), "parity");
    QTEST(f.stopHalfBits, "stopHalfBits");
    QCOMPARE(uint(encodeLineCtl(f)), value);
}

void TestCp2102Model::rates_data() {
    QTest::addColumn<uint>("requested");
    QTest::addColumn<uint>("made");
    QTest::newRow("300") << 300u << 300u;
    QTest::newRow("9600") << 9600u << 9600u;
    QTest::newRow("top of 9600's range") << 9612u << 9600u;
    QTest::newRow("above it") << 9613u << 14400u;
    QTest::newRow("115200") << 115200u << 115200u;
    QTest::newRow("921600") << 921600u << 921600u;
    QTest::newRow("just under 1M") << 999999u << 921600u;
    QTest::newRow("1M") << 1000000u << 1000000u;
    QTest::newRow("beyond the chip") << 3000000u << 1000000u;
}

void TestCp2102Model::rates() {
    QFETCH(uint, requested);
    QTEST(uint(madeRate(requested)), "made");
}

void TestCp2102Model::flowBlock_data() {
    QTest::addColumn<uint>("handshake");
    QTest::addColumn<uint>("replace");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    // What the driver writes for no handshake, crtscts, and IXON|IXOFF, DTR and RTS up or down.
    QTest::newRow("none, both up") << 0x01u << 0x40u << "none" << true << true;
    QTest::newRow("none, both down") << 0x00u << 0x00u << "none" << false << false;
    QTest::newRow("crtscts") << 0x09u << 0x80u << "rtscts" << true << true;
    QTest::newRow("crtscts, RTS down") << 0x09u << 0x00u << "rtscts" << true << false;
    QTest::newRow("xon/xoff") << 0x01u << 0x43u << "xonxoff" << true << true;
    QTest::newRow("dsr handshake") << 0x11u << 0x40u << "dtrdsr" << true << true;
}

void TestCp2102Model::flowBlock() {
    QFETCH(uint, handshake);
    QFETCH(uint, replace);
    const FlowControl written{handshake, replace, 128, 128};
    FlowControl read;
    QVERIFY(decodeFlow(encodeFlow(written), read));
    QCOMPARE(read.controlHandshake, handshake);
    QCOMPARE(read.flowReplace, replace);
    QCOMPARE(read.xoffLimit, 128u);
    QTEST(QString::fromStdString(adapter::flowName(handshakes(read))), "flow");
    QTEST(outputsOf(read).dtr, "dtr");
    QTEST(outputsOf(read).rts, "rts");
    QVERIFY(!decodeFlow(std::vector<uint8_t>(15, 0), read));
}

void TestCp2102Model::encoding_data() {
    QTest::addColumn<uint>("byte");
    QTest::addColumn<uint>("errors");
    QTest::addColumn<uint>("escape");  // 0: event mode off
    QTest::addColumn<QByteArray>("sent");
    using adapter::kBreak, adapter::kFramingError, adapter::kOverrun, adapter::kParityError;
    QTest::newRow("plain") << 0x41u << 0u << 0xECu << QByteArray("41");
    QTest::newRow("the escape byte") << 0xECu << 0u << 0xECu << QByteArray("ec00");
    QTest::newRow("parity") << 0x45u << uint(kParityError) << 0xECu << QByteArray("ec010445");
    QTest::newRow("framing") << 0x45u << uint(kFramingError) << 0xECu << QByteArray("ec010845");
    QTest::newRow("overrun") << 0x45u << uint(kOverrun) << 0xECu << QByteArray("ec010245");
    QTest::newRow("break") << 0x00u << uint(kBreak) << 0xECu << QByteArray("ec011000");
    QTest::newRow("off: escape byte") << 0xECu << 0u << 0u << QByteArray("ec");
    QTest::newRow("off: parity") << 0x45u << uint(kParityError) << 0u << QByteArray("45");
    QTest::newRow("off: break") << 0x00u << uint(kBreak) << 0u << QByteArray("");
}

void TestCp2102Model::encoding() {
    QFETCH(uint, byte);
    QFETCH(uint, errors);
    QFETCH(uint, escape);
    std::vector<uint8_t> out;
    encodeByte({uint8_t(byte), uint8_t(errors)}, uint8_t(escape), out);
    QTEST(hex(out), "sent");
}

void TestCp2102Model::partNumber_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("answer");
    // The driver asks for one byte, then for two to tell a chip with event mode.
    QTest::newRow("one byte") << 1 << QByteArray("02");
    QTest::newRow("two bytes") << 2 << QByteArray("0200");
}

void TestCp2102Model::partNumber() {
    QFETCH(int, length);
    Cp2102 chip;
    FakeLine line;
    chip.attach(&line);
    std::vector<uint8_t> in;
    QVERIFY(chip.control({.type = 0xC0,
                          .request = kVendorRequest,
                          .value = kGetPartNumber,
                          .index = 0,
                          .length = uint16_t(length)},
                         {}, in));
    QTEST(hex(in), "answer");
    QVERIFY(!chip.control(
        {.type = 0xC0, .request = kVendorRequest, .value = 0x000E, .index = 0, .length = 3}, {},
        in));
}

void TestCp2102Model::requests() {
    Cp2102 chip;
    FakeLine line;
    chip.attach(&line);
    std::vector<uint8_t> in;
    QVERIFY(request(chip, kIfcEnable, 1, {}, in));
    QCOMPARE(line.opens, 1);
    QVERIFY(request(chip, kSetBaudRate, 0, {0x00, 0xC2, 0x01, 0x00}, in));  // 115200
    QCOMPARE(line.baud, 115200.0);
    QVERIFY(!request(chip, kSetBaudRate, 0, {0x00, 0xC2, 0x01}, in));
    QVERIFY(request(chip, kGetBaudRate, 0, {}, in, 4));
    QCOMPARE(hex(in), QByteArray("00c20100"));
    QVERIFY(request(chip, kSetLineCtl, 0x0720, {}, in));
    QCOMPARE(line.format.dataBits, 7);
    QVERIFY(request(chip, kSetMhs, 0x0301, {}, in));  // DTR up, RTS down
    QVERIFY(line.out.dtr && !line.out.rts);
    line.in = {.cts = true, .dsr = false, .ri = true, .dcd = true};
    QVERIFY(request(chip, kGetMdmSts, 0, {}, in, 1));
    QCOMPARE(hex(in), QByteArray("d1"));
    // GET_FLOW tells what SET_MHS left, so that the driver's read-modify-write keeps DTR.
    QVERIFY(request(chip, kGetFlow, 0, {}, in, 16));
    FlowControl flow;
    QVERIFY(decodeFlow(in, flow));
    QCOMPARE(flow.controlHandshake & 3, 1u);
    QVERIFY(request(chip, kGetCommStatus, 0, {}, in, 19));
    QCOMPARE(in.size(), size_t(19));
    QVERIFY(!request(chip, 0x42, 0, {}, in));
}

void TestCp2102Model::packets() {
    Cp2102 chip;
    FakeLine line;
    chip.attach(&line);
    std::vector<uint8_t> in;
    std::deque<RxByte> rx;
    for (int i = 0; i < 70; ++i) rx.push_back({uint8_t(i), 0});
    QCOMPARE(chip.inDue(rx, 0), INT64_MIN);  // a full packet goes at once
    QCOMPARE(chip.inPacket(rx, 256).size(), size_t(64));
    QVERIFY(chip.inDue(rx, 1000) > 1000);  // the rest waits a little
    QCOMPARE(chip.inPacket(rx, 256).size(), size_t(6));
    QCOMPARE(chip.inDue(rx, 0), INT64_MAX);
    // In event mode an escape sequence is not cut across two packets.
    QVERIFY(request(chip, kEmbedEvents, 0xEC, {}, in));
    for (int i = 0; i < 62; ++i) rx.push_back({0x41, 0});
    rx.push_back({0x45, adapter::kParityError});
    QCOMPARE(chip.inPacket(rx, 256).size(), size_t(62));
    QCOMPARE(hex(chip.inPacket(rx, 256)), QByteArray("ec010445"));
    // Closing the interface leaves event mode.
    QVERIFY(request(chip, kIfcEnable, 0, {}, in));
    rx.push_back({0x45, adapter::kParityError});
    QCOMPARE(hex(chip.inPacket(rx, 256)), QByteArray("45"));
}

void TestCp2102Model::modemEvents() {
    Cp2102 chip;
    FakeLine line;
    chip.attach(&line);
    std::vector<uint8_t> in;
    std::deque<RxByte> rx;
    line.in.cts = true;
    chip.inputsChanged(line.in);
    QCOMPARE(chip.inDue(rx, 0), INT64_MAX);  // without event mode the chip says nothing
    QVERIFY(request(chip, kEmbedEvents, 0xEC, {}, in));
    chip.inputsChanged(line.in);  // no change since event mode began
    QCOMPARE(chip.inDue(rx, 0), INT64_MAX);
    line.in = {.cts = false, .dsr = true, .ri = false, .dcd = true};
    chip.inputsChanged(line.in);
    rx.push_back({0x41, 0});
    // CTS fell, DSR and DCD rose: levels in the high nibble, changes in the low one.
    QCOMPARE(hex(chip.inPacket(rx, 256)), QByteArray("ec03ab41"));
}

void TestCp2102Model::endpointsOfEveryChip_data() {
    QTest::addColumn<QString>("chip");
    for (const std::string& name : adapter::chipNames())
        QTest::newRow(name.c_str()) << QString::fromStdString(name);
}

// The endpoints a chip serves are those its configuration descriptor announces.
void TestCp2102Model::endpointsOfEveryChip() {
    QFETCH(QString, chip);
    const std::unique_ptr<adapter::Chip> model = adapter::makeChip(chip.toStdString());
    QVERIFY(model);
    std::vector<uint8_t> config;
    QVERIFY(model->descriptor(2, 0, config));
    QCOMPARE(size_t(adapter::le16(&config[2])), config.size());
    adapter::Endpoints announced{.bulkIn = 0, .bulkOut = 0, .interruptIn = 0};
    for (size_t at = 0; at + 1 < config.size(); at += config[at]) {
        if (config[at + 1] != 5) continue;
        const uint8_t address = config[at + 2], kind = config[at + 3] & 3;
        if (kind == 2 && (address & 0x80)) announced.bulkIn = address & 0x0F;
        if (kind == 2 && !(address & 0x80)) announced.bulkOut = address;
        if (kind == 3) announced.interruptIn = address & 0x0F;
    }
    const adapter::Endpoints served = model->endpoints();
    QCOMPARE(served.bulkIn, announced.bulkIn);
    QCOMPARE(served.bulkOut, announced.bulkOut);
    QCOMPARE(served.interruptIn, announced.interruptIn);
}

QTEST_APPLESS_MAIN(TestCp2102Model)
#include "test_cp2102_model.moc"
