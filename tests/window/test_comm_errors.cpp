#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "window/multi_line_text_box.h"
#include "support/window_checks.h"
#include "support/window_harness.h"

using namespace parvolo;

namespace {
using Step = WindowHarness::Step;
const QString kStop = QStringLiteral("\r\n通信を中断します。");

// Puts bytes into the control's receive buffer without letting the loop read them first: the
// wait runs nested inside one step, so the loop makes no pass in between.
void bytesWaiting(WindowHarness& h, const QByteArray& bytes) {
    h.fake->receive(bytes);
    QTRY_COMPARE(int(h.w().MSComm->InBufferCount()), int(bytes.size()));
}
}  // namespace

class CommErrorsTest : public QObject {
    Q_OBJECT
private slots:
    void lineErrorsAreCounted_data();
    void lineErrorsAreCounted();
    void lineErrorDiscardsWaitingBytes_data();
    void lineErrorDiscardsWaitingBytes();
    void receiveOverflowDuringContinuousSend();
    void fatalMessages_data();
    void fatalMessages();
    void waitingBytesAppendedPastFullDisplay();
    void failureInsideTheHandler();
    void hangUpReportsOnceAndCanReopen();
    void hangUpWithQueuedBytesCountsThemAll();
    void continuousSendWithCheckOffKeepsEventsFew();
};

void CommErrorsTest::lineErrorsAreCounted_data() {
    QTest::addColumn<int>("code");
    QTest::newRow("break") << 1001;
    QTest::newRow("framing") << 1004;
    QTest::newRow("overrun") << 1006;
    QTest::newRow("parity") << 1009;
}

void CommErrorsTest::lineErrorsAreCounted() {
    QFETCH(int, code);
    WindowHarness h;
    QStringList seen;
    std::vector<Step> steps;
    for (int i = 1; i <= 3; ++i) {
        steps.push_back(WindowHarness::act([&h, code] { h.fake->raiseLineEvent(code); }));
        steps.push_back([&h, &seen, i] {
            if (h.w().loopbackCheck().counters().lineErrors != i) return false;
            seen << h.w().Text6->text();
            return true;
        });
    }
    steps.push_back(WindowHarness::act([&] { QVERIFY(h.w().MSComm->PortOpen()); }));
    h.runOpen(steps);
    QCOMPARE(seen, QStringList({"1", "2", "3"}));
    QVERIFY(h.messages.shown.isEmpty());
}

void CommErrorsTest::lineErrorDiscardsWaitingBytes_data() {
    lineErrorsAreCounted_data();
}

void CommErrorsTest::lineErrorDiscardsWaitingBytes() {
    QFETCH(int, code);
    WindowHarness h;
    h.w().Check4->setChecked(true);
    h.runOpen({WindowHarness::act([&] {
                   bytesWaiting(h, "damaged");
                   emit h.fake->lineEvent(LineEvent(code));
                   QTRY_COMPARE(h.w().loopbackCheck().counters().lineErrors, 1);
                   QCOMPARE(h.w().MSComm->InBufferCount(), qint16(0));
               }),
               [] {
                   WindowHarness::settle(20);
                   return true;
               }});
    QCOMPARE(h.w().Text9->text(), QString());
    QCOMPARE(h.w().loopbackCheck().counters().receivedBytes, 0);
    QCOMPARE(h.w().Text6->text(), QStringLiteral("1"));
    QVERIFY(h.messages.shown.isEmpty());
}

void CommErrorsTest::receiveOverflowDuringContinuousSend() {
    WindowHarness h;
    MSCommTest& w = h.w();
    h.device.lines.cts = h.device.lines.dsr = h.device.lines.dcd = true;
    w.Check3->setChecked(true);
    h.runOpen({WindowHarness::act([&] {
                   QTest::mouseClick(w.cmdOut, Qt::LeftButton);
                   QCOMPARE(MSCommTest::backColor(w.CS_LED), MSCommTest::lineOnColor());
                   h.fake->ring();
                   h.fake->raiseLineEvent(1008);  // the driver's receive buffer overflowed
               }),
               [&] { return !w.MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("受信バッファオーバー") + kStop});
    QCOMPARE(h.messages.shown[0].title, QStringLiteral("通信エラー"));
    QCOMPARE(h.messages.shown[0].style, msg_box::Exclamation + msg_box::OkOnly);
    QCOMPARE(w.commAborted, True16);
    expectClosedState(w);
}

void CommErrorsTest::fatalMessages_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("receive overflow") << 1008 << "受信バッファオーバー";
    QTest::newRow("transmit buffer full") << 1010 << "送信バッファフル";
    QTest::newRow("control block") << 1011 << "DCB取得エラー";
    QTest::newRow("undefined 1002") << 1002 << "未定義エラー発生";
    QTest::newRow("undefined 0") << 0 << "未定義エラー発生";
}

void CommErrorsTest::fatalMessages() {
    QFETCH(int, code);
    QFETCH(QString, message);
    WindowHarness h;
    bool abortedWhileShown = false;
    h.messages.whileOpen = [&](const RecordingMessageBox::Shown&) {
        abortedWhileShown = h.w().commAborted;
    };
    h.runOpen({WindowHarness::act([&] { h.fake->raiseLineEvent(code); }),
               [&] { return !h.w().MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(), QStringList{message + kStop});
    QVERIFY(abortedWhileShown);
    expectClosedState(h.w());
}

void CommErrorsTest::waitingBytesAppendedPastFullDisplay() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text8->setText(QStringLiteral("3"));
    w.Text9->setText(QStringLiteral("abc"));
    h.runOpen({WindowHarness::act([&] {
                   bytesWaiting(h, "XYZ");
                   emit h.fake->lineEvent(LineEvent::TransmitFull);
                   QTRY_VERIFY(!w.MSComm->PortOpen());
               }),
               [&] { return !w.MSComm->PortOpen(); }});
    QCOMPARE(w.Text9->text(), QStringLiteral("abcXYZ"));
    QCOMPARE(w.recvData, QByteArray("XYZ"));
}

void CommErrorsTest::failureInsideTheHandler() {
    WindowHarness h;
    h.runOpen({WindowHarness::act([&] {
                   LoopbackCounters full;
                   full.lineErrors = std::numeric_limits<qint32>::max();
                   h.w().loopbackCheck().presetCounters(full);
                   h.fake->raiseLineEvent(1004);
               }),
               [&] { return !h.messages.shown.isEmpty(); },
               WindowHarness::act([&] { QVERIFY(h.w().MSComm->PortOpen()); })});
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("COM error")});
    QCOMPARE(h.messages.shown[0].style, msg_box::OkOnly);
    QCOMPARE(h.messages.shown[0].title, QStringLiteral("Parvolo"));
    QCOMPARE(h.w().commAborted, False16);
}

void CommErrorsTest::hangUpReportsOnceAndCanReopen() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Check3->setChecked(true);
    w.Check4->setChecked(true);
    h.device.echo = true;
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.loopbackCheck().counters().blocks > 5; }, WindowHarness::act([&] {
                   h.fake->hangUp();
                   h.fake->hangUp();
               }),
               [&] { return !w.MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("DCB取得エラー") + kStop});
    expectClosedState(w);
    h.messages.clear();
    h.whileOpen([&] { QVERIFY(w.MSComm->PortOpen()); });
    QVERIFY(h.messages.shown.isEmpty());
    QCOMPARE(h.device.opens, 2);
}

// More than the receive buffer holds is still in the kernel when the far end goes away.
void CommErrorsTest::hangUpWithQueuedBytesCountsThemAll() {
    const int queued = 10000;
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    const QByteArray echo = QByteArray("0123456789ABCDEF").repeated(queued / 16 + 1).left(queued);
    h.runOpen({WindowHarness::act([&] {
                   h.device.kernelInput = echo;
                   h.fake->hangUp();
               }),
               [&] { return !w.MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("DCB取得エラー") + kStop});
    QCOMPARE(w.loopbackCheck().counters().receivedBytes, queued);
    QCOMPARE(w.Text5->text(), QString::number(queued));
    expectClosedState(w);
}

// Each pass of a send with the check off posts a Send and a Receive; the window takes one event
// per pass. However many passes, only a few may wait, so a hang-up is heard at once; and a
// stalled far end stops the run instead of overfilling the transmit buffer.
void CommErrorsTest::continuousSendWithCheckOffKeepsEventsFew() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Check3->setChecked(true);
    h.device.echo = true;
    qsizetype mostWaiting = 0;
    QObject::connect(w.MSComm, &MSComm::OnComm, &w,
                     [&] { mostWaiting = std::max(mostWaiting, w.MSComm->pendingEventCount()); });
    qint32 sentAtStall = 0;
    QElapsedTimer stalled;
    h.runOpen(
        {WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
         [&] { return w.sendRun().transmissions() >= 20000; }, WindowHarness::act([&] {
             h.device.holdTransmit = true;
             h.device.driverCapacity = 64;  // four transmissions, then the line is held
             sentAtStall = w.sendRun().transmissions();
             stalled.start();
         }),
         [&] { return stalled.elapsed() >= 300; }, WindowHarness::act([&] {
             QVERIFY(h.messages.shown.isEmpty());
             QVERIFY2(w.sendRun().transmissions() <= sentAtStall + 5,
                      qPrintable(QString::number(w.sendRun().transmissions())));
             h.fake->releaseTransmit();  // the line goes on and so does the run
         }),
         [&] { return w.sendRun().transmissions() > sentAtStall + 100; },
         WindowHarness::act([&] { h.fake->hangUp(); }), [&] { return !w.MSComm->PortOpen(); }},
        20000);
    QVERIFY2(mostWaiting <= 3, qPrintable(QString::number(mostWaiting)));
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("DCB取得エラー") + kStop});
}

QTEST_MAIN(CommErrorsTest)
#include "test_comm_errors.moc"
