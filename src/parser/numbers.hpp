// Number syntax: decimal floats and the float lists of row texts.
//
// The decimal syntax is strict: an optional sign, digits with at most one
// decimal point (at least one digit), an optional exponent `e`/`E` with an
// optional sign and at least one digit; or inf, infinity, nan in any case.
// No surrounding blanks, no Fortran `D` exponent, no hex, no separators.
// Values are correctly rounded and do not depend on the C locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "text.hpp"

namespace quorvel {

// Converts the whole of `token` with the decimal syntax above. Returns false,
// leaving `out` alone, when the token is not such a number.
bool parse_f64(std::string_view token, double& out) noexcept;

namespace detail {

inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The correctly rounded value of an unsigned decimal text already checked.
double convert_checked_decimal(const char* first, const char* last) noexcept;

}  // namespace detail

// Scans the number in digit form (optional sign, digits and point, optional
// exponent) that starts at `p`, stopping at the first byte that cannot
// continue it. Returns where it stopped, or null when `p` does not start
// with such a number. Whether the stop ends a token is the caller's call.
inline const char* scan_decimal(const char* p, const char* end, double& out) noexcept {
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const unsigned_start = p;
    // Run files write short integer parts and four to eight decimals; a
    // plain loop beats wider tricks on such short runs.
    std::uint64_t mantissa = 0;
    const char* const integer_start = p;
    while (p != end && is_digit(*p)) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        ++p;
    }
    std::size_t digits = static_cast<std::size_t>(p - integer_start);
    long long fraction_digits = 0;
    if (p != end && *p == '.') {
        ++p;
        const char* const fraction_start = p;
        while (p != end && is_digit(*p)) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            ++p;
        }
        fraction_digits = p - fraction_start;
        digits += static_cast<std::size_t>(fraction_digits);
    }
    if (digits == 0) {
        return nullptr;
    }
    long long exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exponent_negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        }
        if (p == end || !is_digit(*p)) {
            return nullptr;
        }
        while (p != end && is_digit(*p)) {
            if (exponent < 100000) {  // far beyond any double; stop growing
                exponent = exponent * 10 + (*p - '0');
            }
            ++p;
        }
        if (exponent_negative) {
            exponent = -exponent;
        }
    }
    // Clinger's fast path: an exact mantissa (at most 19 digits, leading
    // zeros included, and below 2^53) times or divided by an exact power of
    // ten is correctly rounded by one IEEE operation.
    const long long power = exponent - fraction_digits;
    double value;
    if (digits <= 19 && mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
        // Below 2^53 the mantissa fits a signed integer, whose conversion is
        // one instruction (the unsigned one branches).
        value = static_cast<double>(static_cast<std::int64_t>(mantissa));
        value = power < 0 ? value / detail::kExactPowersOfTen[-power] : value * detail::kExactPowersOfTen[power];
    } else {
        value = detail::convert_checked_decimal(unsigned_start, p);
    }
    out = negative ? -value : value;
    return p;
}

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

// Skips the run of blanks at `p`, eight at a time: blanks come in runs
// between the numbers of a row and in the indentation of rows.
inline const char* skip_blanks(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        const std::uint64_t not_blank = chunk ^ 0x2020202020202020ULL;
        if (not_blank != 0) {
            return p + (static_cast<unsigned>(__builtin_ctzll(not_blank)) >> 3);
        }
        p += 8;
    }
    while (p != end && *p == ' ') {
        ++p;
    }
    return p;
}

// Skips the blanks and other ASCII white space at `p`.
inline const char* skip_ascii_space(const char* p, const char* end) noexcept {
    for (;;) {
        p = skip_blanks(p, end);
        if (p == end || !is_ascii_space(*p)) {
            return p;
        }
        ++p;
    }
}

// Parses the float list of a row text: one value per token, a token of
// asterisks giving NaN. Calls `sink(double)` for each value. On the first
// token that is not a number, stores it in `bad_token` and returns false.
// Plain decimals are scanned and converted in one pass.
template <class Sink>
bool parse_floats(std::string_view text, Sink&& sink, std::string_view& bad_token) {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        p = skip_ascii_space(p, end);
        if (p == end) {
            return true;
        }
        if (static_cast<unsigned char>(*p) >= 0x80) {
            if (std::size_t ws = whitespace_length(p, end)) {
                p += ws;
                continue;
            }
        }
        double value;
        const char* stop = scan_decimal(p, end, value);
        if (stop != nullptr && (stop == end || whitespace_length(stop, end) != 0)) {
            sink(value);
            p = stop;
            continue;
        }
        // Not a plain decimal: the whole token decides.
        const char* token_end = p + 1;
        while (token_end != end && whitespace_length(token_end, end) == 0) {
            ++token_end;
        }
        const std::string_view token(p, static_cast<std::size_t>(token_end - p));
        if (parse_f64(token, value)) {
            sink(value);
        } else if (is_overflow_field(token)) {
            sink(std::numeric_limits<double>::quiet_NaN());
        } else {
            bad_token = token;
            return false;
        }
        p = token_end;
    }
}

}  // namespace quorvel
