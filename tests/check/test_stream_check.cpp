// The checker's placement of echoed bytes in the stream of sent blocks: what differs, what went
// missing, what was added, what timed out, and where each first happened.
#include <QtTest>

#include "stream_check.h"

using namespace parvolo;

namespace {

// A run as steps: "s TEXT" sends a block, "r TEXT" reads bytes ("~" stands for a byte that
// matches nothing sent), "x N" expires block N, "e" ends the run.
void play(StreamCheck& check, const QStringList& steps) {
    for (const QString& step : steps) {
        QByteArray text = step.mid(2).toLatin1().replace('~', '\xff');
        switch (step.at(0).toLatin1()) {
            case 's':
                check.expect(text);
                break;
            case 'r':
                check.feed(text);
                break;
            case 'x':
                check.expire(text.toLongLong());
                break;
            case 'e':
                check.settle();
                break;
        }
    }
}

QString describe(const StreamCheck& check) {
    const StreamCounts& c = check.counts();
    QString text = QStringLiteral("match %1 diff %2 missing %3 extra %4 late %5/%6 done %7")
                       .arg(c.matched)
                       .arg(c.mismatched)
                       .arg(c.missing)
                       .arg(c.extra)
                       .arg(c.timedOutBytes)
                       .arg(c.timedOutBlocks)
                       .arg(c.completedBlocks);
    if (const auto& f = check.firstFailure())
        text += QStringLiteral("; %1 block %2 byte %3 (%4 in block) read %5")
                    .arg(failureWord(f->kind))
                    .arg(f->block)
                    .arg(f->byte)
                    .arg(f->byteInBlock)
                    .arg(f->received);
    return text;
}

}  // namespace

class StreamCheckTest : public QObject {
    Q_OBJECT
private slots:
    void placement_data();
    void placement();
    void splitReadsPlaceTheSame_data() { placement_data(); }
    void splitReadsPlaceTheSame();
};

void StreamCheckTest::placement_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("expected");
    const QString b = QStringLiteral("0123456789ABCDEF");
    auto row = [](const char* name, const QStringList& steps, const char* expected) {
        QTest::newRow(name) << steps << QString::fromLatin1(expected);
    };
    row("one block back whole", {"s " + b, "r " + b, "e"},
        "match 16 diff 0 missing 0 extra 0 late 0/0 done 1");
    row("every chunk back twice, one block at a time",
        {"s " + b, "r " + b + b, "s " + b, "r " + b + b, "e"},
        "match 32 diff 0 missing 0 extra 32 late 0/0 done 2; extra block 1 byte 17 (17 in block) "
        "read 17");
    row("a changed byte", {"s " + b, "s " + b, "r " + b + "01234~6789ABCDEF", "e"},
        "match 31 diff 1 missing 0 extra 0 late 0/0 done 2; mismatch block 2 byte 22 (6 in block) "
        "read 22");
    row("the last byte sent changed", {"s " + b, "r 0123456789ABCDE~", "e"},
        "match 15 diff 1 missing 0 extra 0 late 0/0 done 1; mismatch block 1 byte 16 (16 in "
        "block) read 16");
    row("a byte lost mid-block, blocks in flight",
        {"s " + b, "s " + b, "r 01234" + b.mid(6) + b, "e"},
        "match 31 diff 0 missing 1 extra 0 late 0/0 done 2; missing block 1 byte 6 (6 in block) "
        "read 6");
    row("a byte lost, the block alone", {"s " + b, "r 01234" + b.mid(6), "x 1", "e"},
        "match 15 diff 0 missing 1 extra 0 late 0/0 done 1; missing block 1 byte 6 (6 in block) "
        "read 6");
    row("a byte added mid-block", {"s " + b, "s " + b, "r 01234~" + b.mid(5) + b, "e"},
        "match 32 diff 0 missing 0 extra 1 late 0/0 done 2; extra block 1 byte 6 (6 in block) "
        "read 6");
    row("a byte added between blocks in flight", {"s " + b, "s " + b, "r " + b + "~" + b, "e"},
        "match 32 diff 0 missing 0 extra 1 late 0/0 done 2; extra block 1 byte 17 (17 in block) "
        "read 17");
    row("three bytes lost", {"s " + b, "s " + b, "r 012" + b.mid(6) + b, "e"},
        "match 29 diff 0 missing 3 extra 0 late 0/0 done 2; missing block 1 byte 4 (4 in block) "
        "read 4");
    row("a first block with no answer", {"s " + b, "x 1", "e"},
        "match 0 diff 0 missing 0 extra 0 late 16/1 done 0; time-out block 1 byte 1 (1 in block) "
        "read 0");
    row("timed out after good blocks: the first byte that did not come",
        {"s " + b, "r " + b, "s " + b, "r 0123", "x 2", "e"},
        "match 20 diff 0 missing 0 extra 0 late 12/1 done 1; time-out block 2 byte 21 (5 in "
        "block) read 20");
    row("a late byte after its block timed out",
        {"s " + b, "r " + b.left(15), "x 1", "s " + b, "r F" + b, "e"},
        "match 31 diff 0 missing 0 extra 1 late 1/1 done 1; time-out block 1 byte 16 (16 in "
        "block) read 15");
    row("bytes before anything was sent", {"r xy", "s " + b, "r " + b, "e"},
        "match 16 diff 0 missing 0 extra 2 late 0/0 done 1; extra block 0 byte 1 (0 in block) "
        "read 1");
    row("count-up blocks in flight, one corrupted digit",
        {"s 0000000001AB", "s 0000000002AB", "r 0000000001AB000000000~AB", "e"},
        "match 23 diff 1 missing 0 extra 0 late 0/0 done 2; mismatch block 2 byte 22 (10 in "
        "block) read 22");
}

void StreamCheckTest::placement() {
    QFETCH(QStringList, steps);
    StreamCheck check;
    play(check, steps);
    QTEST(describe(check), "expected");
    QCOMPARE(check.resolvedBlocks(), check.sentBlocks());
}

// However the kernel splits the echo into reads, the bytes are placed the same.
void StreamCheckTest::splitReadsPlaceTheSame() {
    QFETCH(QStringList, steps);
    QFETCH(QString, expected);
    QStringList split;
    for (const QString& step : steps) {
        if (!step.startsWith(QLatin1String("r "))) {
            split << step;
            continue;
        }
        for (const QChar c : step.mid(2)) split << QStringLiteral("r ") + c;
    }
    StreamCheck check;
    play(check, split);
    QCOMPARE(describe(check), expected);
}

QTEST_GUILESS_MAIN(StreamCheckTest)
#include "test_stream_check.moc"
