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

bool parse_f64(std::string_view token, double& out) noexcept {
    const char* p = token.data();
    const char* const end = p + token.size();
    const char* word = p;
    if (word != end && (*word == '+' || *word == '-')) {
        ++word;
    }
    if (word != end && !is_digit(*word) && *word != '.') {
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

}  // namespace quorvel
