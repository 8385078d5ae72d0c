// The text module: whole-text integers of every width, UTF-8 written and
// checked, also piece by piece; white space skipped.
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "text.hpp"

namespace quorvel {
namespace {

template <class Int>
void expect_integers(std::initializer_list<std::pair<const char*, Int>> good, std::initializer_list<const char*> bad) {
    for (const auto& [text, value] : good) {
        Int out{};
        EXPECT_TRUE(parse_integer(text, out) && out == value) << text << " -> " << out;
    }
    for (const char* text : bad) {
        Int out = 42;
        EXPECT_FALSE(parse_integer(text, out)) << '"' << text << '"';
        EXPECT_EQ(out, 42) << text;
    }
}

TEST(Integers, WholeTextWithinRange) {
    const auto common_bad = {"", "-", "+", "1.0", " 1", "1 ", "0x1", "--1", "+-1", "-+1", "++1", "1e3", "１"};
    expect_integers<std::int32_t>({{"-2147483648", INT32_MIN}, {"+2147483647", INT32_MAX}, {"-007", -7}, {"0", 0}},
                                  {"2147483648", "-2147483649", "99999999999"});
    expect_integers<std::int32_t>({}, common_bad);
    expect_integers<std::int64_t>({{"-9223372036854775808", INT64_MIN}, {"+9223372036854775807", INT64_MAX}, {"+7", 7}},
                                  {"9223372036854775808", "-9223372036854775809"});
    expect_integers<std::int64_t>({}, common_bad);
    expect_integers<std::uint64_t>({{"18446744073709551615", UINT64_MAX}, {"+3", 3}, {"0", 0}},
                                   {"18446744073709551616", "-1", "-0"});
    expect_integers<std::uint64_t>({}, common_bad);
}

TEST(Utf8, WrittenCodePointsAreValidAndOfTheirLength) {
    for (const std::uint32_t cp : {0x0u, 0x41u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        std::string text;
        append_utf8(text, cp);
        EXPECT_EQ(text.size(), utf8_length(cp)) << cp;
        EXPECT_TRUE(is_valid_utf8(text)) << cp;
    }
    EXPECT_EQ(utf8_valid_prefix("ab\xC3\xA9" "c\xE2\x82"), 5u);  // a cut sequence at the end
    EXPECT_EQ(utf8_valid_prefix("a\xED\xA0\x80z"), 1u);          // a surrogate
    EXPECT_EQ(utf8_valid_prefix("a\xC0\xAFz"), 1u);              // an overlong form
}

// Grown in pieces cut anywhere, even inside a sequence, the check agrees
// with one check of the whole text.
TEST(Utf8, PieceByPieceAgreesWithTheWhole) {
    std::mt19937 rng(7);
    const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", "\xC3", "\xED\xA0\x80"};
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int length = static_cast<int>(rng() % 12);
        for (int i = 0; i < length; ++i) text += pieces[rng() % (round % 2 == 0 ? 4 : 7)];
        Utf8Check check;
        std::size_t size = 0;
        while (size < text.size()) {
            size = std::min(text.size(), size + 1 + rng() % 5);
            check.grow(text.data(), size);
        }
        ASSERT_EQ(check.valid(text.size()), is_valid_utf8(text)) << round;
    }
}

TEST(XmlSpace, SkippedWideAgreesWithByteByByte) {
    // Runs of the four XML white space bytes, every length up to 40, before a
    // stop byte (or the end), from every offset of a padded buffer: the wide
    // steps must stop exactly where a byte-by-byte skip does, and never read
    // beyond `end`.
    std::mt19937 random(7);
    const char spaces[] = {' ', '\n', '\t', '\r'};
    for (int trial = 0; trial < 4000; ++trial) {
        const std::size_t length = random() % 41;
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly blanks and line ends, as indentation is; tabs and
            // carriage returns now and then, which the wide step hands on.
            const unsigned pick = random() % 16;
            text += spaces[pick < 8 ? 0 : pick < 13 ? 1 : pick < 15 ? 2 : 3];
        }
        const bool stopped = random() % 4 != 0;
        if (stopped) {
            text += "<r>  0.0000 </r>"[random() % 3];
        }
        const std::string padded = text + std::string(random() % 20, 'x');
        const char* begin = padded.data();
        const char* end = begin + text.size();
        const char* expected = begin;
        while (expected != end && is_xml_space(*expected)) {
            ++expected;
        }
        EXPECT_EQ(skip_xml_space(begin, end) - begin, expected - begin) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace quorvel
