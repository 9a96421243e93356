#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/message_box.h"
#include "app/mscommtest.h"
#include "app/multi_line_text_box.h"
#include "port/mscomm.h"
#include "port/port_messages.h"
#include "transmit/send_patterns.h"

namespace {
bool ticked(const QCheckBox* box) {
    return box->checkState() == Qt::Checked;
}
}  // namespace

void MSCommTest::Check1_Click() {
    if (ticked(Check1) && ticked(Check7)) Check7->setChecked(false);
    txtOutData->setText(SendPatterns::kFoxSentence);
}

void MSCommTest::Check7_Click() {
    if (ticked(Check7) && ticked(Check1)) Check1->setChecked(false);
    countUpData = SendPatterns::countUpData(countUpValue);
    txtOutData->setText(countUpData);
}

void MSCommTest::Check3_Click() {
    Text2->setEnabled(!ticked(Check3));
}

void MSCommTest::Timer1_Timer() {
    Timer1->stop();
    timedOut = True16;
}

void MSCommTest::cmdOut_Click() {
    // A send text longer than the 16-bit length cannot start a run: say so and stay idle.
    if (!sendActive && txtOutData->textLength() > std::numeric_limits<qint16>::max()) {
        showMessage(AppError::overflow().messageText(), MsgBox::Exclamation + MsgBox::OkOnly,
                    PortMessages::kTitle);
        return;
    }
    sendActive = sendActive ? False16 : True16;
    m_passDidWork = true;
    if (!sendActive) {
        Timer1->stop();
        MSComm->setOutBufferCount(0);
        cmdOut->setText(QStringLiteral("送信"));
        return;
    }
    cmdOut->setText(QStringLiteral("停止"));
    blockCount = blockRecvBytes = matchedBytes = mismatchCount = recvTotalBytes = comparePosition =
        0;
    errorCount = sendCount = 0;
    compareIndex = 1;
    countUpValue = -1;
    for (QLineEdit* counter : {Text1, Text3, Text4, Text5, Text6, Text7}) showCounter(counter, 0);
    sendLength = checkedNarrow<qint16>(txtOutData->textLength());
    blockDone = False16;
    const qint16 bits = checkedAdd<qint16>(checkedAdd<qint16>(stopBits, dataBits), parityBits);
    timeoutMs = SendPatterns::estimateTimeout(sendLength, baudRate, bits, timeoutMs);
    if (sendCountLimit() != 0) SendData();
}

void MSCommTest::SendData() {
    if (txtOutData->isEmpty()) return;
    // The flag is tested first: after a send event the buffer count needs no look at the driver.
    if (!sendEventFlag && MSComm->OutBufferCount() > 0) return;
    countUpValue = SendPatterns::nextCountUpValue(countUpValue);
    countUpData = SendPatterns::countUpData(countUpValue);
    const QString data = ticked(Check7) ? countUpData : txtOutData->text();
    m_passDidWork = true;
    try {
        sendEventFlag = False16;
        checkedIncrement(sendCount);
        if (ticked(Check4)) Timer1->start(timeoutMs);
        if (MSComm->PortOpen()) MSComm->setOutput(data);
    } catch (...) {
        showMessage(QStringLiteral("Send Error"), MsgBox::OkOnly, MsgBox::kAppTitle);
    }
}
