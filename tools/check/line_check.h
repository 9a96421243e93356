#pragma once

#include <QString>
#include <array>

#include "check_result.h"
#include "serial/driver_capabilities.h"
#include "serial/line_settings.h"

// The handshake-line check of a DE-9 loopback plug, which wires RTS to CTS and DTR to DSR
// and DCD. RTS and DTR are driven through a fixed series of steps; after each step every pin
// must show the level of the output it is wired to (so a pin wired to the wrong output, stuck,
// or wired to both fails too). The run drives the outputs and waits; this class only says
// what to drive, whether the pins have settled and which pins failed.
namespace parvolo {

struct LineStep {
    bool rts;
    bool dtr;
};

struct PinRow {
    const char* pin;      // "CTS"
    const char* follows;  // "RTS"
    bool ModemLines::*level;
    bool LineStep::*output;
    bool DriverCapabilities::*real;  // whether the driver can see the pin at all
};

inline constexpr PinRow kPins[] = {
    {"CTS", "RTS", &ModemLines::cts, &LineStep::rts, &DriverCapabilities::cts},
    {"DSR", "DTR", &ModemLines::dsr, &LineStep::dtr, &DriverCapabilities::dsr},
    {"DCD", "DTR", &ModemLines::dcd, &LineStep::dtr, &DriverCapabilities::dcd}};
inline constexpr int kPinCount = int(std::size(kPins));

// Starts where the port opens (both on), takes each output off and on again, ends both on.
inline constexpr LineStep kLineSteps[] = {
    {true, true}, {false, true}, {true, true}, {true, false}, {true, true}};

class LineCheck {
public:
    // All pins show their outputs' levels.
    static bool settled(const LineStep& step, const ModemLines& seen);

    // What the pins showed when the step ended (settled or out of time).
    void record(const LineStep& step, const ModemLines& seen);
    // The device has no modem lines (a pty): nothing was driven.
    void skip(const QString& reason);
    // The driver refused to switch an output.
    void refuse(const QString& reason);
    // Pins the driver cannot see are neither passed nor failed: "not available on this driver".
    void useDriver(const DriverCapabilities* driver);
    bool pinUnavailable(int pin) const { return m_unavailable[size_t(pin)]; }
    // What the pins showed, with those the driver cannot see taken as following their outputs.
    ModemLines seenOnDriver(const LineStep& step, ModemLines seen) const;

    LinesVerdict verdict() const;
    bool pinFailed(int pin) const { return !m_pinFailures[size_t(pin)].isEmpty(); }
    // Why a pin failed, e.g. "stayed on when RTS went off".
    const QString& pinFailure(int pin) const { return m_pinFailures[size_t(pin)]; }
    const QString& reason() const { return m_reason; }
    bool finished() const { return m_steps == int(std::size(kLineSteps)); }

private:
    std::array<QString, kPinCount> m_pinFailures;
    std::array<bool, kPinCount> m_unavailable{};
    QString m_reason;
    int m_steps = 0;
    bool m_skipped = false;
    bool m_refused = false;
};

}  // namespace parvolo
