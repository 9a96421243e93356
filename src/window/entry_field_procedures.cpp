#include <QLineEdit>

#include "window/mscommtest.h"
#include "window/multi_line_text_box.h"

namespace parvolo {

void MSCommTest::Text2_KeyPress(qint16& keyAscii) {
    keyAscii = filterNumericKey(keyAscii);
}
void MSCommTest::Text8_KeyPress(qint16& keyAscii) {
    keyAscii = filterNumericKey(keyAscii);
}

void MSCommTest::Text2_LostFocus() {
    m_text2Field->checkOnLeave();
}
void MSCommTest::Text8_LostFocus() {
    m_text8Field->checkOnLeave();
}

void MSCommTest::Command1_Click() {
    txtOutData->setText(QString());
}
void MSCommTest::Command2_Click() {
    Text9->setText(QString());
}

void MSCommTest::Combo1_Change() {}

}  // namespace parvolo
