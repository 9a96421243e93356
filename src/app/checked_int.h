#pragma once

#include <QtGlobal>
#include <concepts>
#include <limits>

#include "app/app_error.h"

// Counters and lengths are 16- and 32-bit signed integers whose arithmetic is checked:
// passing the largest value raises the overflow error instead of wrapping.

template <std::signed_integral T>
T checkedAdd(T a, T b) {
    T result;
    if (__builtin_add_overflow(a, b, &result)) throw AppError::overflow();
    return result;
}

template <std::signed_integral T>
void checkedIncrement(T& value) {
    value = checkedAdd<T>(value, T{1});
}

// Narrows a wider value, raising the overflow error when it does not fit.
template <std::signed_integral T>
T checkedNarrow(qint64 value) {
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max())
        throw AppError::overflow();
    return static_cast<T>(value);
}

// 16-bit Booleans: True is -1, False is 0.
using Bool16 = qint16;
inline constexpr Bool16 True16 = -1;
inline constexpr Bool16 False16 = 0;
inline Bool16 toBool16(bool b) {
    return b ? True16 : False16;
}
