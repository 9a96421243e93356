#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>

#include "window/controls_table.h"
#include "window/multi_line_text_box.h"
#include "engine/code_page.h"

using namespace parvolo;

namespace {

// The boxes' size and font in the window.
void likeTheWindow(MultiLineTextBox& box) {
    QFont font(QString::fromUtf8(kFixedPitchFamily));
    font.setPointSizeF(9.75);
    box.setFont(font);
    box.resize(409, 57);
}

QString allHighBytes() {
    QByteArray bytes;
    for (int b = 0x80; b <= 0xFF; ++b) bytes.append(char(b));
    return code_page::decodeBytes(bytes);
}

QAccessibleTextInterface* textOf(MultiLineTextBox& box) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&box);
    return a ? a->textInterface() : nullptr;
}

QList<qsizetype> lineStarts(MultiLineTextBox& box) {
    QList<qsizetype> starts;
    for (int i = 0; i < box.lines().lineCount(); ++i) starts << box.lines().lineStart(i);
    return starts;
}

// The same text laid out from scratch in a box of the same size.
QList<qsizetype> freshLineStarts(const MultiLineTextBox& box) {
    MultiLineTextBox fresh;
    fresh.setFont(box.font());
    fresh.resize(box.size());
    fresh.setText(box.text());
    return lineStarts(fresh);
}

}  // namespace

class TextBoxTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installFontSubstitutions(); }
    void roundTrip_data();
    void roundTrip();
    void appendsMatchOneText();
    void appendsCostTheSameAtAnyLength();
    void caretPositionsCountTextCharacters();
    void everyDoorSeesTheText_data();
    void everyDoorSeesTheText();
    void wrapsAtTheEdgeByRealWidths_data();
    void wrapsAtTheEdgeByRealWidths();
    void operatorEdits_data();
    void operatorEdits();
    void editsKeepTheLayoutOfAFreshBox();
    void inputMethodCommit_data();
    void inputMethodCommit();
    void inputMethodSeesTheCaret();
    void pasteAndDropInsertExactly();
    void accessibleNameRoleAndEdits();
    void endShowsTheCaretOnTheUpperLine();
};

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
    QTest::newRow("separators and NUL") << QStringLiteral("a\u2028b\u2029c") + QChar(0) + "d";
    QTest::newRow("bytes 0x80-0xFF") << allHighBytes();
    // No character stands in for another: a zero-width space is itself, CR is CR.
    QTest::newRow("zero-width space and CR") << QStringLiteral("a\u200Bb\rc\u200B\r");
}

// Set, then appended again: the box holds exactly the characters written to it.
void TextBoxTest::roundTrip() {
    QFETCH(QString, text);
    MultiLineTextBox box;
    box.resize(409, 57);
    box.setText(text);
    QCOMPARE(box.text(), text);
    QCOMPARE(box.textLength(), text.size());
    QCOMPARE(box.isEmpty(), text.isEmpty());
    box.appendText(text);
    QCOMPARE(box.text(), text + text);
    QCOMPARE(box.textLength(), 2 * text.size());
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
    QCOMPARE(lineStarts(box), freshLineStarts(box));
}

// An append lays out the last visual line and what was added, nothing before it; an edit lays
// out its own logical line and stops at the line feed where the old breaks resume.
void TextBoxTest::appendsCostTheSameAtAnyLength() {
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(QString(32000, QLatin1Char('z')));
    const QList<qsizetype> before = lineStarts(box);
    for (int i = 0; i < 767; i += 13) {
        box.appendText(QString(13, QLatin1Char('q')), true);
        QVERIFY2(box.lines().lastLayoutLength() < 200,
                 qPrintable(QString::number(box.lines().lastLayoutLength())));
    }
    QCOMPARE(box.textLength(), 32767);
    QCOMPARE(lineStarts(box).mid(0, before.size() - 1), before.mid(0, before.size() - 1));
    QCOMPARE(lineStarts(box), freshLineStarts(box));

    box.setText((QString(200, QLatin1Char('r')) + QStringLiteral("\r\n")).repeated(150));
    box.setSelStart(75 * 202 + 100);
    QTest::keyClicks(&box, QStringLiteral("typed"));
    QVERIFY2(box.lines().lastLayoutLength() <= 400,
             qPrintable(QString::number(box.lines().lastLayoutLength())));
    QCOMPARE(lineStarts(box), freshLineStarts(box));
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

void TextBoxTest::everyDoorSeesTheText_data() {
    QTest::addColumn<QStringList>("appends");
    const QString line500 = QString(500, QLatin1Char('L'));
    QTest::newRow("long line in pieces") << QStringList{line500.left(123), line500.mid(123)};
    QTest::newRow("CR, LF, CR LF")
        << QStringList{QStringLiteral("a\r"), QStringLiteral("\nb\n"), QStringLiteral("\rc\r"),
                       QStringLiteral("\r\n\n")};
    QTest::newRow("bytes 0x80-0xFF") << QStringList{allHighBytes()};
    QTest::newRow("all together") << QStringList{QStringLiteral("x\ry\nz\r\n"), line500,
                                                 QStringLiteral("\r\n"), allHighBytes(),
                                                 QStringLiteral("\r")};
}

// The text, the clipboard (Ctrl+A, Ctrl+C) and the accessible text are the same characters.
void TextBoxTest::everyDoorSeesTheText() {
    QFETCH(QStringList, appends);
    MultiLineTextBox box;
    likeTheWindow(box);
    QString expected;
    for (const QString& piece : appends) {
        box.appendText(piece, true);
        expected += piece;
    }
    QCOMPARE(box.text(), expected);
    QAccessibleTextInterface* text = textOf(box);
    QVERIFY(text);
    QCOMPARE(text->characterCount(), int(expected.size()));
    QCOMPARE(text->text(0, text->characterCount()), expected);
    QCOMPARE(text->cursorPosition(), int(expected.size()));
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(text->selectionCount(), 1);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(QPair(start, end), QPair(0, int(expected.size())));
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    // A part taken from the middle, across line breaks and wraps.
    box.setSelection(3, expected.size() - 3);
    QTest::keyClick(&box, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), expected.mid(3, expected.size() - 6));
    QCOMPARE(box.text(), expected.left(3) + expected.right(3));
    QCOMPARE(text->text(0, text->characterCount()), box.text());
}

void TextBoxTest::wrapsAtTheEdgeByRealWidths_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("U+FFFD") << QString(300, QChar(QChar::ReplacementCharacter));
    QTest::newRow("TAB") << QStringLiteral("ab\t\tc\t").repeated(60);
    QTest::newRow("half-width katakana") << QStringLiteral("ｱｲｳｴｵﾊﾟｰﾄﾞ").repeated(40);
    QTest::newRow("ASCII") << QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ").repeated(12);
    QTest::newRow("full-width") << QStringLiteral("漢字ＡＢかな").repeated(40);
    QTest::newRow("received bytes")
        << code_page::decodeBytes(QByteArray("\x80\xA1\x41\xFF\xDF\x09\x30", 7).repeated(60));
    QTest::newRow("surrogate pairs") << QString::fromUtf16(u"\U00020BB7a").repeated(80);
    QTest::newRow("lines and CRs") << (QString(90, QLatin1Char('m')) + QStringLiteral("\r\r\n") +
                                       QString(70, QChar(0xFF71)) + QStringLiteral("\n\r"))
                                          .repeated(5);
}

// Each visual line that the text continues on the next is as full as the width allows: the
// first character of the next line would not have fitted. Glyphs, caret and hit-testing use
// the same positions.
void TextBoxTest::wrapsAtTheEdgeByRealWidths() {
    QFETCH(QString, text);
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(text);
    const WrappedLines& lines = box.lines();
    const QFontMetricsF metrics(box.font());
    const qreal tab = lines.tabStopDistance();
    auto advance = [&](qsizetype pos, qreal x, int* length) -> qreal {
        const QChar c = text.at(pos);
        *length = c.isHighSurrogate() ? 2 : (c == '\r' && text.mid(pos, 2) == "\r\n") ? 2 : 1;
        if (c == '\t') return (std::floor(x / tab + 1e-9) + 1) * tab - x;
        if (c == '\r' || c == '\n') return 0;
        return *length == 2 ? metrics.horizontalAdvance(text.mid(pos, 2))
                            : metrics.horizontalAdvance(c);
    };
    QVERIFY2(lines.lineCount() > 3, qPrintable(QStringLiteral("%1 lines of %2 px for %3 characters")
                                                   .arg(lines.lineCount())
                                                   .arg(lines.width())
                                                   .arg(text.size())));
    for (int line = 0; line < lines.lineCount(); ++line) {
        const qsizetype start = lines.lineStart(line);
        const qsizetype end = lines.contentEnd(line, text);
        qreal x = 0;
        int length = 1;
        const qreal left = box.characterRect(start).left();
        for (qsizetype pos = start; pos < end; pos += length) {
            const qreal a = advance(pos, x, &length);
            const QRectF rect = box.characterRect(pos);
            QVERIFY2(qAbs(rect.left() - (left + x)) < 0.01, qPrintable(QString::number(pos)));
            QVERIFY(qAbs(rect.width() - a) < 0.01);
            if (a > 2) QCOMPARE(box.offsetAt(rect.center() - QPointF(a / 4, 0)), pos);
            x += a;
        }
        QVERIFY2(x <= lines.width() + 0.01, qPrintable(QStringLiteral("line %1").arg(line)));
        if (line + 1 < lines.lineCount() && lines.continuesLine(line + 1, text)) {
            QCOMPARE(end, lines.lineStart(line + 1));
            QVERIFY2(x + advance(end, x, &length) > lines.width(),
                     qPrintable(QStringLiteral("line %1 ends early at %2 of %3 px")
                                    .arg(line)
                                    .arg(x)
                                    .arg(lines.width())));
        }
    }
}

// Offsets in the expected text count whole visual lines (x) and characters (y), as the number
// of characters a line holds depends on the font.
void TextBoxTest::operatorEdits_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("line");  // the caret goes to the start of this visual line
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QPoint>("from");  // the edit replaced text[from, to) by inserted
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QString>("inserted");
    const QString digits = QStringLiteral("0123456789").repeated(30);
    const QString crLf = QStringLiteral("ab\r\ncd");
    QTest::newRow("Backspace at a wrap point")
        << digits << 1 << "<bs>" << QPoint(1, -1) << QPoint(1, 0) << "";
    QTest::newRow("Delete at a wrap point")
        << digits << 1 << "<del>" << QPoint(1, 0) << QPoint(1, 1) << "";
    QTest::newRow("Delete carrying U+007F, as X11 sends it")
        << digits << 2 << "<del7f>" << QPoint(2, 0) << QPoint(2, 1) << "";
    QTest::newRow("typing in the middle of a long line")
        << digits << 3 << "ab" << QPoint(3, 0) << QPoint(3, 0) << "ab";
    QTest::newRow("select across wraps and delete")
        << digits << 1 << "<sdown><sdown><del>" << QPoint(1, 0) << QPoint(3, 0) << "";
    QTest::newRow("select to a wrap point and type")
        << digits << 0 << "<send>x" << QPoint(0, 0) << QPoint(1, 0) << "x";
    QTest::newRow("End, Home and Delete on a continued line")
        << digits << 2 << "<end><home><del>" << QPoint(2, 0) << QPoint(2, 1) << "";
    QTest::newRow("Backspace after CR LF joins the lines")
        << crLf << 1 << "<bs>" << QPoint(0, 2) << QPoint(0, 4) << "";
    QTest::newRow("Delete before CR LF joins the lines")
        << crLf << 1 << "<left><del>" << QPoint(0, 2) << QPoint(0, 4) << "";
    QTest::newRow("Backspace after a surrogate pair")
        << QString::fromUtf16(u"a\U00020BB7\nb") << 1 << "<left><bs>" << QPoint(0, 1)
        << QPoint(0, 3) << "";
    QTest::newRow("Backspace at the end of the text")
        << digits << 0 << "<cend><bs>" << QPoint(0, 299) << QPoint(0, 300) << "";
    QTest::newRow("Enter types CR LF")
        << QStringLiteral("abc") << 0 << "<right><ret>" << QPoint(0, 1) << QPoint(0, 1) << "\r\n";
    // Taking the wide character that began a line lets the narrow one after it fit on the line
    // above: the edit lays out from the line before the edited one.
    MultiLineTextBox probe;
    likeTheWindow(probe);
    const int fits =
        int(probe.lines().width() / QFontMetricsF(probe.font()).horizontalAdvance('a'));
    QTest::newRow("Delete of a wide character at a line start")
        << QString(fits - 1, QLatin1Char('a')) + QStringLiteral("漢") + QString(100, 'b') << 1
        << "<del7f>" << QPoint(1, 0) << QPoint(1, 1) << "";
}

void TextBoxTest::operatorEdits() {
    QFETCH(QString, text);
    QFETCH(int, line);
    QFETCH(QString, keys);
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(QString, inserted);
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(text);
    QVERIFY(box.lines().lineCount() > line);
    const qsizetype perLine = box.lines().lineCount() > 1 ? box.lines().lineStart(1) : 0;
    box.setSelStart(box.lines().lineStart(line));
    static const QList<QPair<QString, std::function<void(QWidget*)>>> named = {
        {"<bs>",
         [](QWidget* w) { QTest::sendKeyEvent(QTest::Click, w, Qt::Key_Backspace, "\b", {}); }},
        {"<del>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Delete); }},
        {"<del7f>",
         [](QWidget* w) { QTest::sendKeyEvent(QTest::Click, w, Qt::Key_Delete, "\x7f", {}); }},
        {"<sdown>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Down, Qt::ShiftModifier); }},
        {"<send>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_End, Qt::ShiftModifier); }},
        {"<end>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_End); }},
        {"<home>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Home); }},
        {"<left>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Left); }},
        {"<right>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Right); }},
        {"<cend>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_End, Qt::ControlModifier); }},
        {"<ret>", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }},
    };
    for (qsizetype at = 0; at < keys.size();) {
        bool done = false;
        for (const auto& [name, press] : named) {
            if (keys.mid(at).startsWith(name)) {
                press(&box);
                at += name.size();
                done = true;
                break;
            }
        }
        if (!done) QTest::keyClicks(&box, keys.mid(at++, 1));
    }
    auto offset = [&](QPoint at) { return at.x() * perLine + at.y(); };
    QCOMPARE(box.text(), text.left(offset(from)) + inserted + text.mid(offset(to)));
    QCOMPARE(box.textLength(), box.text().size());
    QCOMPARE(textOf(box)->text(0, textOf(box)->characterCount()), box.text());
    QCOMPARE(lineStarts(box), freshLineStarts(box));
}

// Random edits anywhere, of any size: the incremental layout always equals a fresh one.
void TextBoxTest::editsKeepTheLayoutOfAFreshBox() {
    MultiLineTextBox box;
    likeTheWindow(box);
    QRandomGenerator random(12);
    static const QStringList pieces = {"x",       "\r\n",   "\r",
                                       "\n",      "\t",     "ｱｲ",
                                       "漢字",    "\uFFFD", "0123456789012345678901234567890",
                                       "\r\n\r\n"};
    for (int step = 0; step < 400; ++step) {
        const qsizetype size = box.textLength();
        qsizetype start = size ? random.bounded(int(size + 1)) : 0;
        // Taking a wide character from the start of a line may let a narrow one move up.
        if (step % 3 == 1) start = box.lines().lineStart(random.bounded(box.lines().lineCount()));
        const qsizetype end = std::min(size, start + random.bounded(step % 3 ? 3 : 90));
        QString inserted;
        for (int n = random.bounded(5); n > 0; --n) inserted += pieces[random.bounded(10)];
        if (step % 4 == 0)
            box.appendText(inserted.repeated(3));
        else
            box.replaceText(start, end, inserted);
        const QList<qsizetype> fresh = freshLineStarts(box);
        QVERIFY2(lineStarts(box) == fresh, qPrintable(QStringLiteral("step %1").arg(step)));
    }
}

void TextBoxTest::inputMethodCommit_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<QString>("commit");
    QTest::addColumn<int>("replaceFrom");
    QTest::addColumn<int>("replaceLength");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("caretAfter");
    const QString line = QString(300, QLatin1Char('-'));
    QTest::newRow("into the middle of a long line")
        << line << 150 << 150 << "日本語" << 0 << 0 << line.left(150) + "日本語" + line.mid(150)
        << 153;
    QTest::newRow("replaces the selection")
        << line << 140 << 160 << "２ａ" << 0 << 0 << line.left(140) + "２ａ" + line.mid(160) << 142;
    QTest::newRow("replacement range before the caret")
        << QStringLiteral("abcdef") << 4 << 4 << "X" << -2 << 2 << QStringLiteral("abXef") << 3;
    QTest::newRow("CR LF committed") << QStringLiteral("ab") << 1 << 1 << "\r\n"
                                     << 0 << 0 << QStringLiteral("a\r\nb") << 3;
}

void TextBoxTest::inputMethodCommit() {
    QFETCH(QString, text);
    QFETCH(int, caret);
    QFETCH(int, anchor);
    QFETCH(QString, commit);
    QFETCH(int, replaceFrom);
    QFETCH(int, replaceLength);
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(text);
    box.setSelection(anchor, caret);
    // A preedit is shown but is not text.
    QInputMethodEvent preedit(QStringLiteral("にほ"), {});
    QCoreApplication::sendEvent(&box, &preedit);
    QCOMPARE(box.text(), text);
    QInputMethodEvent event;
    event.setCommitString(commit, replaceFrom, replaceLength);
    QCoreApplication::sendEvent(&box, &event);
    QTEST(box.text(), "expected");
    QTEST(int(box.caretPosition()), "caretAfter");
    QVERIFY(!box.hasSelection());
    QCOMPARE(lineStarts(box), freshLineStarts(box));
}

void TextBoxTest::inputMethodSeesTheCaret() {
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(QStringLiteral("first\r\n") + QString(100, QLatin1Char('s')) +
                QStringLiteral("\nlast"));
    box.setSelection(10, 20);
    QVERIFY(box.inputMethodQuery(Qt::ImEnabled).toBool());
    const QString surrounding = box.inputMethodQuery(Qt::ImSurroundingText).toString();
    const int position = box.inputMethodQuery(Qt::ImCursorPosition).toInt();
    const int anchor = box.inputMethodQuery(Qt::ImAnchorPosition).toInt();
    QCOMPARE(surrounding, QString(100, QLatin1Char('s')));
    QCOMPARE(QPair(anchor, position), QPair(3, 13));
    QCOMPARE(box.inputMethodQuery(Qt::ImCurrentSelection).toString(), QString(10, 's'));
    const QRectF rect = box.inputMethodQuery(Qt::ImCursorRectangle).toRectF();
    QCOMPARE(rect.toRect(), box.cursorRect().translated(box.viewport()->pos()));
    QVERIFY(rect.left() > box.characterRect(19).left());
}

void TextBoxTest::pasteAndDropInsertExactly() {
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(QStringLiteral("[]"));
    box.setSelStart(1);
    const QString pasted = QStringLiteral("a\rb\nc\r\n\u200B") + allHighBytes();
    QGuiApplication::clipboard()->setText(pasted);
    QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box.text(), "[" + pasted + "]");
    QCOMPARE(box.caretPosition(), 1 + pasted.size());

    box.setText(QStringLiteral("0123456789"));
    auto* data = new QMimeData;
    data->setText(QStringLiteral("\r\n"));
    const QPointF between45 = box.characterRect(5).topLeft() + QPointF(0.5, 2);
    QDragEnterEvent enter(between45.toPoint(), Qt::CopyAction, data, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(box.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(between45, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box.viewport(), &drop);
    QCOMPARE(box.text(), QStringLiteral("01234\r\n56789"));
    delete data;
}

// Screen readers get the box's own text and edit it as the operator would.
void TextBoxTest::accessibleNameRoleAndEdits() {
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setAccessibleName(QStringLiteral("受信"));
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&box);
    QCOMPARE(a->role(), QAccessible::EditableText);
    QCOMPARE(a->text(QAccessible::Name), QStringLiteral("受信"));
    QVERIFY(a->state().multiLine && a->state().editable && a->state().focusable);
    box.setText(QStringLiteral("abc"));
    box.appendText(QStringLiteral("\r\nde"));
    a->editableTextInterface()->insertText(1, QStringLiteral("XY"));
    a->editableTextInterface()->deleteText(0, 1);
    QCOMPARE(box.text(), QStringLiteral("XYbc\r\nde"));
    QCOMPARE(a->text(QAccessible::Value), box.text());
    QAccessibleTextInterface* text = a->textInterface();
    QCOMPARE(text->text(0, text->characterCount()), box.text());
    text->setSelection(0, 6, 2);
    QCOMPARE(box.selectedText(), QStringLiteral("bc\r\n"));
    QCOMPARE(text->cursorPosition(), 2);
    int start = 0, end = 0;
    const QString line = text->textAtOffset(7, QAccessible::LineBoundary, &start, &end);
    QCOMPARE(line, QStringLiteral("de"));
    // Character rectangles and hit-testing meet in screen coordinates.
    const QRect rect = text->characterRect(3);
    QCOMPARE(text->offsetAtPoint(rect.center() - QPoint(rect.width() / 4, 0)), 3);
}

// End on a wrapped line puts the caret at the wrap point, shown at the end of that line.
void TextBoxTest::endShowsTheCaretOnTheUpperLine() {
    MultiLineTextBox box;
    likeTheWindow(box);
    box.setText(QString(150, QLatin1Char('w')));
    const qsizetype wrap = box.lines().lineStart(1);
    box.setSelStart(3);
    QTest::keyClick(&box, Qt::Key_End);
    QCOMPARE(box.caretPosition(), wrap);
    QCOMPARE(box.cursorRect().top(), box.characterRect(0).toRect().top());
    QVERIFY(box.cursorRect().left() >= box.characterRect(wrap - 1).right() - 1);
    QTest::keyClick(&box, Qt::Key_Home);
    QCOMPARE(box.caretPosition(), 0);
    QTest::keyClick(&box, Qt::Key_Down);
    QCOMPARE(box.caretPosition(), wrap);
    QCOMPARE(box.cursorRect().top(), box.characterRect(wrap).toRect().top());
}

QTEST_MAIN(TextBoxTest)
#include "test_text_box.moc"
