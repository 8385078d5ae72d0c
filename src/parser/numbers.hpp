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
#include <cstring>
#include <limits>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {

// Length of the non-ASCII Unicode White_Space character at `p` (2 or 3
// bytes), or 0. Kept out of line: the hot loops meet it almost never.
std::size_t unicode_space_length(const char* p, const char* end) noexcept;

// Length of the Unicode White_Space character at `p` (1 to 3 bytes), or 0.
inline std::size_t whitespace_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
        return 1;
    }
    return c < 0xC2 ? 0 : unicode_space_length(p, end);
}

// Removes Unicode white space at both ends.
std::string_view trim_whitespace(std::string_view text) noexcept;

// Converts the whole of `token` with the decimal syntax above. Returns false,
// leaving `out` alone, when the token is not such a number.
bool parse_f64(std::string_view token, double& out) noexcept;

namespace detail {

inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The correctly rounded value of an unsigned decimal text already checked.
double convert_checked_decimal(const char* first, const char* last) noexcept;

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

inline bool is_ascii_space(char c) noexcept {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

}  // namespace detail

// Scans the number in digit form (optional sign, digits and point, optional
// exponent) that starts at `p`, stopping at the first byte that cannot
// continue it. Returns where it stopped, or null when `p` does not start
// with such a number. Whether the stop ends a token is the caller's call.
inline const char* scan_decimal(const char* p, const char* end, double& out) noexcept {
    using detail::is_digit;
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

// Reads the form the bulk columns of run files are written in: one digit, a
// point and four digits ("0.2707"), after an optional minus sign, with a
// few word operations instead of a loop per digit. Returns the length, 6 or
// 7, or 0 when the text at `p` does not start with that form; the byte
// after it is the caller's to judge. Needs 9 readable bytes at `p`.
inline std::size_t scan_point4(const char* p, double& out) noexcept {
    const bool negative = *p == '-';
    std::uint64_t word;
    std::memcpy(&word, p + (negative ? 1 : 0), sizeof word);
    // Digits turn into their values and the point into zero; then a byte of
    // the form is one whose high nibble is zero and stays zero plus six.
    const std::uint64_t values = word ^ 0x0000303030302E30ULL;
    if ((values & 0x0000F0F0F0F0FFF0ULL) != 0 || ((values + 0x0000060606060006ULL) & 0x0000F0F0F0F000F0ULL) != 0) {
        return 0;
    }
    // The four decimals (first in the lowest byte): pairs, then the pair of pairs.
    const std::uint64_t decimals = (values >> 16) & 0xFFFFFFFFULL;
    const std::uint64_t pairs = decimals * 10 + (decimals >> 8);
    const std::uint64_t mantissa = (values & 0xF) * 10000 + (pairs & 0xFF) * 100 + ((pairs >> 16) & 0xFF);
    // Exact mantissa over an exact power of ten: correctly rounded.
    const double value = static_cast<double>(static_cast<std::int64_t>(mantissa)) / 1e4;
    out = negative ? -value : value;
    return negative ? 7 : 6;
}

// Reads two cells of the fixed-width column form of projection rows at once:
// two blanks, one digit, a point and four digits, twice ("  0.2707  0.0000").
// Returns false, reading nothing, when the 16 bytes at `p` are not exactly
// that or the byte after them could continue the second number; the caller
// then reads one number at a time. Needs 17 readable bytes at `p`.
inline bool scan_two_point4_cells(const char* p, double& first, double& second) noexcept {
#if defined(__SSE2__)
    const auto after = static_cast<unsigned char>(p[16]);
    if (!(after == ' ' || after == '<' || (after >= '\t' && after <= '\r'))) {
        return false;
    }
    // As in scan_point4: digits become their values, blanks and points zero;
    // every byte must then have a zero high nibble, also plus six, and the
    // blanks and points must be zero outright.
    const __m128i cells = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i values = _mm_xor_si128(cells, _mm_set_epi8('0', '0', '0', '0', '.', '0', ' ', ' ',  //
                                                             '0', '0', '0', '0', '.', '0', ' ', ' '));
    const __m128i not_digit = _mm_set_epi8(0, 0, 0, 0, -1, 0, -1, -1, 0, 0, 0, 0, -1, 0, -1, -1);
    const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
    const __m128i bad = _mm_or_si128(_mm_and_si128(values, _mm_or_si128(high, not_digit)),
                                     _mm_and_si128(_mm_add_epi8(values, _mm_set1_epi8(6)), high));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) {
        return false;
    }
    // Bytes 2, 4, 5, 6, 7 of each cell hold its digits. Weighted in 16-bit
    // lanes, even and odd bytes apart, and summed in 32-bit lanes: each
    // cell's mantissa is the sum of its two 32-bit lanes.
    const __m128i even = _mm_and_si128(values, _mm_set1_epi16(0x00FF));
    const __m128i odd = _mm_srli_epi16(values, 8);
    const __m128i parts = _mm_add_epi32(_mm_madd_epi16(even, _mm_set_epi16(10, 1000, 10000, 0, 10, 1000, 10000, 0)),
                                        _mm_madd_epi16(odd, _mm_set_epi16(1, 100, 0, 0, 1, 100, 0, 0)));
    const __m128i sums = _mm_add_epi32(parts, _mm_srli_epi64(parts, 32));
    const __m128d mantissas = _mm_cvtepi32_pd(_mm_shuffle_epi32(sums, _MM_SHUFFLE(3, 1, 2, 0)));
    // Exact mantissas over an exact power of ten: correctly rounded.
    const __m128d both = _mm_div_pd(mantissas, _mm_set1_pd(1e4));
    first = _mm_cvtsd_f64(both);
    second = _mm_cvtsd_f64(_mm_unpackhi_pd(both, both));
    return true;
#else
    (void)p;
    (void)first;
    (void)second;
    return false;
#endif
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

// Skips the blanks and other ASCII white space at `p`.
inline const char* skip_ascii_space(const char* p, const char* end) noexcept {
    for (;;) {
        // Blanks come in runs between the numbers of a row; eight at a time.
        while (end - p >= 8) {
            std::uint64_t chunk;
            std::memcpy(&chunk, p, 8);
            const std::uint64_t not_blank = chunk ^ 0x2020202020202020ULL;
            if (not_blank != 0) {
                p += static_cast<unsigned>(__builtin_ctzll(not_blank)) >> 3;
                break;
            }
            p += 8;
        }
        if (p == end || !detail::is_ascii_space(*p)) {
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

// Parses the numbers of element text in place, straight from the document:
// from `p` up to the `<` of the next markup, which `stop` is set to. `end`
// is the end of the document, and the number scan may read up to it.
// Returns false, having read but not judged the text, on anything but ASCII
// white space and plain decimals before the markup: entities, asterisk
// fields, words, other white space, the end of the document. The caller
// then reads the element the general way, which gives the exact values or
// the error. `sink(double)` is called for each number read.
template <class Sink>
bool parse_floats_before_markup(const char* p, const char* end, Sink&& sink, const char*& stop) noexcept {
    for (;;) {
        double first, second;
        if (end - p >= 17 && scan_two_point4_cells(p, first, second)) {
            sink(first);
            sink(second);
            p += 16;
            continue;
        }
        p = skip_ascii_space(p, end);
        if (p == end) {
            return false;
        }
        if (*p == '<') {
            stop = p;
            return true;
        }
        double value;
        if (end - p >= 9) {
            const std::size_t length = scan_point4(p, value);
            if (length != 0 && (detail::is_ascii_space(p[length]) || p[length] == '<')) {
                sink(value);
                p += length;
                continue;
            }
        }
        const char* next = scan_decimal(p, end, value);
        if (next == nullptr || next == end || !(detail::is_ascii_space(*next) || *next == '<')) {
            return false;
        }
        sink(value);
        p = next;
    }
}

// The signed 32-bit integer of a whole token (optional sign, ASCII digits).
bool parse_i32(std::string_view token, std::int32_t& out) noexcept;

}  // namespace quorvel
