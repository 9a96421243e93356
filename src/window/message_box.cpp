#include "window/message_box.h"

#include <QMessageBox>

namespace parvolo {

int QtMessageBox::show(QWidget* parent, const QString& text, int style, const QString& title) {
    QMessageBox box(parent);
    box.setText(text);
    box.setWindowTitle(title.isEmpty() ? msg_box::kAppTitle : title);
    const int icon = style & 0x70;
    if (icon == msg_box::Question)
        box.setIcon(QMessageBox::Question);
    else if (icon == msg_box::Exclamation)
        box.setIcon(QMessageBox::Warning);
    else
        box.setIcon(QMessageBox::NoIcon);
    if ((style & 0x0F) == msg_box::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? msg_box::Yes : msg_box::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return msg_box::Ok;
}

}  // namespace parvolo
