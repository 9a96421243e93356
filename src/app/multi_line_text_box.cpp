#include "app/multi_line_text_box.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
constexpr QChar kCrStandIn(char16_t(0x200B));
constexpr int kContinuation = 1;  // user state of a paragraph that continues the line before it

bool isContinuation(const QTextBlock& block) {
    return block.userState() == kContinuation;
}
}  // namespace

MultiLineTextBox::MultiLineTextBox(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAnywhere);
    setUndoRedoEnabled(false);
    connect(document(), &QTextDocument::contentsChange, this, [this] {
        if (!m_ownEdit) m_countStale = true;  // the operator may have joined or split lines
    });
}

QString MultiLineTextBox::toDocument(const QString& text) {
    QString out = text;
    // A zero-width space of the text itself would read back as CR; being invisible, it goes.
    out.remove(kCrStandIn);
    out.replace(QLatin1Char('\r'), kCrStandIn);
    return out;
}

QString MultiLineTextBox::fromDocument(const QString& documentText) {
    QString out = documentText;
    for (QChar& c : out) {
        if (c == kCrStandIn)
            c = QLatin1Char('\r');
        else if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
            c = QLatin1Char('\n');
    }
    return out;
}

int MultiLineTextBox::charactersPerLine() const {
    const int advance = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
    const int usable = width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width() -
                       2 * int(document()->documentMargin()) - 4;
    return std::max(8, usable / advance);
}

void MultiLineTextBox::countContinuations() const {
    if (!m_countStale) return;
    qsizetype count = 0;
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next())
        if (isContinuation(b)) ++count;
    m_continuations = count;
    m_countStale = false;
}

qsizetype MultiLineTextBox::textLength() const {
    countContinuations();
    return document()->characterCount() - 1 - m_continuations;
}

QString MultiLineTextBox::text() const {
    QString out;
    out.reserve(document()->characterCount());
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next()) {
        if (b != document()->firstBlock() && !isContinuation(b)) out += QLatin1Char('\n');
        out += b.text();
    }
    return fromDocument(out);
}

// Writes text at the end of the document, cutting lines into continuation paragraphs.
void MultiLineTextBox::insertAtEnd(const QString& text) {
    countContinuations();
    m_ownEdit = true;
    const int perLine = charactersPerLine();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype newline = text.indexOf(QLatin1Char('\n'), at);
        const qsizetype lineEnd = newline < 0 ? text.size() : newline;
        while (at < lineEnd) {
            const int room = perLine - cursor.block().length() + 1;
            if (room <= 0) {
                cursor.insertBlock();
                cursor.block().setUserState(kContinuation);
                ++m_continuations;
                continue;
            }
            const qsizetype take = std::min<qsizetype>(room, lineEnd - at);
            cursor.insertText(toDocument(text.mid(at, take)));
            at += take;
        }
        if (newline >= 0) {
            cursor.insertBlock();
            cursor.block().setUserState(-1);
            at = newline + 1;
        }
    }
    cursor.endEditBlock();
    m_ownEdit = false;
}

void MultiLineTextBox::setText(const QString& text) {
    m_ownEdit = true;
    document()->clear();
    m_continuations = 0;
    m_countStale = false;
    document()->firstBlock().setUserState(-1);
    m_ownEdit = false;
    insertAtEnd(text);
    moveCursor(QTextCursor::Start);
}

void MultiLineTextBox::appendText(const QString& text, bool moveCaretToEnd) {
    if (text.isEmpty()) return;
    const int caretPosition = textCursor().position();
    const int caretAnchor = textCursor().anchor();
    insertAtEnd(text);
    if (moveCaretToEnd) {
        setSelStart(textLength());
    } else if (textCursor().position() != caretPosition || textCursor().anchor() != caretAnchor) {
        // A caret at the end was carried along by the insertion; put it back.
        QTextCursor restored(document());
        restored.setPosition(caretAnchor);
        restored.setPosition(caretPosition, QTextCursor::KeepAnchor);
        setTextCursor(restored);
    }
}

void MultiLineTextBox::setSelStart(qsizetype position) {
    if (position >= textLength()) {
        moveCursor(QTextCursor::End);
        ensureCursorVisible();
        return;
    }
    // Text positions skip the continuation breaks that the document holds in addition.
    qsizetype remaining = std::clamp<qsizetype>(position, 0, textLength());
    int documentPosition = 0;
    for (QTextBlock b = document()->firstBlock(); b.isValid(); b = b.next()) {
        if (b != document()->firstBlock() && !isContinuation(b)) {
            if (remaining == 0) break;
            --remaining;  // the line break is a character of the text
        }
        documentPosition = b.position();
        const qsizetype inBlock = b.length() - 1;
        if (remaining <= inBlock) {
            documentPosition += int(remaining);
            remaining = 0;
            break;
        }
        remaining -= inBlock;
        documentPosition += int(inBlock);
    }
    QTextCursor cursor(document());
    cursor.setPosition(documentPosition);
    setTextCursor(cursor);
    ensureCursorVisible();
}

qsizetype MultiLineTextBox::selStart() const {
    const int position = textCursor().position();
    qsizetype before = 0;
    for (QTextBlock b = document()->firstBlock(); b.isValid() && b.position() <= position;
         b = b.next())
        if (isContinuation(b)) ++before;
    return position - before;
}

void MultiLineTextBox::keyPressEvent(QKeyEvent* event) {
    // Enter types CR LF, as it does in the send data the operator prepares.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !isReadOnly()) {
        textCursor().insertText(toDocument(QStringLiteral("\r\n")));
        ensureCursorVisible();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MultiLineTextBox::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText()) return;
    textCursor().insertText(toDocument(source->text()));
    ensureCursorVisible();
}
