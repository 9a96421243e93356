#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/message_box.h"
#include "app/mscommtest.h"
#include "app/multi_line_text_box.h"
#include "port/mscomm.h"
#include "port/port_messages.h"

namespace {

const QString kOpenCaption = QStringLiteral("通信開始");
const QString kCloseCaption = QStringLiteral("通信停止");

// How long an idle pass may wait for the next event. Every state the loop tests changes
// through an event, so this bound is only a safety net.
constexpr int kIdleWaitMs = 5;

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

void MSCommTest::cmdOpen_Click() {
    if (cmdOpen->text() == kOpenCaption) {
        try {
            configurePort();
        } catch (const AppError& e) {
            // A setting the port refuses: reported like a failed open; the port stays closed.
            showMessage(PortMessages::errorPathMessage(e.description(), e.number()),
                        MsgBox::Exclamation + MsgBox::OkOnly, PortMessages::kTitle);
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
        } else if (cmdOpen->text() == kOpenCaption) {
            showMessage(PortMessages::tableMessage(errorNumber),
                        MsgBox::Exclamation + MsgBox::OkOnly, PortMessages::kTitle);
        } else {
            closeSequence();
        }
    } catch (const AppError& e) {
        errorPath(e.description(), e.number());
    } catch (const std::exception& e) {
        errorPath(QString::fromLocal8Bit(e.what()), 0);
    }
}

void MSCommTest::openSequence() {
    cmdOpen->setText(kCloseCaption);
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
    commTimeouts = COMMTIMEOUTS{};
    SetCommTimeouts(MSComm->CommID(), &commTimeouts);
    sendLength = checkedNarrow<qint16>(txtOutData->textLength());
    compareIndex = 1;
    blockRecvBytes = matchedBytes = mismatchCount = blockCount = recvTotalBytes = comparePosition =
        0;
    blockDone = False16;
    errorCount = 0;
    showCounter(Text6, errorCount);
}

void MSCommTest::closeSequence() {
    cmdOpen->setText(kOpenCaption);
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
        cmdOpen->setText(kOpenCaption);
    }
    cmdOut->setEnabled(false);
    enableChoices(true);
    neutralIndicators();
    Timer1->stop();
    if (sendActive) cmdOut_Click();
    showMessage(PortMessages::errorPathMessage(description, number),
                MsgBox::Exclamation + MsgBox::OkOnly, PortMessages::kTitle);
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
// waits for the next event instead of spinning: nothing the loop tests can change without one.
void MSCommTest::yieldToEvents(bool lastPassIdle) {
    if (!lastPassIdle) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    m_idleWake->start(kIdleWaitMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    m_idleWake->stop();
}

void MSCommTest::enableChoices(bool enabled) {
    for (QComboBox* combo : {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6})
        combo->setEnabled(enabled);
}

void MSCommTest::showLineState(QLineEdit* box, bool on) {
    setBackColor(box, on ? lineOnColor() : windowBackgroundColor());
}

void MSCommTest::neutralIndicators() {
    for (QLineEdit* box : {CD_LED, CS_LED, DR_LED, RI_LED})
        setBackColor(box, windowBackgroundColor());
    setForeColor(RI_LED, windowTextColor());
}
