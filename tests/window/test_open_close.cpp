#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include "window/multi_line_text_box.h"
#include "window/port_messages.h"
#include "serial/serial_error.h"
#include "support/window_checks.h"
#include "support/window_harness.h"

using namespace parvolo;
Q_DECLARE_METATYPE(std::optional<parvolo::SerialError::Code>)

namespace {
const QString kTitle = QStringLiteral("通信エラー");

}  // namespace

class OpenCloseTest : public QObject {
    Q_OBJECT
private slots:
    void configuration_data();
    void configuration();
    void unknownPortNameKeepsPreviousPort();
    void closeClickChangesNoSetting();
    void tableMessage_data();
    void tableMessage();
    void failedOpen_data();
    void failedOpen();
    void bytesWaitingAtOpenAreDropped();
    void openResetsOnlyTheErrorBox();
    void closeWhileSending();
    void closeWhileIdleDoesNotStopSending();
    void secondClickClosesFromInsideTheLoop();
    void reopenAfterFatalCloseRunsNestedLoop();
    void overlongSendTextClosesAgain();
    void counterOverflowClosesThePort();
    void idleLoopWaitsForEvents();
    void noticeFollowsChoiceAndMap_data();
    void noticeFollowsChoiceAndMap();
    void indicators();
    void ringToggles();
    void eofAndUndefinedCodes();
    void nothingHappensAfterFatalUntilReopen();
    void switches();
    void switchesOffBeforeOpen();
    void fatalErrorWhileOpeningSwitchFails();
    void refusedSwitch_data();
    void refusedSwitch();
};

void OpenCloseTest::configuration_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("commPort");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("parityBits");
    QTest::addColumn<int>("handshaking");
    QTest::newRow("COM10 is port 10") << "COM10"
                                      << "9600"
                                      << "なし(None)"
                                      << "8"
                                      << "1"
                                      << "なし" << 10 << "9600,N,8,1" << 0 << 0;
    QTest::newRow("even, 7 data, 2 stop") << "COM1"
                                          << "38400"
                                          << "偶数(Even)"
                                          << "7"
                                          << "2"
                                          << "RTS/CTS" << 1 << "38400,E,7,2" << 1 << 2;
    QTest::newRow("3 Mbit/s no parity") << "COM15"
                                        << "3000000"
                                        << "なし(None)"
                                        << "8"
                                        << "1"
                                        << "なし" << 15 << "3000000,N,8,1" << 0 << 0;
    QTest::newRow("odd with Xon/Xoff") << "COM2"
                                       << "115200"
                                       << "奇数(Odd)"
                                       << "8"
                                       << "1"
                                       << "Xon/Xoff" << 2 << "115200,O,8,1" << 1 << 1;
}

void OpenCloseTest::configuration() {
    QFETCH(QString, port);
    QFETCH(QString, baud);
    QFETCH(QString, parity);
    QFETCH(QString, data);
    QFETCH(QString, stop);
    QFETCH(QString, flow);
    QFETCH(int, commPort);
    QFETCH(QString, settings);
    QFETCH(int, parityBits);
    QFETCH(int, handshaking);
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Combo2->setCurrentText(port);
    w.Combo1->setCurrentText(baud);
    w.Combo3->setCurrentText(parity);
    w.Combo4->setCurrentText(data);
    w.Combo5->setCurrentText(stop);
    w.Combo6->setCurrentText(flow);
    h.whileOpen([&] {
        QCOMPARE(int(w.MSComm->CommPort()), commPort);
        QCOMPARE(w.MSComm->Settings(), settings);
        QCOMPARE(w.MSComm->lineSettings().baudRate, baud.toInt());
        QCOMPARE(int(w.MSComm->lineSettings().dataBitCount()), data.toInt());
        QCOMPARE(int(w.MSComm->lineSettings().stopBitCount()), stop.toInt());
        QCOMPARE(int(w.MSComm->lineSettings().parityBitCount()), parityBits);
        QCOMPARE(w.MSComm->Handshaking(), handshaking);
        QCOMPARE(h.device.settings.baudRate, baud.toInt());
        QCOMPARE(int(h.device.settings.flow), handshaking);
        for (auto* c : {w.Combo1, w.Combo2, w.Combo3, w.Combo4, w.Combo5, w.Combo6})
            QVERIFY(!c->isEnabled());
    });
    expectClosedState(w);
    QVERIFY(h.messages.shown.isEmpty());
}

void OpenCloseTest::unknownPortNameKeepsPreviousPort() {
    WindowHarness h;
    h.w().Combo2->setCurrentText(QStringLiteral("COM4"));
    h.whileOpen([] {});
    h.w().Combo2->addItem(QStringLiteral("COM04"));
    h.w().Combo2->setCurrentText(QStringLiteral("COM04"));
    h.w().Combo3->addItem(QStringLiteral("Parity?"));
    h.w().Combo3->setCurrentText(QStringLiteral("Parity?"));
    h.w().cmdOpen->click();
    // The name message, then the empty parity letter is refused by the port.
    QCOMPARE(h.messages.shown.size(), 2);
    QCOMPARE(h.messages.shown[0].text, QStringLiteral("通信ポートが開けません"));
    QCOMPARE(h.messages.shown[0].title, kTitle);
    QCOMPARE(h.messages.shown[0].style, msg_box::Exclamation);
    QCOMPARE(h.messages.shown[1].text, QStringLiteral("プロパティの値が無効です (380)"));
    QCOMPARE(h.w().MSComm->CommPort(), qint16(4));
    expectClosedState(h.w());
}

void OpenCloseTest::closeClickChangesNoSetting() {
    WindowHarness h;
    h.whileOpen([&] {
        const QString settings = h.w().MSComm->Settings();
        h.w().Combo1->setCurrentText(QStringLiteral("300"));  // as if the list were still enabled
        QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
        QCOMPARE(h.w().MSComm->Settings(), settings);
        QCOMPARE(h.w().MSComm->lineSettings().baudRate, 9600);
    });
    QVERIFY(h.messages.shown.isEmpty());
}

void OpenCloseTest::tableMessage_data() {
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("message");
    const char* rows[][2] = {
        {"8005", "ﾎﾟｰﾄはすでに開かれています"},
        {"8002", "ポート番号が不正です"},
        {"8015", "通信状態を設定できません。通信パラメータのいずれかが不正である可能性があります"},
        {"8006", "デバイス識別子が無効またはサポートされていません"},
        {"8007", "デバイスの通信速度はサポートされていません"},
        {"8008", "指定されたバイトサイズは無効です"},
        {"8009", "既定の設定値が間違っています"},
        {"8010", "ハードウェアが使用できません。他のデバイスによってロックされています"},
        {"8011", "関数がキューを割当てられません"},
        {"8012", "デバイスが開かれていません"},
        {"8013", "デバイスは既に開いています"},
        {"8014", "通信通知を有効にできません"},
        {"8016", "通信イベントマスクを設定できませんでした"},
        {"8019", "デバイスがビジー状態です"},
        {"8020", "通信デバイス読み取り時にエラーが発生しました"},
        {"0", "通信ポートが開けません"},
        {"8017", "通信ポートが開けません"},
        {"8003", "通信ポートが開けません"},
        {"380", "通信ポートが開けません"},
    };
    for (auto& r : rows)
        QTest::newRow(r[0]) << QString::fromLatin1(r[0]) << QString::fromUtf8(r[1]);
}

void OpenCloseTest::tableMessage() {
    QFETCH(QString, number);
    QFETCH(QString, message);
    QCOMPARE(port_messages::tableMessage(number), message);
}

void OpenCloseTest::failedOpen_data() {
    QTest::addColumn<std::optional<SerialError::Code>>("error");  // none: settings refused
    QTest::addColumn<int>("number");
    using C = SerialError::Code;
    QTest::newRow("missing device") << std::optional(C::NoSuchPort) << 8002;
    QTest::newRow("port number out of range") << std::optional(C::InvalidPort) << 8002;
    QTest::newRow("locked by another program") << std::optional(C::Busy) << 8010;
    QTest::newRow("permission denied") << std::optional(C::PermissionDenied) << 8010;
    QTest::newRow("still closing") << std::optional(C::StillClosing) << 8010;
    QTest::newRow("other failure") << std::optional(C::OpenFailed) << 8010;
    QTest::newRow("already open") << std::optional(C::AlreadyOpen) << 8005;
    QTest::newRow("settings refused") << std::optional<C>() << 8015;
}

void OpenCloseTest::failedOpen() {
    QFETCH(std::optional<SerialError::Code>, error);
    QFETCH(int, number);
    WindowHarness h;
    h.device.openError = error;
    h.device.refuseSettings = !error;
    QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
    QCOMPARE(h.messages.shown.size(), 1);
    const auto& box = h.messages.shown[0];
    const int expectedNumber = number;
    QVERIFY2(box.text.endsWith(QStringLiteral(" (%1)").arg(expectedNumber)), qPrintable(box.text));
    QVERIFY(box.text.contains(QStringLiteral("/dev/ttyS0")) ||
            box.text.contains(QStringLiteral("COM1")));
    QCOMPARE(box.title, kTitle);
    QCOMPARE(box.style, msg_box::Exclamation + msg_box::OkOnly);
    expectClosedState(h.w());
    QVERIFY(!h.device.open);
}

void OpenCloseTest::bytesWaitingAtOpenAreDropped() {
    WindowHarness h;
    h.device.kernelInput = "stale bytes";
    h.w().Check4->setChecked(true);
    h.runOpen({WindowHarness::act([&] {}), [&] { return h.w().loopDepth() == 1; },
               WindowHarness::act([&] { h.fake->receive(QByteArray()); }),
               [] {
                   WindowHarness::settle(30);
                   return true;
               }});
    QCOMPARE(h.w().Text9->text(), QString());
    QCOMPARE(h.w().loopbackCheck().counters().receivedBytes, 0);
    QCOMPARE(h.w().Text5->text(), QStringLiteral("0"));
    QVERIFY(h.device.discardedInput >= 1);
}

void OpenCloseTest::openResetsOnlyTheErrorBox() {
    WindowHarness h;
    // A run of five transmissions with the check off leaves its count and count-up value.
    h.w().Text2->setText(QStringLiteral("5"));
    h.runOpen({WindowHarness::act([&] { QTest::mouseClick(h.w().cmdOut, Qt::LeftButton); }),
               [&] { return h.w().sendActive == False16; }});
    QCOMPARE(h.w().sendRun().transmissions(), 5);
    for (auto* box : {h.w().Text1, h.w().Text3, h.w().Text4, h.w().Text5, h.w().Text6, h.w().Text7})
        box->setText(QStringLiteral("7"));
    h.whileOpen([&] {
        QCOMPARE(h.w().Text6->text(), QStringLiteral("0"));
        for (auto* box : {h.w().Text1, h.w().Text3, h.w().Text4, h.w().Text5, h.w().Text7})
            QCOMPARE(box->text(), QStringLiteral("7"));
        QCOMPARE(h.w().sendRun().transmissions(), 5);
        QCOMPARE(h.w().sendRun().countUpValue(), 4);
        QCOMPARE(h.w().sendEventFlag, True16);
        QCOMPARE(h.w().loopbackCheck().compareIndex(), qint16(1));
        QCOMPARE(h.w().loopbackCheck().sendLength(), qint16(16));
    });
}

void OpenCloseTest::closeWhileSending() {
    WindowHarness h;
    h.w().Check4->setChecked(true);  // the echo never comes, so the send run stays active
    h.whileOpen([&] {
        QTest::mouseClick(h.w().cmdOut, Qt::LeftButton);
        QCOMPARE(h.w().cmdOut->text(), QStringLiteral("停止"));
        QVERIFY(h.w().Timer1->isActive());
        QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
    });
    expectClosedState(h.w());
    QCOMPARE(h.w().loopDepth(), 0);
}

void OpenCloseTest::closeWhileIdleDoesNotStopSending() {
    WindowHarness h;
    h.whileOpen([&] { QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton); });
    // cmdOut_Click would have toggled into a send run and set the count-up counter to -1.
    QCOMPARE(h.w().sendRun().countUpValue(), 0);
    QCOMPARE(h.w().sendActive, False16);
    expectClosedState(h.w());
}

void OpenCloseTest::secondClickClosesFromInsideTheLoop() {
    WindowHarness h;
    int depthInside = 0;
    h.runOpen({[&] { return h.w().loopDepth() == 1; }, WindowHarness::act([&] {
                   depthInside = h.w().loopDepth();
                   QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);  // returns after the close
                   QVERIFY(!h.w().MSComm->PortOpen());
                   QCOMPARE(h.w().loopDepth(), 1);  // the outer loop ends at its next test
               })});
    QCOMPARE(depthInside, 1);
    QCOMPARE(h.w().loopDepth(), 0);
    QCOMPARE(h.device.closes, 1);
    expectClosedState(h.w());
}

void OpenCloseTest::reopenAfterFatalCloseRunsNestedLoop() {
    WindowHarness h;
    int nestedDepth = 0;
    bool reopened = false;
    // Runs after the window's own handler, in the same yield of the first loop: the fatal
    // error has closed the port under that loop, and the operator opens it again at once.
    connect(h.w().MSComm, &MSComm::OnComm, h.window.get(), [&] {
        if (reopened || h.w().MSComm->PortOpen()) return;
        reopened = true;
        QTimer::singleShot(0, h.window.get(), [&] {
            nestedDepth = h.w().loopDepth();
            QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
        });
        QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
    });
    h.runOpen(
        {WindowHarness::act([&] { h.fake->raiseLineEvent(1010); }), [&] { return reopened; }});
    QCOMPARE(nestedDepth, 2);
    QCOMPARE(h.device.opens, 2);
    QCOMPARE(h.w().loopDepth(), 0);
    expectClosedState(h.w());
}

void OpenCloseTest::overlongSendTextClosesAgain() {
    WindowHarness h;
    h.w().txtOutData->setText(QString(32768, QLatin1Char('x')));
    QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
    QCOMPARE(h.device.opens, 1);
    QVERIFY(!h.device.open);
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("Overflow (6)")});
    QCOMPARE(h.messages.shown[0].title, kTitle);
    expectClosedState(h.w());
}

void OpenCloseTest::counterOverflowClosesThePort() {
    WindowHarness h;
    h.runOpen({WindowHarness::act([&] {
                   LoopbackCounters full;
                   full.receivedBytes = std::numeric_limits<qint32>::max();
                   h.w().loopbackCheck().presetCounters(full);
                   h.fake->receive("x");
               }),
               [&] { return !h.w().MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(), QStringList{QStringLiteral("Overflow (6)")});
    expectClosedState(h.w());
}

void OpenCloseTest::idleLoopWaitsForEvents() {
    WindowHarness h;
    QElapsedTimer clock;
    std::clock_t cpuStart = 0;
    double cpuUsed = 0;
    h.runOpen({WindowHarness::act([&] {
                   clock.start();
                   cpuStart = std::clock();
               }),
               [&] { return clock.elapsed() >= 300; }, WindowHarness::act([&] {
                   cpuUsed = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
               })});
    // A spinning loop would use the whole 300 ms of processor time.
    QVERIFY2(cpuUsed < 0.15, qPrintable(QString::number(cpuUsed)));
}

void OpenCloseTest::indicators() {
    WindowHarness h;
    h.device.lines.dsr = true;
    h.runOpen(
        {WindowHarness::act([&] {
             QCOMPARE(MSCommTest::backColor(h.w().DR_LED), MSCommTest::lineOnColor());
             QCOMPARE(MSCommTest::backColor(h.w().CS_LED), MSCommTest::windowBackgroundColor());
             h.fake->setLine(3, true);
             h.fake->setLine(3, true);
             h.fake->setLine(5, true);
             h.fake->setLine(4, false);
         }),
         [&] { return MSCommTest::backColor(h.w().CD_LED) == MSCommTest::lineOnColor(); },
         WindowHarness::act([&] {
             QCOMPARE(MSCommTest::backColor(h.w().CS_LED), MSCommTest::lineOnColor());
             QCOMPARE(MSCommTest::backColor(h.w().DR_LED), MSCommTest::windowBackgroundColor());
         })});
    expectClosedState(h.w());
}

void OpenCloseTest::ringToggles() {
    WindowHarness h;
    QList<QColor> seen;
    h.runOpen({WindowHarness::act([&] { h.fake->ring(); }),
               [&] { return h.w().recvEventFlag == 0; },
               [&] {
                   seen << MSCommTest::foreColor(h.w().RI_LED);
                   if (seen.size() < 4) h.fake->ring();
                   WindowHarness::settle(5);
                   return seen.size() == 4;
               }});
    QCOMPARE(seen, (QList<QColor>{MSCommTest::ringColor(), MSCommTest::windowTextColor(),
                                  MSCommTest::ringColor(), MSCommTest::windowTextColor()}));
    QCOMPARE(MSCommTest::backColor(h.w().RI_LED), MSCommTest::windowBackgroundColor());
}

void OpenCloseTest::eofAndUndefinedCodes() {
    WindowHarness h;
    h.runOpen({WindowHarness::act([&] { h.fake->raiseLineEvent(7); }),
               [] {
                   WindowHarness::settle(20);
                   return true;
               },
               WindowHarness::act([&] {
                   QVERIFY(h.messages.shown.isEmpty());
                   QVERIFY(h.w().MSComm->PortOpen());
                   h.fake->raiseLineEvent(1002);
               }),
               [&] { return !h.w().MSComm->PortOpen(); }});
    QCOMPARE(h.messages.texts(),
             QStringList{QStringLiteral("未定義エラー発生\r\n通信を中断します。")});
    QCOMPARE(h.messages.shown[0].title, kTitle);
    QCOMPARE(h.messages.shown[0].style, msg_box::Exclamation);
    expectClosedState(h.w());
}

void OpenCloseTest::nothingHappensAfterFatalUntilReopen() {
    WindowHarness h;
    h.messages.whileOpen = [&](const RecordingMessageBox::Shown&) {
        // While the box is open, later notifications are dropped.
        h.fake->setLine(3, true);
        h.fake->raiseLineEvent(1011);
        h.fake->raiseLineEvent(1004);
        WindowHarness::settle(20);
    };
    h.runOpen({WindowHarness::act([&] { h.fake->raiseLineEvent(1008); }),
               [&] { return !h.w().MSComm->PortOpen(); }});
    QCOMPARE(h.messages.shown.size(), 1);
    QCOMPARE(h.messages.mostOpenAtOnce, 1);
    QCOMPARE(h.w().loopbackCheck().counters().lineErrors, 0);
    QCOMPARE(MSCommTest::backColor(h.w().CS_LED), MSCommTest::windowBackgroundColor());
    QCOMPARE(h.w().commAborted, True16);
    h.messages.whileOpen = nullptr;
    h.whileOpen([&] { QCOMPARE(h.w().commAborted, False16); });
}

void OpenCloseTest::switches() {
    WindowHarness h;
    const int rtsBefore = h.device.rtsChanges;
    h.w().Check5->setChecked(false);
    h.w().Check5->setChecked(true);
    QCOMPARE(h.device.rtsChanges, rtsBefore);  // closed: the box alone holds the choice
    h.w().Check6->setChecked(false);
    QVERIFY(!h.w().MSComm->DTREnable());
    h.w().Check6->setChecked(true);
    QVERIFY(h.w().MSComm->DTREnable());
    h.whileOpen([&] {
        QVERIFY(h.device.rts);
        QVERIFY(h.device.dtr);
        h.w().Check5->setChecked(false);
        QVERIFY(!h.device.rts);
        h.w().Check6->setChecked(false);
        QVERIFY(!h.device.dtr);
    });
}

void OpenCloseTest::switchesOffBeforeOpen() {
    WindowHarness h;
    h.device.rts = h.device.dtr = true;  // whatever the port's own defaults were
    h.w().Check5->setChecked(false);
    h.w().Check6->setChecked(false);
    h.whileOpen([&] {
        QVERIFY(!h.device.rts);
        QVERIFY(!h.device.dtr);
    });
}

void OpenCloseTest::fatalErrorWhileOpeningSwitchFails() {
    WindowHarness h;
    h.device.refuseRts = true;
    h.messages.whileOpen = [&](const RecordingMessageBox::Shown& box) {
        if (box.text != QStringLiteral("RTS err")) return;
        h.fake->raiseLineEvent(1010);
        QTRY_VERIFY(!h.w().MSComm->PortOpen());
    };
    QTest::mouseClick(h.w().cmdOpen, Qt::LeftButton);
    // No message about the port that the fatal error had already closed.
    QCOMPARE(h.messages.texts(),
             QStringList({QStringLiteral("RTS err"),
                          QStringLiteral("送信バッファフル\r\n通信を中断します。")}));
    QCOMPARE(h.w().loopDepth(), 0);
    expectClosedState(h.w());
}

void OpenCloseTest::refusedSwitch_data() {
    QTest::addColumn<bool>("rts");
    QTest::newRow("RTS") << true;
    QTest::newRow("DTR") << false;
}

void OpenCloseTest::refusedSwitch() {
    QFETCH(bool, rts);
    WindowHarness h;
    h.whileOpen([&] {
        (rts ? h.device.refuseRts : h.device.refuseDtr) = true;
        QCheckBox* box = rts ? h.w().Check5 : h.w().Check6;
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QCOMPARE(h.messages.texts(),
                 QStringList{rts ? QStringLiteral("RTS err") : QStringLiteral("DTR err")});
        QCOMPARE(h.messages.shown[0].style, msg_box::Exclamation);
        QCOMPARE(h.messages.shown[0].title, QStringLiteral("Parvolo"));
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(h.messages.shown.size(), 2);
        QVERIFY(box->isChecked());
        QVERIFY(h.w().MSComm->PortOpen());
    });
}

// The notice names what the chosen number reaches, and follows a link made or removed by
// hand while the window is open (inotify on the port map, no timer).
void OpenCloseTest::noticeFollowsChoiceAndMap_data() {
    QTest::addColumn<QString>("target");  // COM7's link, made once the window is open
    QTest::addColumn<QString>("notice");
    QTest::newRow("nothing") << ""
                             << "COM7: 何もつながっていません";
    QTest::newRow("a link to a device") << "/dev/null"
                                        << "COM7: /dev/null へのリンク";
    QTest::newRow("a link to nothing") << "/nonexistent/ttyUSB4"
                                       << "COM7: リンク先 /nonexistent/ttyUSB4 がありません";
    QTest::newRow("a remote port") << "rfc2217://127.0.0.1:4001"
                                   << "COM7: rfc2217://127.0.0.1:4001";
}

void OpenCloseTest::noticeFollowsChoiceAndMap() {
    QFETCH(QString, target);
    QFETCH(QString, notice);
    QTemporaryDir map;
    qputenv("PARVOLO_PORT_DIR", QFile::encodeName(map.path()));
    WindowHarness h;
    MSCommTest& w = h.w();
    w.Combo2->setCurrentText(QStringLiteral("COM7"));
    QCOMPARE(w.Label15->accessibleName(), QStringLiteral("COM7: 何もつながっていません"));
    if (!target.isEmpty()) QVERIFY(QFile::link(target, map.filePath(QStringLiteral("COM7"))));
    QTRY_COMPARE_WITH_TIMEOUT(w.Label15->accessibleName(), notice, 5000);
    QVERIFY(w.Label15->text().startsWith(QStringLiteral("COM7: ")));
    QCOMPARE(w.Combo2->itemText(6), QStringLiteral("COM7"));
    QCOMPARE(w.Combo2->itemData(6, Qt::ToolTipRole).toString(), notice);
    w.Combo2->setCurrentText(QStringLiteral("COM8"));
    QCOMPARE(w.Label15->accessibleName(), QStringLiteral("COM8: 何もつながっていません"));
    qunsetenv("PARVOLO_PORT_DIR");
}

QTEST_MAIN(OpenCloseTest)
#include "test_open_close.moc"
