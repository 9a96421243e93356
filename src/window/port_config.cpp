#include "window/port_config.h"

namespace parvolo::PortConfig {

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

}  // namespace parvolo::PortConfig
