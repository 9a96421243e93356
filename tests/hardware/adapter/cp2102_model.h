// The CP2102 (10c4:ea60) as the cp210x driver sees it: its interface requests, the part number
// that decides whether the driver trusts it with event mode, the rates it makes, and the bulk IN
// stream, which is plain data until the driver turns event mode on; then an escape byte
// introduces line status with the damaged byte, modem status, or a data byte equal to it.
#pragma once

#include "chip.h"

namespace cp210x {

using adapter::DataFormat;
using adapter::Outputs;
using adapter::RxByte;

// bRequest of the interface requests, and the one vendor request with its wValue.
enum Request : uint8_t {
    kIfcEnable = 0x00,
    kSetLineCtl = 0x03,
    kGetLineCtl = 0x04,
    kSetBreak = 0x05,
    kSetMhs = 0x07,
    kGetMdmSts = 0x08,
    kGetCommStatus = 0x10,
    kPurge = 0x12,
    kSetFlow = 0x13,
    kGetFlow = 0x14,
    kEmbedEvents = 0x15,
    kSetChars = 0x19,
    kGetBaudRate = 0x1D,
    kSetBaudRate = 0x1E,
    kVendorRequest = 0xFF,
};
constexpr uint16_t kGetPartNumber = 0x370B;
constexpr uint8_t kPartCp2102 = 0x02;

// GET_MDMSTS and SET_MHS bits; the same positions carry the levels in a modem status event.
constexpr uint8_t kDtr = 0x01, kRts = 0x02, kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80;
// A modem status event's change bits.
constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kRiEnded = 0x04, kDeltaDcd = 0x08;

// What follows the escape byte in event mode.
enum Event : uint8_t { kEscapedData = 0, kStatusWithData = 1, kStatus = 2, kModemStatus = 3 };

constexpr int kMaxPacket = 64;

// SET_LINE_CTL's wValue: bits 8-11 data bits, 4-7 parity, 0-3 stop bits. False for a value the
// chip does not take.
bool decodeLineCtl(uint16_t value, DataFormat& format);
uint16_t encodeLineCtl(const DataFormat& format);

// SET_MHS's wValue: bits 0/1 the levels of DTR/RTS, bits 8/9 which of them to change.
Outputs applyMhs(Outputs now, uint16_t value);

// The 16-byte SET_FLOW/GET_FLOW block.
struct FlowControl {
    uint32_t controlHandshake = 0;
    uint32_t flowReplace = 0;
    uint32_t xonLimit = 0;
    uint32_t xoffLimit = 0;
};
bool decodeFlow(const std::vector<uint8_t>& block, FlowControl& flow);
std::vector<uint8_t> encodeFlow(const FlowControl& flow);
// The handshakes the block turns on, and the DTR/RTS levels it drives.
adapter::Flow handshakes(const FlowControl& flow);
Outputs outputsOf(const FlowControl& flow);
// The block after SET_MHS changed a line, so that GET_FLOW tells the same.
FlowControl withOutputs(FlowControl flow, Outputs outputs, uint16_t mhsValue);

// The rate the chip makes for a SET_BAUDRATE request: the supported rate whose range holds it.
uint32_t madeRate(uint32_t requested);

// One received byte as it goes up the bulk IN pipe: in event mode with its errors escaped, else
// as it came (a break gives no byte then).
void encodeByte(const RxByte& byte, uint8_t escape, std::vector<uint8_t>& out);
// A modem status event: the levels and what changed since `before`.
std::vector<uint8_t> modemStatusEvent(uint8_t escape, uint8_t before, uint8_t now);

class Cp2102 : public adapter::Chip {
public:
    const char* name() const override { return "cp2102"; }
    bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const override;
    adapter::Endpoints endpoints() const override { return {.bulkIn = 1, .bulkOut = 1}; }
    int transmitFifo() const override { return 640; }
    int receiveFifo() const override { return 576; }
    bool control(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                 std::vector<uint8_t>& in) override;
    int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const override;
    std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) override;
    void inputsChanged(const adapter::Inputs& now) override;
    void unplugged() override;
    std::string stateWords() const override;

private:
    bool interfaceRequest(const adapter::Setup& setup, const std::vector<uint8_t>& out,
                          std::vector<uint8_t>& in);
    uint8_t modemStatus() const;

    uint32_t m_rate = 9600;
    DataFormat m_format;
    FlowControl m_flow;
    uint8_t m_escape = 0;  // 0: event mode off
    uint8_t m_reportedModem = 0;
    std::deque<uint8_t> m_events;  // escaped modem status events not yet sent
};

}  // namespace cp210x
