#pragma once

#include <QString>
#include <exception>

// The one error type of the program. It carries the number and the description the
// operator sees in message boxes as "description (number)".
class AppError : public std::exception {
public:
    AppError(int number, QString description)
        : m_number(number),
          m_description(std::move(description)),
          m_what(m_description.toStdString()) {}

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

    // "description (number)"
    QString messageText() const {
        return QStringLiteral("%1 (%2)").arg(m_description).arg(m_number);
    }

    static AppError overflow() { return AppError(ErrOverflow, QStringLiteral("Overflow")); }

    enum : int {
        ErrOverflow = 6,
        ErrInvalidPropertyValue = 380,
        ErrPortAlreadyOpen = 8005,
        ErrInvalidPort = 8002,
        ErrHardwareUnavailable = 8010,
        ErrPortNotOpen = 8012,
        ErrCannotSetState = 8015,
    };

private:
    int m_number;
    QString m_description;
    std::string m_what;
};
