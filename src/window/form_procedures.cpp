#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "window/message_box.h"
#include "window/mscommtest.h"
#include "window/port_config.h"
#include "window/multi_line_text_box.h"
#include "serial/mscomm.h"
#include "serial/port_names.h"

namespace parvolo {

namespace {

void fill(QComboBox* combo, const QStringList& entries, const QString& selected) {
    combo->addItems(entries);
    combo->setCurrentText(selected);
}

}  // namespace

void MSCommTest::Form_Load() {
    Text9->setText(QString());
    fill(Combo1, port_config::baudCaptions(), QString::number(9600));
    for (int port = 1; port <= kComPortCount; ++port)
        Combo2->addItem(QStringLiteral("COM%1").arg(port));
    Combo2->setCurrentText(QStringLiteral("COM1"));
    fill(Combo3, port_config::parityCaptions(), port_config::parityCaptions().first());
    fill(Combo4, {QStringLiteral("7"), QStringLiteral("8")}, QStringLiteral("8"));
    fill(Combo5, {QStringLiteral("1"), QStringLiteral("2")}, QStringLiteral("1"));
    fill(Combo6, port_config::flowCaptions(), port_config::flowCaptions().first());
    txtOutData->setText(send_patterns::kDefaultText);
    commAborted = False16;
    cmdOut->setText(QStringLiteral("送信"));
    sendActive = False16;
    cmdOut->setEnabled(false);

    MSComm->setCommPort(1);
    MSComm->setSettings(QStringLiteral("115200,n,8,1"));
    MSComm->setHandshaking(0);
    MSComm->setRTSEnable(true);
    MSComm->setRThreshold(1);
    MSComm->setSThreshold(1);
    MSComm->setInputMode(1);
    MSComm->setInBufferSize(4096);
    MSComm->setOutBufferSize(4096);

    for (QLineEdit* counter : {Text1, Text3, Text4, Text5, Text6, Text7})
        counter->setText(QStringLiteral("0"));
    Text2->setText(QStringLiteral("1"));
    Text8->setText(QStringLiteral("256"));
    Check5->setChecked(true);  // runs Check5_Click
    Check6->setChecked(true);  // runs Check6_Click
    Timer1->stop();
    m_sendRun.resetTimeout();
    Timer1->setInterval(m_sendRun.timeoutMs());
    timedOut = False16;
    Check4_Click();
}

void MSCommTest::Form_QueryUnload(Bool16& cancel, int /*unloadMode*/) {
    if (showMessage(QStringLiteral("終了しますか？"), msg_box::Question + msg_box::YesNo,
                    QString()) == msg_box::No)
        cancel = True16;
}

void MSCommTest::Form_Unload(Bool16& /*cancel*/) {
    if (MSComm->PortOpen()) MSComm->setPortOpen(false);
    m_endProgram();
}

void MSCommTest::unloadWithoutAsking() {
    Bool16 cancel = False16;
    try {
        Form_Unload(cancel);
    } catch (...) {
        // The program ends all the same; the kernel closes what is left.
        m_endProgram();
    }
}

}  // namespace parvolo
