// The numbers of the bulk rows, read straight from the document text. Run
// files write these columns in fixed-width forms (projections in cells of
// eight bytes, "  0.2707", densities of states in cells of eleven); those
// forms are recognised and converted with word and SSE2 operations, and
// everything else goes through the strict general scan of numbers.hpp, with
// the same values to the last bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parser/numbers.hpp"

namespace quorvel {

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

namespace detail {

// True for a byte that may follow a number of a row: ASCII white space or
// the `<` of the end tag.
inline bool ends_number(char c) noexcept { return is_ascii_space(c) || c == '<'; }

#if defined(__SSE2__)
// The column form checked sixteen bytes at a time against a template of
// blanks, points and digits ('0' in `layout`): digits turn into their values
// and everything else into zero. Bytes where `layout` is 0 are not checked.
// Returns false unless every checked byte fits.
inline bool digit_values(const char* p, __m128i layout, __m128i& values) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i checked = _mm_cmpeq_epi8(_mm_cmpeq_epi8(layout, _mm_setzero_si128()), _mm_setzero_si128());
    const __m128i not_digit = _mm_andnot_si128(_mm_cmpeq_epi8(layout, _mm_set1_epi8('0')), checked);
    values = _mm_and_si128(_mm_xor_si128(bytes, layout), checked);
    // A digit leaves a value with a zero high nibble, also plus six; a
    // blank or a point leaves zero outright.
    const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
    const __m128i bad = _mm_or_si128(_mm_and_si128(values, _mm_or_si128(high, not_digit)),
                                     _mm_and_si128(_mm_add_epi8(values, _mm_set1_epi8(6)), high));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) == 0xFFFF;
}

// The values of two numbers "d.dddd" whose digit values sit at bytes 1, 3,
// 4, 5 and 6 of each 64-bit half, every other byte zero: weighted in 16-bit
// lanes (even and odd bytes apart), summed in 32-bit lanes, and each half's
// two lanes added.
inline void convert_cell_pair(__m128i values, double& first, double& second) noexcept {
    const __m128i even = _mm_and_si128(values, _mm_set1_epi16(0x00FF));
    const __m128i odd = _mm_srli_epi16(values, 8);
    const __m128i parts = _mm_add_epi32(_mm_madd_epi16(even, _mm_set_epi16(1, 100, 0, 0, 1, 100, 0, 0)),
                                        _mm_madd_epi16(odd, _mm_set_epi16(0, 10, 1000, 10000, 0, 10, 1000, 10000)));
    const __m128i sums = _mm_add_epi32(parts, _mm_srli_epi64(parts, 32));
    const __m128d mantissas = _mm_cvtepi32_pd(_mm_shuffle_epi32(sums, _MM_SHUFFLE(3, 1, 2, 0)));
    // Exact mantissas over an exact power of ten: correctly rounded.
    const __m128d both = _mm_div_pd(mantissas, _mm_set1_pd(1e4));
    first = _mm_cvtsd_f64(both);
    second = _mm_cvtsd_f64(_mm_unpackhi_pd(both, both));
}
#endif

}  // namespace detail

// Two cells of the fixed-width column forms at once, each a run of blanks,
// one digit, a point and four digits: eight bytes a cell as projections are
// written ("  0.2707"), or eleven as densities of states ("     0.0000").
// Return false, reading nothing, when the text at `p` is not exactly that or
// the byte after the second cell could continue its number; the caller then
// reads one number at a time. Need 17 and 23 readable bytes at `p`.
#if defined(__SSE2__)
inline bool scan_two_cells8(const char* p, double& first, double& second) noexcept {
    __m128i values;
    if (!detail::ends_number(p[16]) ||
        !detail::digit_values(p, _mm_setr_epi8(' ', ' ', '0', '.', '0', '0', '0', '0',  //
                                               ' ', ' ', '0', '.', '0', '0', '0', '0'),
                              values)) {
        return false;
    }
    detail::convert_cell_pair(_mm_srli_epi64(values, 8), first, second);
    return true;
}

inline bool scan_two_cells11(const char* p, double& first, double& second) noexcept {
    // The first sixteen bytes hold the first cell and the blanks of the
    // second; sixteen from byte 7 on hold the number of the second.
    __m128i head, tail;
    if (!detail::ends_number(p[22]) ||
        !detail::digit_values(p, _mm_setr_epi8(' ', ' ', ' ', ' ', ' ', '0', '.', '0',  //
                                               '0', '0', '0', ' ', ' ', ' ', ' ', ' '),
                              head) ||
        !detail::digit_values(p + 7, _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, '0', '.', '0', '0', '0', '0', 0),
                              tail)) {
        return false;
    }
    // First number to bytes 1 to 6, second to bytes 9 to 14.
    detail::convert_cell_pair(_mm_or_si128(_mm_srli_si128(head, 4), tail), first, second);
    return true;
}
#else
// Without SSE2 every number is read one at a time.
inline bool scan_two_cells8(const char*, double&, double&) noexcept { return false; }
inline bool scan_two_cells11(const char*, double&, double&) noexcept { return false; }
#endif

namespace detail {

enum class Step { number, markup, declined };

// One number of a row, read the general way after the white space before it
// (the fixed form through scan_point4 first); or the `<` of the markup that
// ends the row, `p` left on it; or a decline, on anything else.
template <class Sink>
[[gnu::always_inline]] inline Step read_one_number(const char*& p, const char* end, Sink& sink) noexcept {
    p = skip_ascii_space(p, end);
    if (p == end) {
        return Step::declined;
    }
    if (*p == '<') {
        return Step::markup;
    }
    double value;
    if (end - p >= 9) {
        const std::size_t length = scan_point4(p, value);
        if (length != 0 && ends_number(p[length])) {
            sink(value);
            p += length;
            return Step::number;
        }
    }
    const char* next = scan_decimal(p, end, value);
    if (next == nullptr || next == end || !ends_number(*next)) {
        return Step::declined;
    }
    sink(value);
    p = next;
    return Step::number;
}

// The row reader of any processor: two cells at a time with SSE2.
template <class Sink>
bool parse_row_portable(const char* p, const char* end, Sink& sink, const char*& stop) noexcept {
    for (;;) {
        double first, second;
        if (end - p >= 23) {
            if (scan_two_cells8(p, first, second)) {
                sink(first);
                sink(second);
                p += 16;
                continue;
            }
            if (scan_two_cells11(p, first, second)) {
                sink(first);
                sink(second);
                p += 22;
                continue;
            }
        }
        switch (read_one_number(p, end, sink)) {
            case Step::number:
                continue;
            case Step::markup:
                stop = p;
                return true;
            case Step::declined:
                return false;
        }
    }
}

}  // namespace detail

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
    return detail::parse_row_portable(p, end, sink, stop);
}

}  // namespace quorvel
