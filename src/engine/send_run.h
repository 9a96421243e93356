#pragma once

#include <QString>
#include <QtGlobal>

// What is sent besides typed text, and one send run: from the start to the stop, its
// transmissions are counted, the count-up data advances with each of them, and after each
// completed block, timeout or hand-off the run decides whether another transmission is due.
namespace parvolo {

namespace send_patterns {

// What the send box holds at start, and what the checker sends unless told otherwise.
inline const QString kDefaultText = QStringLiteral("0123456789ABCDEF");

inline const QString kFoxSentence =
    QStringLiteral("THE QUICK BROWN FOX JUMPS OVER A LAZY DOG 0123456789.");

// The count with leading zeros to ten digits (a minus sign in front when negative), the
// alphabet, CR LF: 38 characters from 0 up.
QString countUpData(qint32 value);
// The count-up counter advances by one and continues at 0 after the largest value.
qint32 nextCountUpValue(qint32 value);

// The send-time estimate: returns the time-out to use, which is raised to twice the line time
// of the text when that reaches the current time-out, and never lowered. Intermediate values
// are single precision, as the estimate has always been made.
qint32 estimateTimeout(qint16 sendLength, qint32 baudRate, qint16 bitsPerCharacter,
                       qint32 currentTimeoutMs);

}  // namespace send_patterns

class SendRun {
public:
    static constexpr qint32 kStartTimeoutMs = 3000;

    // A new run: no transmission yet, and the first one carries count-up value 0. The
    // time-out grows to twice the line time of sendLength characters when that reaches it;
    // it is never lowered, so the longest one stays in force for later runs.
    void start(qint16 sendLength, qint32 baudRate, qint16 bitsPerCharacter);

    // The data of the next transmission: the count-up counter advances for every
    // transmission, and while countUp is on the count-up data goes instead of the text.
    QString nextData(const QString& text, bool countUp);
    // Throws ArithmeticOverflow past 2,147,483,647 transmissions.
    void countTransmission();

    // Another transmission is due while sending continuously, or while fewer than the limit
    // have been counted (completed blocks, or transmissions, as the caller decides).
    static bool isDue(bool continuous, qint64 limit, qint32 countSoFar) {
        return continuous || limit > countSoFar;
    }

    qint32 transmissions() const { return m_transmissions; }
    qint32 countUpValue() const { return m_countUpValue; }
    const QString& countUpData() const { return m_countUpData; }
    // Rebuilds the count-up data for the current value without advancing it.
    const QString& refreshCountUpData();
    qint32 timeoutMs() const { return m_timeoutMs; }
    void resetTimeout() { m_timeoutMs = kStartTimeoutMs; }

private:
    qint32 m_transmissions = 0;
    qint32 m_countUpValue = 0;
    QString m_countUpData;
    qint32 m_timeoutMs = kStartTimeoutMs;
};

}  // namespace parvolo
