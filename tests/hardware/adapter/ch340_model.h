// The CH340 (1a86:7523) as the ch341 driver sees it: a version number that sends the driver down
// its path for chips with one line control register, registers read and written two at a time
// (the rate's prescaler and divisor, the line control, the break bit, the modem status), DTR and
// RTS set active low by a request of their own, and the modem inputs, inverted, both in a status
// register and in a four-byte packet on the interrupt endpoint when they change. The bulk IN
// pipe carries plain data: the chip has no way to tell the driver that a byte came damaged. The
// driver sends nothing for CRTSCTS, so the line never gets hardware flow control.
#pragma once

#include <array>

#include "chip.h"

namespace ch341 {

using adapter::DataFormat;
using adapter::Inputs;
using adapter::Outputs;
using adapter::RxByte;

// Vendor requests (bRequest) on endpoint 0.
enum Request : uint8_t {
    kReadVersion = 0x5F,
    kReadRegisters = 0x95,
    kWriteRegisters = 0x9A,
    kSerialInit = 0xA1,
    kModemControl = 0xA4,
};

// The registers the driver uses. A read or write names two of them in wValue, the first in the
// low byte; a write's wIndex carries their values in the same order, a read answers two bytes.
enum Register : uint8_t {
    kRegBreak = 0x05,
    kRegStatus = 0x06,
    kRegStatus2 = 0x07,
    kRegPrescaler = 0x12,
    kRegDivisor = 0x13,
    kRegLcr = 0x18,
};

// From 0x30 on the driver writes the data format to the line control register; from 0x28 on it
// sets the prescaler's bit that sends short packets at once.
constexpr uint8_t kVersion = 0x31;

// Line control register.
constexpr uint8_t kLcrEnableRx = 0x80, kLcrEnableTx = 0x40, kLcrMarkSpace = 0x20,
                  kLcrParityEven = 0x10, kLcrParity = 0x08, kLcrTwoStopBits = 0x04, kLcrSize = 0x03;
// The break register's bit that is clear while the line is held in break.
constexpr uint8_t kNoBreak = 0x01;
// The prescaler register: bits 0-1 the prescaler, bit 2 the faster of two base clocks, bit 7
// short packets at once instead of only full ones.
constexpr uint8_t kPrescaler = 0x03, kFastClock = 0x04, kSendShort = 0x80;
// The modem control request's wValue: the outputs, low while on.
constexpr uint8_t kDtr = 0x20, kRts = 0x40;
// The status register's low nibble: the inputs, low while on.
constexpr uint8_t kCts = 0x01, kDsr = 0x02, kRi = 0x04, kDcd = 0x08, kInputs = 0x0F;
// The interrupt packet's second byte: the inputs changed more than once since the last packet.
constexpr uint8_t kMultipleChanges = 0x04;

constexpr int kMaxPacket = 32;

// The rate the chip makes: 48 MHz over 2^(12 - 3 * prescaler - fast clock) over (256 - divisor
// register). The driver clamps what it is asked to 46..3,000,000 and leaves the rate asked in the
// termios, so only this tells what the line really runs at.
double baudFromRegisters(uint8_t prescaler, uint8_t divisor);
DataFormat decodeLcr(uint8_t lcr);
Outputs decodeModemControl(uint16_t value);
uint8_t statusRegister(const Inputs& inputs);
// The interrupt endpoint's packet for a status register value.
std::vector<uint8_t> statusPacket(uint8_t status, bool multipleChanges);
// A received byte as the bulk IN pipe carries it.
uint8_t receivedByte(const RxByte& byte);

class Ch340 : public adapter::Chip {
public:
    Ch340();
    const char* name() const override { return "ch340"; }
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const override;
    adapter::Endpoints endpoints() const override {
        return {.bulkIn = 2, .bulkOut = 2, .interruptIn = 1};
    }
    // The datasheet gives no sizes; one packet each way, as much as the driver's notes imply.
    int transmitFifo() const override { return kMaxPacket; }
    int receiveFifo() const override { return kMaxPacket; }
    bool control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                 std::vector<uint8_t>& in) override;
    int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const override;
    std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) override;
    bool interruptPacket(std::vector<uint8_t>& packet) override;
    void inputsChanged(const Inputs& now) override;
    void unplugged() override;
    std::string stateWords() const override;

private:
    void powerOn();
    std::vector<uint8_t> readRegisters(uint16_t pair) const;
    void writeRegisters(uint16_t pair, uint16_t values);

    std::array<uint8_t, 256> m_registers{};
    uint8_t m_status = 0;  // the inputs as the chip last saw them
    int m_unreportedChanges = 0;
};

}  // namespace ch341
