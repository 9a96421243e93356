// The PL2303 HX model against the requests the pl2303 driver sends and the packets it reads.
#include <QTest>

#include "fake_line.h"
#include "pl2303_model.h"

using namespace pl2303;
Q_DECLARE_METATYPE(adapter::Inputs)

namespace {
QByteArray hex(const std::vector<uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex();
}
// A class request (0x21 out, 0xa1 in) or a vendor one (0x40, 0xc0), as the driver sends it.
bool request(Pl2303& chip, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
             const QByteArray& outHex, std::vector<uint8_t>& in) {
    const QByteArray out = QByteArray::fromHex(outHex);
    return chip.control({type, req, value, index, 7}, {out.begin(), out.end()}, in);
}
}  // namespace

class TestPl2303Model : public QObject {
    Q_OBJECT
    Pl2303 chip;
    adapter::FakeLine line;
    std::vector<uint8_t> in, packet;
private slots:
    void init() {
        line = adapter::FakeLine();
        chip.unplugged();
        chip.attach(&line);
    }

    // What SET_LINE_REQUEST set, GET_LINE_REQUEST gives back: the driver starts from it. It
    // sends the rates of the chip's table as they are, others as a divisor.
    void lineRequest_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("format");  // empty: refused
        QTest::addColumn<double>("baud");
        QTest::newRow("9600 8N1") << QByteArray("80250000000008") << "8 none 2" << 9600.0;
        QTest::newRow("300 7O2") << QByteArray("2c010000020107") << "7 odd 4" << 300.0;
        QTest::newRow("3000000 5E1.5") << QByteArray("c0c62d00010205") << "5 even 3" << 3e6;
        QTest::newRow("not in the table, 6M1")
            << QByteArray("39300000000306") << "6 mark 2" << 9600.0;
        QTest::newRow("128000: 187 * 4^2, 8S1")
            << QByteArray("bb040080000408") << "8 space 2" << 384e6 / 2992;
        QTest::newRow("256000: 375 * 4") << QByteArray("77030080000008") << "8 none 2" << 256e3;
        QTest::newRow("1000000: 384") << QByteArray("80010080000008") << "8 none 2" << 1e6;
        QTest::newRow("zero mantissa") << QByteArray("00020080000008") << "" << 0.0;
        QTest::newRow("4 data bits") << QByteArray("80250000000004") << "" << 0.0;
        QTest::newRow("parity 5") << QByteArray("80250000000508") << "" << 0.0;
    }
    void lineRequest() {
        QFETCH(QByteArray, block);
        QFETCH(QString, format);
        QCOMPARE(request(chip, 0x21, kSetLineRequest, 0, 0, block, in), !format.isEmpty());
        QVERIFY(request(chip, 0xA1, kGetLineRequest, 0, 0, "", in));
        QCOMPARE(hex(in), format.isEmpty() ? QByteArray("80250000000008") : block);
        if (format.isEmpty()) return;
        const adapter::DataFormat& f = line.format;
        QCOMPARE(QString::asprintf("%d %s %d", f.dataBits, adapter::parityName(f.parity).c_str(),
                                   f.stopHalfBits),
                 format);
        QTEST(line.baud, "baud");
    }

    // DTR and RTS, and the flow bits of register 0 after the driver's read-modify-write.
    void outputsAndFlow_data() {
        QTest::addColumn<uint>("control");
        QTest::addColumn<uint>("register0");
        QTest::addColumn<QString>("lines");
        QTest::newRow("none") << 0u << 0x01u << "dtr=0 rts=0 none";
        QTest::newRow("crtscts") << 1u << 0x61u << "dtr=1 rts=0 rtscts";
        QTest::newRow("IXON") << 2u << 0xC1u << "dtr=0 rts=1 xonxoff";
    }
    void outputsAndFlow() {
        QFETCH(uint, control);
        QFETCH(uint, register0);
        QVERIFY(request(chip, 0x21, kSetControlRequest, uint16_t(control), 0, "", in));
        QVERIFY(request(chip, 0x40, kVendorRequest, 0, uint16_t(register0), "", in));
        QVERIFY(request(chip, 0xC0, kVendorRequest, 0x80, 0, "", in));
        QCOMPARE(in, std::vector<uint8_t>{uint8_t(register0)});
        QTEST(QString::asprintf("dtr=%d rts=%d %s", line.out.dtr, line.out.rts,
                                adapter::flowName(line.flow).c_str()),
              "lines");
    }

    // Every level a line passes through is told, also while the interrupt transfer is away. The
    // driver applies the last state's errors to the whole next bulk packet, so a damaged byte
    // waits for its state to go up, goes alone, and no state goes between them.
    void statePackets_data() {
        QTest::addColumn<adapter::Inputs>("inputs");
        QTest::addColumn<uint>("errors");
        QTest::addColumn<uint>("byte");
        QTest::addColumn<QByteArray>("states");
        QTest::newRow("cts, parity") << adapter::Inputs{.cts = true} << uint(adapter::kParityError)
                                     << 0x45u << QByteArray("80 00 80 a0 ");
        QTest::newRow("dsr, framing")
            << adapter::Inputs{.dsr = true} << uint(adapter::kFramingError) << 0x45u
            << QByteArray("02 00 02 12 ");
        QTest::newRow("ri, overrun") << adapter::Inputs{.ri = true} << uint(adapter::kOverrun)
                                     << 0x45u << QByteArray("08 00 08 48 ");
        QTest::newRow("dcd, break") << adapter::Inputs{.dcd = true} << uint(adapter::kBreak)
                                    << 0x00u << QByteArray("01 00 01 05 ");
    }
    void statePackets() {
        QFETCH(adapter::Inputs, inputs);
        QFETCH(uint, errors);
        QFETCH(uint, byte);
        for (const adapter::Inputs& level : {inputs, adapter::Inputs{}, inputs})
            chip.inputsChanged(level);
        std::deque<RxByte> rx = {{0x41, 0}, {uint8_t(byte), uint8_t(errors)}, {0x43, 0}};
        QCOMPARE(hex(chip.inPacket(rx, 256)), QByteArray("41"));
        QCOMPARE(chip.inDue(rx, 0), INT64_MIN);
        QVERIFY(chip.inPacket(rx, 256).empty());
        QByteArray states;
        while (chip.interruptPacket(packet)) states += hex(packet).mid(16, 2) + ' ';
        QTEST(states, "states");
        // A serial state notification around the last state.
        QCOMPARE(hex(packet).left(16) + hex(packet).right(2), QByteArray("a12000000000020000"));
        chip.inputsChanged({});  // waits for the damaged byte
        QVERIFY(!chip.interruptPacket(packet));
        QCOMPARE(chip.inPacket(rx, 256), std::vector<uint8_t>{uint8_t(byte)});
        QVERIFY(chip.interruptPacket(packet));
        QCOMPARE(hex(chip.inPacket(rx, 256)), QByteArray("43"));
    }
};

QTEST_APPLESS_MAIN(TestPl2303Model)
#include "test_pl2303_model.moc"
