// The checker's exit codes are defined once, in its result table, and the reasons of a failed
// port once, in the serial layer's reason table; the README and the man page carry copies for
// their readers. Every copy must list the same codes with the same words, and the same reasons.
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <map>

#include "check_result.h"
#include "serial/serial_error.h"

using namespace parvolo;

namespace {

using Codes = std::map<int, QString>;

// Rows "<code> <word>" found by the pattern (code and word captured) in text.
Codes rowsOf(const QString& text, const QString& pattern) {
    Codes codes;
    QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch row = it.next();
        codes[row.captured(1).toInt()] = row.captured(2);
    }
    return codes;
}

QString sourceFile(const char* path) {
    QFile file(QStringLiteral(PARVOLO_SOURCE_DIR "/") + QLatin1String(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

class ExitCodeCopiesTest : public QObject {
    Q_OBJECT
private slots:
    void copiesAgreeWithTheTable_data();
    void copiesAgreeWithTheTable();
    void reasonCopiesAgree_data();
    void reasonCopiesAgree();
    void orderFromWorstAgrees_data();
    void orderFromWorstAgrees();
};

void ExitCodeCopiesTest::copiesAgreeWithTheTable_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("start");  // the table runs from here
    QTest::addColumn<QString>("end");    // to here
    QTest::addColumn<QString>("row");    // a row's code and word
    QTest::newRow("README") << "README.md"
                            << "| Exit code | Result word | Meaning |"
                            << "\n\n"
                            << R"((?m)^\| (\d+) \| `([a-z-]+)` \|)";
    QTest::newRow("man page") << "tools/check/parvolo-check.1"
                              << ".SH EXIT STATUS"
                              << ".TE"
                              << R"((?m)^(\d+)\t([a-z-]+)\t)";
}

void ExitCodeCopiesTest::copiesAgreeWithTheTable() {
    QFETCH(QString, file);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, row);
    const Codes table = rowsOf(exitCodeTable(), QStringLiteral(R"((?m)^ *(\d+)  ([a-z-]+) )"));
    QVERIFY(table.size() >= 7);
    const QString text = sourceFile(file.toLatin1().constData());
    const qsizetype from = text.indexOf(start);
    QVERIFY2(from >= 0, qPrintable(file + QStringLiteral(" has no exit-code table")));
    const Codes copy = rowsOf(text.mid(from, text.indexOf(end, from) - from), row);
    QVERIFY2(copy == table, qPrintable(file + QStringLiteral(" lists other exit codes")));
}

void ExitCodeCopiesTest::reasonCopiesAgree_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("row");  // a row's reason word
    QTest::newRow("README") << "README.md"
                            << "| Reason | Meaning | Window's number |"
                            << "\n\n"
                            << R"((?m)^\| `([a-z-]+)` \|)";
    QTest::newRow("man page") << "tools/check/parvolo-check.1"
                              << ".SH REASONS"
                              << ".TE"
                              << R"((?m)^((?:[a-z]|\\-)+)\t)";
}

void ExitCodeCopiesTest::reasonCopiesAgree() {
    QFETCH(QString, file);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, row);
    QStringList table;
    for (const SerialReasonRow& reason : kSerialReasons) table << QLatin1String(reason.word);
    const QString text = sourceFile(file.toLatin1().constData());
    const qsizetype from = text.indexOf(start);
    QVERIFY2(from >= 0, qPrintable(file + QStringLiteral(" has no table of reasons")));
    QStringList copy;
    QRegularExpressionMatchIterator it =
        QRegularExpression(row).globalMatch(text.mid(from, text.indexOf(end, from) - from));
    while (it.hasNext()) copy << it.next().captured(1).remove(QLatin1Char('\\'));
    QCOMPARE(copy, table);
}

// The order of several ports' results, which the table ranks, as each copy words it.
void ExitCodeCopiesTest::orderFromWorstAgrees_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("word");  // a result word in the list
    QTest::newRow("README") << "README.md"
                            << "the order from worst is"
                            << ";"
                            << "`([a-z-]+)`";
    QTest::newRow("man page") << "tools/check/parvolo-check.1"
                              << "so from the worst:"
                              << ";"
                              << R"(\s([a-z-]+)(?=,|$))";
}

void ExitCodeCopiesTest::orderFromWorstAgrees() {
    QFETCH(QString, file);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, word);
    const QString text = sourceFile(file.toLatin1().constData());
    const qsizetype from = text.indexOf(start) + start.size();
    QVERIFY2(from >= start.size(), qPrintable(file + QStringLiteral(" does not give the order")));
    const QString order = text.mid(from, text.indexOf(end, from) - from);
    QStringList words;
    QRegularExpressionMatchIterator it = QRegularExpression(word).globalMatch(order);
    while (it.hasNext()) words << it.next().captured(1);
    QCOMPARE(words, resultsFromWorst());
}

QTEST_GUILESS_MAIN(ExitCodeCopiesTest)
#include "test_exit_code_copies.moc"
