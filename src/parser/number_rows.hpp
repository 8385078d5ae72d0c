// The numbers of the bulk rows, read straight from the document text. Run
// files write these columns in fixed-width forms (projections in cells of
// eight bytes, "  0.2707", eigenvalues in cells of ten, densities of states
// in cells of eleven); those forms are recognised and converted four cells
// at a time with AVX2 where the processor has it (chosen at run time), else
// two at a time with SSE2 or one at a time with word operations. Everything
// else goes through the strict general scan of numbers.hpp, with the same
// values to the last bit.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The four-cell reader is compiled for AVX2 function by function, so the
// module still runs on any x86-64; other processors never see it.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUORVEL_AVX2_ROWS 1
#include <immintrin.h>
#else
#define QUORVEL_AVX2_ROWS 0
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
inline bool ends_number(char c) noexcept {
    // TAB to CR, the blank and `<` as bits of one word: one test, not four.
    constexpr std::uint64_t kEnds = (std::uint64_t{0x1F} << '\t') | (std::uint64_t{1} << ' ') | (std::uint64_t{1} << '<');
    const auto byte = static_cast<unsigned char>(c);
    return byte < 64 && ((kEnds >> byte) & 1) != 0;
}

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

#if QUORVEL_AVX2_ROWS

inline bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();  // static initialisers may run before the library's own
    return __builtin_cpu_supports("avx2") != 0;
}

// Whether rows go through the four-cell reader: set once from the processor.
// Tests turn it off to hold the two readers against each other.
inline bool avx2_rows = cpu_has_avx2();

// What read_four_cells needs readable at `p`: four cells of up to eleven
// bytes and the byte after them.
inline constexpr std::ptrdiff_t kFourCellsReadable = 45;

inline long long load_word(const char* p) noexcept {
    long long word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The classes of the bytes of a cell, one bit each, and the class table of
// the four bits of each half of a byte: a byte is of a class when both its
// halves are. Bytes of other classes are 0.
enum : char { kBlank = 1, kMinus = 2, kPoint = 4, kDigit = 8 };
#define QUORVEL_TWICE(...) __VA_ARGS__, __VA_ARGS__
// Low half: 0 a blank or a digit, 1 to 9 digits, D a minus, E a point.
#define QUORVEL_LOW_HALVES \
    kBlank | kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, 0, 0, 0, kMinus, kPoint, 0
// High half: 2 a blank, a minus or a point, 3 a digit.
#define QUORVEL_HIGH_HALVES 0, 0, kBlank | kMinus | kPoint, kDigit, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0

// The constants of read_four_cells, made once before a loop of its calls.
template <int Width>
struct CellConstants {
    static_assert(Width == 8 || Width == 10 || Width == 11);
    __m256i blanks, minuses, halves, low_classes, high_classes, allowed, pair_weights, part_weights, ten_thousand;
    __m256d two_52, sign, scale;

    [[gnu::target("avx2"), gnu::always_inline]] CellConstants() noexcept
        : blanks(_mm256_set1_epi8(' ')),
          minuses(_mm256_set1_epi8('-')),
          halves(_mm256_set1_epi8(0x0F)),
          low_classes(_mm256_setr_epi8(QUORVEL_TWICE(QUORVEL_LOW_HALVES))),
          high_classes(_mm256_setr_epi8(QUORVEL_TWICE(QUORVEL_HIGH_HALVES))),
          // The classes each byte of a lane may be of: the point at byte 3,
          // digits at 2 and 4 to 7, a blank, a minus or a digit at 1; at 0
          // the first byte of a cell of eight is a blank, else like byte 1.
          allowed(_mm256_set1_epi64x(static_cast<long long>(
              0x0808080804080B00ULL | static_cast<unsigned char>(Width == 8 ? kBlank : kBlank | kMinus | kDigit)))),
          pair_weights(_mm256_set1_epi64x(0x010A010A0001010A)),  // bytes 10,1, 1,0, 10,1, 10,1
          part_weights(_mm256_set1_epi64x(0x000100640001000A)),  // shorts 10,1, 100,1
          ten_thousand(_mm256_set1_epi64x(10000)),
          two_52(_mm256_set1_pd(0x1p52)),
          sign(_mm256_set1_pd(-0.0)),
          scale(_mm256_set1_pd(1e4)) {}
};
#undef QUORVEL_TWICE
#undef QUORVEL_LOW_HALVES
#undef QUORVEL_HIGH_HALVES

// Up to four cells of `Width` bytes from `p`, each a number written right
// aligned with four decimals: blanks (at least one), an optional minus sign
// and digits in at most three bytes, a point and four digits ("  0.2707",
// "  -26.9861", "     0.0000"). Returns how many leading cells are of that
// form and are followed by a byte that ends a number (0 to 4), their values
// first in `values`.
template <int Width>
[[gnu::target("avx2"), gnu::always_inline]] inline unsigned read_four_cells(const char* p,
                                                                           const CellConstants<Width>& k,
                                                                           __m256d& values) noexcept {
    constexpr std::uint32_t kEach = 0x01010101;  // times a byte: that byte in each lane's eight bits of a movemask
    // Lane k holds the last eight bytes of cell k; in cells wider than eight
    // the bytes before them are blanks.
    __m256i lanes;
    std::uint32_t bad = 0;
    if constexpr (Width == 8) {
        lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    } else {
        lanes = _mm256_setr_epi64x(load_word(p + Width - 8), load_word(p + 2 * Width - 8),
                                   load_word(p + 3 * Width - 8), load_word(p + 4 * Width - 8));
        const __m256i heads =
            _mm256_setr_epi64x(load_word(p), load_word(p + Width), load_word(p + 2 * Width), load_word(p + 3 * Width));
        bad = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(heads, k.blanks))) &
              kEach * ((1U << (Width - 8)) - 1);
    }
    const __m256i low = _mm256_and_si256(lanes, k.halves);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(lanes, 4), k.halves);
    const __m256i classes =
        _mm256_and_si256(_mm256_shuffle_epi8(k.low_classes, low), _mm256_shuffle_epi8(k.high_classes, high));
    bad |= static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(classes, k.allowed), _mm256_setzero_si256())));
    const __m256i is_minus = _mm256_cmpeq_epi8(lanes, k.minuses);
    if constexpr (Width != 8) {
        // A blank or the minus at byte 1 only after a blank.
        const auto blank = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lanes, k.blanks)));
        const auto minus = static_cast<std::uint32_t>(_mm256_movemask_epi8(is_minus));
        bad |= (blank | minus) & ~(blank << 1) & kEach * 0x02;
    }
    const auto cells = static_cast<unsigned>(__builtin_ctzll(bad | (1ULL << 32))) / 8;
    if (cells == 0 || !ends_number(p[cells * Width])) {
        return 0;
    }
    // The low halves are the digits' values; blanks give zero, the point is
    // weighted zero, the minus is cleared. Weighted pairs (tens and units)
    // in 16 bits, then the integer part and the decimals in 32 bits, then
    // the mantissa in 64.
    const __m256i digits = _mm256_andnot_si256(is_minus, low);
    const __m256i parts = _mm256_madd_epi16(_mm256_maddubs_epi16(digits, k.pair_weights), k.part_weights);
    const __m256i mantissas = _mm256_add_epi64(_mm256_mul_epu32(parts, k.ten_thousand), _mm256_srli_epi64(parts, 32));
    // Below 2^52, an integer put into the mantissa bits of 2^52 gives
    // 2^52 plus it; less 2^52, the integer exactly.
    const __m256d exact = _mm256_sub_pd(_mm256_or_pd(_mm256_castsi256_pd(mantissas), k.two_52), k.two_52);
    const __m256d negative =
        _mm256_andnot_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(is_minus, _mm256_setzero_si256())), k.sign);
    // Exact mantissas over an exact power of ten: correctly rounded.
    values = _mm256_xor_pd(_mm256_div_pd(exact, k.scale), negative);
    return cells;
}

// A sink that stores runs of numbers in place: `places(room)` tells where
// the next numbers go and how many places follow there; `took(n)` counts n
// numbers written there as read.
template <class Sink>
concept TakesPlaces = requires(Sink& sink, std::size_t n) {
    { sink.places(n) } -> std::same_as<double*>;
    sink.took(n);
};

// Cells of `Width` bytes from `p`, four at a time, to the first that is not
// of the form or the first step of fewer than four. Returns where it stopped.
template <int Width, class Sink>
[[gnu::target("avx2"), gnu::always_inline]] inline const char* read_cell_run(const char* p, const char* end,
                                                                            Sink& sink) noexcept {
    const CellConstants<Width> constants;
    std::size_t room = 0;
    double* first = nullptr;
    if constexpr (TakesPlaces<Sink>) {
        first = sink.places(room);
    }
    double* place = first;
    while (end - p >= kFourCellsReadable) {
        __m256d values;
        const unsigned cells = read_four_cells<Width>(p, constants, values);
        // Where the next step starts comes from branches, not from the
        // count: predicted, they let the next steps start before this one
        // is judged.
        if (cells == 4 && room >= 4) {
            _mm256_storeu_pd(place, values);
            place += 4;
            room -= 4;
            p += 4 * Width;
            continue;
        }
        if (cells == 0) {
            break;
        }
        if (cells <= room) {
            // The last step of a run: its first cells, stored without a
            // masked store, which is slow on some processors.
            const __m128d low = _mm256_castpd256_pd128(values);
            if (cells == 1) {
                _mm_storel_pd(place, low);
                p += Width;
            } else {
                _mm_storeu_pd(place, low);
                if (cells == 2) {
                    p += 2 * Width;
                } else {
                    _mm_storel_pd(place + 2, _mm256_extractf128_pd(values, 1));
                    p += 3 * Width;
                }
            }
            place += cells;
            room -= cells;
            break;
        }
        // Numbers the sink does not store in place (before, across or past
        // the stored columns of a row) go one by one.
        double each[4];
        _mm256_storeu_pd(each, values);
        if constexpr (TakesPlaces<Sink>) {
            sink.took(static_cast<std::size_t>(place - first));
        }
        for (unsigned i = 0; i < cells; ++i) {
            sink(each[i]);
        }
        if constexpr (TakesPlaces<Sink>) {
            first = place = sink.places(room);
        }
        p += cells * Width;
        if (cells != 4) {
            break;
        }
    }
    if constexpr (TakesPlaces<Sink>) {
        sink.took(static_cast<std::size_t>(place - first));
    }
    return p;
}

// The width of the cells at `p`, which the first point tells, four decimals
// closing every cell; 0 without a point in the first sixteen bytes.
[[gnu::target("avx2"), gnu::always_inline]] inline unsigned first_point_end(const char* p) noexcept {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto points = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(head, _mm_set1_epi8('.'))));
    return points == 0 ? 0 : static_cast<unsigned>(__builtin_ctz(points)) + 5;
}

// The row reader of processors with AVX2: four cells at a time.
template <class Sink>
[[gnu::target("avx2"), gnu::always_inline]] inline bool read_row_avx2(const char* p, const char* end, Sink& sink,
                                                                     const char*& stop) noexcept {
    for (;;) {
        if (end - p >= kFourCellsReadable) {
            switch (first_point_end(p)) {
                case 8:
                    p = read_cell_run<8>(p, end, sink);
                    break;
                case 10:
                    p = read_cell_run<10>(p, end, sink);
                    break;
                case 11:
                    p = read_cell_run<11>(p, end, sink);
                    break;
                default:
                    break;
            }
            // Rows end in a blank and the end tag.
            if (end - p >= 2 && p[0] == ' ' && p[1] == '<') {
                stop = p + 1;
                return true;
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

template <class Sink>
[[gnu::target("avx2")]] bool parse_row_avx2(const char* p, const char* end, Sink& sink, const char*& stop) noexcept {
    return read_row_avx2(p, end, sink, stop);
}

#endif  // QUORVEL_AVX2_ROWS

}  // namespace detail

#if QUORVEL_AVX2_ROWS
// Up to four cells of one fixed width at `p`: eight, ten or eleven bytes, as
// the first point tells, each blanks, an optional minus sign and digits in
// at most three bytes, a point and four digits, and a byte that ends a
// number after the last. Returns how many were read, their values first in
// `out`. The caller checks that the processor has AVX2 and that 45 bytes at
// `p` are readable.
[[gnu::target("avx2")]] inline std::size_t scan_cells_avx2(const char* p, double (&out)[4]) noexcept {
    __m256d values = _mm256_setzero_pd();
    unsigned cells = 0;
    switch (detail::first_point_end(p)) {
        case 8:
            cells = detail::read_four_cells<8>(p, detail::CellConstants<8>(), values);
            break;
        case 10:
            cells = detail::read_four_cells<10>(p, detail::CellConstants<10>(), values);
            break;
        case 11:
            cells = detail::read_four_cells<11>(p, detail::CellConstants<11>(), values);
            break;
        default:
            break;
    }
    _mm256_storeu_pd(out, values);
    return cells;
}
#endif

// Parses the numbers of element text in place, straight from the document:
// from `p` up to the `<` of the next markup, which `stop` is set to. `end`
// is the end of the document, and the number scan may read up to it.
// Returns false, having read but not judged the text, on anything but ASCII
// white space and plain decimals before the markup: entities, asterisk
// fields, words, other white space, the end of the document. The caller
// then reads the element the general way, which gives the exact values or
// the error. `sink(double)` is called for each number read, or, by the
// four-cell reader, several at once for a sink that takes them in place (see
// detail::TakesPlaces).
template <class Sink>
bool parse_floats_before_markup(const char* p, const char* end, Sink&& sink, const char*& stop) noexcept {
#if QUORVEL_AVX2_ROWS
    if (detail::avx2_rows) {
        return detail::parse_row_avx2(p, end, sink, stop);
    }
#endif
    return detail::parse_row_portable(p, end, sink, stop);
}

namespace detail {

// Where the numbers of a row `<r>` begin, after the white space at `p`; null
// when no such row starts there.
inline const char* row_numbers(const char* p, const char* end) noexcept {
    p = skip_xml_space(p, end);
    return end - p >= 3 && p[0] == '<' && p[1] == 'r' && p[2] == '>' ? p + 3 : nullptr;
}

// Whether a row read up to `markup` is full, `numbers` numbers, and ends in a
// plain `</r>`.
template <class Sink>
inline bool is_full_row(const Sink& sink, std::size_t numbers, const char* markup, const char* end) noexcept {
    return sink.count == numbers && end - markup >= 4 && markup[1] == '/' && markup[2] == 'r' && markup[3] == '>';
}

// The `<r>` rows of a bulk section, one after another from `at`, for as long
// as each holds exactly `skip + width` numbers that `Reader::row` reads (the
// forms of parse_floats_before_markup) and ends in a plain `</r>`: each
// stored through a `Sink{row, skip, width}` at `out`, `width` places a row,
// up to `max_rows` rows. Returns how many were read, `at` left after the last
// one's end tag. The row that stops it is left unread (its places may have
// been written), for the caller to read the general way.
template <class Sink, class Reader>
inline std::size_t read_full_rows_with(const char*& at, const char* end, std::size_t skip, std::size_t width,
                                       double* out, std::size_t max_rows) noexcept {
    std::size_t rows = 0;
    for (const char* numbers; rows < max_rows && (numbers = row_numbers(at, end)) != nullptr; ++rows) {
        Sink sink{out + rows * width, skip, width};
        const char* markup = nullptr;
        if (!Reader::row(numbers, end, sink, markup) || !is_full_row(sink, skip + width, markup, end)) {
            break;
        }
        at = markup + 4;
    }
    return rows;
}

struct PortableRows {
    template <class Sink>
    static bool row(const char* p, const char* end, Sink& sink, const char*& stop) noexcept {
        return parse_row_portable(p, end, sink, stop);
    }
};

#if QUORVEL_AVX2_ROWS
struct Avx2Rows {
    template <class Sink>
    [[gnu::target("avx2")]] static bool row(const char* p, const char* end, Sink& sink, const char*& stop) noexcept {
        return read_row_avx2(p, end, sink, stop);
    }
};

// Flattened: the four-cell reader inside the loop over rows.
template <class Sink>
[[gnu::target("avx2"), gnu::flatten]] std::size_t read_full_rows_avx2(const char*& at, const char* end,
                                                                     std::size_t skip, std::size_t width,
                                                                     double* out, std::size_t max_rows) noexcept {
    return read_full_rows_with<Sink, Avx2Rows>(at, end, skip, width, out, max_rows);
}
#endif

}  // namespace detail

// Rows `<r>` of `skip + width` numbers each, straight from the document:
// see detail::read_full_rows_with.
template <class Sink>
std::size_t read_full_rows(const char*& at, const char* end, std::size_t skip, std::size_t width, double* out,
                           std::size_t max_rows) noexcept {
#if QUORVEL_AVX2_ROWS
    if (detail::avx2_rows) {
        return detail::read_full_rows_avx2<Sink>(at, end, skip, width, out, max_rows);
    }
#endif
    return detail::read_full_rows_with<Sink, detail::PortableRows>(at, end, skip, width, out, max_rows);
}

}  // namespace quorvel
