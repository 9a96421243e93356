#pragma once

// The kernel's termios2 interface, the only way to set an arbitrary baud rate. Its header
// <asm/termbits.h> redefines struct termios and cannot share a translation unit with
// <termios.h>, so this file speaks in plain integers. The flag values in c_cflag and c_iflag
// are the same numbers in both headers (glibc passes them to the kernel unchanged), so callers
// build them with the <termios.h> names.

#include <array>
#include <cstdint>

namespace parvolo {

struct Termios2State {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::array<std::uint8_t, 19> cc{};
    std::uint32_t ispeed = 0;
    std::uint32_t ospeed = 0;
};

// TCGETS2 / TCSETS2 (applied at once, without waiting for output to drain). Each returns 0 or
// the errno of the failed call.
int getTermios2(int fd, Termios2State& state);
int setTermios2(int fd, const Termios2State& state);

// Raw mode on top of `base`: no input or output processing, no echo or signals, reads return
// as soon as one byte is there (VMIN 1, VTIME 0). The line's c_cflag and c_iflag bits are
// replaced by the ones given, plus HUPCL, so that the modem lines drop on the last close.
// `baud` is set in both directions through BOTHER.
Termios2State rawTermios2(const Termios2State& base, std::uint32_t cflagBits,
                          std::uint32_t iflagBits, std::uint32_t baud);

// The rates the driver reports after a read-back.
std::uint32_t termios2OutputSpeed(const Termios2State& state);
std::uint32_t termios2InputSpeed(const Termios2State& state);

}  // namespace parvolo
