#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "engine/code_page.h"
#include "serial/mscomm.h"
#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"
#include "window/port_messages.h"

namespace parvolo {

namespace {

QString fatalMessage(LineEvent event) {
    switch (event) {
        case LineEvent::ReceiveOverflow:
            return QStringLiteral("受信バッファオーバー");
        case LineEvent::TransmitFull:
            return QStringLiteral("送信バッファフル");
        case LineEvent::DeviceLost:
            return QStringLiteral("DCB取得エラー");
        default:
            return QStringLiteral("未定義エラー発生");
    }
}

}  // namespace

// A line error is counted and the data it damaged is thrown away; communication goes on.
void MSCommTest::countLineError(LineEvent event) {
    m_loopback.countLineError();
    showCounter(Text6, m_loopback.counters().lineErrors);
    if (MSComm->PortOpen() && MSComm->InBufferCount() != 0) {
        recvData = MSComm->Input();
        if (event != LineEvent::ParityError) MSComm->setInBufferCount(0);
    }
}

void MSCommTest::fatalError(LineEvent event) {
    // Set before the box is shown: notifications dispatched while it waits are dropped.
    commAborted = True16;
    showMessage(fatalMessage(event) + QStringLiteral("\r\n") + QStringLiteral("通信を中断します。"),
                msg_box::Exclamation + msg_box::OkOnly, port_messages::kTitle);
}

void MSCommTest::stopSequence() {
    recvData = MSComm->Input();
    if (!recvData.isEmpty()) Text9->appendText(code_page::decodeBytes(recvData));
    if (MSComm->PortOpen()) MSComm->setPortOpen(false);
    showPortOpen(false);
    sendActive = False16;
    Timer1->stop();
    cmdOut->setText(QStringLiteral("送信"));
    cmdOut->setEnabled(false);
    enableChoices(true);
    neutralIndicators();
}

}  // namespace parvolo
