// The line discipline's marks of damaged bytes (PARMRK), taken apart: a doubled 0xff is data, a
// marked byte is damaged, a marked NUL a break, and a mark cut between reads is carried over.
#include <QtTest>

#include "serial/line_marks.h"

using namespace parvolo;

using Marks = QList<QPair<int, bool>>;  // where, and whether it is a break
Q_DECLARE_METATYPE(Marks)

class LineMarksTest : public QObject {
    Q_OBJECT
private slots:
    void strip_data();
    void strip();
};

void LineMarksTest::strip_data() {
    QTest::addColumn<QList<QByteArray>>("reads");  // hex, one read each
    QTest::addColumn<QByteArray>("data");          // hex, all reads together
    QTest::addColumn<Marks>("marks");              // places in `data`
    QTest::newRow("plain data passes")
        << QList<QByteArray>{"41 42 00"} << QByteArray("414200") << Marks{};
    QTest::newRow("a doubled 0xff is one data byte")
        << QList<QByteArray>{"ff ff 41"} << QByteArray("ff41") << Marks{};
    QTest::newRow("a damaged byte")
        << QList<QByteArray>{"41 ff 00 45 42"} << QByteArray("414542") << Marks{{1, false}};
    QTest::newRow("a break") << QList<QByteArray>{"ff 00 00 41"} << QByteArray("0041")
                             << Marks{{0, true}};
    QTest::newRow("a damaged 0xff")
        << QList<QByteArray>{"ff 00 ff"} << QByteArray("ff") << Marks{{0, false}};
    QTest::newRow("a mark cut after its 0xff")
        << QList<QByteArray>{"41 ff", "00 45"} << QByteArray("4145") << Marks{{1, false}};
    QTest::newRow("a mark cut before its byte")
        << QList<QByteArray>{"ff 00", "00", "ff", "ff"} << QByteArray("00ff") << Marks{{0, true}};
    QTest::newRow("marks in a row") << QList<QByteArray>{"ff 00 41 ff 00 00 ff ff"}
                                    << QByteArray("4100ff") << Marks{{0, false}, {1, true}};
}

void LineMarksTest::strip() {
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QByteArray, data);
    QFETCH(Marks, marks);
    LineMarks decoder;
    QByteArray all;
    Marks found;
    for (const QByteArray& hex : reads) {
        QByteArray bytes = QByteArray::fromHex(hex);
        for (const LineMarks::Found& f : decoder.strip(bytes))
            found << qMakePair(int(all.size() + f.at), f.mark == LineMarks::Mark::Break);
        all += bytes;
    }
    QCOMPARE(all.toHex(), data);
    QCOMPARE(found, marks);
}

QTEST_GUILESS_MAIN(LineMarksTest)
#include "test_line_marks.moc"
