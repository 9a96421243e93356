#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QAccessible>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "window/controls_table.h"
#include "window/multi_line_text_box.h"
#include "window/port_config.h"
#include "serial/port_names.h"
#include "support/window_harness.h"

using namespace parvolo;

namespace {
struct KeyPress {
    Qt::Key key;
    QString text;  // as the platform attaches it
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};
using KeyPresses = QList<KeyPress>;
}  // namespace
Q_DECLARE_METATYPE(KeyPresses)

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installFontSubstitutions(); }
    void layout_data();
    void layout();
    void windowFrame();
    void focusCycle();
    void startState();
    void comboBoxesTakeNoTyping();
    void closeAnsweredNoKeepsEverythingRunning();
    void closeAnsweredYesWhileOpen();
    void closeAnsweredYesWhileClosed();
    void keyFilter_data();
    void keyFilter();
    void entryKeysByMeaning_data();
    void entryKeysByMeaning();
    void inputMethodIntoEntryFields_data();
    void inputMethodIntoEntryFields();
    void accessibleNames_data();
    void accessibleNames();
    void valueCheckOnLeaving_data();
    void valueCheckOnLeaving();
    void pasteIsCutToMaxLength();
    void emptiedFieldReadsLastValue();
    void sendClickRunsValueCheckFirst();
    void readOnlyBoxesAllowCopy();
    void clearButtons();
    void countUpDataCopiesWithItsCrLf();
    void groupTitleTogglesLoopback();
    void enterOnCheckBoxClicksNothing();
};

// Expected layout, written out independently of the window's own table.
void MainWindowTest::layout_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<int>("tabIndex");
    // Tab indexes of the layout; frames have none.
    static const QHash<QString, int> tabs = {
        {"Label3", 19},  {"Label4", 18},  {"Label6", 16},  {"Label7", 15},    {"Label5", 17},
        {"Label8", 22},  {"cmdOpen", 0},  {"Combo2", 1},   {"Combo1", 2},     {"Combo4", 3},
        {"Combo5", 4},   {"Combo3", 5},   {"Combo6", 6},   {"txtOutData", 7}, {"cmdOut", 37},
        {"Command1", 8}, {"Check5", 28},  {"Check6", 29},  {"Check3", 32},    {"Text2", 24},
        {"Label2", 39},  {"Check1", 40},  {"Check7", 36},  {"Text9", 50},     {"CD_LED", 13},
        {"CS_LED", 12},  {"DR_LED", 11},  {"RI_LED", 10},  {"Label14", 34},   {"Text8", 33},
        {"Command2", 9}, {"Check4", 35},  {"Label11", 48}, {"Label9", 47},    {"Label10", 46},
        {"Label1", 45},  {"Label12", 44}, {"Label13", 43}, {"Text5", 27},     {"Text3", 25},
        {"Text4", 26},   {"Text1", 23},   {"Text6", 30},   {"Text7", 31}};
    auto row = [](const char* name, const char* kind, const char* group, int l, int t, int w, int h,
                  const char* text, const char* tip) {
        QTest::newRow(name) << QString::fromLatin1(kind) << QString::fromLatin1(group)
                            << QRect(l, t, w, h) << QString::fromUtf8(text)
                            << QString::fromUtf8(tip) << tabs.value(QString::fromLatin1(name), -1);
    };
    row("Frame1", "QGroupBox", "", 120, 120, 8295, 855, "通信ﾎﾟｰﾄ設定", "");
    row("Frame2", "QGroupBox", "", 120, 1080, 8295, 1935, "送信", "");
    row("Frame4", "QGroupBox", "Frame2", 240, 2040, 2175, 855, "送信回数", "");
    row("Frame5", "QGroupBox", "Frame2", 2520, 2040, 2415, 855, "プリセットデータ", "");
    row("Frame3", "QGroupBox", "", 120, 3120, 8295, 2775, "受信", "");
    row("Frame6", "QGroupBox", "Frame3", 240, 4680, 8055, 1095, "", "");
    row("Label3", "QLabel", "Frame1", 360, 360, 495, 255, "ﾎﾟｰﾄ", "");
    row("Label4", "QLabel", "Frame1", 1200, 360, 735, 255, "速度", "");
    row("Label6", "QLabel", "Frame1", 2280, 360, 615, 255, "ﾃﾞｰﾀ長", "");
    row("Label7", "QLabel", "Frame1", 3000, 360, 855, 255, "ｽﾄｯﾌﾟﾋﾞｯﾄ", "");
    row("Label5", "QLabel", "Frame1", 3840, 360, 615, 255, "ﾊﾟﾘﾃｨ", "");
    row("Label8", "QLabel", "Frame1", 5280, 360, 855, 255, "ﾌﾛｰ制御", "");
    row("cmdOpen", "QPushButton", "Frame1", 6600, 360, 1695, 495, "通信開始",
        "ｼﾘｱﾙﾎﾟｰﾄをｵｰﾌﾟﾝまたはｸﾛｰｽﾞします。");
    row("Combo2", "QComboBox", "Frame1", 240, 600, 975, 300, "COM1", "通信ﾎﾟｰﾄを選択します。");
    row("Combo1", "QComboBox", "Frame1", 1200, 600, 1095, 300, "9600", "通信速度を選択します。");
    row("Combo4", "QComboBox", "Frame1", 2280, 600, 735, 300, "8", "ﾃﾞｰﾀ長を選択します。");
    row("Combo5", "QComboBox", "Frame1", 3000, 600, 735, 300, "1", "ｽﾄｯﾌﾟﾋﾞｯﾄ長を選択します。");
    row("Combo3", "QComboBox", "Frame1", 3720, 600, 1455, 300, "なし(None)", "ﾊﾟﾘﾃｨを選択します。");
    row("Combo6", "QComboBox", "Frame1", 5160, 600, 1215, 300, "なし", "ﾌﾛｰ制御を選択します。");
    row("txtOutData", "parvolo::MultiLineTextBox", "Frame2", 240, 1320, 6135, 615,
        "0123456789ABCDEF", "送信するﾃﾞｰﾀを入力します。");
    row("cmdOut", "QPushButton", "Frame2", 6600, 1320, 1695, 495, "送信",
        "送信ﾃﾞｰﾀに入力したﾃﾞｰﾀを送信します。");
    row("Command1", "QPushButton", "Frame2", 5040, 2160, 1215, 255, "送信ﾃﾞｰﾀｸﾘｱ",
        "送信ﾃﾞｰﾀを全て削除します。");
    row("Check5", "QCheckBox", "Frame2", 6480, 2160, 855, 255, "RTS",
        "制御線RTSをｱｸﾃｨﾌﾞ/ﾉﾝｱｸﾃｨﾌﾞにします。");
    row("Check6", "QCheckBox", "Frame2", 7320, 2160, 735, 255, "DTR",
        "制御線DTRをｱｸﾃｨﾌﾞ/ﾉﾝｱｸﾃｨﾌﾞにします。");
    row("Check3", "QCheckBox", "Frame4", 360, 2280, 1575, 255, "連続送信", "連続送信を行います。");
    row("Text2", "QLineEdit", "Frame4", 960, 2520, 1095, 270, "1",
        "送信回数を入力します(最大2,147,483,647)。");
    row("Label2", "QLabel", "Frame4", 440, 2590, 495, 195, "回数", "");
    row("Check1", "QCheckBox", "Frame5", 2760, 2280, 1215, 255, "FOXデータ", "固定のデータ列");
    row("Check7", "QCheckBox", "Frame5", 2760, 2640, 1935, 180, "カウントアップデータ",
        "一部データが変化するデータ列");
    row("Text9", "parvolo::MultiLineTextBox", "Frame3", 240, 3360, 6135, 855, "", "");
    row("CD_LED", "QLineEdit", "Frame3", 6720, 3480, 495, 270, "DCD",
        "DCDﾗｲﾝ状態が変化した時背面の色が変わります。");
    row("CS_LED", "QLineEdit", "Frame3", 7560, 3480, 495, 270, "CTS",
        "CTSﾗｲﾝ状態が変化した時背面の色が変わります。");
    row("DR_LED", "QLineEdit", "Frame3", 6720, 3960, 495, 270, "DSR",
        "DSRﾗｲﾝ状態が変化した時背面の色が変わります。");
    row("RI_LED", "QLineEdit", "Frame3", 7560, 3960, 495, 270, "RI",
        "リングが検出され変化した時背面の色が変わります。");
    row("Label14", "QLabel", "Frame3", 2880, 4320, 1095, 255, "表示データ数", "");
    row("Text8", "QLineEdit", "Frame3", 3960, 4320, 855, 270, "256",
        "表示する受信数(ﾊﾞｲﾄ)を入力します。値が大きいほど動作が重くなります。");
    row("Command2", "QPushButton", "Frame3", 5040, 4320, 1215, 255, "受信ﾃﾞｰﾀｸﾘｱ",
        "受信ﾃﾞｰﾀを全て削除します。");
    row("Check4", "QCheckBox", "Frame3", 360, 4680, 2055, 255, "ループバックチェック",
        "送信されたﾃﾞｰﾀとの比較を行います。");
    row("Label11", "QLabel", "Frame6", 360, 5040, 1095, 255, "受信バイト数", "");
    row("Label9", "QLabel", "Frame6", 1680, 5040, 1215, 255, "一致バイト数", "");
    row("Label10", "QLabel", "Frame6", 3000, 5040, 1215, 255, "不一致回数", "");
    row("Label1", "QLabel", "Frame6", 4320, 5040, 1095, 255, "受信データ列", "");
    row("Label12", "QLabel", "Frame6", 5640, 5040, 975, 255, "エラー", "");
    row("Label13", "QLabel", "Frame6", 6960, 5040, 1305, 255, "不一致開始位置", "");
    const char* counters[][5] = {
        {"Text5", "360", "確認された受信ﾃﾞｰﾀ総数(ﾊﾞｲﾄ)を表示します。"},
        {"Text3", "1680",
         "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して一致したﾃﾞｰﾀ総数(ﾊﾞｲﾄ)を表示します。"},
        {"Text4", "3000",
         "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して不一致と判定した回数を表示します。"},
        {"Text1", "4320", "確認された受信ﾃﾞｰﾀ数が送信ﾃﾞｰﾀ数に一致した回数を表示します。"},
        {"Text6", "5640", "ﾌﾞﾚｰｸ/ﾌﾚｰﾑ/ﾊﾟﾘﾃｨｴﾗｰなどが発生した回数を表示します。"},
        {"Text7", "6960",
         "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して最初の不一致が確認された位置(ﾊﾞｲﾄ)を表示します。"},
    };
    for (auto& c : counters)
        row(c[0], "QLineEdit", "Frame6", atoi(c[1]), 5280, 1215, 270, "0", c[2]);
}

namespace {
QString textOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    if (auto* m = qobject_cast<MultiLineTextBox*>(w)) return m->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title().trimmed();
    return QString();
}
QString groupOf(QWidget* w) {
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (qobject_cast<QGroupBox*>(p)) return p->objectName();
    return QString();
}
QRect pixels(const QRect& twips) {
    return QRect(QPoint(twipsToPixels(twips.left()), twipsToPixels(twips.top())),
                 QPoint(twipsToPixels(twips.left() + twips.width()) - 1,
                        twipsToPixels(twips.top() + twips.height()) - 1));
}
}  // namespace

void MainWindowTest::layout() {
    QFETCH(QString, kind);
    QFETCH(QString, group);
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(int, tabIndex);
    WindowHarness h;
    QWidget* w = h.w().findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
    QCOMPARE(groupOf(w), group);
    QCOMPARE(QRect(w->mapTo(&h.w(), QPoint(0, 0)), w->size()), pixels(twips));
    QCOMPARE(textOf(w), text);
    QCOMPARE(w->toolTip(), toolTip);
    QCOMPARE(w->property("tabIndex").isValid() ? w->property("tabIndex").toInt() : -1, tabIndex);
}

void MainWindowTest::windowFrame() {
    WindowHarness h;
    QCOMPARE(h.w().windowTitle(), QStringLiteral("Parvolo Ver1.21"));
    QCOMPARE(h.w().size(), QSize(569, 409));
    for (auto* box : {h.w().txtOutData, h.w().Text9}) {
        QCOMPARE(box->font().family(), QStringLiteral("ＭＳ ゴシック"));
        QCOMPARE(box->font().pointSizeF(), 9.75);
        QVERIFY(box->tabChangesFocus());
    }
    QCOMPARE(h.w().Label15->font().pointSizeF(), 8.25);
    QVERIFY(!h.w().Label15->text().isEmpty());
    QCOMPARE(h.w().Text2->maxLength(), 10);
    QCOMPARE(h.w().Text8->maxLength(), 5);
    QVERIFY(h.w().Text2->alignment() & Qt::AlignRight);
    QVERIFY(h.w().CD_LED->alignment() & Qt::AlignHCenter);
    for (auto* b : h.w().findChildren<QPushButton*>())
        QVERIFY2(!b->isDefault(), qPrintable(b->objectName()));
    // Check4 stands in Frame6's title place and is drawn above it.
    const QRect check4(h.w().Check4->mapTo(&h.w(), QPoint(0, 0)), h.w().Check4->size());
    const QRect frame6(h.w().Frame6->mapTo(&h.w(), QPoint(0, 0)), h.w().Frame6->size());
    QCOMPARE(check4.top(), frame6.top());
    QCOMPARE(check4.left() - frame6.left(), 8);
    const auto siblings = h.w().Frame3->children();
    QVERIFY(siblings.indexOf(h.w().Check4) > siblings.indexOf(h.w().Frame6));
}

void MainWindowTest::focusCycle() {
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowActive(&h.w()));
    QCOMPARE(QApplication::focusWidget(), h.w().cmdOpen);
    // At start cmdOut and the counter boxes are disabled and are skipped.
    const QStringList expected = {"Combo2", "Combo1",     "Combo4",   "Combo5",   "Combo3",
                                  "Combo6", "txtOutData", "Command1", "Command2", "Text2",
                                  "Check5", "Check6",     "Check3",   "Text8",    "Check4",
                                  "Check7", "Check1",     "Text9",    "cmdOpen"};
    QStringList seen;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);
    // With the loopback check on, the counters join the cycle in their tab order.
    h.w().Check4->setChecked(true);
    h.w().cmdOpen->setFocus();
    seen.clear();
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, QStringList({"Combo2", "Combo1", "Combo4", "Combo5", "Combo3", "Combo6",
                                "txtOutData", "Command1", "Command2", "Text1", "Text2", "Text3"}));
}

void MainWindowTest::startState() {
    WindowHarness h;
    MSCommTest& w = h.w();
    QCOMPARE(w.cmdOpen->text(), QStringLiteral("通信開始"));
    QVERIFY(w.cmdOpen->isEnabled());
    QCOMPARE(w.cmdOut->text(), QStringLiteral("送信"));
    QVERIFY(!w.cmdOut->isEnabled());
    QStringList rates;
    for (int i = 0; i < w.Combo1->count(); ++i) rates << w.Combo1->itemText(i);
    QCOMPARE(rates, port_config::baudCaptions());
    QCOMPARE(w.Combo1->currentText(), QStringLiteral("9600"));
    // The window's range, 300 to 3,000,000 baud, in the list's order.
    QCOMPARE(rates.first(), QStringLiteral("300"));
    QCOMPARE(rates.last(), QStringLiteral("3000000"));
    QCOMPARE(w.Combo2->count(), kComPortCount);
    QCOMPARE(w.Combo2->itemText(kComPortCount - 1), QStringLiteral("COM%1").arg(kComPortCount));
    QCOMPARE(w.Combo3->itemText(2), QStringLiteral("奇数(Odd)"));
    QCOMPARE(w.Combo6->itemText(1), QStringLiteral("RTS/CTS"));
    for (auto* c : {w.Combo1, w.Combo2, w.Combo3, w.Combo4, w.Combo5, w.Combo6})
        QVERIFY(c->isEnabled());
    QVERIFY(w.Check5->isChecked());
    QVERIFY(w.Check6->isChecked());
    QVERIFY(!w.Check4->isChecked());
    for (QWidget* c : std::initializer_list<QWidget*>{w.Text1, w.Text3, w.Text4, w.Text5, w.Text6,
                                                      w.Text7, w.Label1, w.Label9, w.Label10,
                                                      w.Label11, w.Label12, w.Label13})
        QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    QVERIFY(!w.Timer1->isActive());
    QCOMPARE(w.Timer1->interval(), 3000);
    QCOMPARE(w.sendRun().timeoutMs(), 3000);
    QCOMPARE(w.sendActive, False16);
    QCOMPARE(w.commAborted, False16);
    QCOMPARE(w.sendEventFlag, False16);
    QCOMPARE(w.sendRun().countUpValue(), 0);
    QCOMPARE(w.loopbackCheck().counters().blocks + w.loopbackCheck().counters().matchedBytes +
                 w.loopbackCheck().counters().mismatches +
                 w.loopbackCheck().counters().receivedBytes +
                 w.loopbackCheck().counters().lineErrors,
             0);
    // The port is configured but was never opened; DTR is already driven, RTS waits for open.
    QVERIFY(!w.MSComm->PortOpen());
    QCOMPARE(h.device.opens, 0);
    QVERIFY(w.MSComm->DTREnable());
    QVERIFY(w.MSComm->RTSEnable());
    QCOMPARE(w.MSComm->Settings(), QStringLiteral("115200,n,8,1"));
    QCOMPARE(w.MSComm->RThreshold(), qint16(1));
    QCOMPARE(w.MSComm->SThreshold(), qint16(1));
    QCOMPARE(w.MSComm->InputMode(), 1);
    QCOMPARE(w.MSComm->InBufferSize(), qint16(4096));
    QCOMPARE(w.MSComm->OutBufferSize(), qint16(4096));
    QVERIFY(h.messages.shown.isEmpty());
}

void MainWindowTest::comboBoxesTakeNoTyping() {
    WindowHarness h;
    for (auto* c :
         {h.w().Combo1, h.w().Combo2, h.w().Combo3, h.w().Combo4, h.w().Combo5, h.w().Combo6}) {
        const QString before = c->currentText();
        QVERIFY(!c->isEditable());
        QTest::keyClicks(c, QStringLiteral("zz"));
        QCOMPARE(c->findText(c->currentText()) >= 0, true);
        QCOMPARE(c->currentText(), before);
    }
}

void MainWindowTest::closeAnsweredNoKeepsEverythingRunning() {
    WindowHarness h;
    h.device.echo = true;
    h.w().Check3->setChecked(true);
    int sentBefore = 0;
    h.runOpen({
        WindowHarness::act([&] {
            QTest::mouseClick(h.w().cmdOut, Qt::LeftButton);
            h.messages.answers = {msg_box::No};
            QVERIFY(!h.w().close());
            const auto& box = h.messages.shown.last();
            QCOMPARE(box.text, QStringLiteral("終了しますか？"));
            QCOMPARE(box.style, msg_box::Question + msg_box::YesNo);
            QCOMPARE(box.title, QStringLiteral("Parvolo"));
            sentBefore = h.w().sendRun().transmissions();
        }),
        [&] { return h.w().sendRun().transmissions() > sentBefore + 2; },
        WindowHarness::act([&] {
            QVERIFY(h.w().MSComm->PortOpen());
            QCOMPARE(h.w().cmdOut->text(), QStringLiteral("停止"));
            QCOMPARE(h.programEnds, 0);
        }),
    });
    QCOMPARE(h.messages.shown.size(), 1);
}

void MainWindowTest::closeAnsweredYesWhileOpen() {
    WindowHarness h;
    h.whileOpen([&] {
        QVERIFY(h.device.open);
        h.messages.answers = {msg_box::Yes};
        h.w().close();
        QVERIFY(!h.device.open);
        QCOMPARE(h.programEnds, 1);
        QCOMPARE(h.messages.shown.size(), 1);
    });
}

void MainWindowTest::closeAnsweredYesWhileClosed() {
    WindowHarness h;
    const int dtrBefore = h.device.dtrChanges;
    h.messages.answers = {msg_box::Yes};
    QVERIFY(h.w().close());
    QCOMPARE(h.programEnds, 1);
    QCOMPARE(h.device.opens, 0);
    QCOMPARE(h.device.closes, 0);
    QCOMPARE(h.device.dtrChanges, dtrBefore);
}

void MainWindowTest::keyFilter_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Text2 digits and a letter") << "Text2"
                                               << "12a3"
                                               << "123";
    QTest::newRow("Text8 digits and a letter") << "Text8"
                                               << "12a3"
                                               << "123";
    QTest::newRow("signs and space") << "Text2"
                                     << "-+ 1"
                                     << "1";
    QTest::newRow("eleven digits stop at ten") << "Text2"
                                               << "12345678901"
                                               << "1234567890";
    QTest::newRow("Text8 takes five") << "Text8"
                                      << "1234567"
                                      << "12345";
}

void MainWindowTest::keyFilter() {
    QFETCH(QString, field);
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    WindowHarness h;
    auto* edit = h.w().findChild<QLineEdit*>(field);
    edit->clear();
    QTest::keyClicks(edit, keys);
    QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QStringLiteral("５"), Qt::NoModifier);
    QCOMPARE(edit->text(), expected);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), expected.chopped(1));
    // Paste and the other editing shortcuts arrive as control characters and are discarded.
    QGuiApplication::clipboard()->setText(QStringLiteral("9"));
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), expected.chopped(1));
}

// Keys count by what they mean: X11 gives Delete the text U+007F and Backspace U+0008, and
// only keys that type a character meet the filter.
void MainWindowTest::entryKeysByMeaning_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<KeyPresses>("keys");
    QTest::addColumn<QString>("expected");
    const KeyPress home{Qt::Key_Home, {}}, end{Qt::Key_End, {}}, left{Qt::Key_Left, {}},
        right{Qt::Key_Right, {}};
    const KeyPress x11Delete{Qt::Key_Delete, QStringLiteral("\x7f")};
    const KeyPress x11Backspace{Qt::Key_Backspace, QStringLiteral("\b")};
    QTest::newRow("Text2 Home, Delete") << "Text2" << KeyPresses{home, x11Delete} << "23";
    QTest::newRow("Text2 Left, Delete") << "Text2" << KeyPresses{end, left, x11Delete} << "12";
    QTest::newRow("Text8 Right, Delete") << "Text8" << KeyPresses{home, right, x11Delete} << "13";
    QTest::newRow("Text2 keypad Delete")
        << "Text2" << KeyPresses{home, {Qt::Key_Delete, QStringLiteral("\x7f"), Qt::KeypadModifier}}
        << "23";
    QTest::newRow("Text8 Backspace") << "Text8" << KeyPresses{end, x11Backspace} << "12";
    QTest::newRow("Text2 selection and Delete")
        << "Text2" << KeyPresses{home, {Qt::Key_End, {}, Qt::ShiftModifier}, x11Delete} << "";
    QTest::newRow("Text2 one key typing several characters")
        << "Text2" << KeyPresses{{Qt::Key_unknown, QStringLiteral("4a5")}} << "12345";
}

void MainWindowTest::entryKeysByMeaning() {
    QFETCH(QString, field);
    QFETCH(KeyPresses, keys);
    WindowHarness h;
    auto* edit = h.w().findChild<QLineEdit*>(field);
    edit->setText(QStringLiteral("123"));
    for (const KeyPress& k : keys)
        QTest::sendKeyEvent(QTest::Click, edit, k.key, k.text, k.modifiers);
    QTEST(edit->text(), "expected");
}

// No composition in the two fields; a commit that arrives anyway meets the same filter.
void MainWindowTest::inputMethodIntoEntryFields_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("commit");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full-width digit and letter") << "Text2" << QStringLiteral("２ａ") << "1";
    QTest::newRow("mixed") << "Text2" << QStringLiteral("2ｱ3漢4") << "1234";
    QTest::newRow("control characters") << "Text8" << QStringLiteral("\b\r7") << "17";
}

void MainWindowTest::inputMethodIntoEntryFields() {
    QFETCH(QString, field);
    QFETCH(QString, commit);
    WindowHarness h;
    auto* edit = h.w().findChild<QLineEdit*>(field);
    edit->setText(QStringLiteral("1"));
    QInputMethodQueryEvent query(Qt::ImEnabled);
    QCoreApplication::sendEvent(edit, &query);
    QVERIFY(!query.value(Qt::ImEnabled).toBool());
    QInputMethodEvent event;
    event.setCommitString(commit);
    QCoreApplication::sendEvent(edit, &event);
    QTEST(edit->text(), "expected");
    // The multi-line boxes do take composition.
    QInputMethodQueryEvent boxQuery(Qt::ImEnabled);
    QCoreApplication::sendEvent(h.w().Text9, &boxQuery);
    QVERIFY(boxQuery.value(Qt::ImEnabled).toBool());
}

// What a screen reader calls each frame: its own title, never the title of the frame around it.
void MainWindowTest::accessibleNames_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("Frame1") << "通信ﾎﾟｰﾄ設定";
    QTest::newRow("Frame2") << "送信";
    QTest::newRow("Frame3") << "受信";
    QTest::newRow("Frame4") << "送信回数";
    QTest::newRow("Frame5") << "プリセットデータ";
    QTest::newRow("Frame6") << "ループバックチェック";
}

void MainWindowTest::accessibleNames() {
    WindowHarness h;
    QWidget* frame = h.w().findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(frame);
    QVERIFY(a);
    QCOMPARE(a->role(), QAccessible::Grouping);
    QTEST(a->text(QAccessible::Name), "name");
}

void MainWindowTest::valueCheckOnLeaving_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    QTest::newRow("Text2 above 32 bits") << "Text2"
                                         << "9999999999"
                                         << "2147483647";
    QTest::newRow("Text2 at the maximum") << "Text2"
                                          << "2147483647"
                                          << "2147483647";
    QTest::newRow("Text2 below the maximum") << "Text2"
                                             << "2147483646"
                                             << "2147483646";
    QTest::newRow("Text2 small numbers are not text-compared") << "Text2"
                                                               << "3"
                                                               << "3";
    QTest::newRow("Text8 above") << "Text8"
                                 << "99999"
                                 << "32767";
    QTest::newRow("Text8 at the maximum") << "Text8"
                                          << "32767"
                                          << "32767";
    QTest::newRow("Text8 zero") << "Text8"
                                << "0"
                                << "0";
    QTest::newRow("Text8 leading zeros stay") << "Text8"
                                              << "00256"
                                              << "00256";
}

void MainWindowTest::valueCheckOnLeaving() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowActive(&h.w()));
    auto* edit = h.w().findChild<QLineEdit*>(field);
    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), typed);
    QTest::keyClick(edit, Qt::Key_Tab);
    QVERIFY(!edit->hasFocus());
    QCOMPARE(edit->text(), after);
}

void MainWindowTest::pasteIsCutToMaxLength() {
    WindowHarness h;
    QGuiApplication::clipboard()->setText(QStringLiteral("12345678901"));
    h.w().Text2->selectAll();
    h.w().Text2->paste();
    QCOMPARE(h.w().Text2->text(), QStringLiteral("1234567890"));
}

void MainWindowTest::emptiedFieldReadsLastValue() {
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowActive(&h.w()));
    h.w().Text8->setFocus();
    QTest::keyClick(h.w().Text8, Qt::Key_End);
    for (int i = 0; i < 3; ++i) QTest::keyClick(h.w().Text8, Qt::Key_Backspace);
    QCOMPARE(h.w().Text8->text(), QString());
    QCOMPARE(h.w().displayLimit(), 256);
    QTest::keyClick(h.w().Text8, Qt::Key_Tab);
    QCOMPARE(h.w().Text8->text(), QStringLiteral("256"));
    // Pasted junk reads as the last number too.
    h.w().Text2->setText(QStringLiteral("42"));
    h.w().Text2->setText(QStringLiteral("4x"));
    QCOMPARE(h.w().sendCountLimit(), 42);
    QVERIFY(h.messages.shown.isEmpty());
}

void MainWindowTest::sendClickRunsValueCheckFirst() {
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowActive(&h.w()));
    h.whileOpen([&] {
        h.w().Text2->setFocus();
        h.w().Text2->clear();
        QTest::keyClicks(h.w().Text2, QStringLiteral("9999999999"));
        QTest::mouseClick(h.w().cmdOut, Qt::LeftButton);
        QCOMPARE(h.w().Text2->text(), QStringLiteral("2147483647"));
        QCOMPARE(h.w().sendActive, True16);
        QCOMPARE(h.w().sendRun().transmissions(), 1);
    });
}

void MainWindowTest::readOnlyBoxesAllowCopy() {
    WindowHarness h;
    h.w().Check4->setChecked(true);
    for (QLineEdit* box : {h.w().Text1, h.w().Text6, h.w().CD_LED, h.w().RI_LED}) {
        const QString before = box->text();
        QTest::keyClicks(box, QStringLiteral("77"));
        QCOMPARE(box->text(), before);
        box->selectAll();
        box->copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), before);
    }
    QTest::keyClicks(h.w().Text9, QStringLiteral("typed"));
    QCOMPARE(h.w().Text9->text(), QStringLiteral("typed"));
}

void MainWindowTest::clearButtons() {
    WindowHarness h;
    h.w().Text9->setText(QStringLiteral("abc"));
    QTest::mouseClick(h.w().Command1, Qt::LeftButton);
    QCOMPARE(h.w().txtOutData->text(), QString());
    QCOMPARE(h.w().Text9->text(), QStringLiteral("abc"));
    QTest::mouseClick(h.w().Command2, Qt::LeftButton);
    QCOMPARE(h.w().Text9->text(), QString());
    QCOMPARE(h.w().Text1->text(), QStringLiteral("0"));
}

// Count-up data ends in CR LF; a copy takes that, and a paste inside the box changes nothing.
void MainWindowTest::countUpDataCopiesWithItsCrLf() {
    WindowHarness h;
    MultiLineTextBox* box = h.w().txtOutData;
    h.w().Check7->setChecked(true);
    const QString record = h.w().sendRun().countUpData();
    QCOMPARE(box->text(), record);
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(box)->textInterface();
    QCOMPARE(text->text(0, text->characterCount()), record);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), record);
    QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->text(), record);
}

void MainWindowTest::groupTitleTogglesLoopback() {
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.w()));
    // A click in Frame6's title place lands on Check4.
    const QPoint titlePlace = h.w().Frame6->mapTo(&h.w(), QPoint(20, 6));
    QWidget* hit = h.w().childAt(titlePlace);
    QCOMPARE(hit, static_cast<QWidget*>(h.w().Check4));
    QTest::mouseClick(hit, Qt::LeftButton, {}, hit->mapFrom(&h.w(), titlePlace));
    QVERIFY(h.w().Check4->isChecked());
    QVERIFY(h.w().Text1->isEnabled());
    QVERIFY(h.w().Label13->isEnabled());
}

void MainWindowTest::enterOnCheckBoxClicksNothing() {
    WindowHarness h;
    h.w().show();
    QVERIFY(QTest::qWaitForWindowActive(&h.w()));
    int clicks = 0;
    for (auto* b : h.w().findChildren<QPushButton*>())
        connect(b, &QPushButton::clicked, [&] { ++clicks; });
    h.w().Check3->setFocus();
    QTest::keyClick(h.w().Check3, Qt::Key_Return);
    QTest::keyClick(h.w().Check3, Qt::Key_Escape);
    QCOMPARE(clicks, 0);
    QVERIFY(!h.w().Check3->isChecked());
    // Enter on a focused button clicks that button only.
    h.w().Command1->setFocus();
    QTest::keyClick(h.w().Command1, Qt::Key_Return);
    QCOMPARE(clicks, 1);
    QCOMPARE(h.w().txtOutData->text(), QString());
}

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
