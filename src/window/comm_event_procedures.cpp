#include <QLineEdit>

#include "serial/line_error_kinds.h"
#include "serial/mscomm.h"
#include "window/message_box.h"
#include "window/mscommtest.h"

namespace parvolo {

// Flags, indicator colours and line errors are handled here; received data only in the loop.
void MSCommTest::MSComm_OnComm() {
    if (commAborted) return;
    try {
        const LineEvent event = LineEvent(MSComm->CommEvent());
        switch (event) {
            case LineEvent::TransmitEmpty:
                sendEventFlag = True16;
                break;
            case LineEvent::DataReceived:
                recvEventFlag = 1;
                break;
            case LineEvent::CtsChanged:
                showLineState(CS_LED, MSComm->CTSHolding());
                break;
            case LineEvent::DsrChanged:
                showLineState(DR_LED, MSComm->DSRHolding());
                break;
            case LineEvent::CarrierChanged:
                showLineState(CD_LED, MSComm->CDHolding());
                break;
            case LineEvent::Ring: {
                const QColor current = foreColor(RI_LED);
                if (current == windowTextColor())
                    setForeColor(RI_LED, ringColor());
                else if (current == ringColor())
                    setForeColor(RI_LED, windowTextColor());
                break;
            }
            case LineEvent::EndOfFile:
                break;
            default: {
                const LineErrorKind* kind = lineErrorKindOf(event);
                if (kind && kind->window == WindowHandling::CountAndDiscard)
                    countLineError(event);
                else
                    fatalError(event);
                break;
            }
        }
        if (commAborted) stopSequence();
    } catch (...) {
        showMessage(QStringLiteral("COM error"), msg_box::OkOnly, msg_box::kAppTitle);
    }
}

}  // namespace parvolo
