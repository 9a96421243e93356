#include <QFontMetrics>
#include <QLabel>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "serial/com_numbers.h"
#include "serial/device_monitor.h"
#include "serial/driver_capabilities.h"
#include "serial/mscomm.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"
#include "window/port_config.h"
#include "window/port_messages.h"
#include "window/window_error.h"

namespace parvolo {

namespace {

const QString kOpenCaption = QStringLiteral("通信開始");
const QString kCloseCaption = QStringLiteral("通信停止");

// The error number pending after a port operation. Every failure of the port raises an
// error that reaches a handler, so nothing is ever left pending here.
constexpr int kPendingErrorNumber = 0;

struct LoopDepth {
    int& depth;
    explicit LoopDepth(int& d) : depth(d) { ++depth; }
    ~LoopDepth() { --depth; }
};

// When a loop ends, however it ends, the counters show their final values at once.
struct FlushCountersOnExit {
    MSCommTest& window;
    ~FlushCountersOnExit() { window.flushCounters(); }
};

}  // namespace

void MSCommTest::showPortOpen(bool open) {
    m_portShownOpen = open;
    cmdOpen->setText(open ? kCloseCaption : kOpenCaption);
}

void MSCommTest::Combo2_Click() {
    showPortNotice();
}

// Looking gives numbers to new devices too, so a device plugged in is reachable before it is
// chosen.
void MSCommTest::showPortNotice() {
    const auto port = port_config::portNumber(Combo2->currentText());
    if (!port) return Label15->clear();
    const ComNumbers numbers = refreshComNumbers();
    m_deviceMonitor->watchMapDirectory();
    // Each entry of the open list tells its device as a tooltip; its text stays "COMn".
    for (int i = 0; i < Combo2->count(); ++i)
        if (const auto n = port_config::portNumber(Combo2->itemText(i)))
            Combo2->setItemData(i, port_messages::portNotice(numbers.port(*n)), Qt::ToolTipRole);
    const QString notice = port_messages::portNotice(numbers.port(*port));
    Label15->setText(
        QFontMetrics(Label15->font()).elidedText(notice, Qt::ElideMiddle, Label15->width()));
    Label15->setAccessibleName(notice);
}

void MSCommTest::configurePort() {
    if (const auto port = port_config::portNumber(Combo2->currentText()))
        MSComm->setCommPort(*port);
    else
        showMessage(port_messages::kCannotOpen, msg_box::Exclamation + msg_box::OkOnly,
                    port_messages::kTitle);
    const QString letter = port_config::parityLetter(Combo3->currentText());
    MSComm->setSettings(port_config::settingsText(Combo1->currentText(), letter,
                                                  Combo4->currentText(), Combo5->currentText()));
    if (const auto mode = port_config::handshaking(Combo6->currentText()))
        MSComm->setHandshaking(*mode);
}

void MSCommTest::cmdOpen_Click() {
    if (!m_portShownOpen) {
        try {
            configurePort();
        } catch (...) {
            // A setting the port refuses: reported like a failed open; the port stays closed.
            showMessage(currentWindowError().messageText(), msg_box::Exclamation + msg_box::OkOnly,
                        port_messages::kTitle);
            return;
        }
    }
    try {
        if (MSComm->PortOpen() && MSComm->InBufferCount() != 0) {
            recvData = MSComm->Input();
            MSComm->setInBufferCount(0);
            MSComm->setOutBufferCount(0);
        }
        MSComm->setPortOpen(!MSComm->PortOpen());
        MSComm->setInBufferCount(0);
        MSComm->setOutBufferCount(0);
        if (MSComm->PortOpen() && MSComm->InBufferCount() != 0) {
            recvData = MSComm->Input();
            MSComm->setInBufferCount(0);
            MSComm->setOutBufferCount(0);
        }
        PurgeComm(MSComm->CommID(), PURGE_RXCLEAR);
        quint32 errors = 0;
        COMSTAT status;
        ClearCommError(MSComm->CommID(), &errors, &status);
        const QString errorNumber = QString::number(kPendingErrorNumber);

        if (MSComm->PortOpen()) {
            openSequence();
            communicationLoop();
        } else if (!m_portShownOpen) {
            showMessage(port_messages::tableMessage(errorNumber),
                        msg_box::Exclamation + msg_box::OkOnly, port_messages::kTitle);
        } else {
            closeSequence();
        }
    } catch (...) {
        const WindowError e = currentWindowError();
        errorPath(e.description, e.number);
    }
}

void MSCommTest::openSequence() {
    showPortOpen(true);
    cmdOut->setEnabled(true);
    enableChoices(false);
    Check5_Click();
    Check6_Click();
    // A fatal error handled while an "RTS err"/"DTR err" box waited has closed the port and
    // restored the window; the loop's first test ends this invocation.
    if (!MSComm->PortOpen()) return;
    sendEventFlag = True16;
    commAborted = False16;
    showLineState(CD_LED, MSComm->CDHolding());
    showLineState(CS_LED, MSComm->CTSHolding());
    showLineState(DR_LED, MSComm->DSRHolding());
    setForeColor(RI_LED, windowTextColor());
    greyUnseenLines();
    commTimeouts = COMMTIMEOUTS{};
    SetCommTimeouts(MSComm->CommID(), &commTimeouts);
    m_loopback.resetForOpen(txtOutData->textLength());
    showCounter(Text6, m_loopback.counters().lineErrors);
}

void MSCommTest::closeSequence() {
    showPortOpen(false);
    cmdOut->setText(QStringLiteral("送信"));
    cmdOut->setEnabled(false);
    Timer1->stop();
    if (sendActive) cmdOut_Click();
    MSComm->setInBufferCount(0);
    enableChoices(true);
    neutralIndicators();
}

void MSCommTest::errorPath(const QString& description, int number) {
    if (MSComm->PortOpen()) {
        MSComm->setPortOpen(false);
        showPortOpen(false);
    }
    cmdOut->setEnabled(false);
    enableChoices(true);
    neutralIndicators();
    Timer1->stop();
    if (sendActive) cmdOut_Click();
    showMessage(WindowError{number, description}.messageText(),
                msg_box::Exclamation + msg_box::OkOnly, port_messages::kTitle);
}

void MSCommTest::communicationLoop() {
    LoopDepth depth(m_loopDepth);
    FlushCountersOnExit flush{*this};
    bool lastPassIdle = false;
    while (MSComm->PortOpen() && kPendingErrorNumber == 0) {
        yieldToEvents(lastPassIdle);
        m_passDidWork = false;
        if (MSComm->InBufferCount() != 0 && recvEventFlag == 1) {
            QElapsedTimer clock;
            clock.start();
            receiveStep();
            m_loopStats.receiveNanos += clock.nsecsElapsed();
            ++m_loopStats.receiveSteps;
            m_passDidWork = true;
        }
        if (passEndStep()) m_passDidWork = true;
        recvEventFlag = 0;
        lastPassIdle = !m_passDidWork;
    }
}

// One dispatch of the pending events per pass. After a pass that did nothing, the dispatch
// waits for the next event, for as long as it takes: nothing the loop tests changes without
// one (data, a drained transmit side, line events and hang-up come from the serial control,
// the time-out from Timer1, everything else from the operator), so an idle open port costs
// nothing.
void MSCommTest::yieldToEvents(bool lastPassIdle) {
    QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents;
    if (lastPassIdle) flags |= QEventLoop::WaitForMoreEvents;
    QCoreApplication::processEvents(flags);
}

void MSCommTest::enableChoices(bool enabled) {
    for (QComboBox* combo : {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6})
        combo->setEnabled(enabled);
}

void MSCommTest::showLineState(QLineEdit* box, bool on) {
    setBackColor(box, on ? lineOnColor() : windowBackgroundColor());
}

// A line the driver does not have (CTS on cdc_acm) is greyed: neither on nor off is known.
void MSCommTest::greyUnseenLines() {
    const ModemLines real = realLines(MSComm->device().driverCapabilities());
    CD_LED->setEnabled(real.dcd);
    CS_LED->setEnabled(real.cts);
    DR_LED->setEnabled(real.dsr);
    RI_LED->setEnabled(real.ri);
}

void MSCommTest::neutralIndicators() {
    for (QLineEdit* box : {CD_LED, CS_LED, DR_LED, RI_LED}) {
        setBackColor(box, windowBackgroundColor());
        box->setEnabled(true);
    }
    setForeColor(RI_LED, windowTextColor());
}

}  // namespace parvolo
