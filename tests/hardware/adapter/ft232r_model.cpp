#include "ft232r_model.h"

#include <algorithm>
#include <climits>

namespace ftdi {

SetData decodeData(uint16_t value) {
    SetData data;
    DataFormat& format = data.format;
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
    data.breakOn = value & (1u << 14);
    return data;
}

namespace {
// Eighths of the divisor for each code in bits 14-16, as the chip reads them.
constexpr int kEighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
constexpr int kCodeOfEighths[8] = {0, 3, 2, 4, 1, 5, 6, 7};
constexpr double kBaseClock = 3000000.0;

const uint8_t kDeviceDescriptor[18] = {18,   1,    0x00, 0x02, 0,    0, 0, kMaxPacket, 0x03,
                                       0x04, 0x01, 0x60, 0x00, 0x06, 1, 2, 3,          1};
const uint8_t kConfigDescriptor[32] = {
    9, 2, 32,   0, 1,          1,    0,    0xA0, 45,  // one configuration, 90 mA
    9, 4, 0,    0, 2,          0xFF, 0xFF, 0xFF, 2,   // one vendor interface, two endpoints
    7, 5, 0x81, 2, kMaxPacket, 0,    0,               // bulk IN 1
    7, 5, 0x02, 2, kMaxPacket, 0,    0};              // bulk OUT 2
const char* const kStrings[] = {nullptr, "Parvolo", "Parvolo test adapter", "PV0001"};
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

Outputs applyModemCtrl(Outputs now, uint16_t value) {
    if (value & 0x0100) now.dtr = value & 0x01;
    if (value & 0x0200) now.rts = value & 0x02;
    return now;
}

uint8_t takePacket(std::deque<RxByte>& queue, std::vector<uint8_t>& data, int maxData) {
    data.clear();
    if (queue.empty() || maxData <= 0) return 0;
    const uint8_t flags = queue.front().errors;
    if (flags != 0) {
        data.push_back(queue.front().byte);
        queue.pop_front();
        return flags;
    }
    while (!queue.empty() && queue.front().errors == 0 && int(data.size()) < maxData) {
        data.push_back(queue.front().byte);
        queue.pop_front();
    }
    return 0;
}

bool Ft232r::descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
    return adapter::standardDescriptor(kind, index,
                                       {std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)},
                                       {std::begin(kConfigDescriptor), std::end(kConfigDescriptor)},
                                       {std::begin(kStrings), std::end(kStrings)}, out);
}

bool Ft232r::control(const adapter::Setup& setup, const std::vector<uint8_t>&,
                     std::vector<uint8_t>& in) {
    if ((setup.type & 0x60) != 0x40) return false;
    const uint16_t value = setup.value, index = setup.index;
    adapter::Line& l = line();
    switch (setup.request) {
        case kReset:
            if (value == 0) l.opened();
            l.purge(value == 0 || value == 2, value == 0 || value == 1);
            l.note("RESET %u", value);
            return true;
        case kModemCtrl: {
            l.setOutputs(applyModemCtrl(l.outputs(), value));
            l.note("MODEM_CTRL dtr=%d rts=%d", int(l.outputs().dtr), int(l.outputs().rts));
            return true;
        }
        case kSetFlowCtrl: {
            const uint8_t bits = uint8_t(index >> 8);
            const adapter::Flow flow{.rtsCts = bool(bits & kFlowRtsCts),
                                     .dtrDsr = bool(bits & kFlowDtrDsr),
                                     .xonXoff = bool(bits & kFlowXonXoff)};
            l.setFlow(flow);
            l.note("SET_FLOW_CTRL %s", adapter::flowName(flow).c_str());
            return true;
        }
        case kSetBaudRate: {
            const double baud = baudFromDivisor(value, index);
            l.setBaud(baud);
            l.note("SET_BAUD_RATE divisor %05x rate %.1f", value | (index & 1) << 16, baud);
            return true;
        }
        case kSetData: {
            const SetData data = decodeData(value);
            l.setFormat(data.format);
            l.setBreak(data.breakOn);
            l.note("SET_DATA bits=%d parity=%s stop=%s break=%d", data.format.dataBits,
                   adapter::parityName(data.format.parity).c_str(),
                   adapter::stopName(data.format).c_str(), int(data.breakOn));
            return true;
        }
        case kGetModemStatus:
            in = {status0(), status1(0)};
            return true;
        case kSetLatencyTimer:
            m_latencyMs = std::max<int>(1, value & 0xFF);
            l.note("SET_LATENCY_TIMER %d", m_latencyMs);
            return true;
        case kGetLatencyTimer:
            in = {uint8_t(m_latencyMs)};
            return true;
        case kReadEeprom:
            // A blank EEPROM: no CBUS pin is a GPIO.
            in = {0, 0};
            return true;
        case kReadPins:
            in = {0};
            return true;
        case kSetEventChar:
        case kSetErrorChar:
        case kSetBitMode:
            return true;
        default:
            return false;
    }
}

uint8_t Ft232r::status0() const {
    const adapter::Inputs i = line().inputs();
    return uint8_t(kStatus0Fixed | (i.cts ? kCts : 0) | (i.dsr ? kDsr : 0) | (i.ri ? kRi : 0) |
                   (i.dcd ? kDcd : 0));
}

uint8_t Ft232r::status1(uint8_t flags) const {
    const bool empty = line().transmitQueued() == 0;
    return uint8_t(flags | (line().receiveQueued() ? kDataReady : 0) | (empty ? kThre | kTemt : 0));
}

// Every level the lines pass through goes out in a packet of its own, so that the driver counts
// each edge even when two changes come quickly.
void Ft232r::inputsChanged(const adapter::Inputs&) {
    const uint8_t now = status0();
    if (m_status0Queue.empty() ? now != m_lastSentStatus0 : now != m_status0Queue.back())
        m_status0Queue.push_back(now);
}

// The chip sends at once when a packet is full or the lines changed, else when its latency
// timer runs out, with or without data.
int64_t Ft232r::inDue(const std::deque<RxByte>& rx, int64_t lastIn) const {
    const bool full = rx.size() >= size_t(kMaxPacket - 2);
    const bool flagged = !rx.empty() && rx.front().errors != 0;
    if (full || flagged || !m_status0Queue.empty()) return INT64_MIN;
    return lastIn + int64_t(m_latencyMs) * 1000000;
}

std::vector<uint8_t> Ft232r::inPacket(std::deque<RxByte>& rx, int length) {
    std::vector<uint8_t> data;
    const uint8_t flags = takePacket(rx, data, std::min(length, kMaxPacket) - 2);
    uint8_t s0 = status0();
    if (!m_status0Queue.empty()) {
        s0 = m_status0Queue.front();
        m_status0Queue.pop_front();
    }
    m_lastSentStatus0 = s0;
    data.insert(data.begin(), {s0, status1(flags)});
    return data;
}

std::string Ft232r::stateWords() const {
    return "latency=" + std::to_string(m_latencyMs);
}

}  // namespace ftdi
