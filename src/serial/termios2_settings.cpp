#include "serial/termios2_settings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

namespace parvolo {

namespace {

static_assert(sizeof(termios2{}.c_cc) == std::tuple_size_v<decltype(Termios2State::cc)>,
              "Termios2State::cc must mirror termios2::c_cc");

termios2 toKernel(const Termios2State& s) {
    termios2 t{};
    t.c_iflag = s.iflag;
    t.c_oflag = s.oflag;
    t.c_cflag = s.cflag;
    t.c_lflag = s.lflag;
    t.c_line = s.line;
    std::copy(s.cc.begin(), s.cc.end(), t.c_cc);
    t.c_ispeed = s.ispeed;
    t.c_ospeed = s.ospeed;
    return t;
}

Termios2State fromKernel(const termios2& t) {
    Termios2State s;
    s.iflag = t.c_iflag;
    s.oflag = t.c_oflag;
    s.cflag = t.c_cflag;
    s.lflag = t.c_lflag;
    s.line = t.c_line;
    std::copy(std::begin(t.c_cc), std::end(t.c_cc), s.cc.begin());
    s.ispeed = t.c_ispeed;
    s.ospeed = t.c_ospeed;
    return s;
}

}  // namespace

int getTermios2(int fd, Termios2State& state) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
    state = fromKernel(t);
    return 0;
}

int setTermios2(int fd, const Termios2State& state) {
    const termios2 t = toKernel(state);
    return ::ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

Termios2State rawTermios2(const Termios2State& base, std::uint32_t cflagBits,
                          std::uint32_t iflagBits, std::uint32_t baud) {
    Termios2State s = base;
    s.iflag = iflagBits;
    s.oflag = 0;
    s.lflag = 0;
    // Set even where an earlier program cleared it: closing the port must drop DTR.
    s.cflag = HUPCL | cflagBits | BOTHER | (BOTHER << IBSHIFT);
    s.cc[VMIN] = 1;
    s.cc[VTIME] = 0;
    s.ispeed = baud;
    s.ospeed = baud;
    return s;
}

std::uint32_t termios2OutputSpeed(const Termios2State& state) {
    return state.ospeed;
}

std::uint32_t termios2InputSpeed(const Termios2State& state) {
    // An input rate field of B0 means "the same as the output rate".
    return ((state.cflag >> IBSHIFT) & CBAUD) == B0 ? state.ospeed : state.ispeed;
}

}  // namespace parvolo
