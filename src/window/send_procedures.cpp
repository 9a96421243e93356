#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "engine/checked_int.h"
#include "serial/mscomm.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"
#include "window/port_messages.h"
#include "window/window_error.h"

namespace parvolo {

void MSCommTest::Check1_Click() {
    if (ticked(Check1) && ticked(Check7)) Check7->setChecked(false);
    txtOutData->setText(send_patterns::kFoxSentence);
}

void MSCommTest::Check7_Click() {
    if (ticked(Check7) && ticked(Check1)) Check1->setChecked(false);
    txtOutData->setText(m_sendRun.refreshCountUpData());
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
        showMessage(WindowError{error_numbers::Overflow, QStringLiteral("Overflow")}.messageText(),
                    msg_box::Exclamation + msg_box::OkOnly, port_messages::kTitle);
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
    const qint16 sendLength = checkedNarrow<qint16>(txtOutData->textLength());
    m_loopback.resetForRun(sendLength);
    for (QLineEdit* counter : {Text1, Text3, Text4, Text5, Text6, Text7}) showCounter(counter, 0);
    const LineSettings& line = MSComm->lineSettings();
    m_sendRun.start(sendLength, line.baudRate,
                    checkedNarrow<qint16>(line.estimateBitsPerCharacter()));
    if (sendCountLimit() != 0) SendData();
}

void MSCommTest::SendData() {
    if (txtOutData->isEmpty()) return;
    // The flag is tested first: after a send event the buffer count needs no look at the driver.
    if (!sendEventFlag && MSComm->OutBufferCount() > 0) return;
    const QString data = m_sendRun.nextData(txtOutData->text(), ticked(Check7));
    m_passDidWork = true;
    try {
        sendEventFlag = False16;
        m_sendRun.countTransmission();
        if (ticked(Check4)) Timer1->start(m_sendRun.timeoutMs());
        if (MSComm->PortOpen()) MSComm->setOutput(data);
    } catch (...) {
        showMessage(QStringLiteral("Send Error"), msg_box::OkOnly, msg_box::kAppTitle);
    }
}

}  // namespace parvolo
