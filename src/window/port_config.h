#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Turning the texts of the six choice boxes into port settings.
namespace parvolo::port_config {

// What the baud-rate list offers, in its order (the window picks 9600).
QStringList baudCaptions();
// What the parity and flow-control lists offer, in their order; the first is the default.
QStringList parityCaptions();
QStringList flowCaptions();
// "COM1".."COM15" (kComPortCount) give their numbers; any other text gives nothing.
std::optional<qint16> portNumber(const QString& portName);
// The parity letter of a parity text, empty when the text is not known.
QString parityLetter(const QString& parityText);
// The handshaking mode of a flow-control text.
std::optional<qint32> handshaking(const QString& flowText);
// "baud,letter,data,stop"
QString settingsText(const QString& baud, const QString& parity, const QString& dataBits,
                     const QString& stopBits);

}  // namespace parvolo::port_config
