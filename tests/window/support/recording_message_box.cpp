#include "support/recording_message_box.h"

#include <QCoreApplication>

namespace parvolo {

int RecordingMessageBox::show(QWidget*, const QString& text, int style, const QString& title) {
    const Shown box{text, style, title.isEmpty() ? msg_box::kAppTitle : title};
    shown.append(box);
    ++openNow;
    mostOpenAtOnce = std::max(mostOpenAtOnce, openNow);
    if (processEventsWhileOpen) QCoreApplication::processEvents();
    if (whileOpen) whileOpen(box);
    --openNow;
    if ((style & 0x0F) == msg_box::YesNo)
        return answers.isEmpty() ? msg_box::Yes : answers.takeFirst();
    return msg_box::Ok;
}

QStringList RecordingMessageBox::texts() const {
    QStringList list;
    for (const Shown& box : shown) list << box.text;
    return list;
}

}  // namespace parvolo
