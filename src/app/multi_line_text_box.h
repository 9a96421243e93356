#pragma once

#include <QPlainTextEdit>

// A multi-line text box whose text is exactly the characters written to it: CR and LF are
// one character each, and the pair CR LF starts one new line, as count-up data expects.
// The document holds one character per text character: LF becomes a paragraph break and CR
// an invisible zero-width space, so the length is known without rebuilding the text.
class MultiLineTextBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit MultiLineTextBox(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);
    qsizetype textLength() const { return document()->characterCount() - 1; }
    bool isEmpty() const { return textLength() == 0; }
    // Appends at the end. The caret stays where it was unless moveCaretToEnd asks for it to
    // follow the new text into view.
    void appendText(const QString& text, bool moveCaretToEnd = false);
    // Puts the caret at a character position and scrolls it into view.
    void setSelStart(qsizetype position);
    qsizetype selStart() const { return textCursor().position(); }

    static QString toDocument(const QString& text);
    static QString fromDocument(const QString& documentText);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;
};
