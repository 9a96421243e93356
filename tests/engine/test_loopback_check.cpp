// The loopback comparison on its own: reads in, counters and block boundaries out.
#include <QTest>

#include "engine/checked_int.h"
#include "engine/loopback_check.h"

using namespace parvolo;

using Reads = QList<QByteArray>;
using Taken = QList<qsizetype>;

// The counters and the compare position after a row's reads.
struct Outcome {
    int blocks = 0;
    int matched = 0;
    int mismatches = 0;
    int received = 0;
    int firstMismatch = 0;
    int comparePosition = 0;
    bool operator==(const Outcome&) const = default;
};
Q_DECLARE_METATYPE(Outcome)

char* toString(const Outcome& o) {
    return QTest::toString(QStringLiteral("blocks %1 matched %2 mismatches %3 received %4 "
                                          "first mismatch %5 compare position %6")
                               .arg(o.blocks)
                               .arg(o.matched)
                               .arg(o.mismatches)
                               .arg(o.received)
                               .arg(o.firstMismatch)
                               .arg(o.comparePosition));
}

class LoopbackCheckTest : public QObject {
    Q_OBJECT
private slots:
    void reads_data();
    void reads();
    void timeoutAbandonsTheBlock_data();
    void timeoutAbandonsTheBlock();
    void openKeepsTheFirstMismatchARunClearsIt();
    void overflowBeforeAnythingIsCounted_data();
    void overflowBeforeAnythingIsCounted();
};

void LoopbackCheckTest::reads_data() {
    QTest::addColumn<QString>("expected");
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<bool>("compare");
    QTest::addColumn<Taken>("taken");  // per read
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("1 2 then 3 1: the byte after the block is dropped")
        << "123" << Reads{"12", "31"} << true << Taken{2, 1}
        << Outcome{.blocks = 1,
                   .matched = 3,
                   .mismatches = 0,
                   .received = 4,
                   .firstMismatch = 0,
                   .comparePosition = 3};
    QTest::newRow("1 9 3: one mismatch at 2") << "123" << Reads{"193"} << true << Taken{3}
                                              << Outcome{.blocks = 1,
                                                         .matched = 2,
                                                         .mismatches = 1,
                                                         .received = 3,
                                                         .firstMismatch = 2,
                                                         .comparePosition = 3};
    QTest::newRow("a second mismatch keeps the first position")
        << "123" << Reads{"193", "12x"} << true << Taken{3, 3}
        << Outcome{.blocks = 2,
                   .matched = 4,
                   .mismatches = 2,
                   .received = 6,
                   .firstMismatch = 2,
                   .comparePosition = 6};
    QTest::newRow("empty expected data: every read is a block of its first byte")
        << "" << Reads{"abc", "de"} << true << Taken{1, 1}
        << Outcome{.blocks = 2,
                   .matched = 0,
                   .mismatches = 0,
                   .received = 5,
                   .firstMismatch = 0,
                   .comparePosition = 2};
    QTest::newRow("no compare: only received bytes count")
        << "123" << Reads{"12345"} << false << Taken{5}
        << Outcome{.blocks = 0,
                   .matched = 0,
                   .mismatches = 0,
                   .received = 5,
                   .firstMismatch = 0,
                   .comparePosition = 0};
    QTest::newRow("several blocks in one read: only the first is taken")
        << "ab" << Reads{"ababab"} << true << Taken{2}
        << Outcome{.blocks = 1,
                   .matched = 2,
                   .mismatches = 0,
                   .received = 6,
                   .firstMismatch = 0,
                   .comparePosition = 2};
    QTest::newRow("a block split over three reads")
        << "abcd" << Reads{"a", "bc", "d"} << true << Taken{1, 2, 1}
        << Outcome{.blocks = 1,
                   .matched = 4,
                   .mismatches = 0,
                   .received = 4,
                   .firstMismatch = 0,
                   .comparePosition = 4};
    QTest::newRow("case matters") << "aB" << Reads{"Ab"} << true << Taken{2}
                                  << Outcome{.blocks = 1,
                                             .matched = 0,
                                             .mismatches = 2,
                                             .received = 2,
                                             .firstMismatch = 1,
                                             .comparePosition = 2};
    QTest::newRow("CR LF compare as characters") << "A\r\n"
                                                 << Reads{"A\r\n"} << true << Taken{3}
                                                 << Outcome{.blocks = 1,
                                                            .matched = 3,
                                                            .mismatches = 0,
                                                            .received = 3,
                                                            .firstMismatch = 0,
                                                            .comparePosition = 3};
    QTest::newRow("half-width katakana through the single-byte table")
        << QStringLiteral("ｱﾟ") << Reads{QByteArray("\xB1\xDF")} << true << Taken{2}
        << Outcome{.blocks = 1,
                   .matched = 2,
                   .mismatches = 0,
                   .received = 2,
                   .firstMismatch = 0,
                   .comparePosition = 2};
    QTest::newRow("a byte without a character stands for U+FFFD")
        << QStringLiteral("\uFFFDA") << Reads{QByteArray("\x80\xFF")} << true << Taken{2}
        << Outcome{.blocks = 1,
                   .matched = 1,
                   .mismatches = 1,
                   .received = 2,
                   .firstMismatch = 2,
                   .comparePosition = 2};
    QTest::newRow("blocks one after another")
        << "12" << Reads{"1", "2", "12"} << true << Taken{1, 1, 2}
        << Outcome{.blocks = 2,
                   .matched = 4,
                   .mismatches = 0,
                   .received = 4,
                   .firstMismatch = 0,
                   .comparePosition = 4};
}

void LoopbackCheckTest::reads() {
    QFETCH(QString, expected);
    QFETCH(Reads, reads);
    QFETCH(bool, compare);
    QFETCH(Taken, taken);
    LoopbackCheck check;
    check.resetForRun(expected.size());
    Taken got;
    for (const QByteArray& read : reads) {
        const LoopbackCheck::FeedResult fed = check.feed(read, expected, compare);
        QVERIFY(!fed.overflowed);
        QCOMPARE(fed.blockComplete, check.blockDone());
        check.clearBlockDone();
        got.append(fed.taken);
    }
    QCOMPARE(got, taken);
    const LoopbackCounters& c = check.counters();
    const Outcome outcome{.blocks = c.blocks,
                          .matched = c.matchedBytes,
                          .mismatches = c.mismatches,
                          .received = c.receivedBytes,
                          .firstMismatch = c.firstMismatch,
                          .comparePosition = check.comparePosition()};
    QTEST(outcome, "outcome");
}

void LoopbackCheckTest::timeoutAbandonsTheBlock_data() {
    QTest::addColumn<QByteArray>("before");  // received before the timeout
    QTest::addColumn<int>("firstMismatch");
    QTest::newRow("7 of 10 received") << QByteArray("0123456") << 7;
    QTest::newRow("nothing received") << QByteArray() << 0;
    QTest::newRow("an earlier mismatch is kept") << QByteArray("01x") << 3;
}

void LoopbackCheckTest::timeoutAbandonsTheBlock() {
    QFETCH(QByteArray, before);
    const QString expected = QStringLiteral("0123456789");
    LoopbackCheck check;
    check.resetForRun(expected.size());
    check.feed(before, expected, true);
    check.abandonBlock();
    QCOMPARE(check.blockBytes(), 0);
    QCOMPARE(check.compareIndex(), qint16(1));
    QCOMPARE(check.counters().blocks, 0);
    QCOMPARE(check.counters().mismatches, before.contains('x') ? 2 : 1);
    QTEST(int(check.counters().firstMismatch), "firstMismatch");
    // The next echo is compared from the start of the expected data.
    const qint32 matchedBefore = check.counters().matchedBytes;
    const LoopbackCheck::FeedResult fed = check.feed("0123456789", expected, true);
    QVERIFY(fed.blockComplete);
    QCOMPARE(check.counters().matchedBytes - matchedBefore, 10);
}

void LoopbackCheckTest::openKeepsTheFirstMismatchARunClearsIt() {
    LoopbackCheck check;
    check.resetForRun(3);
    check.feed("1x3", QStringLiteral("123"), true);
    check.countLineError();
    QCOMPARE(check.counters().firstMismatch, 2);
    check.resetForOpen(3);
    LoopbackCounters expected;
    expected.firstMismatch = 2;
    QCOMPARE(check.counters(), expected);
    QCOMPARE(check.comparePosition(), 0);
    check.resetForRun(3);
    QCOMPARE(check.counters(), LoopbackCounters{});
    QVERIFY_THROWS_EXCEPTION(ArithmeticOverflow, check.resetForRun(32768));
}

void LoopbackCheckTest::overflowBeforeAnythingIsCounted_data() {
    QTest::addColumn<int>("received");  // received bytes before the read
    QTest::addColumn<QString>("expected");
    QTest::newRow("received bytes would pass the largest value") << 2147483646 << "abc";
    QTest::newRow("expected data longer than 32,767") << 0 << QString(32768, QLatin1Char('a'));
}

void LoopbackCheckTest::overflowBeforeAnythingIsCounted() {
    QFETCH(int, received);
    QFETCH(QString, expected);
    LoopbackCheck check;
    check.resetForRun(0);
    // Bring the received count up to the row's value in large steps.
    QByteArray chunk(1 << 20, 'z');
    qint64 left = received;
    while (left > 0) {
        const qsizetype n = qsizetype(std::min<qint64>(left, chunk.size()));
        check.feed(QByteArrayView(chunk.constData(), n), QString(), false);
        left -= n;
    }
    QCOMPARE(check.counters().receivedBytes, received);
    QVERIFY_THROWS_EXCEPTION(ArithmeticOverflow, check.feed("abc", expected, true));
    QCOMPARE(check.counters().receivedBytes, received);
}

QTEST_APPLESS_MAIN(LoopbackCheckTest)
#include "test_loopback_check.moc"
