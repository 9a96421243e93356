#pragma once

#include <QPlainTextEdit>

// A multi-line text box whose text is exactly the characters written to it: CR and LF are
// one character each, and the pair CR LF starts one new line, as count-up data expects.
//
// The document holds the text with LF as a paragraph break and CR as an invisible zero-width
// space. Long lines are cut into paragraphs of one visual line each, marked as continuations,
// so that appending to a display of 32,767 characters without line breaks costs the same as
// appending to a short one: the text layout only ever redoes one short paragraph. The marks
// are not part of the text.
class MultiLineTextBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit MultiLineTextBox(QWidget* parent = nullptr);

    QString text() const;
    void setText(const QString& text);
    qsizetype textLength() const;
    bool isEmpty() const { return document()->characterCount() <= 1; }
    // Appends at the end. The caret stays where it was unless moveCaretToEnd asks for it to
    // follow the new text into view.
    void appendText(const QString& text, bool moveCaretToEnd = false);
    // Puts the caret at a character position of the text and scrolls it into view.
    void setSelStart(qsizetype position);
    qsizetype selStart() const;

    static QString toDocument(const QString& text);
    static QString fromDocument(const QString& documentText);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void insertAtEnd(const QString& text);
    int charactersPerLine() const;
    void countContinuations() const;

    mutable qsizetype m_continuations = 0;  // paragraph breaks that are not part of the text
    mutable bool m_countStale = false;
    bool m_ownEdit = false;
};
