#pragma once

// Line settings as the terminal's c_cflag and c_iflag bits, and the bits a driver reads back
// as line settings again, with the first one it did not take. In <termios.h> values; the
// termios2 calls that carry them to the driver live apart (termios2_settings.h), because their
// header cannot share a translation unit with <termios.h>.

#include <QString>
#include <QtGlobal>

#include "serial/line_settings.h"
#include "serial/termios2_settings.h"

namespace parvolo {

// The c_cflag and c_iflag bits a set of line settings asks for, in <termios.h> values.
struct TermiosBits {
    quint32 cflag = 0;  // CSIZE, PARENB, PARODD, CMSPAR, CSTOPB, CRTSCTS, CLOCAL, CREAD
    quint32 iflag = 0;  // IXON, IXOFF (IXANY stays off: any byte resuming output would defeat Xoff)

    bool operator==(const TermiosBits&) const = default;
};

// Throws SerialError (invalid value) for values outside the ranges the serial control accepts.
TermiosBits buildTermiosBits(const LineSettings& settings);

// What a driver read back after being asked for `wanted` (built as `bits`).
struct ReadBack {
    LineSettings settings;  // what the driver has now
    QString what;     // the first setting it did not take, as the message names it; empty: all
    QString problem;  // what it has instead
};

ReadBack compareReadBack(const LineSettings& wanted, const TermiosBits& bits,
                         const Termios2State& actual);

}  // namespace parvolo
