#include "chip.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace adapter {

int64_t characterNs(const DataFormat& format, double baud) {
    if (baud <= 0) return 0;
    const double bits =
        1 + format.dataBits + (format.parity == Parity::None ? 0 : 1) + format.stopHalfBits / 2.0;
    return int64_t(std::llround(bits * 1e9 / baud));
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

std::string stopName(const DataFormat& format) {
    return format.stopHalfBits == 4 ? "2" : format.stopHalfBits == 3 ? "1.5" : "1";
}

std::string flowName(const Flow& flow) {
    std::string name;
    if (flow.rtsCts) name += "rtscts";
    if (flow.dtrDsr) name += name.empty() ? "dtrdsr" : "+dtrdsr";
    if (flow.xonXoff) name += name.empty() ? "xonxoff" : "+xonxoff";
    return name.empty() ? "none" : name;
}

bool standardDescriptor(uint8_t kind, uint8_t index, const std::vector<uint8_t>& device,
                        const std::vector<uint8_t>& configuration,
                        const std::vector<const char*>& strings, std::vector<uint8_t>& out) {
    if (kind == 1) {
        out = device;
        return true;
    }
    if (kind == 2) {
        out = configuration;
        return true;
    }
    if (kind != 3 || index >= strings.size()) return false;
    out = index == 0 ? std::vector<uint8_t>{4, 3, 0x09, 0x04}  // US English
                     : stringDescriptor(strings[index]);
    return true;
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
    std::vector<uint8_t> out = {uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) out.insert(out.end(), {uint8_t(c), 0});
    return out;
}

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void putLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
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

}  // namespace adapter
