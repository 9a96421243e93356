// Send runs on their own: patterns, count-up data and the time-out estimate.
#include <QTest>

#include "engine/send_run.h"

using namespace parvolo;

class SendRunTest : public QObject {
    Q_OBJECT
private slots:
    void estimate_data();
    void estimate();
    void countUpPatterns();
    void transmissionsCarryTheCount_data();
    void transmissionsCarryTheCount();
    void timeoutOnlyGrows();
};

void SendRunTest::estimate_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("expected");
    QTest::newRow("100 chars reach 3000 exactly") << 100 << 300 << 9 << 3000 << 6000;
    QTest::newRow("99 chars stay below") << 99 << 300 << 9 << 3000 << 3000;
    QTest::newRow("200 chars at 6000") << 200 << 300 << 9 << 6000 << 12000;
    QTest::newRow("longest text, slowest line") << 32767 << 300 << 11 << 3000 << 2402914;
    QTest::newRow("never lowered at a fast rate") << 100 << 115200 << 9 << 12000 << 12000;
    QTest::newRow("empty text") << 0 << 300 << 9 << 3000 << 3000;
}

void SendRunTest::estimate() {
    QFETCH(int, length);
    QFETCH(int, baud);
    QFETCH(int, bits);
    QFETCH(int, current);
    QTEST(int(send_patterns::estimateTimeout(qint16(length), baud, qint16(bits), current)),
          "expected");
}

void SendRunTest::countUpPatterns() {
    const QString zero = send_patterns::countUpData(0);
    QCOMPARE(zero, QStringLiteral("0000000000ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"));
    QCOMPARE(zero.size(), 38);
    QCOMPARE(send_patterns::countUpData(-1),
             QStringLiteral("-0000000001ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"));
    QCOMPARE(send_patterns::countUpData(2147483647).left(10), QStringLiteral("2147483647"));
    QCOMPARE(send_patterns::nextCountUpValue(2147483647), 0);
    QCOMPARE(send_patterns::nextCountUpValue(-1), 0);
    QCOMPARE(send_patterns::kFoxSentence.size(), 53);
}

void SendRunTest::transmissionsCarryTheCount_data() {
    QTest::addColumn<bool>("countUp");
    QTest::newRow("count-up data") << true;
    QTest::newRow("box text") << false;
}

void SendRunTest::transmissionsCarryTheCount() {
    QFETCH(bool, countUp);
    SendRun run;
    QCOMPARE(run.refreshCountUpData(), send_patterns::countUpData(0));
    for (int pass = 0; pass < 2; ++pass) {
        run.start(16, 9600, 10);
        QCOMPARE(run.transmissions(), 0);
        QCOMPARE(run.countUpValue(), -1);
        for (int i = 0; i < 3; ++i) {
            const QString data = run.nextData(QStringLiteral("typed"), countUp);
            run.countTransmission();
            // The counter advances whether or not the count-up data is sent.
            QCOMPARE(run.countUpData(), send_patterns::countUpData(i));
            QCOMPARE(data, countUp ? send_patterns::countUpData(i) : QStringLiteral("typed"));
        }
        QCOMPARE(run.transmissions(), 3);
    }
}

void SendRunTest::timeoutOnlyGrows() {
    SendRun run;
    QCOMPARE(run.timeoutMs(), 3000);
    run.start(200, 300, 9);
    QCOMPARE(run.timeoutMs(), 12000);
    run.start(16, 115200, 9);
    QCOMPARE(run.timeoutMs(), 12000);
    run.resetTimeout();
    QCOMPARE(run.timeoutMs(), 3000);
}

QTEST_APPLESS_MAIN(SendRunTest)
#include "test_send_run.moc"
