#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "window/mscommtest.h"
#include "serial/mscomm.h"

namespace parvolo {

// The window's closed state: open button "通信開始", send button "送信" and disabled, no send
// run, Timer1 off, the choices enabled and every indicator neutral.
inline void expectClosedState(MSCommTest& w) {
    QCOMPARE(w.cmdOpen->text(), QStringLiteral("通信開始"));
    QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
    QVERIFY(!w.cmdOut->isEnabled());
    QVERIFY(!w.Timer1->isActive());
    QCOMPARE(w.sendActive, False16);
    QVERIFY(!w.MSComm->PortOpen());
    for (auto* c : {w.Combo1, w.Combo2, w.Combo3, w.Combo4, w.Combo5, w.Combo6})
        QVERIFY(c->isEnabled());
    for (auto* led : {w.CD_LED, w.CS_LED, w.DR_LED, w.RI_LED})
        QCOMPARE(MSCommTest::backColor(led), MSCommTest::windowBackgroundColor());
    QCOMPARE(MSCommTest::foreColor(w.RI_LED), MSCommTest::windowTextColor());
}

}  // namespace parvolo
