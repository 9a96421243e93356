#include "window/text_box_accessible.h"

#include <QAccessibleWidget>

#include "window/multi_line_text_box.h"

namespace parvolo {

namespace {

class TextBoxAccessible : public QAccessibleWidget,
                          public QAccessibleTextInterface,
                          public QAccessibleEditableTextInterface {
public:
    explicit TextBoxAccessible(MultiLineTextBox* box)
        : QAccessibleWidget(box, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        if (type == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.multiLine = true;
        s.editable = true;
        s.selectableText = true;
        s.focusable = true;
        return s;
    }

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? box()->text() : QAccessibleWidget::text(t);
    }
    void setText(QAccessible::Text t, const QString& text) override {
        if (t == QAccessible::Value)
            box()->replaceText(0, box()->textLength(), text);
        else
            QAccessibleWidget::setText(t, text);
    }

    // Text
    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index != 0 || !box()->hasSelection()) return;
        *start = int(box()->selStart());
        *end = int(std::max(box()->caretPosition(), box()->anchorPosition()));
    }
    int selectionCount() const override { return box()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override {
        if (index == 0) box()->setSelStart(box()->caretPosition());
    }
    void setSelection(int index, int start, int end) override {
        if (index == 0) box()->setSelection(start, end);
    }
    int cursorPosition() const override { return int(box()->caretPosition()); }
    void setCursorPosition(int position) override { box()->setSelStart(position); }
    QString text(int start, int end) const override {
        const QString all = box()->text();
        start = std::clamp(start, 0, int(all.size()));
        end = std::clamp(end, start, int(all.size()));
        return all.mid(start, end - start);
    }
    int characterCount() const override { return int(box()->textLength()); }
    QRect characterRect(int offset) const override {
        const QRect r = box()->characterRect(offset).toAlignedRect();
        return r.translated(box()->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = box()->viewport()->mapFromGlobal(point);
        if (!box()->viewport()->rect().contains(local)) return -1;
        return int(box()->offsetAt(local));
    }
    void scrollToSubstring(int start, int) override { box()->ensureVisible(start); }
    QString attributes(int offset, int* start, int* end) const override {
        Q_UNUSED(offset);
        *start = 0;
        *end = characterCount();
        return QString();
    }

    // Editable text: the same edits an operator makes.
    void deleteText(int start, int end) override { box()->replaceText(start, end, QString()); }
    void insertText(int offset, const QString& text) override {
        box()->replaceText(offset, offset, text);
    }
    void replaceText(int start, int end, const QString& text) override {
        box()->replaceText(start, end, text);
    }

private:
    MultiLineTextBox* box() const { return static_cast<MultiLineTextBox*>(widget()); }
};

QAccessibleInterface* textBoxFactory(const QString& className, QObject* object) {
    if (className != QLatin1String(MultiLineTextBox::staticMetaObject.className()) ||
        !object->isWidgetType())
        return nullptr;
    return new TextBoxAccessible(static_cast<MultiLineTextBox*>(object));
}

}  // namespace

void installTextBoxAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(textBoxFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

}  // namespace parvolo
