// The conversion of long or extreme decimals with the C++ standard library,
// for builds without fast_float. Kept apart, and compiled in every build, so
// that the tests can hold it against fast_float bit for bit.
#pragma once

namespace quorvel::detail {

// The correctly rounded value of an unsigned decimal text already checked
// (digits with at most one point, an optional exponent): infinity above the
// largest double, zero below half the smallest subnormal, as fast_float gives.
double convert_decimal_from_chars(const char* first, const char* last) noexcept;

}  // namespace quorvel::detail
