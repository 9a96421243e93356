#include "app/multi_line_text_box.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>

namespace {
constexpr QChar kCrStandIn(char16_t(0x200B));
}

MultiLineTextBox::MultiLineTextBox(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
}

QString MultiLineTextBox::toDocument(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\r'), kCrStandIn);
    return out;
}

QString MultiLineTextBox::fromDocument(const QString& documentText) {
    QString out = documentText;
    for (QChar& c : out) {
        if (c == kCrStandIn) c = QLatin1Char('\r');
        else if (c == QChar::ParagraphSeparator) c = QLatin1Char('\n');
    }
    return out;
}

QString MultiLineTextBox::text() const { return fromDocument(document()->toRawText()); }

void MultiLineTextBox::setText(const QString& text) { setPlainText(toDocument(text)); }

void MultiLineTextBox::appendText(const QString& text, bool moveCaretToEnd) {
    if (text.isEmpty()) return;
    const int caretPosition = textCursor().position();
    const int caretAnchor = textCursor().anchor();
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(toDocument(text));
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
    QTextCursor cursor = textCursor();
    cursor.setPosition(int(std::min(position, textLength())));
    setTextCursor(cursor);
    ensureCursorVisible();
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
