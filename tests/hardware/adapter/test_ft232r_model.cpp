// The FT232R model's reading of the driver's requests and its packets, without USB.
#include <QTest>

#include "ft232r_model.h"

using namespace ftdi;
using adapter::characterNs;
using adapter::parityName;
using adapter::parseByte;

class TestFtdiModel : public QObject {
    Q_OBJECT
private slots:
    void rateFromTheDriversDivisor_data();
    void rateFromTheDriversDivisor();
    void dataFormat_data();
    void dataFormat();
    void modemControl_data();
    void modemControl();
    void packets_data();
    void packets();
    void bytes_data();
    void bytes();
};

struct RateRow {
    int wanted;
    uint32_t divisor;  // as the driver sends it, 0 when only the rate is known
    double rate;       // what the chip makes of it
};

void TestFtdiModel::rateFromTheDriversDivisor_data() {
    QTest::addColumn<int>("wanted");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<double>("rate");
    const RateRow rows[] = {
        {.wanted = 300, .divisor = 10000, .rate = 300.0},
        {.wanted = 9600, .divisor = 0x4138, .rate = 9600.0},
        // 1666.67 eighths round to 1667: 208 and three eighths.
        {.wanted = 14400, .divisor = 0x100d0, .rate = 3e6 / 208.375},
        {.wanted = 128000, .divisor = 0, .rate = 3e6 / 23.5},
        {.wanted = 921600, .divisor = 0, .rate = 3e6 / 3.25},
        {.wanted = 1000000, .divisor = 3, .rate = 1e6},
        // The two divisors below 2 have codes of their own.
        {.wanted = 2000000, .divisor = 1, .rate = 2e6},
        {.wanted = 3000000, .divisor = 0, .rate = 3e6},
    };
    for (const RateRow& r : rows)
        QTest::addRow("%d", r.wanted) << r.wanted << uint(r.divisor) << r.rate;
}

void TestFtdiModel::rateFromTheDriversDivisor() {
    QFETCH(int, wanted);
    QFETCH(uint, divisor);
    QFETCH(double, rate);
    const uint32_t sent = divisorForBaud(wanted);
    if (divisor != 0 || wanted == 3000000) QCOMPARE(sent, divisor);
    const double made = baudFromDivisor(uint16_t(sent & 0xFFFF), uint16_t(sent >> 16));
    QVERIFY2(qAbs(made - rate) < 0.01, qPrintable(QString::number(made, 'f', 3)));
}

void TestFtdiModel::dataFormat_data() {
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<int>("stopHalfBits");
    QTest::addColumn<bool>("breakOn");
    QTest::addColumn<qint64>("nsAt9600");
    QTest::newRow("8N1") << 0x0008u << 8 << "none" << 2 << false << qint64(1041667);
    QTest::newRow("7O1") << 0x0107u << 7 << "odd" << 2 << false << qint64(1041667);
    QTest::newRow("8E2") << 0x1208u << 8 << "even" << 4 << false << qint64(1250000);
    QTest::newRow("7M1") << 0x0307u << 7 << "mark" << 2 << false << qint64(1041667);
    QTest::newRow("8S1.5") << 0x0C08u << 8 << "space" << 3 << false << qint64(1197917);
    QTest::newRow("break") << 0x4008u << 8 << "none" << 2 << true << qint64(1041667);
}

void TestFtdiModel::dataFormat() {
    QFETCH(uint, value);
    const SetData d = decodeData(uint16_t(value));
    QTEST(d.format.dataBits, "dataBits");
    QTEST(QString::fromStdString(parityName(d.format.parity)), "parity");
    QTEST(d.format.stopHalfBits, "stopHalfBits");
    QTEST(d.breakOn, "breakOn");
    QTEST(qint64(characterNs(d.format, 9600)), "nsAt9600");
}

void TestFtdiModel::modemControl_data() {
    QTest::addColumn<uint>("value");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<bool>("rts");
    // From DTR on and RTS on; only the lines whose mask bit is set change.
    QTest::newRow("DTR down") << 0x0100u << false << true;
    QTest::newRow("RTS down") << 0x0200u << true << false;
    QTest::newRow("both down") << 0x0300u << false << false;
    QTest::newRow("levels without masks") << 0x0000u << true << true;
    QTest::newRow("DTR up, RTS down") << 0x0301u << true << false;
}

void TestFtdiModel::modemControl() {
    QFETCH(uint, value);
    const Outputs after = applyModemCtrl({.dtr = true, .rts = true}, uint16_t(value));
    QTEST(after.dtr, "dtr");
    QTEST(after.rts, "rts");
}

void TestFtdiModel::packets_data() {
    QTest::addColumn<QByteArray>("flags");  // one byte's flags per character of the queue
    QTest::addColumn<int>("room");
    QTest::addColumn<QList<int>>("sizes");  // the data length of each packet in turn
    QTest::newRow("fills packets of 62") << QByteArray(70, 0) << 62 << QList<int>{62, 8};
    QTest::newRow("a short URB") << QByteArray(10, 0) << 4 << QList<int>{4, 4, 2};
    QTest::newRow("a parity error alone")
        << QByteArray("\0\0\x04\0", 4) << 62 << QList<int>{2, 1, 1};
    QTest::newRow("two errors, two packets") << QByteArray("\x08\x02", 2) << 62 << QList<int>{1, 1};
}

void TestFtdiModel::packets() {
    QFETCH(QByteArray, flags);
    QFETCH(int, room);
    QFETCH(QList<int>, sizes);
    std::deque<RxByte> queue;
    for (int i = 0; i < flags.size(); ++i) queue.push_back({uint8_t('a' + i), uint8_t(flags[i])});
    std::vector<uint8_t> data;
    int sent = 0;
    for (int size : sizes) {
        const uint8_t packetFlags = takePacket(queue, data, room);
        QCOMPARE(int(data.size()), size);
        // Every byte of a packet carries its flags.
        for (int i = 0; i < size; ++i) {
            QCOMPARE(data[size_t(i)], uint8_t('a' + sent + i));
            QCOMPARE(packetFlags, uint8_t(flags[sent + i]));
        }
        sent += size;
    }
    QVERIFY(queue.empty());
}

void TestFtdiModel::bytes_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");  // -1: refused
    QTest::newRow("decimal") << "65" << 65;
    QTest::newRow("hex") << "0x41" << 65;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("too large") << "256" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("trailing text") << "12a" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestFtdiModel::bytes() {
    QFETCH(QString, text);
    uint8_t out = 0;
    const bool ok = parseByte(text.toStdString(), out);
    QTEST(ok ? int(out) : -1, "value");
}

QTEST_APPLESS_MAIN(TestFtdiModel)
#include "test_ft232r_model.moc"
