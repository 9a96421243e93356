// What every emulated USB serial chip shares with the adapter that plays its line
// (usb_adapter.cpp): the line's settings, the errors a received byte can carry, the interface a
// chip model implements (its USB face: descriptors, control requests, how received bytes and
// line states go up to the driver) and the one the adapter offers it (the line it drives).
// A model does no I/O, so its unit test needs no USB.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace adapter {

enum class Parity { None, Odd, Even, Mark, Space };

struct DataFormat {
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopHalfBits = 2;  // 2 = one stop bit, 3 = one and a half, 4 = two
};

struct Flow {
    bool rtsCts = false;
    bool dtrDsr = false;
    bool xonXoff = false;
};

// The chip's outputs and the modem inputs it sees.
struct Outputs {
    bool dtr = false;
    bool rts = false;
};
struct Inputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const Inputs&) const = default;
};

// Errors a received byte arrived with, at a 16550 line status register's bit positions, which
// chips that report line status mostly use as they are.
enum LineError : uint8_t {
    kOverrun = 0x02,
    kParityError = 0x04,
    kFramingError = 0x08,
    kBreak = 0x10,
};

struct RxByte {
    uint8_t byte = 0;
    uint8_t errors = 0;
};

// One setup packet on endpoint 0.
struct Setup {
    uint8_t type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// The line as a chip model sees and drives it; the adapter implements it.
class Line {
public:
    virtual ~Line() = default;
    virtual void setBaud(double made) = 0;
    virtual void setFormat(const DataFormat& format) = 0;
    virtual void setBreak(bool on) = 0;
    virtual void setFlow(const Flow& flow) = 0;
    virtual void setOutputs(const Outputs& outputs) = 0;
    virtual Outputs outputs() const = 0;
    virtual Inputs inputs() const = 0;
    virtual void purge(bool transmit, bool receive) = 0;
    // The driver opened the port (for the control socket's wait-open).
    virtual void opened() = 0;
    virtual size_t transmitQueued() const = 0;
    virtual size_t receiveQueued() const = 0;
    virtual void note(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

struct Endpoints {
    uint8_t bulkIn = 1;
    uint8_t bulkOut = 2;
    uint8_t interruptIn = 0;  // 0: the chip has none
};

// One chip. A new one implements this, adds a line to makeChip() (chips.cpp) and a leg.
class Chip {
public:
    virtual ~Chip() = default;
    void attach(Line* line) { m_line = line; }

    virtual const char* name() const = 0;
    // Standard GET_DESCRIPTOR: device, configuration, strings. False stalls.
    virtual bool descriptor(uint8_t kind, uint8_t index, std::vector<uint8_t>& out) const = 0;
    virtual Endpoints endpoints() const { return {}; }
    virtual int transmitFifo() const = 0;
    virtual int receiveFifo() const = 0;

    // A vendor or class request on endpoint 0, with its OUT data; IN data goes into `in`. False
    // stalls it.
    virtual bool control(const Setup& setup, const std::vector<uint8_t>& out,
                         std::vector<uint8_t>& in) = 0;

    // When the next bulk IN transfer should complete (INT64_MIN: now, INT64_MAX: not before
    // something arrives), given the received bytes waiting and when the last one completed.
    virtual int64_t inDue(const std::deque<RxByte>& rx, int64_t lastIn) const = 0;
    // That transfer's data, taken off `rx`; the driver asked for `length` bytes.
    virtual std::vector<uint8_t> inPacket(std::deque<RxByte>& rx, int length) = 0;
    // The next interrupt IN transfer's data, for chips that report lines there.
    virtual bool interruptPacket(std::vector<uint8_t>&) { return false; }

    // The modem inputs may have changed: a command or the driver touched a line.
    virtual void inputsChanged(const Inputs&) {}
    virtual void unplugged() {}
    // Extra "name=value" words for the control socket's state line.
    virtual std::string stateWords() const { return {}; }

protected:
    Line& line() const { return *m_line; }

private:
    Line* m_line = nullptr;
};

// The chips the adapter can be, by name; nullptr for an unknown name.
std::unique_ptr<Chip> makeChip(const std::string& name);
std::vector<std::string> chipNames();

// Helpers shared by the models.
int64_t characterNs(const DataFormat& format, double baud);
std::string parityName(Parity parity);
std::string stopName(const DataFormat& format);
std::string flowName(const Flow& flow);
// A USB string descriptor (UTF-16LE of ASCII text); index 0 is the language list.
std::vector<uint8_t> stringDescriptor(const std::string& text);
// GET_DESCRIPTOR for a chip with one configuration: the device (kind 1), the configuration (2)
// or string `index` (3, index 0 the language list); false for anything else.
bool standardDescriptor(uint8_t kind, uint8_t index, const std::vector<uint8_t>& device,
                        const std::vector<uint8_t>& configuration,
                        const std::vector<const char*>& strings, std::vector<uint8_t>& out);
uint16_t le16(const uint8_t* p);
uint32_t le32(const uint8_t* p);
void putLe32(std::vector<uint8_t>& out, uint32_t v);
// Splits a command line into words; quoted words are not needed by any command.
std::vector<std::string> words(const std::string& line);
// Parses "65" or "0x41" as one byte; false when it is not a number from 0 to 255.
bool parseByte(const std::string& text, uint8_t& out);

}  // namespace adapter
