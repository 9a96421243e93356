#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "app/mscommtest.h"
#include "app/multi_line_text_box.h"
#include "port/code_page.h"
#include "port/mscomm.h"

namespace {

bool ticked(const QCheckBox* box) {
    return box->checkState() == Qt::Checked;
}

// The number a counter box shows. Counter boxes are only written with numbers.
qint64 shownNumber(const QString& text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok) throw AppError(13, QStringLiteral("Type mismatch"));
    return value;
}

}  // namespace

void MSCommTest::Check4_Click() {
    const bool on = Check4->checkState() != Qt::Unchecked;
    for (QWidget* w :
         std::initializer_list<QWidget*>{Text5, Text3, Text4, Text1, Text6, Text7, Label11, Label9,
                                         Label10, Label1, Label12, Label13})
        w->setEnabled(on);
}

// Reads what has arrived, shows it up to the display limit and, with the loopback check on,
// compares it with the expected data byte by byte. The counters are shown once at the end of
// the step: nothing can look at them in between, as the step does not yield.
void MSCommTest::receiveStep() {
    recvData = MSComm->Input();
    recvBytes = recvData;
    const qsizetype n = recvBytes.size();
    expectedData = txtOutData->text();
    if (ticked(Check7)) {
        expectedData = countUpData;
        txtOutData->setText(countUpData);
    }
    sendLength = checkedNarrow<qint16>(expectedData.size());
    recvTotalBytes = checkedAdd<qint32>(recvTotalBytes, checkedNarrow<qint32>(n));
    const bool loopback = ticked(Check4);
    if (loopback) showCounter(Text5, recvTotalBytes);

    const qint64 limit = displayLimit();
    const qint64 shownBefore = Text9->textLength();
    qint64 firstMismatchShown = shownNumber(counterText(Text7));
    bool matchedChanged = false, mismatchChanged = false, firstMismatchChanged = false;
    qsizetype displayed = 0;  // bytes of this read that go to the display
    auto flushDisplay = [&] {
        if (matchedChanged) showCounter(Text3, matchedBytes);
        if (mismatchChanged) showCounter(Text4, mismatchCount);
        if (firstMismatchChanged) showCounter(Text7, qint32(firstMismatchShown));
        // The caret follows the data only while the display is below its limit.
        const bool follow = shownBefore + displayed < limit;
        if (displayed > 0)
            Text9->appendText(CodePage::decodeBytes(recvBytes.constData(), displayed), follow);
        else if (follow)
            Text9->setSelStart(Text9->textLength());
    };

    try {
        for (qsizetype i = 0; i < n; ++i) {
            const unsigned char b = static_cast<unsigned char>(recvBytes.at(i));
            // Bytes are shown in order from the first, so the shown ones are a prefix.
            if (shownBefore + displayed < limit && displayed == i) ++displayed;
            if (!loopback) continue;
            checkedIncrement(comparePosition);
            if (sendLength != 0) {
                const bool inRange = compareIndex >= 1 && compareIndex <= expectedData.size();
                if (inRange && CodePage::byteToChar(b) == expectedData.at(compareIndex - 1)) {
                    checkedIncrement(matchedBytes);
                    matchedChanged = true;
                } else {
                    checkedIncrement(mismatchCount);
                    mismatchChanged = true;
                    if (firstMismatchShown == 0) {
                        firstMismatchShown = comparePosition;
                        firstMismatchChanged = true;
                    }
                }
                if (compareIndex < sendLength)
                    compareIndex = qint16(compareIndex + 1);
                else if (compareIndex == sendLength)
                    compareIndex = 1;
            }
            checkedIncrement(blockRecvBytes);
            if (blockRecvBytes >= sendLength) {
                checkedIncrement(blockCount);
                blockRecvBytes = 0;
                blockDone = True16;
                Timer1->stop();
                timedOut = False16;
                compareIndex = 1;
                break;  // the rest of this read is dropped
            }
        }
    } catch (...) {
        flushDisplay();
        throw;
    }
    flushDisplay();

    if (!loopback) return;
    showCounter(Text1, blockCount);
    if (!(blockDone && sendActive)) return;
    if (sendDue(blockCount)) {
        MSComm->setInBufferCount(0);
        blockDone = False16;
        if (!txtOutData->isEmpty())
            SendData();
        else
            cmdOut_Click();
    } else {
        cmdOut_Click();
    }
}

bool MSCommTest::sendDue(qint32 countSoFar) const {
    return ticked(Check3) || sendCountLimit() > countSoFar;
}

void MSCommTest::continueOrStop(qint32 countSoFar) {
    if (!txtOutData->isEmpty() && sendDue(countSoFar))
        SendData();
    else
        cmdOut_Click();
}

// Returns whether the step changed anything, so that an idle loop can wait for events.
bool MSCommTest::passEndStep() {
    const bool loopback = ticked(Check4);
    if (!loopback && sendActive) {
        const qint32 before = sendCount;
        continueOrStop(sendCount);
        return sendCount != before || !sendActive;
    }
    if (loopback && timedOut) {
        compareIndex = 1;
        blockRecvBytes = 0;
        checkedIncrement(mismatchCount);
        showCounter(Text4, mismatchCount);
        if (shownNumber(counterText(Text7)) == 0) showCounter(Text7, comparePosition);
        timedOut = False16;
        if (sendActive) continueOrStop(sendCount);
        return true;
    }
    return false;
}
