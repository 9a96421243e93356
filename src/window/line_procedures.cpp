#include <QCheckBox>

#include "window/message_box.h"
#include "window/mscommtest.h"
#include "serial/mscomm.h"

namespace parvolo {

// With the port closed the box alone holds the RTS choice; opening the port applies it.
void MSCommTest::Check5_Click() {
    try {
        if (!MSComm->PortOpen()) return;
        MSComm->setRTSEnable(Check5->checkState() == Qt::Checked);
    } catch (...) {
        showMessage(QStringLiteral("RTS err"), msg_box::Exclamation + msg_box::OkOnly,
                    msg_box::kAppTitle);
    }
}

void MSCommTest::Check6_Click() {
    try {
        MSComm->setDTREnable(Check6->checkState() == Qt::Checked);
    } catch (...) {
        showMessage(QStringLiteral("DTR err"), msg_box::Exclamation + msg_box::OkOnly,
                    msg_box::kAppTitle);
    }
}

}  // namespace parvolo
