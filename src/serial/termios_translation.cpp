#include "serial/termios_translation.h"

#include <termios.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "serial/serial_error.h"

namespace parvolo {

namespace {

constexpr quint32 kParityBits = PARENB | PARODD | CMSPAR;
constexpr quint32 kFlowInputBits = IXON | IXOFF | IXANY;

int dataBitsOf(quint32 cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

Parity parityOf(quint32 cflag) {
    if (!(cflag & PARENB)) return Parity::None;
    if (cflag & CMSPAR) return (cflag & PARODD) ? Parity::Mark : Parity::Space;
    return (cflag & PARODD) ? Parity::Odd : Parity::Even;
}

QString flowControlText(quint32 cflag, quint32 iflag) {
    return setting_texts::flowControl(cflag & CRTSCTS, (iflag & (IXON | IXOFF)) != 0);
}

LineSettings settingsOf(const Termios2State& state) {
    LineSettings s;
    s.baudRate = qint32(std::min<quint32>(termios2OutputSpeed(state), INT32_MAX));
    s.parity = parityOf(state.cflag);
    s.dataBits = DataBits(dataBitsOf(state.cflag));
    s.stopBits = (state.cflag & CSTOPB) ? StopBits::Two : StopBits::One;
    const bool rtsCts = state.cflag & CRTSCTS;
    const bool xonXoff = (state.iflag & (IXON | IXOFF)) != 0;
    s.flow = rtsCts ? (xonXoff ? FlowControl::Both : FlowControl::RtsCts)
                    : (xonXoff ? FlowControl::XonXoff : FlowControl::None);
    return s;
}

}  // namespace

TermiosBits buildTermiosBits(const LineSettings& s) {
    TermiosBits bits;
    bits.cflag = CLOCAL | CREAD;
    switch (s.dataBits) {
        case DataBits::Five:
            bits.cflag |= CS5;
            break;
        case DataBits::Six:
            bits.cflag |= CS6;
            break;
        case DataBits::Seven:
            bits.cflag |= CS7;
            break;
        case DataBits::Eight:
            bits.cflag |= CS8;
            break;
        default:
            throw SerialError::invalidValue();
    }
    switch (s.parity) {
        case Parity::None:
            break;
        case Parity::Even:
            bits.cflag |= PARENB;
            break;
        case Parity::Odd:
            bits.cflag |= PARENB | PARODD;
            break;
        case Parity::Mark:
            bits.cflag |= PARENB | PARODD | CMSPAR;
            break;
        case Parity::Space:
            bits.cflag |= PARENB | CMSPAR;
            break;
        default:
            throw SerialError::invalidValue();
    }
    switch (s.stopBits) {
        case StopBits::One:
            break;
        case StopBits::Two:
            bits.cflag |= CSTOPB;
            break;
        default:
            throw SerialError::invalidValue();
    }
    if (s.xonXoff()) bits.iflag |= IXON | IXOFF;
    if (s.rtsCts()) bits.cflag |= CRTSCTS;
    return bits;
}

ReadBack compareReadBack(const LineSettings& wanted, const TermiosBits& bits,
                         const Termios2State& actual) {
    ReadBack result{settingsOf(actual), {}, {}};
    const quint32 baud = quint32(wanted.baudRate);
    // A UART reaches most rates only approximately; 2% is what a receiver tolerates.
    auto farOff = [baud](quint32 rate) {
        return std::llabs(qint64(rate) - qint64(baud)) * 50 > qint64(baud);
    };
    const quint32 out = termios2OutputSpeed(actual);
    const quint32 in = termios2InputSpeed(actual);
    auto refused = [&result](const QString& what, const QString& instead) {
        result.what = what;
        result.problem = setting_texts::driverReports(instead);
        return result;
    };
    if (farOff(out) || farOff(in))
        return refused(setting_texts::baudRate(baud),
                       setting_texts::baudRate(farOff(out) ? out : in));
    if ((actual.cflag & CSIZE) != (bits.cflag & CSIZE))
        return refused(setting_texts::dataBits(wanted.dataBitCount()),
                       setting_texts::dataBits(dataBitsOf(actual.cflag)));
    if ((actual.cflag & kParityBits) != (bits.cflag & kParityBits))
        return refused(setting_texts::parity(wanted.parity),
                       setting_texts::parity(parityOf(actual.cflag)));
    if ((actual.cflag & CSTOPB) != (bits.cflag & CSTOPB))
        return refused(setting_texts::stopBits(wanted.stopBitCount()),
                       setting_texts::stopBits((actual.cflag & CSTOPB) ? 2 : 1));
    if ((actual.cflag & CRTSCTS) != (bits.cflag & CRTSCTS) ||
        (actual.iflag & kFlowInputBits) != (bits.iflag & kFlowInputBits))
        return refused(flowControlText(bits.cflag, bits.iflag),
                       flowControlText(actual.cflag, actual.iflag));
    return result;
}

}  // namespace parvolo
