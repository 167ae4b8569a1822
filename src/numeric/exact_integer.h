// The one way a number written by a user (an option value, a length, a
// field of a data set's sidecar) becomes an integer.
//
// Casting a double to an integer type is undefined behaviour when the value
// lies outside the type's range, and NaN or infinity are outside every
// range, so a value like NFACTORS=-99999999999999999999 must be checked
// before it is converted.  Callers get nothing back for such a value and
// report it themselves, naming the option and the value as written.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

namespace kav {

// The integer `v` stands for when it is a whole number that T can hold, else
// nothing.  For a signed T the lowest value is left out, so that the range is
// symmetric and the negation of any result is a value of T too (PLOTCHAR=-n
// counts from the other end of a name).
template <class T>
std::optional<T> exact_integer(double v) {
  static_assert(std::is_integral_v<T>);
  // 2^digits is exactly representable as a double for every integer type,
  // which the type's maximum (2^digits - 1) is not for 64-bit types.
  const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
  const bool above_lowest = std::is_signed_v<T> ? v > -limit : v >= 0;
  if (!(above_lowest && v < limit) || v != std::floor(v)) return std::nullopt;
  return static_cast<T>(v);
}

// The symmetric bounds exact_integer<T> accepts, for messages that state
// the range.
template <class T>
constexpr T exact_integer_max() {
  return std::numeric_limits<T>::max();
}
template <class T>
constexpr T exact_integer_min() {
  return std::is_signed_v<T> ? static_cast<T>(-std::numeric_limits<T>::max()) : T{0};
}

}  // namespace kav
