// The std::from_chars conversion used by builds without fast_float: the same
// bits as fast_float (when this build has it) and as the correctly rounded
// value, on the cases where rounding is hardest: halfway between two doubles,
// just off halfway, subnormals, the ends of the range, long mantissas and
// exponents far out of range.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parser/decimal_from_chars.hpp"

#if QUORVEL_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#endif

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Converts `text` with the fallback and, when the build has it, with
// fast_float, and expects both to give `expected`.
void expect_converts(const std::string& text, double expected) {
    const char* first = text.data();
    const char* last = first + text.size();
    const double fallback = detail::convert_decimal_from_chars(first, last);
    EXPECT_TRUE(same_bits(fallback, expected)) << text << ": from_chars " << fallback << ", expected " << expected;
#if QUORVEL_HAVE_FAST_FLOAT
    double fast = 0.0;
    fast_float::from_chars(first, last, fast);
    EXPECT_TRUE(same_bits(fallback, fast)) << text << ": from_chars " << fallback << ", fast_float " << fast;
#endif
}

// glibc's strtod rounds correctly; it is the reference where no value is
// worked out by hand.
void expect_as_strtod(const std::string& text) { expect_converts(text, std::strtod(text.c_str(), nullptr)); }

TEST(DecimalFromChars, KnownHardCases) {
    const std::string zeros400(400, '0');
    const std::vector<std::string> texts = {
        "9007199254740993", "9007199254740995", "9007199254740993.000000000000000000001",
        "9007199254740992.999999999999999999999", "9007199254740993" + zeros400 + "e-400",
        "9007199254740993" + zeros400 + "1e-401", "1e23", "8.41e21", "7.3177701707893310e15", "0.30000000000000004",
        "2.2250738585072011e-308", "2.2250738585072012e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
        "2.4703282292062328e-324", "9.5e-322", "1.7976931348623157e308", "1.7976931348623158e308",
        "1234567890123456789", "12345678901234567890", "123456789012345678901234567890", "1." + zeros400 + "1",
        "0." + zeros400 + "1e400", ".5", "5.", "007", "1e+5", "1E-5", "0e99999",
        "0.000000000000000000000000000000000000000000000000000000000000001e63",
        "1" + std::string(800, '0') + "e-800",
    };
    for (const std::string& text : texts) {
        expect_as_strtod(text);
    }
    // The largest double in all its 309 digits, and the same with a fraction.
    char largest[400];
    std::snprintf(largest, sizeof largest, "%.0f", std::numeric_limits<double>::max());
    expect_converts(largest, std::numeric_limits<double>::max());
    expect_converts(std::string(largest) + ".99999999999999999999", std::numeric_limits<double>::max());
}

TEST(DecimalFromChars, OutOfRangeGivesInfinityOrZero) {
    const std::string nines(30, '9'), zeros400(400, '0');
    const std::pair<std::string, double> cases[] = {
        {"1e309", kInf}, {"1.7976931348623159e308", kInf}, {"1" + zeros400, kInf}, {"1e" + nines, kInf},
        {"0." + zeros400 + "1e800", kInf}, {"1e0000000000000000000000000000309", kInf}, {"1e-400", 0.0},
        {"2.4703282292062327e-324", 0.0}, {"0." + zeros400 + "1", 0.0}, {"1e-" + nines, 0.0},
        {"99999" + zeros400 + "e-800", 0.0}, {"0e" + nines, 0.0},
    };
    for (const auto& [text, expected] : cases) {
        expect_converts(text, expected);
    }
}

// Exact decimal digits of `value`, enough for every binary fraction of the
// long double range used here (up to 767 significant digits).
std::string exact_decimal(long double value) {
    std::vector<char> text(1000);
    const int length = std::snprintf(text.data(), text.size(), "%.820Le", value);
    return std::string(text.data(), static_cast<std::size_t>(length));
}

// `text` (as %e prints it) with its mantissa cut to `digits` significant digits.
std::string cut_digits(const std::string& text, std::size_t digits) {
    const std::size_t e = text.find('e');
    return text.substr(0, digits + 1) + text.substr(e);  // digits plus the point
}

// The mantissa of `text` with one more digit 1 far after its last one: just
// above its value.
std::string nudged_up(const std::string& text) {
    const std::size_t e = text.find('e');
    return text.substr(0, e) + "0001" + text.substr(e);
}

bool even_mantissa(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 1) == 0;
}

// The midpoints between neighbouring doubles, written out exactly: they
// round to the even neighbour, and any decimal off them to the nearer one.
TEST(DecimalFromChars, HalfwayBetweenNeighboursAndJustOff) {
    if (std::numeric_limits<long double>::digits < 64) {
        GTEST_SKIP() << "needs an x87 long double to hold the midpoints exactly";
    }
    std::mt19937_64 random(0xD1CE);
    std::vector<double> lows = {0.0, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                                std::nextafter(std::numeric_limits<double>::min(), 0.0), 1.0, 9007199254740992.0,
                                std::nextafter(std::numeric_limits<double>::max(), 0.0),
                                std::numeric_limits<double>::max()};
    while (lows.size() < 1500) {
        // Every binade, subnormals included, with random mantissas; no infinity or NaN.
        const std::uint64_t bits = random() >> 1;
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) {
            lows.push_back(value);
        }
    }
    for (const double low : lows) {
        const double high = std::nextafter(low, kInf);
        // Above the largest double, the next step would be 2^1024.
        const long double high_exact = std::isinf(high) ? std::ldexp(1.0L, 1024) : static_cast<long double>(high);
        const long double middle = (static_cast<long double>(low) + high_exact) / 2;
        const std::string exact = exact_decimal(middle);
        SCOPED_TRACE(exact.substr(0, 30));
        expect_converts(exact, even_mantissa(low) ? low : high);
        expect_converts(nudged_up(exact), high);
        const std::string below = cut_digits(exact, 40);
        if (static_cast<long double>(std::strtold(below.c_str(), nullptr)) < middle) {
            expect_converts(below, low);
        }
    }
}

// Random long mantissas anywhere in the range, held against strtod.
TEST(DecimalFromChars, RandomLongMantissas) {
    std::mt19937_64 random(0xF10A7);
    for (int i = 0; i < 3000; ++i) {
        std::string digits(17 + random() % 20, '0');
        for (char& digit : digits) {
            digit = static_cast<char>('0' + random() % 10);
        }
        const std::size_t point = random() % digits.size();
        const int exponent = static_cast<int>(random() % 680) - 360;
        expect_as_strtod(digits.substr(0, point) + "." + digits.substr(point) + "e" + std::to_string(exponent));
    }
}

}  // namespace
}  // namespace quorvel
