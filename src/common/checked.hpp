// Overflow-checked integer arithmetic. Each helper stores the exact result in
// `out` and returns true, or returns false when the result does not fit.
#pragma once

#include <cstdint>

namespace sonavert {

template <class T>
[[nodiscard]] inline bool checked_add(T a, T b, T& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}
template <class T>
[[nodiscard]] inline bool checked_sub(T a, T b, T& out) noexcept {
    return !__builtin_sub_overflow(a, b, &out);
}
template <class T>
[[nodiscard]] inline bool checked_mul(T a, T b, T& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace sonavert
