#include "window/port_messages.h"

#include "serial/com_numbers.h"

namespace parvolo::port_messages {

namespace {
struct Row {
    int number;
    const char* message;
};
// In the order in which the numbers are compared.
const Row kRows[] = {
    {8005, "ﾎﾟｰﾄはすでに開かれています"},
    {8002, "ポート番号が不正です"},
    {8015, "通信状態を設定できません。通信パラメータのいずれかが不正である可能性があります"},
    {8006, "デバイス識別子が無効またはサポートされていません"},
    {8007, "デバイスの通信速度はサポートされていません"},
    {8008, "指定されたバイトサイズは無効です"},
    {8009, "既定の設定値が間違っています"},
    {8010, "ハードウェアが使用できません。他のデバイスによってロックされています"},
    {8011, "関数がキューを割当てられません"},
    {8012, "デバイスが開かれていません"},
    {8013, "デバイスは既に開いています"},
    {8014, "通信通知を有効にできません"},
    {8016, "通信イベントマスクを設定できませんでした"},
    {8019, "デバイスがビジー状態です"},
    {8020, "通信デバイス読み取り時にエラーが発生しました"},
};
}  // namespace

QString tableMessage(const QString& errorNumberText) {
    for (const Row& row : kRows)
        if (errorNumberText == QString::number(row.number)) return QString::fromUtf8(row.message);
    return kCannotOpen;
}

}  // namespace parvolo::port_messages

namespace parvolo::port_messages {

QString portNotice(const ComPort& port) {
    const QString prefix = port.name() + QStringLiteral(": ");
    if (port.isRemote()) return prefix + port.path;
    if (port.device) {
        const SerialPortInfo& d = *port.device;
        const QString what = d.isUsb() ? d.description() : QStringLiteral("本体のシリアルポート");
        return prefix + what + QStringLiteral(" (") + d.ttyName() + QLatin1Char(')');
    }
    if (!port.unplugged.isEmpty())
        return prefix + port.unplugged + QStringLiteral(" (抜かれています)");
    if (port.source == ComPort::Source::HandLink)
        return prefix + (port.reaches()
                             ? port.linkTarget + QStringLiteral(" へのリンク")
                             : QStringLiteral("リンク先 %1 がありません").arg(port.linkTarget));
    return prefix + QStringLiteral("何もつながっていません");
}

}  // namespace parvolo::port_messages
