#include "engine/send_run.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "engine/checked_int.h"

namespace parvolo {

namespace send_patterns {

QString countUpData(qint32 value) {
    const qint64 magnitude = value < 0 ? -qint64(value) : qint64(value);
    QString digits = QStringLiteral("%1").arg(magnitude, 10, 10, QLatin1Char('0'));
    if (value < 0) digits.prepend(QLatin1Char('-'));
    return digits + QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n");
}

qint32 nextCountUpValue(qint32 value) {
    return value == std::numeric_limits<qint32>::max() ? 0 : value + 1;
}

qint32 estimateTimeout(qint16 sendLength, qint32 baudRate, qint16 bitsPerCharacter,
                       qint32 currentTimeoutMs) {
    if (baudRate <= 0) return currentTimeoutMs;  // no line rate, nothing to estimate
    const float bitTime = float(1.0 / double(baudRate));
    const float characterTime = float(double(bitsPerCharacter) * double(bitTime));
    const float sendTime = float(double(sendLength) * double(characterTime));
    if (double(sendTime) * 1000.0 < double(currentTimeoutMs)) return currentTimeoutMs;
    const int savedRounding = std::fegetround();
    std::fesetround(FE_TONEAREST);  // halves to the even neighbour
    const double raised = std::nearbyint(double(sendTime) * 1000.0 * 2.0);
    std::fesetround(savedRounding);
    return checkedNarrow<qint32>(qint64(raised));
}

}  // namespace send_patterns

void SendRun::start(qint16 sendLength, qint32 baudRate, qint16 bitsPerCharacter) {
    m_transmissions = 0;
    m_countUpValue = -1;
    m_timeoutMs =
        send_patterns::estimateTimeout(sendLength, baudRate, bitsPerCharacter, m_timeoutMs);
}

QString SendRun::nextData(const QString& text, bool countUp) {
    m_countUpValue = send_patterns::nextCountUpValue(m_countUpValue);
    m_countUpData = send_patterns::countUpData(m_countUpValue);
    return countUp ? m_countUpData : text;
}

void SendRun::countTransmission() {
    checkedIncrement(m_transmissions);
}

const QString& SendRun::refreshCountUpData() {
    m_countUpData = send_patterns::countUpData(m_countUpValue);
    return m_countUpData;
}

}  // namespace parvolo
