#include "transmit/send_patterns.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "app/checked_int.h"

namespace SendPatterns {

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

}  // namespace SendPatterns
