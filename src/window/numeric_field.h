#pragma once

// The numeric entry fields: which keys get in, and the number a field's text stands for.

#include <QString>
#include <QtGlobal>

class QLineEdit;

namespace parvolo {

// Only the digits 0 to 9 and backspace (8) get into a numeric field: any other character code
// becomes 0, which discards the key.
qint16 filterNumericKey(qint16 keyAscii);

// The character code a key types, judged by what the key means and not by the text the
// platform attaches to it (X11 gives Delete the text U+007F): Backspace 8, Enter 13, Escape 27,
// Ctrl with a letter its control character, any other key the first character of its text.
// -1 for a key that types no character (Delete, arrows, Home, End, Tab...).
int typedCharacterCode(int key, Qt::KeyboardModifiers modifiers, const QString& text);

// Reads an entry field as a whole number, as every reader of the send count and the display
// limit does. Digits read as their value (saturating far above any maximum); an empty or
// non-numeric text, which only deleting or pasting can produce, reads as the last value the
// field held as digits when it was last left (or set by the program).
class NumericField {
public:
    NumericField(QLineEdit* edit, qint64 maximum, qint64 startValue);

    qint64 value() const;
    qint64 maximum() const { return m_maximum; }
    // On leaving the field: a value above the maximum becomes the maximum; a text that is not
    // a number comes back as the last value; anything else stays exactly as typed.
    void checkOnLeave();

    static bool parseDigits(const QString& text, qint64* value);

private:
    void noteText(const QString& text);

    QLineEdit* m_edit;
    qint64 m_maximum;
    qint64 m_lastValue;
};

}  // namespace parvolo
