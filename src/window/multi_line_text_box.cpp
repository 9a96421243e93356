#include "window/multi_line_text_box.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QInputMethod>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QtMath>

#include "window/text_box_accessible.h"

namespace parvolo {

namespace {

constexpr int kMargin = 4;  // between the frame and the text
constexpr int kCaretWidth = 1;
constexpr int kSurrounding = 1000;  // characters either side of the caret an input method sees
constexpr int kAutoScrollMs = 50;

bool isControl(QChar c) {
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7F && u < 0xA0);
}

// The characters a key types: none for a command key or a control character, whatever text
// the platform attaches (X11 gives Delete U+007F and Backspace U+0008).
QString typedText(const QKeyEvent* event) {
    const auto mods = event->modifiers();
    if (((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier)) || (mods & Qt::MetaModifier))
        return {};
    const QString text = event->text();
    for (QChar c : text)
        if (isControl(c)) return {};
    return text;
}

int wordClass(QChar c) {
    if (c.isSpace()) return 0;
    if (c.isLetterOrNumber() || c == QLatin1Char('_')) return 1;
    return 2;
}

}  // namespace

MultiLineTextBox::MultiLineTextBox(QWidget* parent) : QAbstractScrollArea(parent) {
    installTextBoxAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setInputMethodHints(Qt::ImhMultiLine);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    viewport()->setCursor(Qt::IBeamCursor);
    m_lines.setFont(font());
    relayout();
}

MultiLineTextBox::~MultiLineTextBox() = default;

// ---- The model ----

// Every change of the text goes through here. Offsets after the change move with the text;
// a caret at the place of a pure insertion stays before it (appends leave the caret alone).
void MultiLineTextBox::edit(qsizetype start, qsizetype end, const QString& inserted) {
    if (start == end && inserted.isEmpty()) return;
    syncWidth();
    const bool tell = QAccessible::isActive();
    const QString removed = tell ? m_text.mid(start, end - start) : QString();
    const qsizetype delta = inserted.size() - (end - start);
    const qsizetype caretBefore = m_caret;
    m_text.replace(start, end - start, inserted);
    m_lines.update(m_text, start, end - start, inserted.size());
    auto follow = [&](qsizetype& offset) {
        if (offset > end || (offset == end && end > start))
            offset += delta;
        else if (offset > start)
            offset = start;
    };
    follow(m_caret);
    follow(m_anchor);
    updateScrollBar();
    // Lines above the one before the edit keep their place and their glyphs.
    const int top = qFloor(lineTop(std::max(0, m_lines.lineOf(start) - 1)));
    viewport()->update(QRect(0, top, viewport()->width(), viewport()->height() - top));
    if (!tell) return;
    auto send = [this](QAccessibleTextCursorEvent&& event) {
        event.setCursorPosition(int(m_caret));
        QAccessible::updateAccessibility(&event);
    };
    if (removed.isEmpty())
        send(QAccessibleTextInsertEvent(this, int(start), inserted));
    else if (inserted.isEmpty())
        send(QAccessibleTextRemoveEvent(this, int(start), removed));
    else
        send(QAccessibleTextUpdateEvent(this, int(start), removed, inserted));
    // The bridge reports caret moves only from cursor events.
    if (m_caret != caretBefore) send(QAccessibleTextCursorEvent(this, int(m_caret)));
}

void MultiLineTextBox::setText(const QString& text) {
    if (!m_preedit.isEmpty() && hasFocus()) QGuiApplication::inputMethod()->reset();
    m_preedit.clear();
    const QString old = m_text;
    m_text = text;
    // Room for what follows, so that the first append does not copy a long text.
    m_text.reserve(text.size() + text.size() / 2);
    m_caret = m_anchor = 0;
    m_caretAtLineEnd = false;
    m_desiredX = -1;
    relayout();
    verticalScrollBar()->setValue(0);
    restartBlink();
    if (hasFocus()) updateMicroFocus();
    if (!QAccessible::isActive() || (old.isEmpty() && text.isEmpty())) return;
    QAccessibleTextUpdateEvent event(this, 0, old, text);
    event.setCursorPosition(0);
    QAccessible::updateAccessibility(&event);
    QAccessibleTextCursorEvent caret(this, 0);
    QAccessible::updateAccessibility(&caret);
}

void MultiLineTextBox::appendText(const QString& text, bool moveCaretToEnd) {
    edit(m_text.size(), m_text.size(), text);
    if (moveCaretToEnd) setSelStart(m_text.size());
}

void MultiLineTextBox::setSelStart(qsizetype position) {
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    setCaret(position, position);
}

QString MultiLineTextBox::selectedText() const {
    return m_text.mid(selStart(), std::abs(m_caret - m_anchor));
}

void MultiLineTextBox::setSelection(qsizetype anchor, qsizetype caret) {
    setCaret(std::clamp<qsizetype>(caret, 0, m_text.size()),
             std::clamp<qsizetype>(anchor, 0, m_text.size()));
}

void MultiLineTextBox::selectAll() {
    setCaret(m_text.size(), 0);
    offerSelection();
}

void MultiLineTextBox::replaceText(qsizetype start, qsizetype end, const QString& text) {
    start = std::clamp<qsizetype>(start, 0, m_text.size());
    end = std::clamp<qsizetype>(end, start, m_text.size());
    edit(start, end, text);
    setCaret(start + text.size(), start + text.size());
}

void MultiLineTextBox::setCaret(qsizetype caret, qsizetype anchor, bool atLineEnd) {
    const bool moved = caret != m_caret;
    const bool selectionChanged =
        (m_caret != m_anchor || caret != anchor) && (moved || anchor != m_anchor);
    const QRect oldCaret = cursorRect();
    m_caret = caret;
    m_anchor = anchor;
    m_caretAtLineEnd = atLineEnd;
    ensureLineVisible(caretLine());
    restartBlink();
    if (selectionChanged) {
        viewport()->update();
    } else {
        viewport()->update(oldCaret.adjusted(-1, 0, 1, 0));
        viewport()->update(cursorRect().adjusted(-1, 0, 1, 0));
    }
    if (hasFocus()) updateMicroFocus();
    if (!QAccessible::isActive()) return;
    if (selectionChanged) {
        QAccessibleTextSelectionEvent event(this, int(selStart()), int(std::max(caret, anchor)));
        event.setCursorPosition(int(caret));
        QAccessible::updateAccessibility(&event);
    }
    if (moved) {
        QAccessibleTextCursorEvent event(this, int(caret));
        QAccessible::updateAccessibility(&event);
    }
}

// ---- Operator edits ----

void MultiLineTextBox::insertTyped(const QString& typed) {
    const qsizetype start = selStart();
    edit(start, std::max(m_caret, m_anchor), typed);
    setCaret(start + typed.size(), start + typed.size());
    m_desiredX = -1;
}

void MultiLineTextBox::deleteBackward(bool word) {
    if (hasSelection() || m_caret == 0) return insertTyped({});
    const qsizetype start =
        word ? wordBoundary(m_caret, false) : WrappedLines::previousCluster(m_text, m_caret);
    replaceText(start, m_caret, {});
}

void MultiLineTextBox::deleteForward(bool word) {
    if (hasSelection() || m_caret == m_text.size()) return insertTyped({});
    const qsizetype end =
        word ? wordBoundary(m_caret, true) : m_caret + WrappedLines::clusterLength(m_text, m_caret);
    replaceText(m_caret, end, {});
}

void MultiLineTextBox::copy() const {
    if (hasSelection()) QGuiApplication::clipboard()->setText(selectedText());
}

void MultiLineTextBox::cut() {
    if (!hasSelection()) return;
    copy();
    insertTyped({});
}

void MultiLineTextBox::paste(QClipboard::Mode mode) {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(mode);
    if (data && data->hasText()) insertTyped(data->text());
}

void MultiLineTextBox::offerSelection() const {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && hasSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

qsizetype MultiLineTextBox::wordBoundary(qsizetype from, bool forward) const {
    qsizetype p = from;
    if (forward) {
        const int cls = p < m_text.size() ? wordClass(m_text.at(p)) : 0;
        while (cls != 0 && p < m_text.size() && wordClass(m_text.at(p)) == cls)
            p += WrappedLines::clusterLength(m_text, p);
        while (p < m_text.size() && wordClass(m_text.at(p)) == 0)
            p += WrappedLines::clusterLength(m_text, p);
        return p;
    }
    auto before = [&] { return m_text.at(WrappedLines::previousCluster(m_text, p)); };
    while (p > 0 && wordClass(before()) == 0) p = WrappedLines::previousCluster(m_text, p);
    const int cls = p > 0 ? wordClass(before()) : 0;
    while (p > 0 && wordClass(before()) == cls) p = WrappedLines::previousCluster(m_text, p);
    return p;
}

void MultiLineTextBox::selectWordAt(qsizetype offset) {
    if (m_text.isEmpty()) return;
    if (offset >= m_text.size()) offset = WrappedLines::previousCluster(m_text, m_text.size());
    const int cls = wordClass(m_text.at(offset));
    qsizetype start = offset;
    while (start > 0) {
        const qsizetype previous = WrappedLines::previousCluster(m_text, start);
        if (wordClass(m_text.at(previous)) != cls) break;
        start = previous;
    }
    qsizetype end = offset + WrappedLines::clusterLength(m_text, offset);
    while (end < m_text.size() && wordClass(m_text.at(end)) == cls)
        end += WrappedLines::clusterLength(m_text, end);
    setCaret(end, start);
    offerSelection();
}

// ---- Caret movement ----

MultiLineTextBox::Target MultiLineTextBox::targetOf(Move move) {
    const int line = caretLine();
    auto onLine = [&](int target) -> Target {
        target = std::clamp(target, 0, m_lines.lineCount() - 1);
        if (m_desiredX < 0) m_desiredX = m_lines.xOf(m_text, line, m_caret);
        bool pastEnd = false;
        const qsizetype offset = m_lines.offsetAtX(m_text, target, m_desiredX, &pastEnd);
        return {offset, pastEnd};
    };
    switch (move) {
        case Move::NextChar:
            return {std::min(m_text.size(), m_caret + WrappedLines::clusterLength(m_text, m_caret)),
                    false};
        case Move::PreviousChar:
            return {WrappedLines::previousCluster(m_text, m_caret), false};
        case Move::NextWord:
            return {wordBoundary(m_caret, true), false};
        case Move::PreviousWord:
            return {wordBoundary(m_caret, false), false};
        case Move::NextLine:
            return onLine(line + 1);
        case Move::PreviousLine:
            return onLine(line - 1);
        case Move::NextPage:
            return onLine(line + visibleLines());
        case Move::PreviousPage:
            return onLine(line - visibleLines());
        case Move::LineStart:
            return {m_lines.lineStart(line), false};
        case Move::LineEnd:
            return {m_lines.contentEnd(line, m_text), true};
        case Move::TextStart:
            return {0, false};
        case Move::TextEnd:
            return {m_text.size(), false};
    }
    return {m_caret, false};
}

void MultiLineTextBox::moveCaret(Move move, bool select) {
    const bool vertical = move == Move::NextLine || move == Move::PreviousLine ||
                          move == Move::NextPage || move == Move::PreviousPage;
    if (!vertical) m_desiredX = -1;
    // Without Shift, Left and Right first collapse a selection to its edge.
    if (!select && hasSelection() && (move == Move::NextChar || move == Move::PreviousChar)) {
        const qsizetype edge = move == Move::NextChar ? std::max(m_caret, m_anchor) : selStart();
        setCaret(edge, edge);
        return;
    }
    const Target target = targetOf(move);
    if (move == Move::NextPage || move == Move::PreviousPage) {
        const int step = move == Move::NextPage ? visibleLines() : -visibleLines();
        verticalScrollBar()->setValue(topLine() + step);
    }
    setCaret(target.offset, select ? m_anchor : target.offset, target.atLineEnd);
    if (select) offerSelection();
}

bool MultiLineTextBox::navigationKey(QKeyEvent* event) {
    struct Binding {
        QKeySequence::StandardKey key;
        Move move;
        bool select;
    };
    static const Binding kBindings[] = {
        {QKeySequence::MoveToNextChar, Move::NextChar, false},
        {QKeySequence::SelectNextChar, Move::NextChar, true},
        {QKeySequence::MoveToPreviousChar, Move::PreviousChar, false},
        {QKeySequence::SelectPreviousChar, Move::PreviousChar, true},
        {QKeySequence::MoveToNextWord, Move::NextWord, false},
        {QKeySequence::SelectNextWord, Move::NextWord, true},
        {QKeySequence::MoveToPreviousWord, Move::PreviousWord, false},
        {QKeySequence::SelectPreviousWord, Move::PreviousWord, true},
        {QKeySequence::MoveToNextLine, Move::NextLine, false},
        {QKeySequence::SelectNextLine, Move::NextLine, true},
        {QKeySequence::MoveToPreviousLine, Move::PreviousLine, false},
        {QKeySequence::SelectPreviousLine, Move::PreviousLine, true},
        {QKeySequence::MoveToStartOfLine, Move::LineStart, false},
        {QKeySequence::SelectStartOfLine, Move::LineStart, true},
        {QKeySequence::MoveToEndOfLine, Move::LineEnd, false},
        {QKeySequence::SelectEndOfLine, Move::LineEnd, true},
        {QKeySequence::MoveToStartOfDocument, Move::TextStart, false},
        {QKeySequence::SelectStartOfDocument, Move::TextStart, true},
        {QKeySequence::MoveToEndOfDocument, Move::TextEnd, false},
        {QKeySequence::SelectEndOfDocument, Move::TextEnd, true},
        {QKeySequence::MoveToNextPage, Move::NextPage, false},
        {QKeySequence::SelectNextPage, Move::NextPage, true},
        {QKeySequence::MoveToPreviousPage, Move::PreviousPage, false},
        {QKeySequence::SelectPreviousPage, Move::PreviousPage, true},
    };
    for (const Binding& b : kBindings) {
        if (event->matches(b.key)) {
            moveCaret(b.move, b.select);
            return true;
        }
    }
    return false;
}

// ---- Events ----

bool MultiLineTextBox::event(QEvent* event) {
    if (event->type() == QEvent::KeyPress && !m_tabChangesFocus) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab && !(key->modifiers() & ~Qt::KeypadModifier)) {
            insertTyped(QStringLiteral("\t"));
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void MultiLineTextBox::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) return copy();
    if (event->matches(QKeySequence::Cut)) return cut();
    if (event->matches(QKeySequence::Paste)) return paste();
    if (event->matches(QKeySequence::SelectAll)) return selectAll();
    if (event->matches(QKeySequence::DeleteStartOfWord)) return deleteBackward(true);
    if (event->matches(QKeySequence::DeleteEndOfWord)) return deleteForward(true);
    // By the key, not by its text.
    switch (event->key()) {
        case Qt::Key_Backspace:
            return deleteBackward(false);
        case Qt::Key_Delete:
            return deleteForward(false);
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // Enter types CR LF, as the send data the operator prepares expects.
            return insertTyped(QStringLiteral("\r\n"));
        default:
            break;
    }
    if (navigationKey(event)) return;
    const QString typed = typedText(event);
    if (typed.isEmpty()) return event->ignore();
    insertTyped(typed);
}

qsizetype MultiLineTextBox::surroundingStart() const {
    const qsizetype feed = m_caret > 0 ? m_text.lastIndexOf(QLatin1Char('\n'), m_caret - 1) : -1;
    return std::max(feed + 1, m_caret - kSurrounding);
}

qsizetype MultiLineTextBox::surroundingEnd() const {
    const qsizetype feed = m_text.indexOf(QLatin1Char('\n'), m_caret);
    return std::min(feed < 0 ? m_text.size() : feed, m_caret + kSurrounding);
}

// A commit replaces the selection, then the range the event names around the caret. Selection
// attributes count in the surrounding text the input method was last given.
void MultiLineTextBox::inputMethodEvent(QInputMethodEvent* event) {
    const qsizetype base = surroundingStart();
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        if (hasSelection()) insertTyped({});
        const qsizetype start =
            std::clamp<qsizetype>(m_caret + event->replacementStart(), 0, m_text.size());
        const qsizetype end =
            std::clamp<qsizetype>(start + event->replacementLength(), start, m_text.size());
        replaceText(start, end, event->commitString());
    }
    m_preedit = event->preeditString();
    m_preeditCursor = int(m_preedit.size());
    for (const QInputMethodEvent::Attribute& a : event->attributes()) {
        if (a.type == QInputMethodEvent::Cursor)
            m_preeditCursor = std::clamp(a.start, 0, int(m_preedit.size()));
        else if (a.type == QInputMethodEvent::Selection)
            setSelection(base + a.start, base + a.start + a.length);
    }
    event->accept();
    viewport()->update();
    updateMicroFocus();
}

QVariant MultiLineTextBox::inputMethodQuery(Qt::InputMethodQuery query) const {
    const qsizetype start = surroundingStart();
    const qsizetype end = surroundingEnd();
    const QPointF origin = viewport()->geometry().topLeft();
    switch (query) {
        case Qt::ImEnabled:
            return true;
        case Qt::ImCursorRectangle:
            return QRectF(cursorRect()).translated(origin);
        case Qt::ImAnchorRectangle: {
            const QRectF r = characterRect(m_anchor);
            return QRectF(r.x(), r.y(), kCaretWidth, r.height()).translated(origin);
        }
        case Qt::ImFont:
            return font();
        case Qt::ImCursorPosition:
            return int(m_caret - start);
        case Qt::ImAnchorPosition:
            return int(std::clamp(m_anchor, start, end) - start);
        case Qt::ImSurroundingText:
            return m_text.mid(start, end - start);
        case Qt::ImTextBeforeCursor:
            return m_text.mid(start, m_caret - start);
        case Qt::ImTextAfterCursor:
            return m_text.mid(m_caret, end - m_caret);
        case Qt::ImCurrentSelection:
            return selectedText();
        case Qt::ImAbsolutePosition:
            return int(m_caret);
        case Qt::ImMaximumTextLength:
            return QVariant();
        case Qt::ImHints:
            return int(inputMethodHints());
        case Qt::ImReadOnly:
            return false;
        default:
            return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void MultiLineTextBox::mousePressEvent(QMouseEvent* event) {
    if (!m_preedit.isEmpty()) QGuiApplication::inputMethod()->commit();
    bool pastEnd = false;
    const qsizetype offset = offsetAtPoint(event->position(), &pastEnd);
    if (event->button() == Qt::LeftButton) {
        const bool extend = event->modifiers() & Qt::ShiftModifier;
        m_desiredX = -1;
        setCaret(offset, extend ? m_anchor : offset, pastEnd);
        m_selecting = true;
        m_dragPoint = event->position();
    } else if (event->button() == Qt::MiddleButton &&
               QGuiApplication::clipboard()->supportsSelection()) {
        setCaret(offset, offset, pastEnd);
        paste(QClipboard::Selection);
    } else {
        event->ignore();
    }
}

void MultiLineTextBox::mouseMoveEvent(QMouseEvent* event) {
    if (!m_selecting || !(event->buttons() & Qt::LeftButton)) return;
    m_dragPoint = event->position();
    bool pastEnd = false;
    const qsizetype offset = offsetAtPoint(m_dragPoint, &pastEnd);
    setCaret(offset, m_anchor, pastEnd);
    const bool outside = m_dragPoint.y() < 0 || m_dragPoint.y() > viewport()->height();
    if (outside && !m_autoScroll.isActive())
        m_autoScroll.start(kAutoScrollMs, this);
    else if (!outside)
        m_autoScroll.stop();
}

void MultiLineTextBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    m_selecting = false;
    m_autoScroll.stop();
    offerSelection();
}

void MultiLineTextBox::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    selectWordAt(offsetAtPoint(event->position(), nullptr));
}

void MultiLineTextBox::contextMenuEvent(QContextMenuEvent* event) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto add = [&](const char* text, QKeySequence::StandardKey key, bool enabled, auto action) {
        QAction* item = menu->addAction(QString::fromUtf8(text));
        item->setShortcut(key);
        item->setEnabled(enabled);
        connect(item, &QAction::triggered, this, action);
    };
    const QMimeData* clip = QGuiApplication::clipboard()->mimeData();
    add("切り取り(&T)", QKeySequence::Cut, hasSelection(), [this] { cut(); });
    add("コピー(&C)", QKeySequence::Copy, hasSelection(), [this] { copy(); });
    add("貼り付け(&P)", QKeySequence::Paste, clip && clip->hasText(), [this] { paste(); });
    add("削除(&D)", QKeySequence::Delete, hasSelection(), [this] { insertTyped({}); });
    menu->addSeparator();
    add("すべて選択(&A)", QKeySequence::SelectAll, !m_text.isEmpty(), [this] { selectAll(); });
    // Not exec(): the communication loop keeps running while the menu is open.
    menu->popup(event->globalPos());
}

void MultiLineTextBox::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MultiLineTextBox::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MultiLineTextBox::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasText()) return event->ignore();
    const QString dropped = event->mimeData()->text();
    const qsizetype at = offsetAtPoint(event->position(), nullptr);
    edit(at, at, dropped);
    setCaret(at + dropped.size(), at);
    event->acceptProposedAction();
    setFocus(Qt::MouseFocusReason);
}

void MultiLineTextBox::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
}

void MultiLineTextBox::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    m_blink.stop();
    m_caretOn = false;
    viewport()->update();
}

void MultiLineTextBox::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        viewport()->update(cursorRect().adjusted(-1, 0, 1, 0));
    } else if (event->timerId() == m_autoScroll.timerId()) {
        const int step = m_dragPoint.y() < 0 ? -1 : 1;
        verticalScrollBar()->setValue(topLine() + step);
        bool pastEnd = false;
        const QPointF inside(m_dragPoint.x(),
                             std::clamp<qreal>(m_dragPoint.y(), 0, viewport()->height() - 1));
        setCaret(offsetAtPoint(inside, &pastEnd), m_anchor, pastEnd);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

void MultiLineTextBox::restartBlink() {
    m_caretOn = true;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
}

// ---- Layout and geometry ----

// A hidden box gets its resize event only when it is shown, and its viewport is laid out
// then; until that, the viewport's size comes from the box's own.
QSize MultiLineTextBox::viewportSize() const {
    if (!testAttribute(Qt::WA_PendingResizeEvent) || m_inResize) return viewport()->size();
    return contentsRect().size() - QSize(verticalScrollBar()->sizeHint().width(), 0);
}

qreal MultiLineTextBox::wrapWidth() const {
    return viewportSize().width() - 2 * kMargin - kCaretWidth;
}

void MultiLineTextBox::relayout() {
    m_lines.setWidth(wrapWidth());
    m_lines.layoutAll(m_text);
    updateScrollBar();
    viewport()->update();
}

void MultiLineTextBox::syncWidth() {
    if (m_lines.width() != std::max<qreal>(1, wrapWidth())) relayout();
}

void MultiLineTextBox::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    m_inResize = true;
    syncWidth();
    updateScrollBar();
    m_inResize = false;
}

void MultiLineTextBox::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_lines.setFont(font());
        relayout();
    }
}

void MultiLineTextBox::scrollContentsBy(int, int) {
    viewport()->update();
}

int MultiLineTextBox::visibleLines() const {
    return std::max(1, int((viewportSize().height() - kMargin) / m_lines.lineHeight()));
}

int MultiLineTextBox::topLine() const {
    return verticalScrollBar()->value();
}

qreal MultiLineTextBox::lineTop(int line) const {
    return kMargin + (line - topLine()) * m_lines.lineHeight();
}

void MultiLineTextBox::updateScrollBar() {
    QScrollBar* bar = verticalScrollBar();
    const int shown = visibleLines();
    bar->setRange(0, std::max(0, m_lines.lineCount() - shown));
    bar->setPageStep(shown);
    bar->setSingleStep(1);
}

int MultiLineTextBox::caretLine() const {
    const int line = m_lines.lineOf(m_caret);
    const bool wrapPoint =
        m_lines.lineStart(line) == m_caret && m_lines.continuesLine(line, m_text);
    return m_caretAtLineEnd && wrapPoint ? line - 1 : line;
}

void MultiLineTextBox::ensureLineVisible(int line) {
    const int top = topLine();
    const int shown = visibleLines();
    if (line < top)
        verticalScrollBar()->setValue(line);
    else if (line >= top + shown)
        verticalScrollBar()->setValue(line - shown + 1);
}

void MultiLineTextBox::ensureVisible(qsizetype offset) {
    ensureLineVisible(m_lines.lineOf(std::clamp<qsizetype>(offset, 0, m_text.size())));
}

QRectF MultiLineTextBox::characterRect(qsizetype offset) const {
    offset = std::clamp<qsizetype>(offset, 0, m_text.size());
    const int line = m_lines.lineOf(offset);
    const qreal x = m_lines.xOf(m_text, line, offset);
    const qreal advance = offset < m_text.size() ? m_lines.clusterAt(m_text, offset, x).advance : 0;
    return QRectF(kMargin + x, lineTop(line), advance, m_lines.lineHeight());
}

QRect MultiLineTextBox::cursorRect() const {
    const int line = caretLine();
    qreal x = kMargin + m_lines.xOf(m_text, line, m_caret);
    if (!m_preedit.isEmpty())
        x += m_lines.metrics().horizontalAdvance(m_preedit.left(m_preeditCursor));
    return QRect(qFloor(x), qFloor(lineTop(line)), kCaretWidth, int(m_lines.lineHeight()));
}

qsizetype MultiLineTextBox::offsetAtPoint(const QPointF& point, bool* pastEnd) const {
    const int line = std::clamp(topLine() + qFloor((point.y() - kMargin) / m_lines.lineHeight()), 0,
                                m_lines.lineCount() - 1);
    bool past = false;
    const qsizetype offset = m_lines.offsetAtX(m_text, line, point.x() - kMargin, &past);
    if (pastEnd)
        *pastEnd =
            past && line + 1 < m_lines.lineCount() && m_lines.continuesLine(line + 1, m_text);
    return offset;
}

qsizetype MultiLineTextBox::offsetAt(const QPointF& point) const {
    return offsetAtPoint(point, nullptr);
}

// ---- Painting: only the visible lines, each glyph at the x its measurement gave ----

void MultiLineTextBox::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QRect dirty = event->rect();
    for (int line = topLine(); line < m_lines.lineCount(); ++line) {
        const qreal top = lineTop(line);
        if (top > dirty.bottom()) break;
        if (top + m_lines.lineHeight() > dirty.top()) paintLine(painter, line, top);
    }
    if (m_caretOn && hasFocus()) painter.fillRect(cursorRect(), palette().color(QPalette::Text));
}

void MultiLineTextBox::paintLine(QPainter& painter, int line, qreal top) const {
    const QPalette& colors = palette();
    const qsizetype selectionStart = selStart();
    const qsizetype selectionEnd = std::max(m_caret, m_anchor);
    const qreal height = m_lines.lineHeight();
    const qreal baseline = top + m_lines.ascent();
    const bool preeditHere = !m_preedit.isEmpty() && line == caretLine();
    const qreal preeditWidth =
        preeditHere ? m_lines.metrics().horizontalAdvance(m_preedit) : qreal(0);
    const qsizetype end = m_lines.lineEnd(line, m_text);
    bool penSelected = false;
    painter.setPen(colors.color(QPalette::Text));
    qreal x = 0;
    for (qsizetype pos = m_lines.lineStart(line); pos < end;) {
        const WrappedLines::Cluster c = m_lines.clusterAt(m_text, pos, x);
        const qreal left = kMargin + x + (preeditHere && pos >= m_caret ? preeditWidth : 0);
        const bool selected = pos >= selectionStart && pos < selectionEnd;
        if (selected) {
            // A selected line break shows as a space-wide mark.
            const qreal width =
                c.lineBreak ? m_lines.metrics().horizontalAdvance(QLatin1Char(' ')) : c.advance;
            painter.fillRect(QRectF(left, top, width, height), colors.color(QPalette::Highlight));
        }
        const QChar ch = m_text.at(pos);
        if (!c.lineBreak && ch != QLatin1Char('\r') && ch != QLatin1Char('\t')) {
            if (selected != penSelected) {
                painter.setPen(colors.color(selected ? QPalette::HighlightedText : QPalette::Text));
                penSelected = selected;
            }
            painter.drawText(QPointF(left, baseline), m_text.mid(pos, c.length));
        }
        x += c.advance;
        pos += c.length;
    }
    if (preeditHere) {
        QFont underlined = font();
        underlined.setUnderline(true);
        painter.setFont(underlined);
        painter.setPen(colors.color(QPalette::Text));
        painter.drawText(QPointF(kMargin + m_lines.xOf(m_text, line, m_caret), baseline),
                         m_preedit);
        painter.setFont(font());
    }
}

}  // namespace parvolo
