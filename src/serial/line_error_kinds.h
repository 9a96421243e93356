#pragma once

// Every kind of line error, one row each: the event the serial control reports, the kernel's
// counter (TIOCGICOUNT) and ours, the error flag ClearCommError gives, the report's key and
// summary word, and what the window does with it. The devices, the serial control, the window
// and the checker all read this table; a new kind is one row.
//
// A buffer overrun (the driver, or the control's own buffer, dropped received bytes) ends
// communication in the window, as its message says; the checker counts it as a line error,
// which fails the run, and goes on so that the report has the whole run.

#include <linux/serial.h>

#include <QtGlobal>
#include <span>

#include "serial/line_event.h"
#include "serial/serial_device.h"

namespace parvolo {

enum class WindowHandling {
    CountAndDiscard,  // counted in the error box; the data it damaged is thrown away
    Fatal,            // a message, and communication stops
};

struct LineErrorKind {
    LineEvent event;
    int serial_icounter_struct::*kernelCounter;
    quint32 KernelLineCounts::*count;
    quint32 commErrorFlag;  // ClearCommError's CE_ bit
    const char* reportKey;  // the checker's JSON
    const char* summaryWord;
    WindowHandling window;
};

inline constexpr LineErrorKind kLineErrorKinds[] = {
    {LineEvent::Break, &serial_icounter_struct::brk, &KernelLineCounts::brk, 0x10, "break", "break",
     WindowHandling::CountAndDiscard},
    {LineEvent::FramingError, &serial_icounter_struct::frame, &KernelLineCounts::frame, 0x8,
     "frame", "frame", WindowHandling::CountAndDiscard},
    {LineEvent::Overrun, &serial_icounter_struct::overrun, &KernelLineCounts::overrun, 0x2,
     "overrun", "overrun", WindowHandling::CountAndDiscard},
    {LineEvent::ParityError, &serial_icounter_struct::parity, &KernelLineCounts::parity, 0x4,
     "parity", "parity", WindowHandling::CountAndDiscard},
    {LineEvent::ReceiveOverflow, &serial_icounter_struct::buf_overrun,
     &KernelLineCounts::bufferOverrun, 0x1, "buffer_overrun", "buffer overrun",
     WindowHandling::Fatal},
};

// The row of a line error, nullptr for any other event.
inline const LineErrorKind* lineErrorKindOf(LineEvent event) {
    for (const LineErrorKind& kind : kLineErrorKinds)
        if (kind.event == event) return &kind;
    return nullptr;
}

// Our counts from the kernel's.
inline KernelLineCounts lineCountsOf(const serial_icounter_struct& kernel) {
    KernelLineCounts counts;
    for (const LineErrorKind& kind : kLineErrorKinds)
        counts.*kind.count = quint32(kernel.*kind.kernelCounter);
    return counts;
}

}  // namespace parvolo
