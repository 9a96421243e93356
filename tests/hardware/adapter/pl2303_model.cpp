#include "pl2303_model.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace pl2303 {

using adapter::Parity;

namespace {

constexpr int kMaxPacket = 64;

// Class 0, a 64-byte endpoint 0, USB 1.1 and release 3.00: what the driver takes for an HX.
constexpr uint8_t kDeviceDescriptor[18] = {18,   1,    0x10, 0x01, 0,    0, 0, kMaxPacket, 0x7B,
                                           0x06, 0x03, 0x23, 0x00, 0x03, 1, 2, 0,          1};
constexpr uint8_t kConfigDescriptor[39] = {
    9, 2, 39,   0, 1,          1,    0, 0x80, 50,  // one configuration, 100 mA
    9, 4, 0,    0, 3,          0xFF, 0, 0,    0,   // one vendor interface, three endpoints
    7, 5, 0x81, 3, 10,         0,    1,            // interrupt IN 1: the UART state
    7, 5, 0x02, 2, kMaxPacket, 0,    0,            // bulk OUT 2
    7, 5, 0x83, 2, kMaxPacket, 0,    0};           // bulk IN 3
const char* const kStrings[] = {nullptr, "Parvolo", "Parvolo test adapter"};

// 9600 8N1, what the chip starts with.
const std::vector<uint8_t> kPowerOnLine = {0x80, 0x25, 0, 0, 0, 0, 8};

// The rates the chip makes as named, without a divisor.
constexpr uint32_t kTableRates[] = {75,      150,     300,     600,    1200,   1800,   2400,
                                    3600,    4800,    7200,    9600,   14400,  19200,  28800,
                                    38400,   57600,   115200,  230400, 460800, 614400, 921600,
                                    1228800, 2457600, 3000000, 6000000};
constexpr double kDivisorBase = 12e6 * 32;

// Register 0 holds the flow control in its high nibble; writing 8 and 9 resets the upstream
// and downstream pipes, which the driver does as it opens the port.
constexpr uint8_t kFlowRegister = 0, kResetUpstream = 8, kResetDownstream = 9;
constexpr uint8_t kFlowMask = 0xF0, kFlowRtsCts = 0x60, kFlowXonXoff = 0xC0;

// The UART state byte of the interrupt packet: the modem lines, and the errors of the byte that
// the next bulk IN packet carries.
enum UartState : uint8_t {
    kUartDcd = 0x01,
    kUartDsr = 0x02,
    kUartBreak = 0x04,
    kUartRing = 0x08,
    kUartFrame = 0x10,
    kUartParity = 0x20,
    kUartOverrun = 0x40,
    kUartCts = 0x80,
};

constexpr size_t kLineBlockSize = 7;
constexpr uint32_t kDivisorCode = 0x80000000;

// One frame: the host's next IN token takes what the chip has gathered since the last one.
constexpr int64_t kFrameNs = 1000000;

// SET_LINE_REQUEST's block: the rate code (le32), stop bits (0, 1, 2 for 1, 1.5, 2), parity
// (none, odd, even, mark, space) and data bits. False for a block the chip does not take.
bool decodeLine(const std::vector<uint8_t>& block, uint32_t& rateCode,
                adapter::DataFormat& format) {
    if (block.size() != kLineBlockSize) return false;
    const uint8_t stop = block[4], parity = block[5], bits = block[6];
    if (stop > 2 || parity > 4 || bits < 5 || bits > 8) return false;
    static constexpr Parity kParity[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                         Parity::Space};
    rateCode = adapter::le32(block.data());
    format = {.dataBits = bits, .parity = kParity[parity], .stopHalfBits = 2 + stop};
    return true;
}

// The rate the chip makes for a rate code: with kDivisorCode set, 12 MHz * 32 over a mantissa
// (bits 0-8) times a power of four (bits 9-11); else one of the rates of its table as named, any
// other taken for 9600. 0 for a zero mantissa.
double madeRate(uint32_t rateCode) {
    if (rateCode & kDivisorCode) {
        const uint32_t mantissa = rateCode & 0x1FF, powerOfFour = (rateCode >> 9) & 0x7;
        return mantissa == 0 ? 0 : kDivisorBase / (mantissa << (2 * powerOfFour));
    }
    const bool inTable = std::find(std::begin(kTableRates), std::end(kTableRates), rateCode) !=
                         std::end(kTableRates);
    return inTable ? rateCode : 9600;
}

// SET_CONTROL_REQUEST's wValue: bit 0 DTR, bit 1 RTS.
adapter::Outputs outputsOf(uint16_t value) {
    return {.dtr = bool(value & 0x01), .rts = bool(value & 0x02)};
}

// The flow control bits of register 0, as the driver writes them for crtscts and for IXON.
adapter::Flow flowOf(uint8_t register0) {
    const uint8_t bits = register0 & kFlowMask;
    return {.rtsCts = bits == kFlowRtsCts, .xonXoff = bits == kFlowXonXoff};
}

// The UART state bits of a received byte's errors (adapter::LineError), and of the modem inputs.
uint8_t uartErrors(uint8_t lineErrors) {
    return uint8_t((lineErrors & adapter::kBreak ? kUartBreak : 0) |
                   (lineErrors & adapter::kFramingError ? kUartFrame : 0) |
                   (lineErrors & adapter::kParityError ? kUartParity : 0) |
                   (lineErrors & adapter::kOverrun ? kUartOverrun : 0));
}

uint8_t uartModem(const adapter::Inputs& inputs) {
    return uint8_t((inputs.dcd ? kUartDcd : 0) | (inputs.dsr ? kUartDsr : 0) |
                   (inputs.ri ? kUartRing : 0) | (inputs.cts ? kUartCts : 0));
}

// The 10-byte interrupt packet: a serial state notification with the UART state in byte 8.
std::vector<uint8_t> statePacket(uint8_t state) {
    return {0xA1, 0x20, 0, 0, 0, 0, 2, 0, state, 0};
}

}  // namespace

void Pl2303::reset() {
    m_registers.fill(0);
    m_lineBlock = kPowerOnLine;
    m_reported = 0;
    m_modemQueue.clear();
    m_damaged = Damaged::None;
    m_damageBits = 0;
}

bool Pl2303::descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
    return adapter::standardDescriptor(kind, index,
                                       {std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)},
                                       {std::begin(kConfigDescriptor), std::end(kConfigDescriptor)},
                                       {std::begin(kStrings), std::end(kStrings)}, out);
}

bool Pl2303::control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                     std::vector<uint8_t>& in) {
    in.clear();
    if ((setup.type & 0x60) == 0x20) return classRequest(setup, out, in);
    if ((setup.type & 0x60) != 0x40 || setup.request != kVendorRequest) return false;
    // The register is the low seven bits of wValue; a read sets bit 7, a write's value is wIndex.
    const uint8_t reg = setup.value & 0x7F;
    if (setup.type & 0x80)
        in = {m_registers[reg]};
    else
        writeRegister(reg, uint8_t(setup.index));
    return true;
}

bool Pl2303::classRequest(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                          std::vector<uint8_t>& in) {
    adapter::Line& l = line();
    switch (setup.request) {
        case kSetLineRequest:
            return setLine(out);
        case kGetLineRequest:
            in = m_lineBlock;
            return true;
        case kSetControlRequest:
            l.setOutputs(outputsOf(setup.value));
            l.note("SET_CONTROL dtr=%d rts=%d", int(l.outputs().dtr), int(l.outputs().rts));
            return true;
        case kBreakRequest:
            l.setBreak(setup.value != 0);
            l.note("BREAK %04x", setup.value);
            return true;
        default:
            return false;
    }
}

void Pl2303::writeRegister(uint8_t reg, uint8_t value) {
    adapter::Line& l = line();
    m_registers[reg] = value;
    l.note("VENDOR_WRITE [%02x] = %02x", reg, value);
    if (reg == kFlowRegister) {
        l.setFlow(flowOf(value));
    } else if (reg == kResetUpstream) {
        l.purge(false, true);  // a damaged byte at the head goes with the rest
        m_damaged = Damaged::None;
        l.opened();
    } else if (reg == kResetDownstream) {
        l.purge(true, false);
    }
}

bool Pl2303::setLine(const std::vector<uint8_t>& block) {
    uint32_t code = 0;
    adapter::DataFormat format;
    if (!decodeLine(block, code, format)) return false;
    const double rate = madeRate(code);
    if (rate <= 0) return false;
    m_lineBlock = block;
    adapter::Line& l = line();
    l.setBaud(rate);
    l.setFormat(format);
    l.note("SET_LINE %08x rate %.1f bits=%d parity=%s stop=%s", code, rate, format.dataBits,
           adapter::parityName(format.parity).c_str(), adapter::stopName(format).c_str());
    return true;
}

// Every level the lines pass through is told, so that the driver counts each edge even when
// two changes come while its interrupt transfer is away.
void Pl2303::inputsChanged(const adapter::Inputs& now) {
    const uint8_t state = uartModem(now);
    if (state != (m_modemQueue.empty() ? m_reported : m_modemQueue.back()))
        m_modemQueue.push_back(state);
}

bool Pl2303::interruptPacket(std::vector<uint8_t>& packet) {
    // The driver keeps only the last state it was told: another one now would wipe the errors
    // before the damaged byte comes.
    if (m_damaged == Damaged::Reported) return false;
    if (!m_modemQueue.empty()) {
        m_reported = m_modemQueue.front();
        m_modemQueue.pop_front();
        packet = statePacket(m_reported);
        return true;
    }
    if (m_damaged != Damaged::Taken) return false;
    packet = statePacket(m_reported | m_damageBits);
    m_damaged = Damaged::Reported;
    return true;
}

// What the chip has goes at the host's next IN token. A damaged byte is due at once: until its
// state has gone up the interrupt endpoint the packet comes back empty, and the adapter keeps
// asking, which also lets it hand the state to the interrupt transfer first.
int64_t Pl2303::inDue(const std::deque<RxByte>& rx, int64_t lastIn) const {
    if (rx.empty()) return INT64_MAX;
    if (rx.front().errors != 0 || rx.size() >= size_t(kMaxPacket)) return INT64_MIN;
    return lastIn + kFrameNs;
}

std::vector<uint8_t> Pl2303::inPacket(std::deque<RxByte>& rx, int length) {
    if (!rx.empty() && rx.front().errors != 0) return damagedByte(rx);
    std::vector<uint8_t> packet;
    while (!rx.empty() && rx.front().errors == 0 && int(packet.size()) < length) {
        packet.push_back(rx.front().byte);
        rx.pop_front();
    }
    return packet;
}

// The bulk packet waits (empty) until the byte's state has gone up the interrupt endpoint.
std::vector<uint8_t> Pl2303::damagedByte(std::deque<RxByte>& rx) {
    switch (m_damaged) {
        case Damaged::None:
            m_damageBits = uartErrors(rx.front().errors);
            m_damaged = Damaged::Taken;
            return {};
        case Damaged::Taken:
            return {};
        case Damaged::Reported:
            break;
    }
    const uint8_t byte = rx.front().byte;
    rx.pop_front();
    m_damaged = Damaged::None;
    return {byte};
}

std::string Pl2303::stateWords() const {
    char text[64];
    std::snprintf(text, sizeof text, "rate_code=%s uart_state=%02x",
                  adapter::le32(m_lineBlock.data()) & kDivisorCode ? "divisor" : "direct",
                  m_reported);
    return text;
}

}  // namespace pl2303
