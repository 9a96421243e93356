#include "ch340_model.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace ch341 {

using adapter::Parity;

namespace {

constexpr uint8_t kDeviceDescriptor[18] = {18,   1,    0x10, 0x01, 0xFF, 0, 0, 8, 0x86,
                                           0x1A, 0x23, 0x75, 0x64, 0x02, 0, 2, 0, 1};
// The chip's own layout: the bulk pair on endpoint 2, the status on interrupt endpoint 1.
constexpr uint8_t kConfigDescriptor[39] = {
    9, 2, 39,   0, 1,          1,    0, 0x80, 0x31,  // one configuration, 98 mA
    9, 4, 0,    0, 3,          0xFF, 1, 2,    0,     // one vendor interface, three endpoints
    7, 5, 0x82, 2, kMaxPacket, 0,    0,              // bulk IN 2
    7, 5, 0x02, 2, kMaxPacket, 0,    0,              // bulk OUT 2
    7, 5, 0x81, 3, 8,          0,    1};             // interrupt IN 1, every frame
// Like the chip, no manufacturer and no serial number: only the product string is announced.
const char* const kStrings[] = {nullptr, "Parvolo", "Parvolo test adapter"};

constexpr double kClock = 48000000.0;
// The bytes of a status packet the driver does not read, as its notes give them (0x08, 0x7d with
// the multiple-change bit, 0xee); the fourth is the second status register.
constexpr uint8_t kPacketFirst = 0x08, kPacketSecond = 0x79, kStatus2 = 0xEE;
// The status register's high nibble, as the driver's notes give it.
constexpr uint8_t kStatusHigh = 0x90;
// A short packet goes at most once a USB frame.
constexpr int64_t kFrameNs = 1000000;

}  // namespace

double baudFromRegisters(uint8_t prescaler, uint8_t divisor) {
    const int shift = 12 - 3 * (prescaler & kPrescaler) - ((prescaler & kFastClock) ? 1 : 0);
    return kClock / double((1 << shift) * (256 - divisor));
}

DataFormat decodeLcr(uint8_t lcr) {
    DataFormat format;
    format.dataBits = 5 + (lcr & kLcrSize);
    if (lcr & kLcrParity) {
        const bool even = lcr & kLcrParityEven;
        // As on a 16550: with the stick bit the "even" bit makes the parity bit 0.
        if (lcr & kLcrMarkSpace)
            format.parity = even ? Parity::Space : Parity::Mark;
        else
            format.parity = even ? Parity::Even : Parity::Odd;
    }
    // One or two stop bits, the chip has no one and a half.
    format.stopHalfBits = (lcr & kLcrTwoStopBits) ? 4 : 2;
    return format;
}

Outputs decodeModemControl(uint16_t value) {
    return {.dtr = !(value & kDtr), .rts = !(value & kRts)};
}

uint8_t statusRegister(const Inputs& inputs) {
    const uint8_t on = uint8_t((inputs.cts ? kCts : 0) | (inputs.dsr ? kDsr : 0) |
                               (inputs.ri ? kRi : 0) | (inputs.dcd ? kDcd : 0));
    return uint8_t(kStatusHigh | (~on & kInputs));
}

// The driver reads the inputs from the third byte and ignores packets shorter than four.
std::vector<uint8_t> statusPacket(uint8_t status, bool multipleChanges) {
    return {kPacketFirst, uint8_t(kPacketSecond | (multipleChanges ? kMultipleChanges : 0)), status,
            kStatus2};
}

// Nothing in the driver tells what the chip does with a damaged byte: it has no error path and
// hands every byte up as plain data, so the pipe has no room for a mark. A byte with a parity or
// framing error goes up as it was received, an overrun shows only as the bytes that are missing,
// and a break as what a UART reads from a line held low, a NUL.
uint8_t receivedByte(const RxByte& byte) {
    return (byte.errors & adapter::kBreak) ? 0 : byte.byte;
}

Ch340::Ch340() {
    powerOn();
}

// 8N1 with both directions on and no break (a fresh chip reads back 0xc3 from its line control),
// and the inputs all off.
void Ch340::powerOn() {
    m_registers.fill(0);
    m_registers[kRegBreak] = kNoBreak;
    m_registers[kRegLcr] = kLcrEnableRx | kLcrEnableTx | kLcrSize;
    m_registers[kRegStatus2] = kStatus2;
    m_status = statusRegister({});
    m_unreportedChanges = 0;
}

bool Ch340::descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const {
    return adapter::standardDescriptor(kind, index,
                                       {std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)},
                                       {std::begin(kConfigDescriptor), std::end(kConfigDescriptor)},
                                       {std::begin(kStrings), std::end(kStrings)}, out);
}

bool Ch340::control(const adapter::Setup& setup, const std::vector<uint8_t>&,
                    std::vector<uint8_t>& in) {
    in.clear();
    if ((setup.type & 0x60) != 0x40) return false;
    adapter::Line& l = line();
    switch (setup.request) {
        case kReadVersion:
            in = {kVersion, 0};
            return true;
        case kReadRegisters:
            // The driver reads the status only as it opens the port (and after a reset).
            if (setup.value == (kRegStatus2 << 8 | kRegStatus)) l.opened();
            in = readRegisters(setup.value);
            return true;
        case kWriteRegisters:
            writeRegisters(setup.value, setup.index);
            return true;
        case kSerialInit:
            l.purge(true, true);
            l.note("SERIAL_INIT %04x %04x", setup.value, setup.index);
            return true;
        case kModemControl: {
            const Outputs outputs = decodeModemControl(setup.value);
            l.setOutputs(outputs);
            l.note("MODEM_CTRL %04x dtr=%d rts=%d", setup.value, int(outputs.dtr),
                   int(outputs.rts));
            return true;
        }
        default:
            return false;
    }
}

// Every register answers, 5 too: a stall there is how the driver tells the CH34x parts that
// cannot hold a break, and it would then fake one with a slow rate and a NUL.
std::vector<uint8_t> Ch340::readRegisters(uint16_t pair) const {
    std::vector<uint8_t> values;
    for (const uint8_t reg : {uint8_t(pair), uint8_t(pair >> 8)})
        values.push_back(reg == kRegStatus ? statusRegister(line().inputs()) : m_registers[reg]);
    return values;
}

void Ch340::writeRegisters(uint16_t pair, uint16_t values) {
    const uint8_t first = uint8_t(pair), second = uint8_t(pair >> 8);
    m_registers[first] = uint8_t(values);
    m_registers[second] = uint8_t(values >> 8);
    auto wrote = [&](uint8_t reg) { return first == reg || second == reg; };
    adapter::Line& l = line();
    if (wrote(kRegPrescaler) || wrote(kRegDivisor)) {
        const uint8_t prescaler = m_registers[kRegPrescaler], divisor = m_registers[kRegDivisor];
        const double baud = baudFromRegisters(prescaler, divisor);
        l.setBaud(baud);
        l.note("WRITE_REG prescaler %02x divisor %02x rate %.1f", prescaler, divisor, baud);
    }
    if (wrote(kRegLcr)) {
        const DataFormat format = decodeLcr(m_registers[kRegLcr]);
        l.setFormat(format);
        l.note("WRITE_REG lcr %02x bits=%d parity=%s stop=%s", m_registers[kRegLcr],
               format.dataBits, adapter::parityName(format.parity).c_str(),
               adapter::stopName(format).c_str());
    }
    // The driver clears the line control's transmit bit with it; the break bit is what counts.
    if (wrote(kRegBreak)) {
        const bool breakOn = !(m_registers[kRegBreak] & kNoBreak);
        l.setBreak(breakOn);
        l.note("WRITE_REG break %02x break=%d", m_registers[kRegBreak], int(breakOn));
    }
}

// With the prescaler's bit 7 clear the chip holds what it received until a packet is full.
int64_t Ch340::inDue(const std::deque<RxByte>& rx, int64_t lastIn) const {
    if (rx.size() >= size_t(kMaxPacket)) return INT64_MIN;
    if (rx.empty() || !(m_registers[kRegPrescaler] & kSendShort)) return INT64_MAX;
    return lastIn + kFrameNs;
}

std::vector<uint8_t> Ch340::inPacket(std::deque<RxByte>& rx, int length) {
    const size_t room = size_t(std::clamp(length, 0, kMaxPacket));
    std::vector<uint8_t> packet;
    while (!rx.empty() && packet.size() < room) {
        packet.push_back(receivedByte(rx.front()));
        rx.pop_front();
    }
    return packet;
}

// The chip reports the inputs as they are now, and says whether it saw more than one change
// since its last report; a change undone before the driver asked still counts as two.
void Ch340::inputsChanged(const Inputs& now) {
    const uint8_t status = statusRegister(now);
    if (status == m_status) return;
    m_status = status;
    ++m_unreportedChanges;
}

bool Ch340::interruptPacket(std::vector<uint8_t>& packet) {
    if (m_unreportedChanges == 0) return false;
    packet = statusPacket(m_status, m_unreportedChanges > 1);
    m_unreportedChanges = 0;
    return true;
}

void Ch340::unplugged() {
    powerOn();
}

std::string Ch340::stateWords() const {
    char text[64];
    std::snprintf(text, sizeof text, "prescaler=%02x divisor=%02x lcr=%02x break_reg=%02x",
                  m_registers[kRegPrescaler], m_registers[kRegDivisor], m_registers[kRegLcr],
                  m_registers[kRegBreak]);
    return text;
}

}  // namespace ch341
