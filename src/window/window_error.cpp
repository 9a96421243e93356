#include "window/window_error.h"

#include "engine/checked_int.h"
#include "serial/serial_error.h"

namespace parvolo {

WindowError windowErrorOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const SerialError& e) {
        return {e.number(), e.description()};
    } catch (const ArithmeticOverflow&) {
        return {error_numbers::Overflow, QStringLiteral("Overflow")};
    } catch (const std::exception& e) {
        return {0, QString::fromLocal8Bit(e.what())};
    } catch (...) {
        return {0, QStringLiteral("Unknown error")};
    }
}

}  // namespace parvolo
