#include "window/controls_table.h"

#include <QFont>

namespace parvolo {

namespace {

using K = ControlKind;

// Each row: the design name, its role in English (the glossary of the design names), kind,
// group, rectangle, tab index, text, tooltip, flags. Texts set by the load procedure are empty
// here.
const ControlSpec kControls[] = {
    // Frames
    {"Frame1", "port settings group", K::Frame, "", 120, 120, 8295, 855, -1, "通信ﾎﾟｰﾄ設定", ""},
    {"Frame2", "send group", K::Frame, "", 120, 1080, 8295, 1935, -1, "送信", ""},
    {"Frame4", "send count group", K::Frame, "Frame2", 240, 2040, 2175, 855, -1, "送信回数", ""},
    {"Frame5", "preset data group", K::Frame, "Frame2", 2520, 2040, 2415, 855, -1,
     "プリセットデータ", ""},
    {"Frame3", "receive group", K::Frame, "", 120, 3120, 8295, 2775, -1, "受信", ""},
    {"Frame6", "loopback counters group", K::Frame, "Frame3", 240, 4680, 8055, 1095, -1, "", ""},
    // Frame1: port settings
    {"Label3", "caption: port", K::Label, "Frame1", 360, 360, 495, 255, 19, "ﾎﾟｰﾄ", ""},
    {"Label4", "caption: baud rate", K::Label, "Frame1", 1200, 360, 735, 255, 18, "速度", ""},
    {"Label6", "caption: data bits", K::Label, "Frame1", 2280, 360, 615, 255, 16, "ﾃﾞｰﾀ長", ""},
    {"Label7", "caption: stop bits", K::Label, "Frame1", 3000, 360, 855, 255, 15, "ｽﾄｯﾌﾟﾋﾞｯﾄ", ""},
    {"Label5", "caption: parity", K::Label, "Frame1", 3840, 360, 615, 255, 17, "ﾊﾟﾘﾃｨ", ""},
    {"Label8", "caption: flow control", K::Label, "Frame1", 5280, 360, 855, 255, 22, "ﾌﾛｰ制御", ""},
    {"cmdOpen", "open/close button", K::CommandButton, "Frame1", 6600, 360, 1695, 495, 0,
     "通信開始", "ｼﾘｱﾙﾎﾟｰﾄをｵｰﾌﾟﾝまたはｸﾛｰｽﾞします。"},
    {"Combo2", "port list", K::ComboBox, "Frame1", 240, 600, 975, 300, 1, "",
     "通信ﾎﾟｰﾄを選択します。"},
    {"Combo1", "baud rate list", K::ComboBox, "Frame1", 1200, 600, 1095, 300, 2, "",
     "通信速度を選択します。"},
    {"Combo4", "data bits list", K::ComboBox, "Frame1", 2280, 600, 735, 300, 3, "",
     "ﾃﾞｰﾀ長を選択します。"},
    {"Combo5", "stop bits list", K::ComboBox, "Frame1", 3000, 600, 735, 300, 4, "",
     "ｽﾄｯﾌﾟﾋﾞｯﾄ長を選択します。"},
    {"Combo3", "parity list", K::ComboBox, "Frame1", 3720, 600, 1455, 300, 5, "",
     "ﾊﾟﾘﾃｨを選択します。"},
    {"Combo6", "flow control list", K::ComboBox, "Frame1", 5160, 600, 1215, 300, 6, "",
     "ﾌﾛｰ制御を選択します。"},
    // Frame2: sending
    {"txtOutData", "send data", K::MultiLineTextBox, "Frame2", 240, 1320, 6135, 615, 7, "",
     "送信するﾃﾞｰﾀを入力します。", FixedPitchFont},
    {"cmdOut", "send/stop button", K::CommandButton, "Frame2", 6600, 1320, 1695, 495, 37, "",
     "送信ﾃﾞｰﾀに入力したﾃﾞｰﾀを送信します。"},
    {"Command1", "clear send data", K::CommandButton, "Frame2", 5040, 2160, 1215, 255, 8,
     "送信ﾃﾞｰﾀｸﾘｱ", "送信ﾃﾞｰﾀを全て削除します。"},
    {"Check5", "RTS switch", K::CheckBox, "Frame2", 6480, 2160, 855, 255, 28, "RTS",
     "制御線RTSをｱｸﾃｨﾌﾞ/ﾉﾝｱｸﾃｨﾌﾞにします。"},
    {"Check6", "DTR switch", K::CheckBox, "Frame2", 7320, 2160, 735, 255, 29, "DTR",
     "制御線DTRをｱｸﾃｨﾌﾞ/ﾉﾝｱｸﾃｨﾌﾞにします。"},
    {"Check3", "continuous send", K::CheckBox, "Frame4", 360, 2280, 1575, 255, 32, "連続送信",
     "連続送信を行います。"},
    {"Text2", "send count", K::TextBox, "Frame4", 960, 2520, 1095, 270, 24, "",
     "送信回数を入力します(最大2,147,483,647)。", RightAligned, 10},
    {"Label2", "caption: send count", K::Label, "Frame4", 440, 2590, 495, 195, 39, "回数", ""},
    {"Check1", "fox sentence", K::CheckBox, "Frame5", 2760, 2280, 1215, 255, 40, "FOXデータ",
     "固定のデータ列"},
    {"Check7", "count-up data", K::CheckBox, "Frame5", 2760, 2640, 1935, 180, 36,
     "カウントアップデータ", "一部データが変化するデータ列"},
    // Frame3: receiving
    {"Text9", "received data", K::MultiLineTextBox, "Frame3", 240, 3360, 6135, 855, 50, "", "",
     FixedPitchFont},
    {"CD_LED", "DCD indicator", K::TextBox, "Frame3", 6720, 3480, 495, 270, 13, "DCD",
     "DCDﾗｲﾝ状態が変化した時背面の色が変わります。", Centered | ReadOnly | LineIndicator},
    {"CS_LED", "CTS indicator", K::TextBox, "Frame3", 7560, 3480, 495, 270, 12, "CTS",
     "CTSﾗｲﾝ状態が変化した時背面の色が変わります。", Centered | ReadOnly | LineIndicator},
    {"DR_LED", "DSR indicator", K::TextBox, "Frame3", 6720, 3960, 495, 270, 11, "DSR",
     "DSRﾗｲﾝ状態が変化した時背面の色が変わります。", Centered | ReadOnly | LineIndicator},
    {"RI_LED", "RI indicator", K::TextBox, "Frame3", 7560, 3960, 495, 270, 10, "RI",
     "リングが検出され変化した時背面の色が変わります。", Centered | ReadOnly | LineIndicator},
    {"Label14", "caption: display limit", K::Label, "Frame3", 2880, 4320, 1095, 255, 34,
     "表示データ数", ""},
    {"Text8", "display limit", K::TextBox, "Frame3", 3960, 4320, 855, 270, 33, "",
     "表示する受信数(ﾊﾞｲﾄ)を入力します。値が大きいほど動作が重くなります。", RightAligned, 5},
    {"Command2", "clear received data", K::CommandButton, "Frame3", 5040, 4320, 1215, 255, 9,
     "受信ﾃﾞｰﾀｸﾘｱ", "受信ﾃﾞｰﾀを全て削除します。"},
    // Frame6: loopback counters, with Check4 as its title
    {"Check4", "loopback check", K::CheckBox, "Frame6", 360, 4680, 2055, 255, 35,
     "ループバックチェック", "送信されたﾃﾞｰﾀとの比較を行います。", GroupTitle},
    {"Label11", "caption: received bytes", K::Label, "Frame6", 360, 5040, 1095, 255, 48,
     "受信バイト数", ""},
    {"Label9", "caption: matched bytes", K::Label, "Frame6", 1680, 5040, 1215, 255, 47,
     "一致バイト数", ""},
    {"Label10", "caption: mismatches", K::Label, "Frame6", 3000, 5040, 1215, 255, 46, "不一致回数",
     ""},
    {"Label1", "caption: blocks", K::Label, "Frame6", 4320, 5040, 1095, 255, 45, "受信データ列",
     ""},
    {"Label12", "caption: line errors", K::Label, "Frame6", 5640, 5040, 975, 255, 44, "エラー", ""},
    {"Label13", "caption: first mismatch", K::Label, "Frame6", 6960, 5040, 1305, 255, 43,
     "不一致開始位置", ""},
    {"Text5", "counter: received bytes", K::TextBox, "Frame6", 360, 5280, 1215, 270, 27, "",
     "確認された受信ﾃﾞｰﾀ総数(ﾊﾞｲﾄ)を表示します。", RightAligned | ReadOnly},
    {"Text3", "counter: matched bytes", K::TextBox, "Frame6", 1680, 5280, 1215, 270, 25, "",
     "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して一致したﾃﾞｰﾀ総数(ﾊﾞｲﾄ)を表示します。",
     RightAligned | ReadOnly},
    {"Text4", "counter: mismatches", K::TextBox, "Frame6", 3000, 5280, 1215, 270, 26, "",
     "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して不一致と判定した回数を表示します。",
     RightAligned | ReadOnly},
    {"Text1", "counter: blocks", K::TextBox, "Frame6", 4320, 5280, 1215, 270, 23, "",
     "確認された受信ﾃﾞｰﾀ数が送信ﾃﾞｰﾀ数に一致した回数を表示します。", RightAligned | ReadOnly},
    {"Text6", "counter: line errors", K::TextBox, "Frame6", 5640, 5280, 1215, 270, 30, "",
     "ﾌﾞﾚｰｸ/ﾌﾚｰﾑ/ﾊﾟﾘﾃｨｴﾗｰなどが発生した回数を表示します。", RightAligned | ReadOnly},
    {"Text7", "counter: first mismatch position", K::TextBox, "Frame6", 6960, 5280, 1215, 270, 31,
     "", "確認された受信ﾃﾞｰﾀと送信ﾃﾞｰﾀを比較して最初の不一致が確認された位置(ﾊﾞｲﾄ)を表示します。",
     RightAligned | ReadOnly},
    // Window
    {"Label15", "notice", K::Label, "", 5520, 5925, 3015, 195, 49,
     "ﾙｰﾌﾟﾊﾞｯｸﾌﾟﾗｸﾞで配線を確認できます。", "", NoticeFont},
};

}  // namespace

std::span<const ControlSpec> controlTable() {
    return kControls;
}

void installFontSubstitutions() {
    QFont::insertSubstitution(QString::fromUtf8(kFixedPitchFamily), QStringLiteral("IPAGothic"));
    QFont::insertSubstitution(QString::fromUtf8(kProportionalFamily), QStringLiteral("IPAPGothic"));
}

}  // namespace parvolo
