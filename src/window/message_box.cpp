#include "window/message_box.h"

#include <QMessageBox>

namespace parvolo {

int QtMessageBox::show(QWidget* parent, const QString& text, int style, const QString& title) {
    QMessageBox box(parent);
    box.setText(text);
    box.setWindowTitle(title.isEmpty() ? MsgBox::kAppTitle : title);
    const int icon = style & 0x70;
    if (icon == MsgBox::Question)
        box.setIcon(QMessageBox::Question);
    else if (icon == MsgBox::Exclamation)
        box.setIcon(QMessageBox::Warning);
    else
        box.setIcon(QMessageBox::NoIcon);
    if ((style & 0x0F) == MsgBox::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? MsgBox::Yes : MsgBox::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return MsgBox::Ok;
}

}  // namespace parvolo
