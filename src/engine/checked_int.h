#pragma once

#include <QtGlobal>
#include <concepts>
#include <limits>
#include <stdexcept>

// Counters and lengths are 16- and 32-bit signed integers whose arithmetic is checked: passing
// the largest value raises ArithmeticOverflow instead of wrapping.
namespace parvolo {

class ArithmeticOverflow : public std::overflow_error {
public:
    ArithmeticOverflow() : std::overflow_error("Overflow") {}
};

template <std::signed_integral T>
T checkedAdd(T a, T b) {
    T result;
    if (__builtin_add_overflow(a, b, &result)) throw ArithmeticOverflow();
    return result;
}

template <std::signed_integral T>
void checkedIncrement(T& value) {
    value = checkedAdd<T>(value, T{1});
}

// Narrows a wider value, raising the overflow when it does not fit.
template <std::signed_integral T>
T checkedNarrow(qint64 value) {
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max())
        throw ArithmeticOverflow();
    return static_cast<T>(value);
}

}  // namespace parvolo
