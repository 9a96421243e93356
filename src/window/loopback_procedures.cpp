#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "engine/checked_int.h"
#include "engine/code_page.h"
#include "serial/mscomm.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"

namespace parvolo {

void MSCommTest::Check4_Click() {
    const bool on = Check4->checkState() != Qt::Unchecked;
    for (QWidget* w :
         std::initializer_list<QWidget*>{Text5, Text3, Text4, Text1, Text6, Text7, Label11, Label9,
                                         Label10, Label1, Label12, Label13})
        w->setEnabled(on);
}

// Reads what has arrived and feeds it to the loopback check, which compares it with the
// expected data when the check is on. The part of the read that the check took in is shown
// up to the display limit. The counters are shown once at the end of the step: nothing can
// look at them in between, as the step does not yield.
void MSCommTest::receiveStep() {
    recvData = MSComm->Input();
    recvBytes = recvData;
    expectedData = txtOutData->text();
    if (ticked(Check7)) {
        expectedData = m_sendRun.countUpData();
        txtOutData->setText(expectedData);
    }
    const bool loopback = ticked(Check4);
    const qint64 limit = displayLimit();
    const qint64 shownBefore = Text9->textLength();
    const LoopbackCheck::FeedResult fed = m_loopback.feed(recvBytes, expectedData, loopback);

    const LoopbackCounters& counters = m_loopback.counters();
    if (loopback) showCounter(Text5, counters.receivedBytes);
    if (fed.matchedChanged) showCounter(Text3, counters.matchedBytes);
    if (fed.mismatchesChanged) showCounter(Text4, counters.mismatches);
    if (fed.firstMismatchChanged) showCounter(Text7, counters.firstMismatch);
    // Bytes are shown in order from the first, so the shown ones are a prefix of what was
    // taken in; the caret follows the data only while the display is below its limit.
    const qsizetype displayed =
        qsizetype(std::clamp<qint64>(limit - shownBefore, 0, qint64(fed.taken)));
    const bool follow = shownBefore + displayed < limit;
    if (displayed > 0)
        Text9->appendText(code_page::decodeBytes(recvBytes.constData(), displayed), follow);
    else if (follow)
        Text9->setSelStart(Text9->textLength());
    if (fed.overflowed) throw ArithmeticOverflow();
    if (fed.blockComplete) {
        Timer1->stop();
        timedOut = False16;
    }

    if (!loopback) return;
    showCounter(Text1, counters.blocks);
    if (!(m_loopback.blockDone() && sendActive)) return;
    if (sendDue(counters.blocks)) {
        MSComm->setInBufferCount(0);
        m_loopback.clearBlockDone();
        if (!txtOutData->isEmpty())
            SendData();
        else
            cmdOut_Click();
    } else {
        cmdOut_Click();
    }
}

bool MSCommTest::sendDue(qint32 countSoFar) const {
    return SendRun::isDue(ticked(Check3), sendCountLimit(), countSoFar);
}

void MSCommTest::continueOrStop(qint32 countSoFar) {
    if (!txtOutData->isEmpty() && sendDue(countSoFar))
        SendData();
    else
        cmdOut_Click();
}

bool MSCommTest::sendOrFinishUnchecked() {
    const qint32 before = m_sendRun.transmissions();
    if (txtOutData->isEmpty() || sendDue(before)) {
        continueOrStop(before);
        return m_sendRun.transmissions() != before || !sendActive;
    }
    // The count is reached. Stopping now would empty the transmit buffer, and on a real line
    // most of the last transmission is still in it; the send event says when it has left.
    if (!sendEventFlag && MSComm->OutBufferCount() > 0) return false;
    cmdOut_Click();
    return true;
}

// Returns whether the step changed anything, so that an idle loop can wait for events.
bool MSCommTest::passEndStep() {
    const bool loopback = ticked(Check4);
    if (!loopback && sendActive) return sendOrFinishUnchecked();
    if (loopback && timedOut) {
        const qint32 firstMismatch = m_loopback.counters().firstMismatch;
        m_loopback.abandonBlock();
        showCounter(Text4, m_loopback.counters().mismatches);
        if (m_loopback.counters().firstMismatch != firstMismatch)
            showCounter(Text7, m_loopback.counters().firstMismatch);
        timedOut = False16;
        if (sendActive) continueOrStop(m_sendRun.transmissions());
        return true;
    }
    return false;
}

}  // namespace parvolo
