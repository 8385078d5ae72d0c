// gzip data of several members (`cat a.gz b.gz`, bgzip): each member decoded in turn with its own
// header, checksum and length; zero bytes after the last member are padding, anything else there
// is an error, and a member cut short or corrupt fails as it would on its own.
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "gzip.hpp"
#include "record_digest.hpp"
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using namespace std::string_literals;

const std::string kGarbage = "I/O error: trailing garbage after gzip data";
const std::string kEnd = "I/O error: unexpected end of file";
const std::string kBadSum = "I/O error: corrupt gzip stream does not have a matching checksum";
const std::string kBadHeader = "I/O error: invalid gzip header";
const std::string kCorrupt = "I/O error: corrupt deflate stream";

// `member` with a header that carries `field` as an extra field (as bgzip writes its block size)
// and a file name.
std::string with_extra_and_name(const std::string& member, const std::string& field) {
    const char size[] = {static_cast<char>(field.size()), static_cast<char>(field.size() >> 8)};
    return "\x1F\x8B\x08\x0C"s + member.substr(4, 6) + std::string(size, 2) + field + "run.xml\0"s +
           member.substr(10);
}

// `text` cut at `cuts` (ascending offsets), each piece compressed as a member of its own, at the
// levels of `levels` in turn (0 stores the data).
std::string members(std::string_view text, const std::vector<std::size_t>& cuts, std::vector<int> levels = {6}) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
        out += gzip(text.substr(from, to - from), levels[i % levels.size()]);
        from = to;
    }
    return out;
}

struct Inflated {
    std::string text;  // the output, or the error text
    bool valid_utf8 = false;
};

Inflated inflate(std::string_view compressed) {
    HeapArray<char> out;
    Inflated inflated;
    const Status status = inflate_gzip(compressed, out, inflated.valid_utf8);
    inflated.text = status.ok() ? std::string(out.data(), out.size()) : status.error().to_string();
    return inflated;
}

std::string sample() {
    std::ifstream in(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

ParseOptions everything() {
    ParseOptions options;
    options.parse_projected = true;
    return options;
}

// Random letters and markup, which compress to a few times less and so leave room for cuts.
std::string random_text(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string text(size, ' ');
    for (char& c : text) c = "abcdefghijklmnopqrstuvwxyz0123456789 \n<>/"[rng() % 41];
    return text;
}

// The sample cut into members in several ways (even, uneven either way, with empty members, at
// different levels, bgzip-like blocks with the empty end block) reads like the sample itself.
TEST(GzipMembers, TheSampleInMembersParsesLikeTheSample) {
    const std::string text = sample();
    const std::size_t n = text.size();
    ASSERT_GT(n, 200000u);
    const ParseOutcome plain = parse_bytes(text, false, everything());
    ASSERT_EQ(plain.status, ParseStatus::Ok) << plain.message();
    const std::string kBlock = "BC\x02\x00\xFF\x00"s;  // bgzip's extra field: the block size
    std::vector<std::size_t> blocks;  // bgzip's 0xFF00-byte blocks
    for (std::size_t at = 0xFF00; at < n; at += 0xFF00) blocks.push_back(at);
    std::string bgzip;
    for (std::size_t from = 0; from < n; from += 0xFF00) bgzip += with_extra_and_name(gzip(text.substr(from, 0xFF00)), kBlock);
    bgzip += with_extra_and_name(gzip(""), kBlock);
    const std::pair<const char*, std::string> cases[] = {
        {"halves", members(text, {n / 2})},
        {"a long first member", members(text, {n - 100})},
        {"a short first member", members(text, {100})},
        {"thirds at three levels", members(text, {n / 3, 2 * n / 3}, {9, 0, 1})},
        {"empty members around and between", members(text, {0, n / 4, n / 4, 3 * n / 4, n})},
        {"blocks", members(text, blocks)},
        {"bgzip", bgzip},
    };
    for (const auto& [what, compressed] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(inflate(compressed).text, text);
        const ParseOutcome outcome = parse_bytes(compressed, true, everything());
        ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
        EXPECT_TRUE(RecordDigest(*outcome.record).bytes() == RecordDigest(*plain.record).bytes());
    }
}

// After the last member: zero bytes are padding; the gzip magic starts a member, which is then read
// as such (a header cut short is the end of the file); any other byte is garbage.
TEST(GzipMembers, WhatFollowsTheLastMember) {
    const std::string one = gzip("<a/>"), two = members("<a></a>", {3});
    const std::pair<std::string, std::string> cases[] = {
        {"", "ok"}, {"\0"s, "ok"}, {std::string(512, '\0'), "ok"},
        {"x", kGarbage}, {"junk", kGarbage}, {"\x1F", kGarbage}, {"\x8B\x1F", kGarbage}, {"\x1F\x1F\x8B", kGarbage},
        {"\0\0x"s, kGarbage}, {"\0"s + gzip("<b/>"), kGarbage}, {"\n", kGarbage},
        {"\x1F\x8B", kEnd}, {"\x1F\x8B\x08\x00"s, kEnd}, {"\x1F\x8B\x08\x00\0\0\0\0\0\x03"s, kEnd},
        {"\x1F\x8B\x07\x00\0\0\0\0\0\x03"s, kBadHeader}, {"\x1F\x8B\x08\xE0\0\0\0\0\0\x03"s, kBadHeader},
    };
    for (const auto& [after, expected] : cases) {
        for (const auto& [before, text] : {std::pair{one, "<a/>"s}, std::pair{two, "<a></a>"s}}) {
            const Inflated inflated = inflate(before + after);
            EXPECT_EQ(inflated.text, expected == "ok" ? text : expected) << after.size() << ": " << after;
        }
    }
}

// A later member cut anywhere fails as that member would on its own, never as garbage.
TEST(GzipMembers, ALaterMemberCutShortFailsAsOnItsOwn) {
    const std::string first = gzip("<modeling>"), later = gzip(random_text(4000, 3));
    ASSERT_GT(later.size(), 1000u);
    for (std::size_t cut = 2; cut < later.size(); ++cut) {
        const std::string alone = inflate(std::string_view(later).substr(0, cut)).text;
        ASSERT_TRUE(alone == kEnd || alone == kCorrupt) << cut << ": " << alone;
        ASSERT_EQ(inflate(first + later.substr(0, cut)).text, alone) << cut;
        ASSERT_EQ(inflate(first + later + later.substr(0, cut)).text, alone) << cut;
    }
}

// Each member is checked against its own trailer and header: a fault in the second or third of
// three fails the whole.
TEST(GzipMembers, ACorruptLaterMemberFails) {
    const std::string a = gzip("<modeling>"), b = gzip(random_text(3000, 5)), c = gzip("</modeling>");
    const auto flip = [](std::string member, std::size_t at, int bit = 1) {
        member[at] = static_cast<char>(member[at] ^ bit);
        return member;
    };
    const std::size_t end = b.size();
    const std::pair<std::string, std::string> faults[] = {
        {flip(b, end - 8), kBadSum},  // CRC-32
        {flip(b, end - 1), kBadSum},  // length
        {flip(b, end - 4), kBadSum},
        {b.substr(0, 10) + "\xFF\xFF" + b.substr(end - 8), kCorrupt},
        {flip(b, 2), kBadHeader},
        {flip(with_extra_and_name(b, "ex"), 3, 2), kBadSum},  // flagged with a header CRC it does not have
    };
    for (const auto& [bad, expected] : faults) {
        EXPECT_EQ(inflate(a + bad + c).text, expected);
        EXPECT_EQ(inflate(a + b + bad).text, expected);
    }
    EXPECT_EQ(inflate(a + b + c).text.size(), 3000u + 21u);
}

// The output is known to be valid UTF-8 only when all of it is, wherever the members cut it: a
// character may be split between two members; a bad byte in a later member or a character cut
// off at the very end is not valid. Text that is not UTF-8 is then read as windows-1252.
TEST(GzipMembers, TheUtf8CheckCoversEveryMember) {
    const std::string piece(std::size_t{1} << 18, 'a');  // as long as one piece of the check
    const struct {
        std::vector<std::string> parts;
        bool valid;
    } cases[] = {
        {{"a\u20AC", "b\u00B5"}, true},
        {{"a\xE2\x82", "\xAC" "b"}, true},
        {{"a\xE2", "", "\x82", "\xAC"}, true},
        {{piece + "\xE2", "\x82\xAC" + piece}, true},
        {{"abc", "d\xB5"}, false},
        {{"a\xB5", "bc"}, false},
        {{"abc", piece + piece + "\xB5"}, false},
        {{"abc", "", "\xE2\x82"}, false},
        {{"a\xE2", "b\x82\xAC"}, false},
    };
    for (const auto& [parts, valid] : cases) {
        std::string compressed, text;
        for (const std::string& part : parts) compressed += gzip(part), text += part;
        const Inflated inflated = inflate(compressed);
        EXPECT_EQ(inflated.text, text);
        EXPECT_EQ(inflated.valid_utf8, valid) << text.substr(text.size() > 20 ? text.size() - 20 : 0);
    }
    Document document;
    ASSERT_TRUE(load_document_from_bytes(gzip("<a>\u00B5") + gzip("\xB5</a>"), true, document).ok());
    EXPECT_EQ(document.text(), "<a>\u00C2\u00B5\u00B5</a>");
    ASSERT_TRUE(load_document_from_bytes(gzip("<a>\xC2") + gzip("\xB5</a>"), true, document).ok());
    EXPECT_EQ(document.text(), "<a>\u00B5</a>");
}

}  // namespace
}  // namespace quorvel::testing
