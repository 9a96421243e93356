#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "window/multi_line_text_box.h"
#include "support/window_harness.h"
#include "engine/send_run.h"

using namespace parvolo;

using Reads = QList<QByteArray>;
Q_DECLARE_METATYPE(Reads)

namespace {
using Step = WindowHarness::Step;

// Pushes one read and waits until the loop has taken it in.
void addRead(std::vector<Step>& steps, WindowHarness& h, const QByteArray& bytes,
             qint32* expectedTotal) {
    steps.push_back(WindowHarness::act([&h, bytes, expectedTotal] {
        *expectedTotal += qint32(bytes.size());
        h.fake->receive(bytes);
    }));
    steps.push_back([&h, expectedTotal] {
        return h.w().loopbackCheck().counters().receivedBytes == *expectedTotal;
    });
}
}  // namespace

class SendLoopbackTest : public QObject {
    Q_OBJECT
private slots:
    void receiveStep_data();
    void receiveStep();
    void timeoutAfterSevenOfTen();
    void sendCountZero_data();
    void sendCountZero();
    void exactlyNTransmissionsWithCheckOff();
    void checkOffRunEndsWhenTheLastTransmissionHasLeft();
    void timeoutInTheMiddleGivesFourTransmissions();
    void transmitBufferHeldByFlowControl();
    void countUpSentAlthoughBoxEdited();
    void stopDiscardsUnsentBytes();
    void overlongTextDoesNotStartARun();
    void patternBoxesClearEachOther();
    void displayHoldsExactlyTheLimit();
    void displayDecodesTheSingleByteTable();
    void limitHoldsAfterAnEditAtAWrapPoint();
};

void SendLoopbackTest::receiveStep_data() {
    QTest::addColumn<QString>("sendText");
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<QString>("sendCountText");
    QTest::addColumn<bool>("loopback");
    QTest::addColumn<bool>("continuous");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("typedBefore");
    // expected
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("matched");
    QTest::addColumn<int>("mismatches");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QString>("text7");
    QTest::addColumn<QString>("text5");
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("stillSending");

    QTest::newRow("1 2 then 3 1: trailing byte dropped")
        << "123" << Reads{"12", "31"} << "1" << true << false << "256"
        << ""
        << "123" << 3 << 0 << 1 << "0"
        << "4" << 1 << false;
    QTest::newRow("1 9 3: one mismatch at 2")
        << "123" << Reads{"193"} << "1" << true << false << "256"
        << ""
        << "193" << 2 << 1 << 1 << "2"
        << "3" << 1 << false;
    QTest::newRow("second mismatch keeps the first position")
        << "123" << Reads{"193", "12x"} << "2" << true << false << "256"
        << ""
        << "19312x" << 4 << 2 << 2 << "2"
        << "6" << 2 << false;
    QTest::newRow("empty send data: a block per read")
        << "" << Reads{"abc", "de"} << "1" << true << false << "256"
        << ""
        << "ad" << 0 << 0 << 2 << "0"
        << "5" << 0 << false;
    QTest::newRow("loopback off: shown and summed only")
        << "123" << Reads{"12345"} << "1" << false << false << "256"
        << ""
        << "12345" << 0 << 0 << 0 << "0"
        << "0" << 1 << false;
    QTest::newRow("display limit 0") << "123" << Reads{"123"} << "1" << true << false << "0"
                                     << ""
                                     << "" << 3 << 0 << 1 << "0"
                                     << "3" << 1 << false;
    QTest::newRow("CR LF are characters") << "A\r\n"
                                          << Reads{"A\r\n"} << "1" << true << false << "256"
                                          << ""
                                          << "A\r\n"
                                          << 3 << 0 << 1 << "0"
                                          << "3" << 1 << false;
    QTest::newRow("CR LF count against the limit") << "A\r\n"
                                                   << Reads{"A\r\n"} << "1" << true << false << "2"
                                                   << ""
                                                   << "A\r" << 3 << 0 << 1 << "0"
                                                   << "3" << 1 << false;
    QTest::newRow("typed text stays in front, display full")
        << "123" << Reads{"123"} << "1" << true << false << "5"
        << "xyz"
        << "xyz12" << 3 << 0 << 1 << "0"
        << "3" << 1 << false;
    QTest::newRow("continuous goes on")
        << "123" << Reads{"123", "123", "123"} << "1" << true << true << "256"
        << ""
        << "123123123" << 9 << 0 << 3 << "0"
        << "9" << 4 << true;
    QTest::newRow("send count 3 with the check")
        << "123" << Reads{"123", "123", "123"} << "3" << true << false << "256"
        << ""
        << "123123123" << 9 << 0 << 3 << "0"
        << "9" << 3 << false;
}

void SendLoopbackTest::receiveStep() {
    QFETCH(QString, sendText);
    QFETCH(Reads, reads);
    QFETCH(QString, sendCountText);
    QFETCH(bool, loopback);
    QFETCH(bool, continuous);
    QFETCH(QString, limit);
    QFETCH(QString, typedBefore);
    WindowHarness h;
    MSCommTest& w = h.w();
    w.txtOutData->setText(sendText);
    w.Text2->setText(sendCountText);
    w.Text8->setText(limit);
    w.Check4->setChecked(loopback);
    w.Check3->setChecked(continuous);
    w.Text9->setText(typedBefore);
    qint32 total = 0;
    std::vector<Step> steps{
        WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); })};
    for (const QByteArray& read : reads) addRead(steps, h, read, &total);
    qsizetype caretBefore = -1;
    bool sendingAtEnd = false;
    steps.push_back(WindowHarness::act([&] {
        caretBefore = w.Text9->selStart();
        sendingAtEnd = w.sendActive;
    }));
    h.runOpen(steps);

    QTEST(w.Text9->text(), "shown");
    QTEST(int(w.loopbackCheck().counters().matchedBytes), "matched");
    QTEST(w.Text3->text().toInt(), "matched");
    QTEST(int(w.loopbackCheck().counters().mismatches), "mismatches");
    QTEST(w.Text4->text().toInt(), "mismatches");
    QTEST(int(w.loopbackCheck().counters().blocks), "blocks");
    QTEST(w.Text7->text(), "text7");
    QTEST(w.Text5->text(), "text5");
    QCOMPARE(w.loopbackCheck().counters().receivedBytes, total);
    QTEST(int(w.sendRun().transmissions()), "sent");
    if (loopback) QTEST(w.Text1->text().toInt(), "blocks");
    QTEST(sendingAtEnd, "stillSending");
    QCOMPARE(h.messages.shown.size(), 0);
    // The caret follows the data only while the display is below its limit.
    if (w.Text9->textLength() < w.displayLimit())
        QCOMPARE(caretBefore, w.Text9->textLength());
    else
        QVERIFY(caretBefore < w.Text9->textLength() || w.Text9->textLength() == 0);
}

void SendLoopbackTest::timeoutAfterSevenOfTen() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.txtOutData->setText(QStringLiteral("0123456789"));
    w.Check4->setChecked(true);
    qint32 total = 0;
    std::vector<Step> steps{
        WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); })};
    addRead(steps, h, "0123456", &total);
    steps.push_back(WindowHarness::act([&] {
        QVERIFY(w.Timer1->isActive());
        w.Timer1_Timer();  // the tick, as the timer would deliver it
    }));
    steps.push_back([&] { return w.sendActive == False16; });
    h.runOpen(steps);
    QCOMPARE(w.loopbackCheck().counters().mismatches, 1);
    QCOMPARE(w.Text7->text(), QStringLiteral("7"));
    QCOMPARE(w.loopbackCheck().counters().blocks, 0);
    QCOMPARE(w.loopbackCheck().counters().matchedBytes, 7);
    QCOMPARE(w.loopbackCheck().blockBytes(), 0);
    QCOMPARE(w.loopbackCheck().compareIndex(), qint16(1));
    QCOMPARE(w.timedOut, False16);
}

void SendLoopbackTest::sendCountZero_data() {
    QTest::addColumn<bool>("continuous");
    QTest::addColumn<bool>("loopback");
    QTest::newRow("ends by itself") << false << false;
    QTest::newRow("continuous sends anyway") << true << false;
    QTest::newRow("loopback stays active idle") << false << true;
}

void SendLoopbackTest::sendCountZero() {
    QFETCH(bool, continuous);
    QFETCH(bool, loopback);
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("0"));
    w.Check3->setChecked(continuous);
    w.Check4->setChecked(loopback);
    h.runOpen({WindowHarness::act([&] {
                   QTest::mouseClick(w.cmdOut, Qt::LeftButton);
                   QCOMPARE(w.sendRun().transmissions(), 0);
                   QVERIFY(!w.Timer1->isActive());
               }),
               [&] {
                   // A continuous run must make progress however slow the machine is; the
                   // other cases must stay still for a while.
                   if (continuous) return w.sendRun().transmissions() > 3;
                   WindowHarness::settle(20);
                   return true;
               },
               WindowHarness::act([&] {
                   if (continuous) {
                       QCOMPARE(w.cmdOut->text(), QStringLiteral("停止"));
                   } else if (loopback) {
                       QCOMPARE(w.sendRun().transmissions(), 0);
                       QCOMPARE(w.cmdOut->text(), QStringLiteral("停止"));
                       QVERIFY(!w.Timer1->isActive());
                   } else {
                       QCOMPARE(w.sendRun().transmissions(), 0);
                       QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
                       QVERIFY(h.device.written.isEmpty());
                   }
               })});
}

void SendLoopbackTest::exactlyNTransmissionsWithCheckOff() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("25"));
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }});
    QCOMPARE(w.sendRun().transmissions(), 25);
    QCOMPARE(h.device.written, QByteArray("0123456789ABCDEF").repeated(25));
    QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
}

// With the check off the run ends once the N-th transmission has left the transmit buffer: on
// a real line most of it is still there after the hand-off, and nothing of it is thrown away.
void SendLoopbackTest::checkOffRunEndsWhenTheLastTransmissionHasLeft() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("3"));
    h.device.holdTransmit = true;
    h.device.driverCapacity = 1000;
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] {
                   // Each transmission waits for the drain, then the next goes out.
                   if (!h.device.driverQueue.isEmpty() && w.sendRun().transmissions() < 3)
                       h.fake->releaseTransmit(), h.device.holdTransmit = true;
                   return w.sendRun().transmissions() == 3;
               },
               // The third is still in the transmit buffer: the run waits for it.
               [&] { return !h.device.driverQueue.isEmpty() && w.sendActive == True16; },
               WindowHarness::act([&] { h.fake->releaseTransmit(); }),
               [&] { return w.sendActive == False16; }});
    QCOMPARE(h.device.written.size(), 48);
    QCOMPARE(h.device.discardedOutput, 0);
    QCOMPARE(w.sendRun().transmissions(), 3);
}

void SendLoopbackTest::timeoutInTheMiddleGivesFourTransmissions() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("3"));
    w.Check4->setChecked(true);
    const QByteArray echo = "0123456789ABCDEF";
    qint32 total = 0;
    std::vector<Step> steps{
        WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); })};
    addRead(steps, h, echo, &total);  // block 1 complete
    steps.push_back([&] { return w.sendRun().transmissions() == 2; });
    steps.push_back(WindowHarness::act([&] { w.Timer1_Timer(); }));  // transmission 2 is lost
    steps.push_back([&] { return w.sendRun().transmissions() == 3; });
    addRead(steps, h, echo, &total);  // block 2
    steps.push_back([&] { return w.sendRun().transmissions() == 4; });
    addRead(steps, h, echo, &total);  // block 3
    steps.push_back([&] { return w.sendActive == False16; });
    h.runOpen(steps);
    QCOMPARE(w.sendRun().transmissions(), 4);
    QCOMPARE(w.loopbackCheck().counters().blocks, 3);
    QCOMPARE(w.loopbackCheck().counters().mismatches, 1);
    QCOMPARE(w.Text7->text(), QStringLiteral("16"));
}

void SendLoopbackTest::transmitBufferHeldByFlowControl() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text2->setText(QStringLiteral("3"));
    h.device.holdTransmit = true;
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] {
                   WindowHarness::settle(20);
                   return true;
               },
               WindowHarness::act([&] {
                   QCOMPARE(w.sendRun().transmissions(), 1);  // the buffer has not drained
                   QCOMPARE(w.MSComm->OutBufferCount(), qint16(16));
                   h.fake->releaseTransmit();
               }),
               [&] { return w.sendActive == False16; }});
    QCOMPARE(w.sendRun().transmissions(), 3);
    QCOMPARE(h.device.written.size(), 48);
}

void SendLoopbackTest::countUpSentAlthoughBoxEdited() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Check7->setChecked(true);
    w.txtOutData->setText(QStringLiteral("edited"));
    w.Text2->setText(QStringLiteral("3"));
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(w.cmdOut, Qt::LeftButton); }),
               [&] { return w.sendActive == False16; }});
    QCOMPARE(h.device.written, (send_patterns::countUpData(0) + send_patterns::countUpData(1) +
                                send_patterns::countUpData(2))
                                   .toLatin1());
    QCOMPARE(w.sendRun().countUpValue(), 2);
}

void SendLoopbackTest::stopDiscardsUnsentBytes() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Check4->setChecked(true);
    h.device.holdTransmit = true;
    h.runOpen({WindowHarness::act([&] {
        QTest::mouseClick(w.cmdOut, Qt::LeftButton);
        QCOMPARE(h.device.driverQueue.size(), 16);
        QTest::mouseClick(w.cmdOut, Qt::LeftButton);
        QVERIFY(h.device.driverQueue.isEmpty());
        QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
        QVERIFY(!w.Timer1->isActive());
    })});
    QVERIFY(h.device.written.isEmpty());
}

void SendLoopbackTest::overlongTextDoesNotStartARun() {
    WindowHarness h;
    MSCommTest& w = h.w();
    h.runOpen({WindowHarness::act([&] {
        w.txtOutData->setText(QString(32768, QLatin1Char('z')));
        QTest::mouseClick(w.cmdOut, Qt::LeftButton);
        QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("Overflow (6)")});
        QCOMPARE(h.messages.shown[0].title, QStringLiteral("通信エラー"));
        QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
        QCOMPARE(w.sendActive, False16);
        QVERIFY(w.MSComm->PortOpen());
    })});
    QVERIFY(h.device.written.isEmpty());
}

void SendLoopbackTest::patternBoxesClearEachOther() {
    WindowHarness h;
    MSCommTest& w = h.w();
    QTest::mouseClick(w.Check7, Qt::LeftButton);
    QCOMPARE(w.txtOutData->text(), send_patterns::countUpData(0));
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    QVERIFY(!w.Check7->isChecked());
    QCOMPARE(w.txtOutData->text(), send_patterns::kFoxSentence);
    QTest::mouseClick(w.Check7, Qt::LeftButton);
    QVERIFY(!w.Check1->isChecked());
    QCOMPARE(w.txtOutData->text(), send_patterns::countUpData(0));
    QTest::mouseClick(w.Check7, Qt::LeftButton);  // clearing writes the data once more
    QCOMPARE(w.txtOutData->text(), send_patterns::countUpData(0));
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    QCOMPARE(w.txtOutData->text(), send_patterns::kFoxSentence);
    // A run that made no transmission leaves the counter at -1.
    w.Text2->setText(QStringLiteral("0"));
    w.Check4->setChecked(true);
    h.whileOpen([&] {
        QTest::mouseClick(w.cmdOut, Qt::LeftButton);
        QTest::mouseClick(w.cmdOut, Qt::LeftButton);
    });
    QCOMPARE(w.sendRun().countUpValue(), -1);
    QTest::mouseClick(w.Check7, Qt::LeftButton);
    QCOMPARE(w.txtOutData->textLength(), 39);
}

void SendLoopbackTest::displayHoldsExactlyTheLimit() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text8->setText(QStringLiteral("32767"));
    QByteArray all;
    for (int i = 0; i < 100000; ++i) all.append(char('A' + (i * 7) % 26));
    qint32 total = 0;
    std::vector<Step> steps;
    for (int at = 0; at < all.size(); at += 4000) addRead(steps, h, all.mid(at, 4000), &total);
    h.runOpen(steps);
    QCOMPARE(w.loopbackCheck().counters().receivedBytes, 100000);
    QCOMPARE(w.Text9->textLength(), 32767);
    QCOMPARE(w.Text9->text(), QString::fromLatin1(all.left(32767)));
}

void SendLoopbackTest::displayDecodesTheSingleByteTable() {
    WindowHarness h;
    MSCommTest& w = h.w();
    qint32 total = 0;
    std::vector<Step> steps;
    addRead(steps, h, QByteArray("\x41\xB1\xDF\x80\xA0\xFF", 6), &total);
    h.runOpen(steps);
    QCOMPARE(w.Text9->text(), QStringLiteral("Aｱﾟ\uFFFD\uFFFD\uFFFD"));
}

// An operator's Backspace at a wrap point takes out one real character, and the display limit
// then holds on the text as it is.
void SendLoopbackTest::limitHoldsAfterAnEditAtAWrapPoint() {
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Text8->setText(QStringLiteral("200"));
    QByteArray digits;
    for (int i = 0; i < 200; ++i) digits.append(char('0' + i % 10));
    QString expected = QString::fromLatin1(digits);
    qint32 total = 0;
    std::vector<Step> steps;
    addRead(steps, h, digits.left(120), &total);
    addRead(steps, h, digits.mid(120), &total);
    steps.push_back(WindowHarness::act([&] {
        QCOMPARE(w.Text9->textLength(), 200);
        const qsizetype wrap = w.Text9->lines().lineStart(1);
        QVERIFY(wrap > 0 && wrap < 200);
        w.Text9->setSelStart(wrap);
        QTest::sendKeyEvent(QTest::Click, w.Text9, Qt::Key_Backspace, QStringLiteral("\b"),
                            Qt::NoModifier);
        expected.remove(wrap - 1, 1);
        QCOMPARE(w.Text9->text(), expected);
        expected += QStringLiteral("A");
    }));
    addRead(steps, h, "AB", &total);
    addRead(steps, h, "CDEF", &total);
    h.runOpen(steps);
    QCOMPARE(w.Text9->textLength(), 200);
    QCOMPARE(w.Text9->text(), expected);
}

QTEST_MAIN(SendLoopbackTest)
#include "test_send_loopback.moc"
