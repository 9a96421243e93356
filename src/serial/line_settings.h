#pragma once

#include <QString>
#include <QtGlobal>

// Line settings as the serial control and the devices speak them.
namespace parvolo {

enum class Parity { None, Even, Odd, Mark, Space };
enum class DataBits { Five = 5, Six = 6, Seven = 7, Eight = 8 };
enum class StopBits { One = 1, Two = 2 };
// The values are the control's Handshaking numbers.
enum class FlowControl { None = 0, XonXoff = 1, RtsCts = 2, Both = 3 };

struct LineSettings {
    qint32 baudRate = 9600;
    Parity parity = Parity::None;
    DataBits dataBits = DataBits::Eight;
    StopBits stopBits = StopBits::One;
    FlowControl flow = FlowControl::None;

    bool operator==(const LineSettings&) const = default;

    int dataBitCount() const { return int(dataBits); }
    int stopBitCount() const { return int(stopBits); }
    int parityBitCount() const { return parity == Parity::None ? 0 : 1; }
    // Bits per character as the send-time estimate counts them: the start bit is not counted.
    int estimateBitsPerCharacter() const {
        return dataBitCount() + parityBitCount() + stopBitCount();
    }
    // Bits on the line per character, the start bit included.
    int bitsPerCharacter() const { return 1 + estimateBitsPerCharacter(); }
    bool rtsCts() const { return flow == FlowControl::RtsCts || flow == FlowControl::Both; }
    bool xonXoff() const { return flow == FlowControl::XonXoff || flow == FlowControl::Both; }
};

// N, E, O, M, S
QChar parityLetter(Parity parity);

// "baud,parity,data,stop", the parity letter in either case. Throws SerialError (invalid
// value) when a field is missing or out of range.
LineSettings parseSettings(const QString& text, FlowControl flow);
// Throws SerialError (invalid value) outside 0..3.
FlowControl flowControlOf(qint32 handshaking);

struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
};

}  // namespace parvolo
