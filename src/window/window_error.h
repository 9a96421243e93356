#pragma once

#include <QString>
#include <exception>

#include "serial/serial_error.h"

// The window reports an error as "description (number)", with the numbers its message table
// knows (8002, 8010, 8015, ...), which the serial error gives (SerialError::number()).
namespace parvolo {

struct WindowError {
    int number = 0;
    QString description;

    // "description (number)"
    QString messageText() const { return QStringLiteral("%1 (%2)").arg(description).arg(number); }
};

// The serial layer's errors by their code, the overflow of checked arithmetic as 6
// "Overflow"; anything else keeps its own text with the number 0.
WindowError windowErrorOf(const std::exception_ptr& error);
inline WindowError currentWindowError() {
    return windowErrorOf(std::current_exception());
}

}  // namespace parvolo
