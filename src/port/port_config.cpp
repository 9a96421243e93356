#include "port/port_config.h"

#include <QComboBox>

#include "app/checked_int.h"
#include "app/message_box.h"
#include "app/mscommtest.h"
#include "port/mscomm.h"
#include "port/port_messages.h"

namespace PortConfig {

namespace {
struct ParityRow {
    const char* text;
    const char* letter;
};
const ParityRow kParity[] = {
    {"なし(None)", "N"}, {"偶数(Even)", "E"},   {"奇数(Odd)", "O"},
    {"ﾏｰｸ(Mark)", "M"},  {"ｽﾍﾟｰｽ(Space)", "S"},
};
struct FlowRow {
    const char* text;
    qint32 mode;
};
const FlowRow kFlow[] = {{"なし", 0}, {"Xon/Xoff", 1}, {"RTS/CTS", 2}, {"comRTSXOnXOff", 3}};
}  // namespace

std::optional<qint16> portNumber(const QString& portName) {
    for (qint16 n = 1; n <= 15; ++n)
        if (portName == QStringLiteral("COM%1").arg(n)) return n;
    return std::nullopt;
}

QString parityLetter(const QString& parityText) {
    QString letter;
    for (const ParityRow& row : kParity)
        if (parityText == QString::fromUtf8(row.text)) letter = QString::fromLatin1(row.letter);
    return letter;
}

std::optional<qint32> handshaking(const QString& flowText) {
    for (const FlowRow& row : kFlow)
        if (flowText == QString::fromUtf8(row.text)) return row.mode;
    return std::nullopt;
}

QString settingsText(const QString& baud, const QString& parity, const QString& dataBits,
                     const QString& stopBits) {
    return baud + QLatin1Char(',') + parity + QLatin1Char(',') + dataBits + QLatin1Char(',') +
           stopBits;
}

}  // namespace PortConfig

namespace {
// The choice texts are list entries, so they are numbers; a text that is not raises the
// type-mismatch error rather than being read as 0.
qint64 wholeNumber(const QString& text) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok) throw AppError(13, QStringLiteral("Type mismatch"));
    return value;
}
}  // namespace

void MSCommTest::configurePort() {
    if (const auto port = PortConfig::portNumber(Combo2->currentText()))
        MSComm->setCommPort(*port);
    else
        showMessage(PortMessages::kCannotOpen, MsgBox::Exclamation + MsgBox::OkOnly,
                    PortMessages::kTitle);
    const QString baud = Combo1->currentText();
    const QString letter = PortConfig::parityLetter(Combo3->currentText());
    const QString data = Combo4->currentText();
    const QString stop = Combo5->currentText();
    MSComm->setSettings(PortConfig::settingsText(baud, letter, data, stop));
    baudRate = checkedNarrow<qint32>(wholeNumber(baud));
    dataBits = checkedNarrow<qint16>(wholeNumber(data));
    stopBits = checkedNarrow<qint16>(wholeNumber(stop));
    parityBits = letter == QLatin1String("N") ? 0 : 1;
    if (const auto mode = PortConfig::handshaking(Combo6->currentText()))
        MSComm->setHandshaking(*mode);
}
