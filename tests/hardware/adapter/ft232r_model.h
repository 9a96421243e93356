// The FT232R (0403:6001) as the ftdi_sio driver sees it: what the vendor requests mean, the rate
// the chip makes from the driver's divisor, and how received bytes are cut into bulk IN packets
// that start with two status bytes.
#pragma once

#include "chip.h"

namespace ftdi {

using adapter::DataFormat;
using adapter::Outputs;
using adapter::Parity;
using adapter::RxByte;

// Vendor requests (bRequest) on endpoint 0.
enum Request : uint8_t {
    kReset = 0,
    kModemCtrl = 1,
    kSetFlowCtrl = 2,
    kSetBaudRate = 3,
    kSetData = 4,
    kGetModemStatus = 5,
    kSetEventChar = 6,
    kSetErrorChar = 7,
    kSetLatencyTimer = 9,
    kGetLatencyTimer = 10,
    kSetBitMode = 11,
    kReadPins = 12,
    kReadEeprom = 0x90,
};

// Status byte 0: the modem lines the chip sees; the low nibble is always 1 on this chip.
constexpr uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80, kStatus0Fixed = 0x01;
// Status byte 1: line status (the errors at adapter::LineError's positions).
constexpr uint8_t kDataReady = 0x01, kThre = 0x20, kTemt = 0x40;

constexpr int kMaxPacket = 64;

// SET_DATA's wValue: bits 0-7 data bits, 8-10 parity, 11-13 stop bits, 14 break.
struct SetData {
    DataFormat format;
    bool breakOn = false;
};
SetData decodeData(uint16_t value);

// The rate a FT232R makes from SET_BAUD_RATE's wValue and wIndex: 3 MHz over a divisor with
// a 14-bit integer part and eighths in the three bits above it (in a scrambled order).
double baudFromDivisor(uint16_t value, uint16_t index);
// The same divisor as the driver computes it for a wanted rate, to cross-check the decoder.
uint32_t divisorForBaud(int baud);

// MODEM_CTRL's wValue: bits 0/1 the levels of DTR/RTS, bits 8/9 which of them to change.
Outputs applyModemCtrl(Outputs now, uint16_t value);

// SET_FLOW_CTRL's wIndex high byte.
enum Flow : uint8_t { kFlowNone = 0, kFlowRtsCts = 1, kFlowDtrDsr = 2, kFlowXonXoff = 4 };

// Takes the next bulk IN packet's data off the queue: up to 62 unflagged bytes, or a flagged
// byte alone, because the chip's error flags apply to every byte of the packet. Returns the
// flags for status byte 1.
uint8_t takePacket(std::deque<RxByte>& queue, std::vector<uint8_t>& data, int maxData);

class Ft232r : public adapter::Chip {
public:
    const char* name() const override { return "ft232r"; }
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const override;
    int transmitFifo() const override { return 256; }
    int receiveFifo() const override { return 384; }
    bool control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                 std::vector<uint8_t>& in) override;
    int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const override;
    std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) override;
    void inputsChanged(const adapter::Inputs& now) override;
    std::string stateWords() const override;

private:
    uint8_t status0() const;
    uint8_t status1(uint8_t flags) const;

    int m_latencyMs = 16;
    std::deque<uint8_t> m_status0Queue;
    uint8_t m_lastSentStatus0 = 0;
};

}  // namespace ftdi
