#include <QLineEdit>

#include "app/message_box.h"
#include "app/mscommtest.h"
#include "port/mscomm.h"

// Flags, indicator colours and line errors are handled here; received data only in the loop.
void MSCommTest::MSComm_OnComm() {
    if (commAborted) return;
    try {
        const qint16 code = MSComm->CommEvent();
        switch (code) {
            case CommEvents::Send:
                sendEventFlag = True16;
                break;
            case CommEvents::Receive:
                recvEventFlag = 1;
                break;
            case CommEvents::Cts:
                showLineState(CS_LED, MSComm->CTSHolding());
                break;
            case CommEvents::Dsr:
                showLineState(DR_LED, MSComm->DSRHolding());
                break;
            case CommEvents::Cd:
                showLineState(CD_LED, MSComm->CDHolding());
                break;
            case CommEvents::Ring: {
                const QColor current = foreColor(RI_LED);
                if (current == windowTextColor())
                    setForeColor(RI_LED, ringColor());
                else if (current == ringColor())
                    setForeColor(RI_LED, windowTextColor());
                break;
            }
            case CommEvents::Eof:
                break;
            case CommEvents::Break:
            case CommEvents::Frame:
            case CommEvents::Overrun:
            case CommEvents::RxParity:
                countLineError(code);
                break;
            default:
                fatalError(code);
                break;
        }
        if (commAborted) stopSequence();
    } catch (...) {
        showMessage(QStringLiteral("COM error"), MsgBox::OkOnly, MsgBox::kAppTitle);
    }
}
