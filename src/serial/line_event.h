#pragma once

#include <QtGlobal>

// Everything the serial control reports about the line, with the numbers the window's
// CommEvent gives them.
namespace parvolo {

enum class LineEvent : qint16 {
    TransmitEmpty = 1,  // the control's queue and the driver's have drained
    DataReceived = 2,
    CtsChanged = 3,
    DsrChanged = 4,
    CarrierChanged = 5,
    Ring = 6,
    EndOfFile = 7,
    Break = 1001,
    FramingError = 1004,
    Overrun = 1006,          // the UART's receiver overran
    ReceiveOverflow = 1008,  // a buffer had to drop received bytes
    ParityError = 1009,
    TransmitFull = 1010,  // a text did not fit beside the queued data
    DeviceLost = 1011,    // the device went away (unplugged, far end closed)
};

}  // namespace parvolo
