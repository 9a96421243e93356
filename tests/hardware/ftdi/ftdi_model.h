// The FT232R as its driver sees it, without any I/O: what the vendor requests mean, how long a
// character takes on the line, and how received bytes are cut into bulk IN packets. The adapter
// (ftdi_adapter.cpp) moves these over USB/IP; the unit test checks them against the encodings
// the driver uses.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ftdi {

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
// Status byte 1: line status.
constexpr uint8_t kDataReady = 0x01, kOverrun = 0x02, kParityErr = 0x04, kFramingErr = 0x08,
                  kBreak = 0x10, kThre = 0x20, kTemt = 0x40;

constexpr int kMaxPacket = 64;
constexpr int kTxFifo = 256;
constexpr int kRxFifo = 384;

enum class Parity { None, Odd, Even, Mark, Space };

struct DataFormat {
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two
    bool breakOn = false;
};

// SET_DATA's wValue: bits 0-7 data bits, 8-10 parity, 11-13 stop bits, 14 break.
DataFormat decodeData(uint16_t value);

// The rate a FT232R makes from SET_BAUD_RATE's wValue and wIndex: 3 MHz over a divisor with
// a 14-bit integer part and eighths in the three bits above it (in a scrambled order).
double baudFromDivisor(uint16_t value, uint16_t index);
// The same divisor as the driver computes it for a wanted rate, to cross-check the decoder.
uint32_t divisorForBaud(int baud);

// Nanoseconds one character occupies on the line: start, data, parity and stop bits.
int64_t characterNs(const DataFormat& format, double baud);

// MODEM_CTRL's wValue: bits 0/1 the levels of DTR/RTS, bits 8/9 which of them to change.
struct Outputs {
    bool dtr = false;
    bool rts = false;
};
Outputs applyModemCtrl(Outputs now, uint16_t value);

// SET_FLOW_CTRL's wIndex high byte.
enum Flow : uint8_t { kFlowNone = 0, kFlowRtsCts = 1, kFlowDtrDsr = 2, kFlowXonXoff = 4 };

// A received byte and the line-status flags it arrived with.
struct RxByte {
    uint8_t byte = 0;
    uint8_t flags = 0;
};

// Takes the next bulk IN packet's data off the queue: up to 62 unflagged bytes, or a flagged
// byte alone, because the chip's error flags apply to every byte of the packet. Returns the
// flags for status byte 1.
uint8_t takePacket(std::deque<RxByte>& queue, std::vector<uint8_t>& data, int maxData);

std::string parityName(Parity parity);

// Splits a command line into words; quoted words are not needed by any command.
std::vector<std::string> words(const std::string& line);
// Parses "65" or "0x41" as one byte; false when it is not a number from 0 to 255.
bool parseByte(const std::string& text, uint8_t& out);

}  // namespace ftdi
