#include "cdc_acm_model.h"

#include <algorithm>

namespace acm {

using adapter::Parity;

namespace {

// Device class 2 with both interfaces in the configuration: the driver binds the
// communications interface by its class, subclass and protocol, then claims the data one.
constexpr uint8_t kDeviceDescriptor[18] = {18,   1,    0x00, 0x02, 0x02, 0, 0, kMaxPacket, 0x09,
                                           0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3,          1};
constexpr uint8_t kConfigDescriptor[67] = {
    9, 2,    67,   0,    2,          1,    0,    0x80, 50,  // two interfaces, 100 mA
    9, 4,    0,    0,    1,          0x02, 0x02, 0x01, 0,   // communications, ACM, AT commands
    5, 0x24, 0x00, 0x10, 0x01,                              // header: release 1.10
    5, 0x24, 0x01, 0x00, 1,                                 // call management: none, data on 1
    4, 0x24, 0x02, 0x06,                                    // ACM: line coding and state, break
    5, 0x24, 0x06, 0,    1,                                 // union: 0 controls 1
    7, 5,    0x83, 3,    16,         0,    16,              // interrupt IN 3, every 16 ms
    9, 4,    1,    0,    2,          0x0A, 0,    0,    0,   // data
    7, 5,    0x81, 2,    kMaxPacket, 0,    0,               // bulk IN 1
    7, 5,    0x02, 2,    kMaxPacket, 0,    0};              // bulk OUT 2
const char* const kStrings[] = {nullptr, "Parvolo", "Parvolo test board", "PV0005"};

constexpr uint8_t kClassToInterface = 0x21;
constexpr uint8_t kSerialStateNotification = 0x20;

// A short packet goes at the next frame; the stack does not hold bytes back.
constexpr int64_t kHoldNs = 1000000;

}  // namespace

bool decodeLineCoding(const std::vector<uint8_t>& block, LineCoding& coding) {
    if (block.size() != 7) return false;
    const uint32_t rate = adapter::le32(block.data());
    const uint8_t stop = block[4], parity = block[5], bits = block[6];
    if (rate == 0 || stop > 2 || parity > 4 || bits < 5 || bits > 8) return false;
    coding.rate = rate;
    // The codes for parity are in adapter::Parity's order.
    coding.format = {.dataBits = bits, .parity = Parity(parity), .stopHalfBits = 2 + stop};
    return true;
}

std::vector<uint8_t> encodeLineCoding(const LineCoding& coding) {
    std::vector<uint8_t> block;
    adapter::putLe32(block, coding.rate);
    block.insert(block.end(), {uint8_t(coding.format.stopHalfBits - 2),
                               uint8_t(coding.format.parity), uint8_t(coding.format.dataBits)});
    return block;
}

uint16_t errorState(uint8_t errors) {
    return uint16_t((errors & adapter::kBreak ? kBreak : 0) |
                    (errors & adapter::kFramingError ? kFraming : 0) |
                    (errors & adapter::kParityError ? kParity : 0) |
                    (errors & adapter::kOverrun ? kOverrun : 0));
}

uint16_t levelState(const adapter::Inputs& inputs) {
    return uint16_t((inputs.dcd ? kDcd : 0) | (inputs.dsr ? kDsr : 0));
}

std::vector<uint8_t> serialStateNotification(uint16_t state) {
    return {0xA1,           kSerialStateNotification, 0, 0, kCommInterface, 0, 2, 0,
            uint8_t(state), uint8_t(state >> 8)};
}

bool CdcAcm::descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
    return adapter::standardDescriptor(kind, index,
                                       {std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)},
                                       {std::begin(kConfigDescriptor), std::end(kConfigDescriptor)},
                                       {std::begin(kStrings), std::end(kStrings)}, out);
}

bool CdcAcm::control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                     std::vector<uint8_t>& in) {
    in.clear();
    if ((setup.type & 0x7F) != kClassToInterface || setup.index != kCommInterface) return false;
    const bool toHost = setup.type & 0x80;
    if (toHost != (setup.request == kGetLineCoding)) return false;
    switch (setup.request) {
        case kSetLineCoding:
            return setLineCoding(out);
        case kGetLineCoding:
            in = encodeLineCoding(m_coding);
            return true;
        case kSetControlLineState:
            setControlLineState(setup.value);
            return true;
        case kSendBreak:
            sendBreak(setup.value);
            return true;
        default:
            return false;
    }
}

// Any rate is made as asked: the board has no divisor of its own to round it to.
bool CdcAcm::setLineCoding(const std::vector<uint8_t>& block) {
    if (!decodeLineCoding(block, m_coding)) return false;
    adapter::Line& l = line();
    l.setBaud(m_coding.rate);
    l.setFormat(m_coding.format);
    l.note("SET_LINE_CODING rate %u bits=%d parity=%s stop=%s", m_coding.rate,
           m_coding.format.dataBits, adapter::parityName(m_coding.format.parity).c_str(),
           adapter::stopName(m_coding.format).c_str());
    return true;
}

void CdcAcm::setControlLineState(uint16_t value) {
    adapter::Line& l = line();
    const adapter::Outputs now{.dtr = bool(value & kDtr), .rts = bool(value & kRts)};
    // The driver raises DTR as it opens the port, and at no other time unless asked to.
    const bool opening = now.dtr && !l.outputs().dtr;
    l.setOutputs(now);
    if (opening) l.opened();
    l.note("SET_CONTROL_LINE_STATE dtr=%d rts=%d", int(now.dtr), int(now.rts));
}

void CdcAcm::sendBreak(uint16_t value) {
    adapter::Line& l = line();
    if (value == kBreakUntilCleared || value == 0) {
        l.setBreak(value != 0);
    } else {
        // A break of so many milliseconds: the model keeps no clock, so it is one short break.
        l.setBreak(true);
        l.setBreak(false);
    }
    l.note("SEND_BREAK %04x", value);
}

// Each level DSR and DCD pass through goes out in a notification of its own, so that the driver
// counts every edge. A ring is an event, told as RI rises; the fall has nothing to tell.
void CdcAcm::inputsChanged(const adapter::Inputs& now) {
    const adapter::Inputs before = m_reported;
    m_reported = now;
    if (now.ri && !before.ri)
        reportEvent(kRing);
    else if (now.dsr != before.dsr || now.dcd != before.dcd)
        notify(levelState(now));
}

// The byte waits in the queue, its error told; a break has no byte.
void CdcAcm::reportErrors(std::deque<RxByte>& rx) {
    reportEvent(errorState(rx.front().errors));
    if (rx.front().errors & adapter::kBreak)
        rx.pop_front();
    else
        rx.front().errors = 0;
}

// The driver counts an event for each notification that carries it, so its bits go out once
// and the next notification clears them.
void CdcAcm::reportEvent(uint16_t bits) {
    const uint16_t levels = levelState(m_reported);
    notify(uint16_t(levels | bits));
    notify(levels);
}

void CdcAcm::notify(uint16_t state) {
    m_notifications.push_back(state);
}

bool CdcAcm::interruptPacket(std::vector<uint8_t>& packet) {
    if (m_notifications.empty()) return false;
    packet = serialStateNotification(m_notifications.front());
    line().note("SERIAL_STATE %04x", m_notifications.front());
    m_notifications.pop_front();
    return true;
}

// Received bytes wait while notifications do, so that the driver has counted an error by the
// time the byte it damaged reaches the tty.
int64_t CdcAcm::inDue(const std::deque<RxByte>& rx, int64_t lastIn) const {
    if (rx.empty() || !m_notifications.empty()) return INT64_MAX;
    if (rx.front().errors != 0 || rx.size() >= size_t(kMaxPacket)) return INT64_MIN;
    return lastIn + kHoldNs;
}

// Clean bytes go up to the first one with an error; that one is reported on the interrupt
// endpoint first, and goes up after as it came (the class cannot mark it).
std::vector<uint8_t> CdcAcm::inPacket(std::deque<RxByte>& rx, int length) {
    const size_t room = size_t(std::min(length, kMaxPacket));
    std::vector<uint8_t> packet;
    while (!rx.empty() && packet.size() < room) {
        if (rx.front().errors != 0) {
            if (packet.empty()) reportErrors(rx);
            break;
        }
        packet.push_back(rx.front().byte);
        rx.pop_front();
    }
    return packet;
}

void CdcAcm::unplugged() {
    m_coding = {};
    m_reported = {};
    m_notifications.clear();
}

}  // namespace acm
