#include "window/port_config.h"

#include "serial/port_names.h"

namespace parvolo::port_config {

namespace {
// The one place each caption is written: the lists offer the rows marked listed, in this
// order, and the configuration reads the same texts back.
struct ParityRow {
    const char* text;
    const char* letter;
    bool listed;
};
const ParityRow kParity[] = {
    {"なし(None)", "N", true}, {"偶数(Even)", "E", true},    {"奇数(Odd)", "O", true},
    {"ﾏｰｸ(Mark)", "M", false}, {"ｽﾍﾟｰｽ(Space)", "S", false},
};
const char* const kBaudRates[] = {"300",    "600",     "1200",    "2400",    "4800",
                                  "9600",   "14400",   "19200",   "28800",   "38400",
                                  "57600",  "115200",  "128000",  "256000",  "460800",
                                  "921600", "1000000", "1500000", "2000000", "3000000"};
struct FlowRow {
    const char* text;
    qint32 mode;
    bool listed;
};
const FlowRow kFlow[] = {
    {"なし", 0, true}, {"RTS/CTS", 2, true}, {"Xon/Xoff", 1, true}, {"comRTSXOnXOff", 3, false}};

template <typename Row, size_t N>
QStringList listedCaptions(const Row (&rows)[N]) {
    QStringList captions;
    for (const Row& row : rows)
        if (row.listed) captions << QString::fromUtf8(row.text);
    return captions;
}
}  // namespace

QStringList baudCaptions() {
    QStringList captions;
    for (const char* rate : kBaudRates) captions << QLatin1String(rate);
    return captions;
}

QStringList parityCaptions() {
    return listedCaptions(kParity);
}

QStringList flowCaptions() {
    return listedCaptions(kFlow);
}

std::optional<qint16> portNumber(const QString& portName) {
    for (qint16 n = 1; n <= kComPortCount; ++n)
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

}  // namespace parvolo::port_config
