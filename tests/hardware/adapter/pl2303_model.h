// The PL2303 HX (067b:2303) as the pl2303 driver sees it: the descriptor values that make the
// driver take it for an HX, its register file behind the vendor requests (the startup sequence,
// the pipe resets at open, the flow control bits), the class requests for the line settings,
// DTR/RTS and break, the rates it makes from a rate or a divisor, and the UART state it reports
// on the interrupt endpoint. The driver applies the last reported errors to the whole next bulk
// IN packet, so a damaged byte goes up alone, right after the state that tells of its error.
#pragma once

#include <array>

#include "chip.h"

namespace pl2303 {

using adapter::RxByte;

// bRequest of the vendor register reads and writes and of the class requests.
enum Request : uint8_t {
    kVendorRequest = 0x01,
    kSetLineRequest = 0x20,
    kGetLineRequest = 0x21,
    kSetControlRequest = 0x22,
    kBreakRequest = 0x23,
};

class Pl2303 : public adapter::Chip {
public:
    Pl2303() { reset(); }
    const char* name() const override { return "pl2303"; }
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const override;
    adapter::Endpoints endpoints() const override {
        return {.bulkIn = 3, .bulkOut = 2, .interruptIn = 1};
    }
    int transmitFifo() const override { return 256; }
    int receiveFifo() const override { return 256; }
    bool control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                 std::vector<uint8_t>& in) override;
    int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const override;
    std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) override;
    bool interruptPacket(std::vector<uint8_t>& packet) override;
    void inputsChanged(const adapter::Inputs& now) override;
    void unplugged() override { reset(); }
    std::string stateWords() const override;

private:
    // The damaged byte at the head of the receive queue: its errors taken, then reported on the
    // interrupt endpoint, then the byte itself goes in a bulk packet of its own.
    enum class Damaged { None, Taken, Reported };

    bool classRequest(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                      std::vector<uint8_t>& in);
    void writeRegister(uint8_t reg, uint8_t value);
    bool setLine(const std::vector<uint8_t>& block);
    std::vector<uint8_t> damagedByte(std::deque<RxByte>& rx);
    void reset();

    std::array<uint8_t, 128> m_registers{};
    std::vector<uint8_t> m_lineBlock;  // for GET_LINE_REQUEST
    uint8_t m_reported = 0;            // the modem lines the driver was last told
    std::deque<uint8_t> m_modemQueue;  // levels the lines passed through, not yet told
    Damaged m_damaged = Damaged::None;
    uint8_t m_damageBits = 0;
};

}  // namespace pl2303
