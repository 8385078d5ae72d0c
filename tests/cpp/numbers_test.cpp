// The strict decimal syntax of single floats, the column forms of bulk rows, Unicode white space
// and 32-bit integers.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "parser/number_rows.hpp"
#include "parser/numbers.hpp"

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
