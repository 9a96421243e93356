#include "window/numeric_field.h"

#include <QLineEdit>

namespace parvolo {

qint16 filterNumericKey(qint16 keyAscii) {
    if (keyAscii == 8) return keyAscii;
    return (keyAscii >= '0' && keyAscii <= '9') ? keyAscii : qint16(0);
}

int typedCharacterCode(int key, Qt::KeyboardModifiers modifiers, const QString& text) {
    switch (key) {
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Escape:
            return 27;
        default:
            break;
    }
    if ((modifiers & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        return key - Qt::Key_A + 1;
    if (text.isEmpty()) return -1;
    const char16_t first = text.at(0).unicode();
    // A control character attached to another key (Delete's U+007F) types nothing.
    if (first < 0x20 || (first >= 0x7F && first < 0xA0)) return -1;
    return first;
}

bool NumericField::parseDigits(const QString& text, qint64* value) {
    if (text.isEmpty()) return false;
    constexpr qint64 kSaturate = qint64(1) << 60;
    qint64 result = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
        result = std::min(kSaturate, result * 10 + (c.unicode() - '0'));
    }
    *value = result;
    return true;
}

NumericField::NumericField(QLineEdit* edit, qint64 maximum, qint64 startValue)
    : m_edit(edit), m_maximum(maximum), m_lastValue(startValue) {
    QObject::connect(edit, &QLineEdit::textChanged, edit,
                     [this](const QString& text) { noteText(text); });
}

// While the operator is editing, the digits typed so far are not yet a value to come back
// to: deleting "256" one digit at a time must not leave "2" behind.
void NumericField::noteText(const QString& text) {
    qint64 v;
    if (!m_edit->hasFocus() && parseDigits(text, &v)) m_lastValue = v;
}

qint64 NumericField::value() const {
    qint64 v;
    return parseDigits(m_edit->text(), &v) ? v : m_lastValue;
}

void NumericField::checkOnLeave() {
    qint64 v;
    if (!parseDigits(m_edit->text(), &v)) {
        m_edit->setText(QString::number(std::min(m_lastValue, m_maximum)));
        return;
    }
    if (v > m_maximum) m_edit->setText(QString::number(m_maximum));
    m_lastValue = std::min(v, m_maximum);
}

}  // namespace parvolo
