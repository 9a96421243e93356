#include "line_check.h"

namespace parvolo {

bool LineCheck::settled(const LineStep& step, const ModemLines& seen) {
    for (const PinRow& row : kPins)
        if (seen.*row.level != step.*row.output) return false;
    return true;
}

void LineCheck::record(const LineStep& step, const ModemLines& seen) {
    ++m_steps;
    for (int pin = 0; pin < kPinCount; ++pin) {
        const PinRow& row = kPins[pin];
        const bool wanted = step.*row.output;
        if (seen.*row.level == wanted || pinFailed(pin) || pinUnavailable(pin)) continue;
        m_pinFailures[size_t(pin)] =
            wanted ? CheckTexts::tr("stayed off with %1 on").arg(QLatin1String(row.follows))
                   : CheckTexts::tr("stayed on with %1 off").arg(QLatin1String(row.follows));
    }
}

void LineCheck::skip(const QString& reason) {
    m_skipped = true;
    m_reason = reason;
}

void LineCheck::refuse(const QString& reason) {
    m_refused = true;
    m_reason = reason;
}

void LineCheck::useDriver(const DriverCapabilities* driver) {
    for (int pin = 0; pin < kPinCount; ++pin)
        m_unavailable[size_t(pin)] = driver && !(driver->*kPins[pin].real);
}

ModemLines LineCheck::seenOnDriver(const LineStep& step, ModemLines seen) const {
    for (int pin = 0; pin < kPinCount; ++pin)
        if (pinUnavailable(pin)) seen.*kPins[pin].level = step.*kPins[pin].output;
    return seen;
}

LinesVerdict LineCheck::verdict() const {
    if (m_skipped) return LinesVerdict::Skipped;
    if (m_refused) return LinesVerdict::Fail;
    if (!finished()) return LinesVerdict::NotChecked;
    for (int pin = 0; pin < kPinCount; ++pin)
        if (pinFailed(pin)) return LinesVerdict::Fail;
    return LinesVerdict::Pass;
}

}  // namespace parvolo
