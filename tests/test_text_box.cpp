#include <QTest>
#include <QTextBlock>

#include "app/multi_line_text_box.h"

class TextBoxTest : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void appendsMatchOneText();
    void longLinesStayShortParagraphs();
    void caretPositionsCountTextCharacters();
    void enterTypesCrLf();
    void operatorEditsKeepTheCount();
    void zeroWidthSpaceNeverReadsAsCr();
};

void TextBoxTest::zeroWidthSpaceNeverReadsAsCr() {
    MultiLineTextBox box;
    box.setText(QStringLiteral("a\u200Bb\rc"));
    QCOMPARE(box.text(), QStringLiteral("ab\rc"));
    box.appendText(QStringLiteral("\u200B\r"));
    QCOMPARE(box.text(), QStringLiteral("ab\rc\r"));
}

void TextBoxTest::roundTrip_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("CR LF") << QStringLiteral("a\r\nb");
    QTest::newRow("lone CR and LF") << QStringLiteral("\ra\nb\r");
    QTest::newRow("trailing LF") << QStringLiteral("line\n");
    QTest::newRow("katakana and replacement") << QStringLiteral("ｱｲ\uFFFDｳ");
    QTest::newRow("long line") << QString(5000, QLatin1Char('x'));
    QTest::newRow("long lines with breaks")
        << (QString(150, QLatin1Char('y')) + QStringLiteral("\r\n")).repeated(40);
}

void TextBoxTest::roundTrip() {
    QFETCH(QString, text);
    MultiLineTextBox box;
    box.resize(409, 57);
    box.setText(text);
    QCOMPARE(box.text(), text);
    QCOMPARE(box.textLength(), text.size());
    QCOMPARE(box.isEmpty(), text.isEmpty());
}

void TextBoxTest::appendsMatchOneText() {
    MultiLineTextBox box;
    box.resize(409, 57);
    QString all;
    // Pieces of every size, across line and paragraph boundaries.
    for (int i = 0; i < 300; ++i) {
        QString piece = QString(i % 97, QChar(u'a' + i % 26));
        if (i % 13 == 0) piece += QStringLiteral("\r\n");
        if (i % 29 == 0) piece += QStringLiteral("\r");
        box.appendText(piece);
        all += piece;
    }
    QCOMPARE(box.textLength(), all.size());
    QCOMPARE(box.text(), all);
}

void TextBoxTest::longLinesStayShortParagraphs() {
    MultiLineTextBox box;
    box.resize(409, 57);
    box.setText(QString(32000, QLatin1Char('z')));
    box.appendText(QString(767, QLatin1Char('q')));
    int longest = 0;
    for (QTextBlock b = box.document()->firstBlock(); b.isValid(); b = b.next())
        longest = std::max(longest, b.length());
    QVERIFY2(longest < 200, qPrintable(QString::number(longest)));
    QCOMPARE(box.textLength(), 32767);
}

void TextBoxTest::caretPositionsCountTextCharacters() {
    MultiLineTextBox box;
    box.resize(409, 57);
    box.setText(QString(300, QLatin1Char('x')) + QStringLiteral("\r\n") +
                QString(10, QLatin1Char('y')));
    for (qsizetype pos : {0, 1, 150, 299, 300, 301, 302, 305, 312}) {
        box.setSelStart(pos);
        QCOMPARE(box.selStart(), pos);
    }
    box.setSelStart(0);
    box.appendText(QStringLiteral("more"));
    QCOMPARE(box.selStart(), 0);  // appending leaves the caret alone
    box.appendText(QStringLiteral("end"), true);
    QCOMPARE(box.selStart(), box.textLength());
}

void TextBoxTest::enterTypesCrLf() {
    MultiLineTextBox box;
    QTest::keyClicks(&box, QStringLiteral("ab"));
    QTest::keyClick(&box, Qt::Key_Return);
    QTest::keyClicks(&box, QStringLiteral("c"));
    QCOMPARE(box.text(), QStringLiteral("ab\r\nc"));
    QCOMPARE(box.textLength(), 5);
}

void TextBoxTest::operatorEditsKeepTheCount() {
    MultiLineTextBox box;
    box.resize(409, 57);
    box.setText(QString(200, QLatin1Char('x')));
    box.setSelStart(100);
    QTest::keyClicks(&box, QStringLiteral("TYPED"));
    QString expected =
        QString(100, QLatin1Char('x')) + QStringLiteral("TYPED") + QString(100, QLatin1Char('x'));
    QCOMPARE(box.text(), expected);
    QCOMPARE(box.textLength(), 205);
    box.setSelStart(205);
    QTest::keyClick(&box, Qt::Key_Backspace);
    expected.chop(1);
    QCOMPARE(box.text(), expected);
    QCOMPARE(box.textLength(), 204);
}

QTEST_MAIN(TextBoxTest)
#include "test_text_box.moc"
