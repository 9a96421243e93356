#include "ftdi_model.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace ftdi {

DataFormat decodeData(uint16_t value) {
    DataFormat format;
    format.dataBits = value & 0xFF;
    switch ((value >> 8) & 0x7) {
        case 1:
            format.parity = Parity::Odd;
            break;
        case 2:
            format.parity = Parity::Even;
            break;
        case 3:
            format.parity = Parity::Mark;
            break;
        case 4:
            format.parity = Parity::Space;
            break;
        default:
            format.parity = Parity::None;
            break;
    }
    switch ((value >> 11) & 0x7) {
        case 1:
            format.stopHalfBits = 3;
            break;
        case 2:
            format.stopHalfBits = 4;
            break;
        default:
            format.stopHalfBits = 2;
            break;
    }
    format.breakOn = value & (1u << 14);
    return format;
}

namespace {
// Eighths of the divisor for each code in bits 14-16, as the chip reads them.
constexpr int kEighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
constexpr int kCodeOfEighths[8] = {0, 3, 2, 4, 1, 5, 6, 7};
constexpr double kBaseClock = 3000000.0;
}  // namespace

double baudFromDivisor(uint16_t value, uint16_t index) {
    const uint32_t divisor = value | (uint32_t(index & 0x1) << 16);
    // Two values the integer part cannot express: 0 is 3 MHz and 1 is 2 MHz.
    if (divisor == 0) return kBaseClock;
    if (divisor == 1) return kBaseClock / 1.5;
    const uint32_t whole = divisor & 0x3FFF;
    const int eighths = kEighthsOfCode[(divisor >> 14) & 0x7];
    const double total = whole + eighths / 8.0;
    return total > 0 ? kBaseClock / total : 0.0;
}

uint32_t divisorForBaud(int baud) {
    if (baud <= 0) return 0;
    // The driver's own rounding: the divisor in eighths, to the nearest.
    const uint32_t eighths = uint32_t((24000000ull + uint64_t(baud) / 2) / uint64_t(baud));
    uint32_t divisor = (eighths >> 3) | (uint32_t(kCodeOfEighths[eighths & 0x7]) << 14);
    if (divisor == 1)
        divisor = 0;
    else if (divisor == 0x4001)
        divisor = 1;
    return divisor;
}

int64_t characterNs(const DataFormat& format, double baud) {
    if (baud <= 0) return 0;
    const double bits =
        1 + format.dataBits + (format.parity == Parity::None ? 0 : 1) + format.stopHalfBits / 2.0;
    return int64_t(std::llround(bits * 1e9 / baud));
}

Outputs applyModemCtrl(Outputs now, uint16_t value) {
    if (value & 0x0100) now.dtr = value & 0x01;
    if (value & 0x0200) now.rts = value & 0x02;
    return now;
}

uint8_t takePacket(std::deque<RxByte>& queue, std::vector<uint8_t>& data, int maxData) {
    data.clear();
    if (queue.empty() || maxData <= 0) return 0;
    const uint8_t flags = queue.front().flags;
    if (flags != 0) {
        data.push_back(queue.front().byte);
        queue.pop_front();
        return flags;
    }
    while (!queue.empty() && queue.front().flags == 0 && int(data.size()) < maxData) {
        data.push_back(queue.front().byte);
        queue.pop_front();
    }
    return 0;
}

std::string parityName(Parity parity) {
    switch (parity) {
        case Parity::Odd:
            return "odd";
        case Parity::Even:
            return "even";
        case Parity::Mark:
            return "mark";
        case Parity::Space:
            return "space";
        case Parity::None:
            break;
    }
    return "none";
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

bool parseByte(const std::string& text, uint8_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < 0 || value > 255) return false;
    out = uint8_t(value);
    return true;
}

}  // namespace ftdi
