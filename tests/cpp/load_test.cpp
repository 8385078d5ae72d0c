// Loading a run file into UTF-8 text: gzip by extension, gzip members, encodings, the declaration rewrite.
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include <gtest/gtest.h>

#include "load.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
using testing::gzip;

const std::string kBadHeader = "I/O error: invalid gzip header";
const std::string kBadSum = "I/O error: corrupt gzip stream does not have a matching checksum";
const std::string kGarbage = "I/O error: trailing garbage after gzip data";
const std::string kDecode = "Encoding error: Failed to decode vasprun.xml as ISO-8859-1";

std::string shown(const Status& status, const Document& document) {
    return status.ok() ? std::string(document.text()) : status.error().to_string();
}

// `member` with its 10-byte header replaced by one carrying each optional field that is not empty.
std::string reheader(const std::string& member, std::string extra, std::string name, std::string comment, bool hcrc) {
    const int flags = (hcrc ? 2 : 0) | (extra.empty() ? 0 : 4) | (name.empty() ? 0 : 8) | (comment.empty() ? 0 : 16);
    std::string h = "\x1F\x8B\x08"s + static_cast<char>(flags) + "\x01\x02\x03\x04\x00\x03"s;
    const auto le16 = [](uLong v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
    h += (extra.empty() ? ""s : le16(extra.size())) + extra + name + (name.empty() ? ""s : "\0"s);
    h += comment + (comment.empty() ? ""s : "\0"s);
    h += hcrc ? le16(crc32(0, reinterpret_cast<const Bytef*>(h.data()), static_cast<uInt>(h.size()))) : ""s;
    return h + member.substr(10);
}

// Writes `bytes`, if given, to a scratch file named after `name` (a directory if it ends in "/"), loads it, removes it.
std::string load(const std::string& name, std::optional<std::string_view> bytes) {
    const fs::path path = fs::path(::testing::TempDir()) / ("quorvel_" + std::to_string(::getpid()) + "_" + name);
    if (bytes) std::ofstream(path, std::ios::binary).write(bytes->data(), std::ssize(*bytes));
    if (name.ends_with('/')) fs::create_directory(path);
    Document document;
    const Status status = load_document(path.string(), document);
    fs::remove(path);
    return shown(status, document);
}

TEST(LoadGzExtension, OnlyTheExactLowercaseExtension) {
    const std::pair<const char*, bool> cases[] = {
        {"run.xml.gz", true}, {"/data/run.gz", true}, {"a.gz/", true}, {"..gz", true}, {".x.gz", true},
        {"a..gz", true}, {"run.xml.GZ", false}, {"run.xml.Gz", false}, {"x.gzip", false}, {"run.xml", false},
        {"gz", false}, {".gz", false}, {"dir/.gz", false}, {"a.gz/b", false}, {"run.gz.", false}, {"", false}};
    for (const auto& [path, gz] : cases) EXPECT_EQ(has_gz_extension(path), gz) << path;
}

TEST(LoadFile, GzipMembers) {
    std::mt19937 rng(7);
    std::string doc(300000, ' ');  // random enough to stay large when compressed
    for (char& c : doc) c = "abcdefghijklmnopqrstuvwxyz0123456789 \n<>/"[rng() % 41];
    const std::string good = gzip(doc), x = gzip("x"), flagged = reheader(good, "ex", "run.xml", "comment", true);
    const std::string long_field(65535, 'f');
    const std::size_t crc_at = flagged.find("comment") + 8, end = good.size();
    const auto patch = [](std::string s, std::size_t at, int v) { s[at] = static_cast<char>(v); return s; };
    const std::pair<std::string, std::string> cases[] = {
        {good, doc}, {flagged, doc}, {gzip(""), ""}, {good + gzip("second"), doc + "second"}, {good + "junk", kGarbage},
        {gzip("<?xml encoding=\"ISO-8859-1\"?><a>\xB5</a>"), "<?xml encoding=\"UTF-8\"?><a>\u00B5</a>"},
        {reheader(x, long_field, long_field, long_field, true), "x"},
        // A name or comment of 64 KiB and more, which gzip -t accepts.
        {reheader(x, "", long_field + "f", "", false), "x"},
        {reheader(x, "", "", std::string(1 << 20, 'c'), true), "x"},
        {reheader(x, "", long_field + "f", long_field + "f", false).substr(0, 40000), "I/O error: unexpected end of file"},
        {patch(good, 0, 0x1E), kBadHeader}, {patch(good, 1, 0x8C), kBadHeader}, {"<modeling/>", kBadHeader},
        {patch(good, 2, 7), kBadHeader}, {patch(good, 3, 0x20), kBadHeader}, {patch(good, 3, 0x40), kBadHeader},
        {patch(good, 3, 0x80), kBadHeader}, {patch(flagged, crc_at, flagged[crc_at] ^ 1), kBadSum},
        {patch(good, end - 8, good[end - 8] ^ 1), kBadSum}, {patch(good, end - 1, good[end - 1] ^ 1), kBadSum},
        {good.substr(0, 10) + "\xFF\xFF" + good.substr(end - 8), "I/O error: corrupt deflate stream"},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(load("run.xml.gz", bytes), expected) << expected.size();
    for (std::size_t cut : {0ul, 1ul, 9ul, 12ul, end / 2, end - 8, end - 1})
        EXPECT_EQ(load("run.xml.gz", std::string_view(good).substr(0, cut)).rfind("I/O error: ", 0), 0u) << cut;
    EXPECT_EQ(load("run.xml.gz", flagged.substr(0, 15)).rfind("I/O error: ", 0), 0u) << "cut inside the name";
}

TEST(LoadFile, PlainInputIsReadWholeAndNeverInflated) {
    const std::string doc = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<modeling>\xB5</modeling>\n";
    EXPECT_EQ(load("run.xml", doc), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<modeling>\u00B5</modeling>\n");
    EXPECT_EQ(load("empty.xml", ""), "");
    EXPECT_EQ(load("run.xml.GZ", gzip(doc)).substr(0, 5), "\x1F\u2039\x08");  // gzip bytes as windows-1252 text
    for (const char* path : {"missing.xml", "missing.gz", "no/such.xml", "directory.xml/", "directory.gz/"}) {
        const std::string text = load(path, std::nullopt);
        EXPECT_EQ(text.rfind("I/O error: ", 0), 0u) << path << ": " << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
}

// Plain files are read and checked as UTF-8 a megabyte at a time, inflated
// gzip files checked a quarter megabyte at a time: a character cut by a piece
// boundary is whole UTF-8, a bad byte in a later piece is not.
TEST(LoadFile, UnicodeCheckedAcrossPieces) {
    const struct { const char* path; std::size_t piece; bool compressed; } forms[] = {
        {"run.xml", std::size_t{1} << 20, false}, {"run.xml.gz", std::size_t{1} << 18, true}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.path);
        const auto stored = [&](const std::string& text) { return form.compressed ? gzip(text) : text; };
        const std::size_t piece = form.piece;
        for (const std::size_t before : {piece - 1, piece - 2, piece - 3, piece}) {
            const std::string text = std::string(before, 'a') + "\u20AC\u00B5";
            EXPECT_EQ(load(form.path, stored(text)), text) << before;
        }
        const std::string latin = std::string(piece + 5, 'a') + "\xB5" + std::string(10, 'b');
        EXPECT_EQ(load(form.path, stored(latin)), std::string(piece + 5, 'a') + "\u00B5" + std::string(10, 'b'));
        const std::string cut_at_end = std::string(piece * 2, 'a') + "\xE2\x82";
        EXPECT_EQ(load(form.path, stored(cut_at_end)), std::string(piece * 2, 'a') + "\u00E2\u201A");
    }
}

TEST(LoadEncoding, DecodingAndDeclarationRewrite) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"<a>\u00E9</a>", "<a>\u00E9</a>"}, {"\xEF\xBB\xBF<a/>", "\xEF\xBB\xBF<a/>"},
        {"\x80\x81\x8D\x8F\x90\x9D\x9F\xA0\xFF", "\u20AC\u0081\u008D\u008F\u0090\u009D\u0178\u00A0\u00FF"},
        {R"(<?xml version="1.0" encoding="ISO-8859-1"?><a>ISO-8859-1</a>)",
         R"(<?xml version="1.0" encoding="UTF-8"?><a>ISO-8859-1</a>)"},
        // only the encoding name of a declaration at the very start (after a byte-order mark)
        {"<?xml a='iso-8859-1' encoding = 'iso-8859-1'?>", "<?xml a='iso-8859-1' encoding = 'UTF-8'?>"},
        {"\xEF\xBB\xBF<?xml\nencoding=\"ISO-8859-1\"?><a/>", "\xEF\xBB\xBF<?xml\nencoding=\"UTF-8\"?><a/>"},
        {"<?xml encoding='Iso-8859-1'?><?xml e='latin1'?>", "<?xml encoding='Iso-8859-1'?><?xml e='latin1'?>"},
        {"<?xml encoding='ISO-8859-15'?>", "<?xml encoding='ISO-8859-15'?>"},
        {"<?xml encoding='ISO-8859-1\"?>", "<?xml encoding='ISO-8859-1\"?>"},
        {"<a>ISO-8859-1</a>", "<a>ISO-8859-1</a>"}, {"<a>ISO-8859-1</a>?>ISO-8859-1", "<a>ISO-8859-1</a>?>ISO-8859-1"},
        {" <?xml encoding='ISO-8859-1'?>", " <?xml encoding='ISO-8859-1'?>"},
        {"<?xml-stylesheet encoding='ISO-8859-1'?>", "<?xml-stylesheet encoding='ISO-8859-1'?>"},
        {"<a><?pi encoding='ISO-8859-1'?></a>", "<a><?pi encoding='ISO-8859-1'?></a>"},
        {"ISO-8859-?>1", "ISO-8859-?>1"}, {"<a>\xC3\xA9\xB5</a>", "<a>\u00C3\u00A9\u00B5</a>"},  // all windows-1252
        {"<?xml encoding=\"ISO-8859-1\"?><!--\xB5-->", "<?xml encoding=\"UTF-8\"?><!--\u00B5-->"},
        {"\xFF\xFE<\0a\0>\0\xE9\0\x3D\xD8\x00\xDE"s, "<a>\u00E9\U0001F600"}, {"\xFF\xFE", ""},  // UTF-16LE
        {"\xFE\xFF\0<\0a\0>\0\xE9\xD8\x3D\xDE\x00"s, "<a>\u00E9\U0001F600"},                    // UTF-16BE
        {"\xFF\xFE<\0a"s, kDecode}, {"\xFE\xFF\0<\0"s, kDecode}, {"\xFF\xFE\x00\xD8" "a\0"s, kDecode},
        {"\xFF\xFE\x00\xDC" "a\0"s, kDecode}, {"\xFF\xFE<\0\x3D\xD8"s, kDecode}, {"\xFE\xFF\xD8\x00\x00" "a"s, kDecode},
        {"\xEF\xBB\xBF<a>\xB5</a>", kDecode}, {"\xEF\xBB\xBF\xC3", kDecode},
    };
    for (const auto& [bytes, expected] : cases) {
        Document from_bytes, finished;
        EXPECT_EQ(shown(load_document_from_bytes(bytes, false, from_bytes), from_bytes), expected) << bytes;
        HeapArray<char> raw;
        raw.append(bytes.data(), bytes.size());
        EXPECT_EQ(shown(finish_document(std::move(raw), finished), finished), expected) << bytes;
    }
}

}  // namespace
}  // namespace quorvel
