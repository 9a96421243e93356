// A board with a native USB port running a USB serial stack (1209:0001), as the cdc_acm driver
// sees it: a communications interface whose functional descriptors tell the driver which class
// requests it takes, a data interface with a bulk pipe each way, the class requests (line
// coding, DTR and RTS, break) and the serial state notifications on the interrupt endpoint,
// which carry DCD, DSR, rings, breaks and the line errors. There is no CTS and no flow control:
// the class has neither.
#pragma once

#include "chip.h"

namespace acm {

using adapter::DataFormat;
using adapter::RxByte;

// The class requests (bRequest), all addressed to the communications interface.
enum Request : uint8_t {
    kSetLineCoding = 0x20,
    kGetLineCoding = 0x21,
    kSetControlLineState = 0x22,
    kSendBreak = 0x23,
};
constexpr uint8_t kCommInterface = 0;
// SET_CONTROL_LINE_STATE's wValue.
constexpr uint16_t kDtr = 0x01, kRts = 0x02;
// SEND_BREAK's wValue that holds the break until a SEND_BREAK of 0; the driver sends only these.
constexpr uint16_t kBreakUntilCleared = 0xFFFF;

// The SERIAL_STATE bitmap: two levels, then events the driver counts once per notification.
enum SerialState : uint16_t {
    kDcd = 0x01,
    kDsr = 0x02,
    kBreak = 0x04,
    kRing = 0x08,
    kFraming = 0x10,
    kParity = 0x20,
    kOverrun = 0x40,
};

constexpr int kMaxPacket = 64;

// The 7-byte line coding block: rate, stop bits, parity, data bits.
struct LineCoding {
    uint32_t rate = 9600;
    DataFormat format;
};
// False for a block the board does not take: another size, rate 0, codes out of range, data
// bits other than 5 to 8.
bool decodeLineCoding(const std::vector<uint8_t>& block, LineCoding& coding);
std::vector<uint8_t> encodeLineCoding(const LineCoding& coding);

// A received byte's errors (adapter::LineError) as SERIAL_STATE event bits.
uint16_t errorState(uint8_t errors);
// The levels the notifications carry for these inputs (CTS has no place).
uint16_t levelState(const adapter::Inputs& inputs);
// One SERIAL_STATE notification: the 8-byte header, then the bitmap.
std::vector<uint8_t> serialStateNotification(uint16_t state);

class CdcAcm : public adapter::Chip {
public:
    const char* name() const override { return "cdc-acm"; }
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const override;
    adapter::Endpoints endpoints() const override {
        return {.bulkIn = 1, .bulkOut = 2, .interruptIn = 3};
    }
    int transmitFifo() const override { return 256; }
    int receiveFifo() const override { return 256; }
    bool control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                 std::vector<uint8_t>& in) override;
    int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const override;
    std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) override;
    bool interruptPacket(std::vector<uint8_t>& packet) override;
    void inputsChanged(const adapter::Inputs& now) override;
    void unplugged() override;

private:
    bool setLineCoding(const std::vector<uint8_t>& block);
    void setControlLineState(uint16_t value);
    void sendBreak(uint16_t value);
    void reportErrors(std::deque<RxByte>& rx);
    void reportEvent(uint16_t bits);
    void notify(uint16_t state);

    LineCoding m_coding;
    adapter::Inputs m_reported;
    std::deque<uint16_t> m_notifications;  // states not yet collected by the host
};

}  // namespace acm
