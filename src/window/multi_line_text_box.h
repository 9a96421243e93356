#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QClipboard>
#include <QString>

#include "window/wrapped_lines.h"

namespace parvolo {

// A multi-line text box whose text is exactly the characters written to it: CR, LF and CR LF
// are kept as such, and the clipboard, the X11 selection, drag and drop, the input method and
// the accessibility interface all see and change that same string. Nothing else holds a copy.
//
// The box lays out its own lines (WrappedLines): long lines wrap at the box's edge by the
// glyphs' real advances, so appending to 32,767 characters without a line break costs the same
// as appending to a short text. Caret and anchor are offsets into the text; a caret at a wrap
// point can show at the end of the upper line (after End, or a click past a line's end).
class MultiLineTextBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit MultiLineTextBox(QWidget* parent = nullptr);
    ~MultiLineTextBox() override;

    QString text() const { return m_text; }
    qsizetype textLength() const { return m_text.size(); }
    bool isEmpty() const { return m_text.isEmpty(); }
    // Replaces the whole text; the caret goes to the start.
    void setText(const QString& text);
    // Appends at the end. The caret stays where it was unless moveCaretToEnd asks for it to
    // follow the new text into view.
    void appendText(const QString& text, bool moveCaretToEnd = false);
    // Puts the caret at a character position of the text and scrolls it into view.
    void setSelStart(qsizetype position);
    qsizetype selStart() const { return std::min(m_caret, m_anchor); }

    qsizetype caretPosition() const { return m_caret; }
    qsizetype anchorPosition() const { return m_anchor; }
    bool hasSelection() const { return m_caret != m_anchor; }
    QString selectedText() const;
    void setSelection(qsizetype anchor, qsizetype caret);
    void selectAll();
    // Replaces text[start, end) as an edit of the operator's; the caret follows the new text.
    void replaceText(qsizetype start, qsizetype end, const QString& text);
    void copy() const;
    void cut();
    void paste(QClipboard::Mode mode = QClipboard::Clipboard);

    // Tab moves the focus on, as in every box of the window, unless switched off.
    bool tabChangesFocus() const { return m_tabChangesFocus; }
    void setTabChangesFocus(bool on) { m_tabChangesFocus = on; }

    // Geometry in viewport coordinates.
    QRectF characterRect(qsizetype offset) const;
    qsizetype offsetAt(const QPointF& point) const;
    QRect cursorRect() const;
    void ensureVisible(qsizetype offset);
    // The visual lines, laid out for the box's present size.
    const WrappedLines& lines() {
        syncWidth();
        return m_lines;
    }

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    enum class Move {
        NextChar,
        PreviousChar,
        NextWord,
        PreviousWord,
        NextLine,
        PreviousLine,
        LineStart,
        LineEnd,
        TextStart,
        TextEnd,
        NextPage,
        PreviousPage
    };
    struct Target {
        qsizetype offset;
        bool atLineEnd;  // shown at the end of the upper line when it is a wrap point
    };

    void edit(qsizetype start, qsizetype end, const QString& inserted);
    void insertTyped(const QString& typed);
    void deleteBackward(bool word);
    void deleteForward(bool word);
    void moveCaret(Move move, bool select);
    Target targetOf(Move move);
    bool navigationKey(QKeyEvent* event);
    void setCaret(qsizetype caret, qsizetype anchor, bool atLineEnd = false);
    void offerSelection() const;
    void selectWordAt(qsizetype offset);
    qsizetype wordBoundary(qsizetype from, bool forward) const;

    QSize viewportSize() const;
    qreal wrapWidth() const;
    void relayout();
    void syncWidth();
    void updateScrollBar();
    void ensureLineVisible(int line);
    int caretLine() const;
    int visibleLines() const;
    int topLine() const;
    qreal lineTop(int line) const;
    qsizetype offsetAtPoint(const QPointF& point, bool* pastEnd) const;
    qsizetype surroundingStart() const;
    qsizetype surroundingEnd() const;
    void restartBlink();
    void paintLine(QPainter& painter, int line, qreal top) const;

    QString m_text;
    qsizetype m_caret = 0;
    qsizetype m_anchor = 0;
    bool m_caretAtLineEnd = false;  // a caret at a wrap point shows on the upper line
    qreal m_desiredX = -1;          // kept across Up and Down
    WrappedLines m_lines;
    QString m_preedit;
    int m_preeditCursor = 0;
    bool m_tabChangesFocus = true;
    bool m_caretOn = false;
    bool m_selecting = false;
    bool m_inResize = false;
    QPointF m_dragPoint;
    QBasicTimer m_blink;
    QBasicTimer m_autoScroll;
};

}  // namespace parvolo
