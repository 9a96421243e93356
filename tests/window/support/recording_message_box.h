#pragma once

#include <QList>
#include <QString>
#include <functional>

#include "window/message_box.h"

namespace parvolo {

// A message box for tests: records every box, answers as scripted (OK, or the next scripted
// Yes/No), and can run code while it is "open", as a real modal box dispatches events.
class RecordingMessageBox : public MessageBoxService {
public:
    struct Shown {
        QString text;
        int style;
        QString title;
    };

    int show(QWidget* parent, const QString& text, int style, const QString& title) override;

    QList<Shown> shown;
    QList<int> answers;                           // consumed for Yes/No boxes; default Yes
    std::function<void(const Shown&)> whileOpen;  // runs while the box is open
    bool processEventsWhileOpen = false;
    int openNow = 0;
    int mostOpenAtOnce = 0;

    QStringList texts() const;
    void clear() { shown.clear(); }
};

}  // namespace parvolo
