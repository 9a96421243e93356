// The real window on the real termios device, over pseudo-terminals with the loopback plug as
// the far end of the line.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/resource.h>

#include "window/multi_line_text_box.h"
#include "engine/code_page.h"
#include "serial/posix_serial_device.h"
#include "support/loopback_plug.h"
#include "support/window_checks.h"
#include "support/window_harness.h"
#include "engine/send_run.h"

using namespace parvolo;

namespace {
struct PtyWindow : WindowHarness {
    PtyWindow() : WindowHarness(std::make_unique<PosixSerialDevice>()) {}
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

class PtyWindowTest : public QObject {
    Q_OBJECT
private slots:
    void opensThroughThePortMap();
    void thousandBlocks();
    void corruptionIsCountedExactly();
    void countUpRecordsOnTheLine();
    void pasteRoundTripOverTheLine();
    void hundredThousandTransmissionsWithCheckOff();
    void farEndGoesAwayDuringALoopbackRun();
};

void PtyWindowTest::opensThroughThePortMap() {
    LoopbackPlug plug;
    START_PLUG(plug);
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Combo1->setCurrentText(QStringLiteral("3000000"));
    h.whileOpen([&] {
        QCOMPARE(w.cmdOpen->text(), QStringLiteral("通信停止"));
        for (auto* c : {w.Combo1, w.Combo2, w.Combo3, w.Combo4, w.Combo5, w.Combo6})
            QVERIFY(!c->isEnabled());
        QVERIFY(w.cmdOut->isEnabled());
        // A pty has no modem lines: every indicator reads off.
        for (auto* led : {w.CD_LED, w.CS_LED, w.DR_LED, w.RI_LED})
            QCOMPARE(MSCommTest::backColor(led), MSCommTest::windowBackgroundColor());
        QVERIFY(w.MSComm->CommID() >= 0);
    });
    expectClosedState(w);
    QVERIFY(h.messages.shown.isEmpty());
}

void PtyWindowTest::thousandBlocks() {
    LoopbackPlug plug;
    START_PLUG(plug);
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    w.Text2->setText(QStringLiteral("1000"));
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }},
              20000);
    QCOMPARE(w.Text1->text(), QStringLiteral("1000"));
    QCOMPARE(w.Text3->text(), QStringLiteral("16000"));
    QCOMPARE(w.Text4->text(), QStringLiteral("0"));
    QCOMPARE(w.Text5->text(), QStringLiteral("16000"));
    QCOMPARE(w.Text7->text(), QStringLiteral("0"));
    QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
    QCOMPARE(w.Text9->textLength(), 256);
    QVERIFY(h.messages.shown.isEmpty());
    QCOMPARE(plug.stop().value(QStringLiteral("received")), 16000);
}

void PtyWindowTest::corruptionIsCountedExactly() {
    LoopbackPlug plug;
    START_PLUG(plug, {QStringLiteral("--corrupt-every"), QStringLiteral("100")});
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    w.Text2->setText(
        QStringLiteral("250"));  // 4000 bytes: bytes 100, 200, ... 4000 come back flipped
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }},
              20000);
    QCOMPARE(w.Text1->text(), QStringLiteral("250"));
    QCOMPARE(w.Text4->text(), QStringLiteral("40"));
    QCOMPARE(w.Text3->text(), QStringLiteral("3960"));
    QCOMPARE(w.Text7->text(), QStringLiteral("100"));
    QCOMPARE(plug.stop().value(QStringLiteral("corrupted")), 40);
}

void PtyWindowTest::countUpRecordsOnTheLine() {
    LoopbackPlug plug;
    START_PLUG(plug);
    PtyWindow h;
    MSCommTest& w = h.w();
    const int n = 60;
    w.Check4->setChecked(true);
    w.Check7->setChecked(true);
    w.Text2->setText(QString::number(n));
    w.Text8->setText(QStringLiteral("32767"));
    w.Text9->setText(QString());
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }},
              20000);
    QString expected;
    for (int i = 0; i < n; ++i) expected += send_patterns::countUpData(i);
    // The echo is exactly what went out on the line.
    QCOMPARE(w.Text9->text(), expected);
    QCOMPARE(w.loopbackCheck().counters().blocks, n);
    QCOMPARE(w.loopbackCheck().counters().mismatches, 0);
    QCOMPARE(plug.stop().value(QStringLiteral("received")), qint64(expected.size()));
}

// Received data copied from the display and pasted as send data goes out byte for byte: the
// far end gets it again and echoes the same text.
void PtyWindowTest::pasteRoundTripOverTheLine() {
    LoopbackPlug plug;
    START_PLUG(plug);
    PtyWindow h;
    MSCommTest& w = h.w();
    const QString sample = QStringLiteral("ab\rcd\nef\r\n") + QString(300, QLatin1Char('x')) +
                           QStringLiteral("ｱｲｳﾟ\r\n");
    const qint64 bytes = code_page::encode(sample).size();
    QCOMPARE(bytes, sample.size());
    w.txtOutData->setText(sample);
    w.Check4->setChecked(true);
    w.Text8->setText(QStringLiteral("32767"));
    w.Text9->setText(QString());
    qint64 received = -1;
    auto send = WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); });
    h.runOpen({send, [&] { return w.sendActive == False16; }, WindowHarness::act([&] {
                   QCOMPARE(w.Text9->text(), sample);
                   QTest::keyClick(w.Text9, Qt::Key_A, Qt::ControlModifier);
                   QTest::keyClick(w.Text9, Qt::Key_C, Qt::ControlModifier);
                   QTest::mouseClick(w.Command1, Qt::LeftButton);
                   QCOMPARE(w.txtOutData->text(), QString());
                   QTest::keyClick(w.txtOutData, Qt::Key_V, Qt::ControlModifier);
                   QCOMPARE(w.txtOutData->text(), sample);
                   QTest::mouseClick(w.Command2, Qt::LeftButton);
               }),
               send, [&] { return w.sendActive == False16; }, WindowHarness::act([&] {
                   received = plug.stop().value(QStringLiteral("received"));
               })},
              10000);
    QCOMPARE(w.Text9->text(), sample);
    QCOMPARE(w.loopbackCheck().counters().blocks, 1);
    QCOMPARE(w.loopbackCheck().counters().mismatches, 0);
    QCOMPARE(received, 2 * bytes);
}

void PtyWindowTest::hundredThousandTransmissionsWithCheckOff() {
    LoopbackPlug plug;
    START_PLUG(plug, {QStringLiteral("--sink")});
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("100000"));
    qint64 received = -1;
    // The far end counts while the port is still open: closing the port flushes what the pty
    // still holds, and that would be the close's loss, not the send run's.
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }, WindowHarness::act([&] {
                   received = plug.stop().value(QStringLiteral("received"));
               })},
              60000);
    QCOMPARE(w.sendRun().transmissions(), 100000);
    // Only what the final stop discarded of the last transmission may be missing.
    QVERIFY2(received <= 1600000 && received >= 1600000 - 16,
             qPrintable(QString::number(received)));
    qInfo("far end counted %lld of 1600000 bytes", received);
}

void PtyWindowTest::farEndGoesAwayDuringALoopbackRun() {
    LoopbackPlug plug;
    START_PLUG(plug);
    PtyWindow h;
    MSCommTest& w = h.w();
    w.Check3->setChecked(true);
    w.Check4->setChecked(true);
    QElapsedTimer sinceAnswer;
    h.messages.whileOpen = [&](const RecordingMessageBox::Shown&) { sinceAnswer.start(); };
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.loopbackCheck().counters().blocks > 100; },
               WindowHarness::act([&] { plug.kill(); }), [&] { return !w.MSComm->PortOpen(); }},
              10000);
    const qint64 msToClosed = sinceAnswer.elapsed();
    QCOMPARE(h.messages.texts(),
             QStringList{QStringLiteral("DCB取得エラー\r\n通信を中断します。")});
    expectClosedState(w);
    QVERIFY2(msToClosed < 1000, qPrintable(QString::number(msToClosed)));
    // Nothing spins afterwards.
    const double cpuBefore = processCpuSeconds();
    QTest::qWait(1000);
    const double cpuShare = processCpuSeconds() - cpuBefore;
    QVERIFY2(cpuShare < 0.1, qPrintable(QString::number(cpuShare)));
    // The plug comes back (on a new pty) and the port opens again.
    LoopbackPlug again;
    START_PLUG(again);
    h.messages.clear();
    w.Text2->setText(QStringLiteral("3"));
    w.Check3->setChecked(false);
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }});
    QVERIFY(h.messages.shown.isEmpty());
    QCOMPARE(w.loopbackCheck().counters().blocks, 3);
}

QTEST_MAIN(PtyWindowTest)
#include "test_pty_window.moc"
