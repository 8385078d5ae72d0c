// The strict decimal syntax of single floats, the column forms of bulk rows, Unicode white space
// and 32-bit integers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parser/number_rows.hpp"
#include "parser/numbers.hpp"
#include "parser/set_tree.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

bool same(double a, double b) { return std::isnan(a) ? std::isnan(b) : std::memcmp(&a, &b, sizeof a) == 0; }

TEST(NumberSyntax, AcceptedFloatAndIntegerFormsAndNothingElse) {
    constexpr double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::string nines(30, '9');
    const std::pair<std::string, double> cases[] = {
        {"1", 1.0}, {"1.", 1.0}, {".5", 0.5}, {"1.50", 1.5}, {"+3", 3.0}, {"-2.5e-3", -0.0025}, {"1E5", 1e5},
        {"1e+5", 1e5}, {"2E-0", 2.0}, {"007", 7.0}, {"-0.0", -0.0}, {"+.0e7", 0.0}, {"inf", inf}, {"-INF", -inf},
        {"Infinity", inf}, {"+iNfInItY", inf}, {"NaN", nan}, {"-nan", nan}, {"1e309", inf}, {"-1.8e308", -inf},
        {"1e-400", 0.0}, {"-1e-400", -0.0}, {"1e" + nines, inf}, {"-1e-" + nines, -0.0}, {"0e" + nines, 0.0},
        {"9007199254740993", 9007199254740992.0}, {"9007199254740995", 9007199254740996.0},  // ties to even
        {"9007199254740993.000000000000000000001", 9007199254740994.0}, {"1" + std::string(800, '0') + "e-800", 1.0},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
    };
    for (const auto& [text, value] : cases) {
        double out = 42.0;
        EXPECT_TRUE(parse_f64(text, out) && same(value, out)) << text << " -> " << out;
    }
    for (std::string_view text :
         {"", "+", "-", ".", "+.", "-.e1", "e5", "E5", "1e", "1e+", "1E-", "1.0D+00", "1d0", "1.0d", " 1", "1 ", "\t1",
          "1\n", "0x10", "0X1p3", "1_000", "1,5", "1'000", "nan(1)", "nanq", "1..2", "1.2.3", "--1", "+-1", "-+1",
          "1e5.0", "1e+-5", "1e5e5", "1.0x", "infinit", "infinityy", "in", "na", "+nan+", "1\u00A0", "\uFF11"}) {
        double out = 42.0;
        EXPECT_FALSE(parse_f64(text, out)) << '"' << text << '"';
        EXPECT_EQ(out, 42.0) << text;
    }
}

TEST(NumberRounding, MatchesCorrectlyRoundedReference) {
    std::mt19937_64 rng(0x5EED);
    const auto below = [&](unsigned long long n) { return std::to_string(rng() % n); };
    std::vector<std::string> texts = {"2.4703282292062327e-324", "2.4703282292062328e-324", "2.2250738585072011e-308",
                                      "1.7976931348623158e308", "1.7976931348623159e308", "0.30000000000000004", "1e23",
                                      "0." + std::string(340, '0') + "17976931348623159e649"};
    for (int i = 0; i < 4000; ++i) {
        const std::string sign = i % 3 == 0 ? "-" : (i % 7 == 0 ? "+" : "");
        const std::string digits = std::to_string(rng()) + below(1000000);
        const std::size_t point = rng() % digits.size();  // mostly 20 to 26 significant digits
        const std::string mantissa = sign + digits.substr(0, point) + "." + digits.substr(point);
        const std::string forms[] = {
            sign + below(100000) + "." + below(1000000000000),  // fixed point, as positions are written
            sign + "0." + below(100000000) + (i % 2 ? "E" : "e") + (i % 3 ? "+" : "-") + below(100),  // Fortran E
            mantissa + "e" + std::to_string(static_cast<int>(rng() % 656) - 345),  // anywhere in range
            mantissa + (i % 2 ? "E-" + std::to_string(300 + rng() % 46) : "E+" + std::to_string(285 + rng() % 25)),
        };
        texts.push_back(forms[i % 4]);
    }
    for (const std::string& text : texts) {
        double out = 0.0;
        EXPECT_TRUE(parse_f64(text, out) && same(std::strtod(text.c_str(), nullptr), out)) << text << " -> " << out;
    }
}

// The column form read by word operations: every value of it, both signs,
// agrees bit for bit with the general scan; near misses are left to it.
TEST(NumberColumns, PointFourFormAgreesWithTheGeneralScan) {
    char text[16];
    for (int negative = 0; negative < 2; ++negative) {
        for (int mantissa = 0; mantissa < 100000; ++mantissa) {
            std::snprintf(text, sizeof text, "%s%d.%04d <x>", negative ? "-" : "", mantissa / 10000, mantissa % 10000);
            double fast = 0, general = 0;
            const std::size_t length = scan_point4(text, fast);
            ASSERT_EQ(length, negative ? 7u : 6u) << text;
            ASSERT_EQ(scan_decimal(text, text + std::strlen(text), general), text + length) << text;
            ASSERT_TRUE(same(fast, general)) << text;
        }
    }
    for (const char* miss : {"0.123 xxx", "12.3456 x", "+0.1234 x", "0,1234 xx", ".12345 xx", "0.12a4 xx",
                             "--0.1234 x", "0.\xC9" "1234 x", "\xCA.1234 x", "0..1234 xx", "0 1234 xxx"}) {
        double value = 0;
        EXPECT_EQ(scan_point4(miss, value), 0u) << miss;
    }
    // The byte after the form is not judged here.
    double value = 0;
    EXPECT_EQ(scan_point4("0.12345678", value), 6u);
    EXPECT_EQ(scan_point4("-0.1234e5 ", value), 7u);
}

// Two cells of the fixed-width column forms at once: the same values as one
// at a time; anything else, also at the byte after, is left to the
// one-at-a-time path.
TEST(NumberColumns, TwoCellsAtOnceAgreeWithOneAtATime) {
#if !defined(__SSE2__)
    GTEST_SKIP() << "without SSE2 every number is read one at a time";
#endif
    const struct {
        int width;
        bool (*scan)(const char*, double&, double&);
        std::vector<std::string> misses;
    } forms[] = {
        {8, scan_two_cells8,
         {"  0.1234  0.12345", "  0.1234  0.1234e", "  0.1234  0.1234.", "  0.1234 -0.1234 ", " -0.1234  0.1234 ",
          "  0.1234  0.123  ", "  0.1234  10.1234", "   0.123  0.1234 ", "  0,1234  0.1234 ", "  0.1234\t 0.1234 ",
          "  0.12\xC9" "4  0.1234 ", "  a.1234  0.1234 ", "  0.1234  0.1234*", "  0.1234  0.1234\xC2"}},
        {11, scan_two_cells11,
         {"     0.1234     0.12345", "     0.1234     0.1234e", "     0.1234    -0.1234 ", "    -0.1234     0.1234 ",
          "     0.1234     0.123  ", "     0.1234    10.1234 ", "    10.1234     0.1234 ", "     0.1234     0,1234 ",
          "     0.1234 x   0.1234 ", "x    0.1234     0.1234 ", "     0.1234     0.1234*", "     0.12\xC9" "4     0.1234 ",
          "     0.1234     0.12\xC9" "4 ", "  0.1234  0.1234  0.1234"}},
    };
    std::mt19937 random(3);
    char text[64];
    for (const auto& form : forms) {
        SCOPED_TRACE(form.width);
        const int blanks = form.width - 6;
        for (int n = 0; n < 200000; ++n) {
            const int a = static_cast<int>(random() % 100000), b = static_cast<int>(random() % 100000);
            const char after = " <\t\n\r"[random() % 5];
            std::snprintf(text, sizeof text, "%*d.%04d%*d.%04d%cxxxxxxxx", blanks + 1, a / 10000, a % 10000, blanks + 1,
                          b / 10000, b % 10000, after);
            double first = 0, second = 0, one = 0, two = 0;
            ASSERT_TRUE(form.scan(text, first, second)) << text;
            ASSERT_EQ(scan_point4(text + blanks, one), 6u);
            ASSERT_EQ(scan_point4(text + form.width + blanks, two), 6u);
            ASSERT_TRUE(same(first, one) && same(second, two)) << text;
        }
        for (const std::string& miss : form.misses) {
            double first = -1, second = -1;
            EXPECT_FALSE(form.scan((miss + "xxxxxxxx").c_str(), first, second)) << miss;
            EXPECT_EQ(first, -1.0);
        }
    }
}

// ------------------------------------------------- four cells at a time

bool has_avx2() {
#if QUORVEL_AVX2_ROWS
    return detail::cpu_has_avx2();
#else
    return false;
#endif
}

// Whether the `width` bytes of `cell` are what the four-cell reader takes:
// a blank, maybe more, an optional minus sign and digits, at most three
// bytes for the two, a point and four digits.
bool is_cell_form(const char* cell, int width) {
    const int point = width - 5;
    if (cell[point] != '.' || !std::all_of(cell + point + 1, cell + width, is_digit)) return false;
    int start = 0;
    while (start < point && cell[start] == ' ') ++start;
    if (start == 0 || point - start > 3) return false;
    if (cell[start] == '-') ++start;
    return start < point && std::all_of(cell + start, cell + point, is_digit);
}

// What the four-cell reader is to read at `p`: with the width that the first
// point tells, the leading cells of that form, if a byte that ends a number
// follows the last of them.
std::size_t expected_cells(const char* p, int& width) {
    const void* point = std::memchr(p, '.', 16);
    width = point == nullptr ? 0 : static_cast<int>(static_cast<const char*>(point) - p) + 5;
    if (width != 8 && width != 10 && width != 11) return 0;
    std::size_t cells = 0;
    while (cells < 4 && is_cell_form(p + cells * width, width)) ++cells;
    return cells != 0 && detail::ends_number(p[cells * width]) ? cells : 0;
}

// `text` with its bytes outside printable ASCII escaped, for messages.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

#if QUORVEL_AVX2_ROWS
// Reads `text` (padded here to the bytes the reader needs) with the
// four-cell reader and holds the result against the model above and the
// cells read against the general scan: white space, then a number that ends
// where its cell ends, with the same bits. Returns the cells read.
std::size_t check_four_cells(std::string text) {
    text.resize(std::max<std::size_t>(text.size(), detail::kFourCellsReadable), 'x');
    const char* const p = text.data();
    const char* const end = p + text.size();
    double values[4];
    const std::size_t cells = scan_cells_avx2(p, values);
    int width = 0;
    EXPECT_EQ(cells, expected_cells(p, width)) << '"' << printable(text) << '"';
    const char* q = p;
    for (std::size_t i = 0; i < cells; ++i) {
        double general = 0;
        const char* next = scan_decimal(skip_ascii_space(q, end), end, general);
        if (next != p + (i + 1) * width) {
            ADD_FAILURE() << '"' << printable(text) << "\" cell " << i << ": the general scan reads another number";
            break;
        }
        EXPECT_TRUE(same(values[i], general))
            << '"' << printable(text) << "\" cell " << i << ": " << values[i] << " " << general;
        q = next;
    }
    return cells;
}
#endif

constexpr std::size_t kTens[] = {1, 10, 100, 1000};

// A cell of `width` bytes: `value` ten-thousandths, right aligned.
std::string cell(int width, long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%04lld", value < 0 ? "-" : "", std::llabs(value) / 10000,
                  std::llabs(value) % 10000);
    return std::string(static_cast<std::size_t>(std::max(0, width - static_cast<int>(std::strlen(text)))), ' ') + text;
}

// Every cell of eight bytes the four-cell reader takes (a blank; a blank, a
// minus sign or a digit; a digit, a point and four digits: 1.2 million of
// them), each in each of the four places of a step: the same values as the
// general scan. Some of the steps are also read as rows by both row readers.
TEST(NumberColumns, FourCellsOfEightAgreeWithTheGeneralScanForEveryDigitPattern) {
    const bool avx2 = has_avx2();
    const char ends[] = {' ', '<', '\t', '\n', '\r', '\v', '\f'};
    constexpr std::size_t kPatterns = 12 * 10 * 10000;
    const auto pattern = [](std::size_t i) {
        std::string cell = "  0.0000";
        cell[1] = " -0123456789"[i / 100000];
        cell[2] = static_cast<char>('0' + i / 10000 % 10);
        for (int d = 0; d < 4; ++d) cell[static_cast<std::size_t>(7 - d)] = static_cast<char>('0' + i / kTens[d] % 10);
        return cell;
    };
    std::size_t rows_read = 0;
    for (std::size_t i = 0; i < kPatterns; i += testing::kSanitized ? 97 : 1) {
        std::string step;
        for (std::size_t k = 0; k < 4; ++k) step += pattern((i + k * (kPatterns / 4)) % kPatterns);
        step += ends[i % std::size(ends)];
#if QUORVEL_AVX2_ROWS
        if (avx2) {
            ASSERT_EQ(check_four_cells(step), 4u) << step;
        }
#endif
        if (i % 60 == 0) {
            ++rows_read;
            const std::string row = step + (step.back() == '<' ? "/r>" : "</r>");
            std::vector<double> general;
            std::string_view bad;
            ASSERT_TRUE(parse_floats(std::string_view(row).substr(0, row.find('<')),
                                     [&](double v) { general.push_back(v); }, bad));
            for (int reader = 0; reader < (avx2 ? 2 : 1); ++reader) {
                std::vector<double> read;
                const char* stop = nullptr;
                const auto sink = [&](double v) { read.push_back(v); };
                const char* const end = row.data() + row.size();
                ASSERT_TRUE(reader == 0 ? detail::parse_row_portable(row.data(), end, sink, stop)
#if QUORVEL_AVX2_ROWS
                                        : detail::parse_row_avx2(row.data(), end, sink, stop)
#else
                                        : false
#endif
                            ) << row;
                ASSERT_EQ(stop, row.data() + row.find('<'));
                ASSERT_EQ(read.size(), general.size());
                for (std::size_t n = 0; n < read.size(); ++n) ASSERT_TRUE(same(read[n], general[n])) << row;
            }
        }
    }
    EXPECT_GT(rows_read, 0u);
    if (!avx2) GTEST_SKIP() << "no AVX2 here: the four-cell reader was not run";
}

#if QUORVEL_AVX2_ROWS
// Random cells of ten and eleven bytes (eigenvalues, densities of states),
// up to three digits before the point: the same values as the general scan.
TEST(NumberColumns, FourCellsOfTenAndElevenAgreeWithTheGeneralScan) {
    if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937_64 random(11);
    for (const int width : {10, 11}) {
        for (int n = 0; n < 200000; ++n) {
            std::string step;
            for (int k = 0; k < 4; ++k) {
                const long long magnitude = static_cast<long long>(random() % (random() % 2 ? 100000 : 10000000));
                const bool negative = random() % 2 && magnitude < 1000000;  // sign and digits in three bytes
                step += cell(width, negative ? -magnitude : magnitude);
            }
            step += " <\n"[random() % 3];
            ASSERT_EQ(check_four_cells(step), 4u) << step;
        }
    }
}

// Each byte of a step of each width, and the byte after it, replaced by
// every byte value; then random pairs of replacements from the bytes of
// numbers and white space. The reader reads what the model says and agrees
// with the general scan on it: nothing it does not fully recognise.
TEST(NumberColumns, FourCellsDeclineWhatIsNotTheirForm) {
    if (!has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937_64 random(5);
    const std::string steps[] = {
        cell(8, 2707) + cell(8, -10000) + cell(8, 99999) + cell(8, 0) + " ",
        cell(8, -1) + cell(8, 123456) + cell(8, 5) + cell(8, -99999) + "<",
        cell(10, -269861) + cell(10, 10000) + cell(10, 9999999) + cell(10, -999999) + " ",
        cell(11, -288274) + cell(11, 0) + cell(11, 1234567) + cell(11, -5) + "\n",
    };
    const char alphabet[] = " -+.0123456789eE\t\n<x\xC9";
    std::size_t read = 0, steps_checked = 0;
    for (const std::string& step : steps) {
        ASSERT_EQ(check_four_cells(step), 4u) << step;
        for (std::size_t at = 0; at < step.size(); ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string changed = step;
                changed[at] = static_cast<char>(byte);
                read += check_four_cells(changed);
                ++steps_checked;
            }
        }
        for (int n = 0; n < 50000; ++n) {
            std::string changed = step;
            for (int i = 0; i < 2; ++i) changed[random() % step.size()] = alphabet[random() % (sizeof alphabet - 1)];
            read += check_four_cells(changed);
            ++steps_checked;
        }
    }
    EXPECT_GT(read, steps_checked);  // most changes leave some cells whole
}
#endif

// Rows of cells of the three widths, broken now and then by other numbers
// and separators, read by both row readers into a row of stored columns
// (numbers straight into place where they can) and one number at a time:
// the numbers of the general way, the same bits, the same stop.
TEST(NumberColumns, RowReadersAgreeWithTheGeneralWay) {
    const bool avx2 = has_avx2();
    const char* const others[] = {"7", "-0", "1e5", "0.30000000000000004", "12345.6789", "+.5", "5.", "-.1234"};
    const char* const separators[] = {" ", "\t", "\n", "  ", ""};
    std::mt19937_64 random(17);
    for (int n = 0; n < 40000; ++n) {
        const int width = (n % 3 == 0) ? 8 : (n % 3 == 1 ? 10 : 11);
        std::string row;
        const std::size_t count = random() % 14;
        for (std::size_t i = 0; i < count; ++i) {
            if (random() % 16 == 0) {
                row += separators[random() % std::size(separators)];
                row += others[random() % std::size(others)];
                row += ' ';
            } else {
                const long long value = static_cast<long long>(random() % 1000000) - 300000;
                row += cell(width, width == 8 ? value % 100000 : value);
            }
        }
        row += random() % 2 ? " </r>" : "</r>";
        row += std::string(random() % 50, ' ');  // near the end of the text at times
        const std::size_t markup = row.find('<');
        std::vector<double> general;
        std::string_view bad;
        const bool general_read =
            parse_floats(std::string_view(row).substr(0, markup), [&](double v) { general.push_back(v); }, bad);
        const char* const end = row.data() + row.size();
        for (int reader = 0; reader < (avx2 ? 2 : 1); ++reader) {
            const auto read_row = [&](auto& sink, const char*& stop) {
                return reader == 0 ? detail::parse_row_portable(row.data(), end, sink, stop)
#if QUORVEL_AVX2_ROWS
                                   : detail::parse_row_avx2(row.data(), end, sink, stop);
#else
                                   : false;
#endif
            };
            std::vector<double> read;
            const auto one_at_a_time = [&](double v) { read.push_back(v); };
            const char* stop = nullptr;
            const bool taken = read_row(one_at_a_time, stop);
            if (!taken) continue;  // left to the general way
            ASSERT_TRUE(general_read) << row;
            ASSERT_EQ(stop, row.data() + markup) << row;
            ASSERT_EQ(read.size(), general.size()) << row;
            for (std::size_t i = 0; i < read.size(); ++i) ASSERT_TRUE(same(read[i], general[i])) << row << " " << i;
            // Stored columns: after the first `skip` numbers, the next
            // `width`; nothing written past them.
            const std::size_t skip = random() % 3, columns = 1 + random() % 12;
            std::vector<double> stored(columns + 4, -7.0);
            RowSink row_sink{stored.data(), skip, columns};
            const char* row_stop = nullptr;
            ASSERT_TRUE(read_row(row_sink, row_stop)) << row;
            ASSERT_EQ(row_stop, stop);
            ASSERT_EQ(row_sink.count, general.size()) << row;
            for (std::size_t c = 0; c < stored.size(); ++c)
                ASSERT_TRUE(same(stored[c], c < columns && skip + c < general.size() ? general[skip + c] : -7.0))
                    << row << " skip " << skip << " column " << c;
        }
    }
    if (!avx2) GTEST_SKIP() << "no AVX2 here: only the portable row reader was run";
}

TEST(NumberWhitespace, EveryUnicodeWhiteSpaceCharacterAndNoOther) {
    for (std::string_view space : {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001",
                                   "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009",
                                   "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"}) {
        const std::string text = std::string(space) + "1";
        EXPECT_EQ(whitespace_length(text.data(), text.data() + text.size()), space.size()) << text;
        EXPECT_EQ(trim_whitespace(text + std::string(space)), "1") << text;
    }
    for (std::string_view cut : {"\u0085", "\u1680", "\u2028", "\u3000"})  // ends early: a partial space is none
        EXPECT_EQ(whitespace_length(cut.data(), cut.data() + cut.size() - 1), 0u) << cut;
    for (std::string_view other : {"\b", "\x1C", "\x1F", "!", "\u0084", "\u00A1", "\u180E", "\u1FFF", "\u200B",
                                   "\u2027", "\u202A", "\u2030", "\u205E", "\u2060", "\u3001", "\uFEFF"})
        EXPECT_EQ(whitespace_length(other.data(), other.data() + other.size()), 0u) << other;
    EXPECT_EQ(trim_whitespace("\u3000 a \u2003 b\u2029\u200B"), "a \u2003 b\u2029\u200B");
}

}  // namespace
}  // namespace quorvel
