#include "window/window_error.h"

#include "engine/checked_int.h"
#include "serial/serial_error.h"

namespace parvolo {

namespace {

int numberOf(SerialError::Code code) {
    using C = SerialError::Code;
    switch (code) {
        case C::InvalidValue:
            return ErrorNumbers::InvalidPropertyValue;
        case C::InvalidPort:
        case C::NoSuchPort:
            return ErrorNumbers::InvalidPort;
        case C::AlreadyOpen:
            return ErrorNumbers::PortAlreadyOpen;
        case C::NotOpen:
            return ErrorNumbers::PortNotOpen;
        case C::PermissionDenied:
        case C::Busy:
        case C::StillClosing:
        case C::OpenFailed:
            return ErrorNumbers::HardwareUnavailable;
        case C::SettingRefused:
        case C::LineRefused:
            return ErrorNumbers::CannotSetState;
    }
    return ErrorNumbers::HardwareUnavailable;
}

}  // namespace

WindowError windowErrorOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const SerialError& e) {
        return {numberOf(e.code()), e.description()};
    } catch (const ArithmeticOverflow&) {
        return {ErrorNumbers::Overflow, QStringLiteral("Overflow")};
    } catch (const std::exception& e) {
        return {0, QString::fromLocal8Bit(e.what())};
    } catch (...) {
        return {0, QStringLiteral("Unknown error")};
    }
}

}  // namespace parvolo
