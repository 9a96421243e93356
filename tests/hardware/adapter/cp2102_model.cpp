#include "cp2102_model.h"

#include <algorithm>
#include <climits>

namespace cp210x {

using adapter::Parity;

namespace {

// SET_FLOW fields the model acts on.
constexpr uint32_t kDtrMask = 0x03, kCtsHandshake = 0x08, kDsrHandshake = 0x10;
constexpr uint32_t kAutoTransmit = 0x01, kAutoReceive = 0x02, kRtsShift = 6, kRtsMask = 0xC0;

constexpr uint8_t kDeviceDescriptor[18] = {18,   1,    0x10, 0x01, 0,    0, 0, kMaxPacket, 0xC4,
                                           0x10, 0x60, 0xEA, 0x00, 0x01, 1, 2, 3,          1};
constexpr uint8_t kConfigDescriptor[32] = {
    9, 2, 32,   0, 1,          1,    0, 0x80, 50,  // one configuration, 100 mA
    9, 4, 0,    0, 2,          0xFF, 0, 0,    2,   // one vendor interface, two endpoints
    7, 5, 0x81, 2, kMaxPacket, 0,    0,            // bulk IN 1
    7, 5, 0x01, 2, kMaxPacket, 0,    0};           // bulk OUT 1
const char* const kStrings[] = {nullptr, "Parvolo", "Parvolo test adapter", "PV0002"};

// The rates the chip makes, each for the requests up to the second number.
struct RateRange {
    uint32_t rate;
    uint32_t upTo;
};
constexpr RateRange kRates[] = {
    {300, 300},       {600, 600},       {1200, 1200},     {1800, 1800},     {2400, 2400},
    {4000, 4000},     {4800, 4803},     {7200, 7207},     {9600, 9612},     {14400, 14428},
    {16000, 16062},   {19200, 19250},   {28800, 28912},   {38400, 38601},   {51200, 51558},
    {56000, 56280},   {57600, 58053},   {64000, 64111},   {76800, 77608},   {115200, 117028},
    {128000, 129347}, {153600, 156868}, {230400, 237832}, {250000, 254234}, {256000, 273066},
    {460800, 491520}, {500000, 567138}, {576000, 670254}, {921600, 999999}, {1000000, UINT_MAX},
};

// Three frames: how long a byte waits in the chip before a short bulk IN packet takes it.
constexpr int64_t kHoldNs = 3000000;

}  // namespace

bool decodeLineCtl(uint16_t value, DataFormat& format) {
    const int bits = (value >> 8) & 0xF, parity = (value >> 4) & 0xF, stop = value & 0xF;
    if (bits < 5 || bits > 8 || parity > 4 || stop > 2) return false;
    static constexpr Parity kParity[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                         Parity::Space};
    format.dataBits = bits;
    format.parity = kParity[parity];
    format.stopHalfBits = 2 + stop;
    return true;
}

uint16_t encodeLineCtl(const DataFormat& format) {
    return uint16_t(format.dataBits << 8 | int(format.parity) << 4 | (format.stopHalfBits - 2));
}

Outputs applyMhs(Outputs now, uint16_t value) {
    if (value & 0x0100) now.dtr = value & kDtr;
    if (value & 0x0200) now.rts = value & kRts;
    return now;
}

bool decodeFlow(const std::vector<uint8_t>& block, FlowControl& flow) {
    if (block.size() != 16) return false;
    flow = {adapter::le32(&block[0]), adapter::le32(&block[4]), adapter::le32(&block[8]),
            adapter::le32(&block[12])};
    return true;
}

std::vector<uint8_t> encodeFlow(const FlowControl& flow) {
    std::vector<uint8_t> out;
    for (uint32_t v : {flow.controlHandshake, flow.flowReplace, flow.xonLimit, flow.xoffLimit})
        adapter::putLe32(out, v);
    return out;
}

adapter::Flow handshakes(const FlowControl& flow) {
    return {.rtsCts = bool(flow.controlHandshake & kCtsHandshake),
            .dtrDsr = bool(flow.controlHandshake & kDsrHandshake),
            .xonXoff = bool(flow.flowReplace & (kAutoTransmit | kAutoReceive))};
}

// Modes 0 and 1 hold the line low and high; the handshake modes raise it while the chip has
// room, which the driver keeps it having.
Outputs outputsOf(const FlowControl& flow) {
    return {.dtr = (flow.controlHandshake & kDtrMask) != 0,
            .rts = (flow.flowReplace & kRtsMask) != 0};
}

FlowControl withOutputs(FlowControl flow, Outputs outputs, uint16_t mhsValue) {
    if (mhsValue & 0x0100)
        flow.controlHandshake = (flow.controlHandshake & ~kDtrMask) | outputs.dtr;
    if (mhsValue & 0x0200)
        flow.flowReplace = (flow.flowReplace & ~kRtsMask) | uint32_t(outputs.rts) << kRtsShift;
    return flow;
}

uint32_t madeRate(uint32_t requested) {
    for (const RateRange& r : kRates)
        if (requested <= r.upTo) return r.rate;
    return kRates[std::size(kRates) - 1].rate;
}

void encodeByte(const RxByte& byte, uint8_t escape, std::vector<uint8_t>& out) {
    if (escape == 0) {
        if (!(byte.errors & adapter::kBreak)) out.push_back(byte.byte);
        return;
    }
    if (byte.errors != 0) {
        out.insert(out.end(), {escape, kStatusWithData, byte.errors, byte.byte});
    } else if (byte.byte == escape) {
        out.insert(out.end(), {escape, kEscapedData});
    } else {
        out.push_back(byte.byte);
    }
}

std::vector<uint8_t> modemStatusEvent(uint8_t escape, uint8_t before, uint8_t now) {
    const uint8_t changed = before ^ now;
    uint8_t msr = now & (kCts | kDsr | kRi | kDcd);
    if (changed & kCts) msr |= kDeltaCts;
    if (changed & kDsr) msr |= kDeltaDsr;
    if ((before & kRi) && !(now & kRi)) msr |= kRiEnded;
    if (changed & kDcd) msr |= kDeltaDcd;
    return {escape, kModemStatus, msr};
}

bool Cp2102::descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
    return adapter::standardDescriptor(kind, index,
                                       {std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)},
                                       {std::begin(kConfigDescriptor), std::end(kConfigDescriptor)},
                                       {std::begin(kStrings), std::end(kStrings)}, out);
}

uint8_t Cp2102::modemStatus() const {
    const Outputs o = line().outputs();
    const adapter::Inputs i = line().inputs();
    return uint8_t((o.dtr ? kDtr : 0) | (o.rts ? kRts : 0) | (i.cts ? kCts : 0) |
                   (i.dsr ? kDsr : 0) | (i.ri ? kRi : 0) | (i.dcd ? kDcd : 0));
}

bool Cp2102::control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                     std::vector<uint8_t>& in) {
    in.clear();
    if ((setup.type & 0x60) != 0x40) return false;
    if (setup.request != kVendorRequest) return interfaceRequest(setup, out, in);
    if (setup.value != kGetPartNumber || !(setup.type & 0x80)) return false;
    // As many bytes as asked: a chip that gives one byte to a two-byte request is taken for
    // one without event mode.
    in.assign(setup.length, 0);
    if (!in.empty()) in[0] = kPartCp2102;
    return true;
}

bool Cp2102::interfaceRequest(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                              std::vector<uint8_t>& in) {
    adapter::Line& l = line();
    const uint16_t value = setup.value;
    switch (setup.request) {
        case kIfcEnable:
            if (value & 1) {
                l.opened();
            } else {
                m_escape = 0;  // a disabled interface leaves event mode
            }
            l.note("IFC_ENABLE %u", value);
            return true;
        case kSetBaudRate: {
            if (out.size() != 4) return false;
            const uint32_t requested = adapter::le32(out.data());
            m_rate = madeRate(requested);
            l.setBaud(m_rate);
            l.note("SET_BAUDRATE %u rate %u", requested, m_rate);
            return true;
        }
        case kGetBaudRate:
            adapter::putLe32(in, m_rate);
            return true;
        case kSetLineCtl:
            if (!decodeLineCtl(value, m_format)) return false;
            l.setFormat(m_format);
            l.note("SET_LINE_CTL bits=%d parity=%s stop=%s", m_format.dataBits,
                   adapter::parityName(m_format.parity).c_str(),
                   adapter::stopName(m_format).c_str());
            return true;
        case kGetLineCtl: {
            const uint16_t bits = encodeLineCtl(m_format);
            in = {uint8_t(bits), uint8_t(bits >> 8)};
            return true;
        }
        case kSetBreak:
            l.setBreak(value & 1);
            l.note("SET_BREAK %u", value);
            return true;
        case kSetMhs: {
            const Outputs now = applyMhs(l.outputs(), value);
            m_flow = withOutputs(m_flow, now, value);
            l.setOutputs(now);
            l.note("SET_MHS dtr=%d rts=%d", int(now.dtr), int(now.rts));
            return true;
        }
        case kGetMdmSts:
            in = {modemStatus()};
            return true;
        case kGetCommStatus: {
            // Errors, hold reasons, bytes in the receive and transmit queues, three flags.
            adapter::putLe32(in, 0);
            adapter::putLe32(in, 0);
            adapter::putLe32(in, uint32_t(l.receiveQueued()));
            adapter::putLe32(in, uint32_t(l.transmitQueued()));
            in.insert(in.end(), {0, 0, 0});
            return true;
        }
        case kPurge:
            l.purge(value & 0x5, value & 0xA);
            l.note("PURGE %x", value);
            return true;
        case kSetFlow: {
            if (!decodeFlow(out, m_flow)) return false;
            l.setFlow(handshakes(m_flow));
            l.setOutputs(outputsOf(m_flow));
            l.note("SET_FLOW handshake=%08x replace=%08x flow=%s", m_flow.controlHandshake,
                   m_flow.flowReplace, adapter::flowName(handshakes(m_flow)).c_str());
            return true;
        }
        case kGetFlow:
            in = encodeFlow(m_flow);
            return true;
        case kEmbedEvents:
            m_escape = uint8_t(value);
            m_reportedModem = modemStatus();
            l.note("EMBED_EVENTS %02x", m_escape);
            return true;
        case kSetChars:
            return out.size() == 6;
        default:
            return false;
    }
}

void Cp2102::inputsChanged(const adapter::Inputs&) {
    const uint8_t now = modemStatus() & (kCts | kDsr | kRi | kDcd);
    const uint8_t before = m_reportedModem & (kCts | kDsr | kRi | kDcd);
    if (now == before) return;
    if (m_escape != 0) {
        const std::vector<uint8_t> event = modemStatusEvent(m_escape, before, now);
        m_events.insert(m_events.end(), event.begin(), event.end());
    }
    m_reportedModem = now;
}

// The chip answers the host's IN tokens with what it holds; a full packet goes at once, a short
// one after the hold.
int64_t Cp2102::inDue(const std::deque<RxByte>& rx, int64_t lastIn) const {
    if (rx.empty() && m_events.empty()) return INT64_MAX;
    if (rx.size() + m_events.size() >= size_t(kMaxPacket)) return INT64_MIN;
    return lastIn + kHoldNs;
}

std::vector<uint8_t> Cp2102::inPacket(std::deque<RxByte>& rx, int length) {
    const size_t room = size_t(std::min(length, kMaxPacket));
    std::vector<uint8_t> packet;
    while (!m_events.empty() && packet.size() < room) {
        packet.push_back(m_events.front());
        m_events.pop_front();
    }
    std::vector<uint8_t> encoded;
    while (!rx.empty()) {
        encoded.clear();
        encodeByte(rx.front(), m_escape, encoded);
        if (packet.size() + encoded.size() > room) break;
        packet.insert(packet.end(), encoded.begin(), encoded.end());
        rx.pop_front();
    }
    return packet;
}

void Cp2102::unplugged() {
    m_escape = 0;
    m_events.clear();
    m_flow = {};
}

std::string Cp2102::stateWords() const {
    return "events=" + std::to_string(m_escape != 0 ? 1 : 0);
}

}  // namespace cp210x
