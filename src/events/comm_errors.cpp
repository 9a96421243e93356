#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/message_box.h"
#include "app/mscommtest.h"
#include "app/multi_line_text_box.h"
#include "port/code_page.h"
#include "port/mscomm.h"
#include "port/port_messages.h"

namespace {

QString fatalMessage(qint16 code) {
    switch (code) {
        case CommEvents::RxOver:
            return QStringLiteral("受信バッファオーバー");
        case CommEvents::TxFull:
            return QStringLiteral("送信バッファフル");
        case CommEvents::Dcb:
            return QStringLiteral("DCB取得エラー");
        default:
            return QStringLiteral("未定義エラー発生");
    }
}

}  // namespace

// A line error is counted and the data it damaged is thrown away; communication goes on.
void MSCommTest::countLineError(qint16 code) {
    checkedIncrement(errorCount);
    showCounter(Text6, errorCount);
    if (MSComm->PortOpen() && MSComm->InBufferCount() != 0) {
        recvData = MSComm->Input();
        if (code != CommEvents::RxParity) MSComm->setInBufferCount(0);
    }
}

void MSCommTest::fatalError(qint16 code) {
    // Set before the box is shown: notifications dispatched while it waits are dropped.
    commAborted = True16;
    showMessage(fatalMessage(code) + QStringLiteral("\r\n") + QStringLiteral("通信を中断します。"),
                MsgBox::Exclamation + MsgBox::OkOnly, PortMessages::kTitle);
}

void MSCommTest::stopSequence() {
    recvData = MSComm->Input();
    if (!recvData.isEmpty()) Text9->appendText(CodePage::decodeBytes(recvData));
    if (MSComm->PortOpen()) MSComm->setPortOpen(false);
    cmdOpen->setText(QStringLiteral("通信開始"));
    sendActive = False16;
    Timer1->stop();
    cmdOut->setText(QStringLiteral("送信"));
    cmdOut->setEnabled(false);
    enableChoices(true);
    neutralIndicators();
}
