#pragma once

#include <QString>

// Messages for a port that cannot be opened. All are shown titled "通信エラー" with the
// exclamation icon and an OK button.
namespace parvolo::port_messages {

inline const QString kTitle = QStringLiteral("通信エラー");
inline const QString kCannotOpen = QStringLiteral("通信ポートが開けません");

// The message for the error number held (as decimal text) after an open attempt that left the
// port closed without raising an error.
QString tableMessage(const QString& errorNumberText);

}  // namespace parvolo::port_messages

namespace parvolo {
struct ComPort;
namespace port_messages {

// The notice under the receive group: what the chosen COM number reaches now, or that nothing
// is there ("COM3: FT232R USB UART A10K1234 (ttyUSB0)", "COM3: 何もつながっていません").
QString portNotice(const ComPort& port);

}  // namespace port_messages
}  // namespace parvolo
