#pragma once

// The window's modal message box: its styles and results, the platform's box and a service
// that tests replace.

#include <QString>

class QWidget;

namespace parvolo {

// Styles and results of the modal message box, as the procedures pass them.
namespace msg_box {
enum Style : int { OkOnly = 0, YesNo = 4, Question = 32, Exclamation = 48 };
enum Result : int { Ok = 1, Yes = 6, No = 7 };
inline const QString kAppTitle = QStringLiteral("Parvolo");
}  // namespace msg_box

// The platform's modal message box. It returns only when the operator has answered; while it
// waits, the event queue keeps running. An empty title shows the application's name.
class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    virtual int show(QWidget* parent, const QString& text, int style, const QString& title) = 0;
};

// The product's message box, a QMessageBox run modally.
class QtMessageBox : public MessageBoxService {
public:
    int show(QWidget* parent, const QString& text, int style, const QString& title) override;
};

}  // namespace parvolo
