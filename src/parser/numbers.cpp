#include "parser/numbers.hpp"

#include <cmath>
#include <system_error>

#include <fast_float/fast_float.h>

namespace quorvel {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

char lower_ascii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equals_ignore_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower_ascii(text[i]) != lower[i]) {
            return false;
        }
    }
    return true;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

std::string_view trim_whitespace(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end) {
        std::size_t ws = whitespace_length(p, end);
        if (ws == 0) {
            break;
        }
        p += ws;
    }
    // White space is at most three bytes long; test the candidate lengths
    // that end exactly at `end`.
    for (;;) {
        std::size_t cut = 0;
        for (std::size_t len = 1; len <= 3 && len <= static_cast<std::size_t>(end - p); ++len) {
            if (whitespace_length(end - len, end) == len) {
                cut = len;
                break;
            }
        }
        if (cut == 0) {
            break;
        }
        end -= cut;
    }
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

bool parse_f64(std::string_view token, double& out) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const unsigned_start = p;
    if (p == end) {
        return false;
    }
    if (!is_digit(*p) && *p != '.') {
        std::string_view word(p, static_cast<std::size_t>(end - p));
        if (equals_ignore_case(word, "inf") || equals_ignore_case(word, "infinity")) {
            out = negative ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
            return true;
        }
        if (equals_ignore_case(word, "nan")) {
            out = negative ? -std::numeric_limits<double>::quiet_NaN()
                           : std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        return false;
    }

    // One scan checks the syntax and gathers the decimal mantissa while it
    // fits in 19 digits; most numbers VASP writes then convert exactly below.
    std::uint64_t mantissa = 0;
    std::size_t significant = 0;
    std::size_t digits = 0;
    long long fraction_digits = 0;
    while (p != end && is_digit(*p)) {
        if (mantissa != 0 || *p != '0') {
            ++significant;
        }
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
        ++digits;
        ++p;
    }
    if (p != end && *p == '.') {
        ++p;
        while (p != end && is_digit(*p)) {
            if (mantissa != 0 || *p != '0') {
                ++significant;
            }
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            ++digits;
            ++fraction_digits;
            ++p;
        }
    }
    if (digits == 0) {
        return false;
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
            return false;
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
    if (p != end) {
        return false;
    }

    // Clinger's fast path: an exact mantissa times or divided by an exact
    // power of ten is correctly rounded by one IEEE operation.
    const long long power = exponent - fraction_digits;
    if (significant <= 19 && mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
        double value = static_cast<double>(mantissa);
        value = power < 0 ? value / kExactPowersOfTen[-power] : value * kExactPowersOfTen[power];
        out = negative ? -value : value;
        return true;
    }
    double value = 0.0;
    const auto result = fast_float::from_chars(unsigned_start, end, value);
    if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    out = negative ? -value : value;
    return true;
}

bool parse_i32(std::string_view token, std::int32_t& out) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end) {
        return false;
    }
    std::int64_t value = 0;
    for (; p != end; ++p) {
        if (!is_digit(*p)) {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > std::int64_t{1} << 31) {
            return false;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

}  // namespace quorvel
