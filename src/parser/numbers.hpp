// Number syntax: white space, decimal floats and the float lists of row texts.
//
// The decimal syntax is strict: an optional sign, digits with at most one
// decimal point (at least one digit), an optional exponent `e`/`E` with an
// optional sign and at least one digit; or inf, infinity, nan in any case.
// No surrounding blanks, no Fortran `D` exponent, no hex, no separators.
// Values are correctly rounded and do not depend on the C locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace quorvel {

// Length of the Unicode White_Space character at `p` (1 to 3 bytes), or 0.
inline std::size_t whitespace_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
        return 1;
    }
    if (c < 0xC2) {
        return 0;
    }
    const std::ptrdiff_t left = end - p;
    const auto c1 = left > 1 ? static_cast<unsigned char>(p[1]) : 0u;
    const auto c2 = left > 2 ? static_cast<unsigned char>(p[2]) : 0u;
    switch (c) {
        case 0xC2:  // U+0085, U+00A0
            return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
        case 0xE1:  // U+1680
            return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
        case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
            if (c1 == 0x80) {
                return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
            }
            return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;
        case 0xE3:  // U+3000
            return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Removes Unicode white space at both ends.
std::string_view trim_whitespace(std::string_view text) noexcept;

// Converts the whole of `token` with the decimal syntax above. Returns false,
// leaving `out` alone, when the token is not such a number.
bool parse_f64(std::string_view token, double& out) noexcept;

// True for a non-empty run of `*`, the field VASP writes when a number
// overflows its format.
inline bool is_overflow_field(std::string_view token) noexcept {
    if (token.empty()) {
        return false;
    }
    for (char c : token) {
        if (c != '*') {
            return false;
        }
    }
    return true;
}

// Calls `on_token(std::string_view)` for every run of non-white-space bytes
// of `text`, in order, until it returns false. Returns whether all were seen.
template <class OnToken>
bool for_each_token(std::string_view text, OnToken&& on_token) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
        if (std::size_t ws = whitespace_length(p, end)) {
            p += ws;
            continue;
        }
        const char* start = p;
        ++p;
        while (p != end && whitespace_length(p, end) == 0) {
            ++p;
        }
        if (!on_token(std::string_view(start, static_cast<std::size_t>(p - start)))) {
            return false;
        }
    }
    return true;
}

// Parses the float list of a row text: one value per token, a token of
// asterisks giving NaN. Calls `sink(double)` for each value. On the first
// token that is not a number, stores it in `bad_token` and returns false.
template <class Sink>
bool parse_floats(std::string_view text, Sink&& sink, std::string_view& bad_token) {
    return for_each_token(text, [&](std::string_view token) {
        double value;
        if (parse_f64(token, value)) {
            sink(value);
            return true;
        }
        if (is_overflow_field(token)) {
            sink(std::numeric_limits<double>::quiet_NaN());
            return true;
        }
        bad_token = token;
        return false;
    });
}

// The signed 32-bit integer of a whole token (optional sign, ASCII digits).
bool parse_i32(std::string_view token, std::int32_t& out) noexcept;

}  // namespace quorvel
