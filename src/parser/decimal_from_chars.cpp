#include "parser/decimal_from_chars.hpp"

#include <charconv>
#include <limits>
#include <system_error>

// libstdc++ converts exactly from version 12 on (it carries fast_float's
// algorithm); version 11 went through strtod and calls subnormals out of range.
#if !QUORVEL_HAVE_FAST_FLOAT && defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE < 12
#error "the std::from_chars of this libstdc++ is not exact for subnormals; use GCC 12 or later, or install fast_float"
#endif

namespace quorvel::detail {

namespace {

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Whether a decimal that std::from_chars found out of range lies above the
// doubles rather than below them. Such a value is at least 1.79e308 or below
// 2.48e-324, so the position of its first significant digit decides.
bool above_range(const char* p, const char* last) noexcept {
    long long lead = 0;  // the decimal exponent of the first significant digit, plus one
    while (p != last && *p == '0') {
        ++p;
    }
    if (p != last && is_digit(*p)) {
        for (; p != last && is_digit(*p); ++p) {
            ++lead;
        }
        if (p != last && *p == '.') {
            ++p;
        }
    } else if (p != last && *p == '.') {
        for (++p; p != last && *p == '0'; ++p) {
            --lead;
        }
    }
    while (p != last && *p != 'e' && *p != 'E') {
        ++p;
    }
    long long exponent = 0;
    if (p != last) {
        ++p;
        const bool negative = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+')) {
            ++p;
        }
        for (; p != last && is_digit(*p); ++p) {
            if (exponent < 100000) {  // far beyond any double; stop growing
                exponent = exponent * 10 + (*p - '0');
            }
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    // `lead` is bounded by the text's length and `exponent` by 100000.
    return lead + exponent > 0;
}

}  // namespace

double convert_decimal_from_chars(const char* first, const char* last) noexcept {
    double value = 0.0;
    const std::from_chars_result result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone; fast_float gives the rounded one.
        return above_range(first, last) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    if (result.ec != std::errc() || result.ptr != last) {
        return std::numeric_limits<double>::quiet_NaN();  // not a checked decimal: cannot happen
    }
    return value;
}

}  // namespace quorvel::detail
