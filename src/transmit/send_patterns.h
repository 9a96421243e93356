#pragma once

#include <QString>
#include <QtGlobal>

// What the window sends besides typed text, and how long it takes on the line.
namespace SendPatterns {

inline const QString kFoxSentence =
    QStringLiteral("THE QUICK BROWN FOX JUMPS OVER A LAZY DOG 0123456789.");

// The count with leading zeros to ten digits (a minus sign in front when negative), the
// alphabet, CR LF: 38 characters from 0 up.
QString countUpData(qint32 value);
// The count-up counter advances by one and continues at 0 after the largest value.
qint32 nextCountUpValue(qint32 value);

// The send-time estimate: returns the time-out to use, which is raised to twice the line
// time of the text when that reaches the current time-out, and never lowered. Intermediate
// values are single precision, as the estimate has always been made.
qint32 estimateTimeout(qint16 sendLength, qint32 baudRate, qint16 bitsPerCharacter,
                       qint32 currentTimeoutMs);

}  // namespace SendPatterns
