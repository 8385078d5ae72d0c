#include "parser/numbers.hpp"

#include <cmath>
#include <system_error>

#if QUORVEL_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#else
#include "parser/decimal_from_chars.hpp"
#endif

namespace quorvel {

namespace {

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

}  // namespace

std::size_t unicode_space_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
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
    const char* word = p;
    if (word != end && (*word == '+' || *word == '-')) {
        ++word;
    }
    if (word != end && !detail::is_digit(*word) && *word != '.') {
        const bool negative = *p == '-';
        const std::string_view name(word, static_cast<std::size_t>(end - word));
        if (equals_ignore_case(name, "inf") || equals_ignore_case(name, "infinity")) {
            out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            return true;
        }
        if (equals_ignore_case(name, "nan")) {
            out = negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        return false;
    }
    double value = 0.0;
    if (scan_decimal(p, end, value) != end) {
        return false;
    }
    out = value;
    return true;
}

namespace detail {

double convert_checked_decimal(const char* first, const char* last) noexcept {
#if QUORVEL_HAVE_FAST_FLOAT
    double value = 0.0;
    fast_float::from_chars(first, last, value);
    return value;
#else
    return convert_decimal_from_chars(first, last);
#endif
}

}  // namespace detail

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
        if (!detail::is_digit(*p)) {
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
