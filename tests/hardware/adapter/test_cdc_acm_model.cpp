// The CDC-ACM board model against the requests the cdc_acm driver sends and the notifications it
// reads, without USB.
#include <QTest>

#include "cdc_acm_model.h"
#include "fake_line.h"

using namespace acm;

namespace {
QByteArray hex(const std::vector<uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex();
}
}  // namespace

class TestCdcAcmModel : public QObject {
    Q_OBJECT
    CdcAcm chip;
    adapter::FakeLine line;
    std::vector<uint8_t> in;
    bool request(uint type, uint req, uint value, const QByteArray& outHex = {}) {
        const QByteArray out = QByteArray::fromHex(outHex);
        const adapter::Setup setup{uint8_t(type), uint8_t(req), uint16_t(value), kCommInterface, 7};
        return chip.control(setup, {out.begin(), out.end()}, in);
    }
private slots:
    void init() {
        chip = {};
        line = {};
        chip.attach(&line);
    }
    void lineCoding_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("made");  // rate, data bits, parity, stop half-bits; "" refused
        QTest::newRow("115200 7E2") << QByteArray("00c20100020207") << "115200 7 even 4";
        QTest::newRow("3M 5O1.5") << QByteArray("c0c62d00010105") << "3000000 5 odd 3";
        QTest::newRow("any rate, 6S1") << QByteArray("39300000000406") << "12345 6 space 2";
        QTest::newRow("300 8M1") << QByteArray("2c010000000308") << "300 8 mark 2";
        QTest::newRow("stop code 3") << QByteArray("80250000030008") << "";
        QTest::newRow("rate 0") << QByteArray("00000000000008") << "";
        QTest::newRow("six bytes") << QByteArray("802500000000") << "";
    }
    void lineCoding() {
        QFETCH(QByteArray, block);
        QFETCH(QString, made);
        QCOMPARE(request(0x21, kSetLineCoding, 0, block), !made.isEmpty());
        if (made.isEmpty()) return;
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(line.baud, 0, 'f', 0)
                     .arg(line.format.dataBits)
                     .arg(QString::fromStdString(adapter::parityName(line.format.parity)))
                     .arg(line.format.stopHalfBits),
                 made);
        QVERIFY(request(0xA1, kGetLineCoding, 0));
        QCOMPARE(hex(in), block);
    }
    void requests_data() {
        QTest::addColumn<uint>("type");
        QTest::addColumn<uint>("request");
        QTest::addColumn<uint>("value");
        QTest::addColumn<QString>("after");  // the line after it; "" stalled
        const uint lines = kSetControlLineState;
        QTest::newRow("open: DTR and RTS") << 0x21u << lines << 3u << "dtr rts opens=1";
        QTest::newRow("RTS only") << 0x21u << lines << 2u << "rts opens=0";
        QTest::newRow("break ends") << 0x21u << uint(kSendBreak) << 0u << "opens=0";
        QTest::newRow("held break") << 0x21u << uint(kSendBreak) << 0xFFFFu << "break opens=0";
        QTest::newRow("vendor request") << 0x41u << lines << 3u << "";
        QTest::newRow("GET as OUT") << 0x21u << uint(kGetLineCoding) << 0u << "";
    }
    void requests() {
        QFETCH(uint, type);
        QFETCH(uint, request);
        QFETCH(uint, value);
        QFETCH(QString, after);
        line.breakOn = value == 0;  // so that a break that ends has one to end
        QCOMPARE(this->request(type, request, value), !after.isEmpty());
        QStringList seen;
        if (line.out.dtr) seen << "dtr";
        if (line.out.rts) seen << "rts";
        if (line.breakOn) seen << "break";
        if (!after.isEmpty())
            QCOMPARE((seen << QStringLiteral("opens=%1").arg(line.opens)).join(' '), after);
    }
    void notifications_data() {
        QTest::addColumn<QString>("inputs");  // one set after another, split by '|'
        QTest::addColumn<uint>("errors");     // of 0x45, received before a clean 0x46
        QTest::addColumn<QString>("sent");    // notifications' bitmaps and bulk IN data, in order
        using adapter::kBreak, adapter::kFramingError, adapter::kOverrun, adapter::kParityError;
        QTest::newRow("DSR, DCD") << "dsr dcd|dsr" << 0u << "0300 0200 data 4546";
        QTest::newRow("CTS has no place") << "cts" << 0u << "data 4546";
        QTest::newRow("a ring, once") << "ri|ri dsr|" << 0u << "0800 0000 0200 0000 data 4546";
        QTest::newRow("parity") << "" << uint(kParityError) << "2000 0000 data 4546";
        QTest::newRow("framing, DSR on")
            << "dsr" << uint(kFramingError) << "0200 1200 0200 data 4546";
        QTest::newRow("overrun") << "" << uint(kOverrun) << "4000 0000 data 4546";
        QTest::newRow("break: no byte") << "" << uint(kBreak) << "0400 0000 data 46";
    }
    // As the adapter serves them: the interrupt endpoint first, bulk IN when the board is due.
    void notifications() {
        QFETCH(QString, inputs);
        QFETCH(uint, errors);
        for (const QString& on : inputs.split('|'))
            chip.inputsChanged(
                {on.contains("cts"), on.contains("dsr"), on.contains("ri"), on.contains("dcd")});
        std::deque<adapter::RxByte> rx{{0x45, uint8_t(errors)}, {0x46, 0}};
        QStringList sent;
        std::vector<uint8_t> packet;
        for (int turn = 0; turn < 10; ++turn) {
            if (chip.interruptPacket(packet)) {
                QCOMPARE(hex(packet).left(16), QByteArray("a120000000000200"));
                sent << hex(packet).mid(16);
            } else if (chip.inDue(rx, 0) == INT64_MAX) {
                break;
            } else if (!(packet = chip.inPacket(rx, 256)).empty()) {
                sent << "data " + hex(packet);
            }
        }
        QTEST(sent.join(' '), "sent");
    }
    void configuration_data() {
        QTest::addColumn<uint>("kind");  // bDescriptorType
        QTest::addColumn<uint>("key");   // the byte after it: subtype, interface or address
        QTest::addColumn<QByteArray>("descriptor");
        QTest::newRow("configuration 1") << 2u << 67u << QByteArray("090243000201008032");
        QTest::newRow("communications") << 4u << 0u << QByteArray("090400000102020100");
        QTest::newRow("call management") << 0x24u << 1u << QByteArray("0524010001");
        QTest::newRow("ACM: line coding, break") << 0x24u << 2u << QByteArray("04240206");
        QTest::newRow("union: 0 controls 1") << 0x24u << 6u << QByteArray("0524060001");
        QTest::newRow("notifications") << 5u << 0x83u << QByteArray("07058303100010");
        QTest::newRow("data") << 4u << 1u << QByteArray("09040100020a000000");
    }
    void configuration() {
        QFETCH(uint, kind);
        QFETCH(uint, key);
        std::vector<uint8_t> config;
        QVERIFY(chip.descriptor(2, 0, config));
        QByteArray found;
        for (size_t at = 0; at + 2 < config.size(); at += config[at])
            if (config[at + 1] == kind && config[at + 2] == key)
                found = hex({config.begin() + long(at), config.begin() + long(at + config[at])});
        QTEST(found, "descriptor");
    }
};

QTEST_APPLESS_MAIN(TestCdcAcmModel)
#include "test_cdc_acm_model.moc"
