// Hostile inputs: deep nesting, dimensions out of proportion to the data, gzip bombs and cut-off
// streams, broken markup, NUL and invalid bytes, bad character references, declared entities and
// huge text nodes. Each must end in Ok or a clear failure, quickly and within bounded memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "load.hpp"
#include "record_digest.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

using namespace std::string_literals;
using testing::parse_error;
using testing::parse_text;
using testing::run_file;
using testing::kSanitized;

#ifdef NDEBUG
constexpr bool kTimed = !kSanitized;  // time limits hold for optimised builds only
#else
constexpr bool kTimed = false;
#endif
constexpr std::size_t kMB = std::size_t{1} << 20;

template <class Body>
double seconds(Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
#define EXPECT_FAST(body, limit)                                  \
    do {                                                          \
        const double taken = seconds([&] { body; });              \
        if (kTimed) {                                             \
            EXPECT_LT(taken, limit) << #body;                     \
        }                                                         \
    } while (0)

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

std::string shown(const ParseOutcome& outcome) {
    return outcome.status == ParseStatus::Ok            ? "ok"
           : outcome.status == ParseStatus::OutOfMemory ? "out of memory"
                                                        : outcome.message();
}

// "ok", "out of memory" or the error text of parsing `bytes` in a child process whose address
// space may grow by `headroom` bytes at most; a crash of the child is reported as such. Under
// AddressSanitizer, whose shadow memory defeats such limits, the parse runs here, unlimited.
std::string parse_limited(std::string_view bytes, bool gzip, std::size_t headroom,
                          const ParseOptions& options = {}) {
    if (kSanitized) return shown(parse_bytes(bytes, gzip, options));
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + headroom;
        const std::string text =
            ::setrlimit(RLIMIT_AS, &limit) == 0 ? shown(parse_bytes(bytes, gzip, options)) : "setrlimit failed";
        const ssize_t written = ::write(fds[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) text = "killed by signal " + std::to_string(WTERMSIG(status));
    return text;
}

// A gzip member of `piece` repeated `times` times, compressed at level 9 one piece at a time.
std::string gzip_repeated(std::string piece, std::size_t times) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    char buffer[1 << 16];
    for (std::size_t i = 0; i <= times; ++i) {
        z.next_in = reinterpret_cast<Bytef*>(piece.data());
        z.avail_in = i == times ? 0 : static_cast<uInt>(piece.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, i == times ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

// A projected section (with `fields` orbital fields) whose first spin, k-point and band sets hold
// `kpoints`, `bands` and `ions` members; every later set is empty. `row` is the text of each row.
std::string projected_tree(std::size_t spins, std::size_t kpoints, std::size_t bands, std::size_t ions,
                           std::size_t fields, std::string_view row = "0") {
    std::string xml = "<calculation><projected><array>" + repeat("<field>p</field>", fields);
    xml += "<set><set><set><set>";
    xml += repeat("<r>" + std::string(row) + "</r>", ions) + "</set>";
    xml += repeat("<set></set>", bands - 1) + "</set>" + repeat("<set></set>", kpoints - 1) + "</set>";
    xml += repeat("<set></set>", spins - 1) + "</set></array></projected></calculation>";
    return xml;
}

ParseOptions with_projected() {
    ParseOptions options;
    options.parse_projected = true;
    return options;
}

TEST(HostileNesting, AMillionLevelsAreSkippedWithoutRecursion) {
    const std::string open = repeat("<a>", 1000000), deep = open + repeat("</a>", 1000000);
    const std::string cases[] = {
        "<extra>" + deep + "</extra>",
        "<calculation>" + deep + "</calculation>",
        "<calculation><energy>" + deep + "</energy></calculation>",
        "<incar><i name=\"X\">" + deep + "</i></incar>",
        "<calculation><eigenvalues><array><set><set><set>" + deep + "<r>1 2" + deep +
            "</r></set></set></set></array></eigenvalues></calculation>",
    };
    for (const std::string& xml : cases) EXPECT_FAST(EXPECT_EQ(parse_error(run_file(xml)), "ok"), 1.0);
    // Cut off a million levels down, the element ends with the input and contributes nothing.
    EXPECT_FAST(EXPECT_EQ(parse_error(run_file("<extra>" + open)), "ok"), 1.0);
    std::string cut = run_file("<calculation><deep>" + open);
    cut.resize(cut.rfind("</modeling>"));
    EXPECT_FAST(EXPECT_EQ(parse_error(cut), "ok"), 1.0);
}

TEST(HostileShapes, DimensionsBeyondTheDataFailWithoutAllocating) {
    // 200000^3 * 100 * 1000 overflows 64 bits; the data hold 100 rows of 1000 values.
    const std::string overflow = run_file(projected_tree(200000, 200000, 200000, 100, 1000));
    EXPECT_FAST(EXPECT_EQ(parse_error(overflow, with_projected()),
                          "Unexpected array shape: expected [200000, 200000, 200000, 100, 1000], got [100, 1000]"),
                2.0);
    // 4 GB of eigenvalues and 720 MB of projections implied by a few numbers.
    const std::string eigen = "<calculation><eigenvalues><array><set><set><set>" + repeat("<r>1 1</r>", 20000) +
                              "</set>" + repeat("<set></set>", 19999) +
                              "</set></set></array></eigenvalues></calculation>";
    const std::string projected = run_file(projected_tree(1, 1000, 1000, 10, 9));
    EXPECT_EQ(parse_limited(run_file(eigen), false, 256 * kMB),
              "Unexpected array shape: expected [1, 20000, 20000, 2], got [20000, 2]");
    EXPECT_EQ(parse_limited(projected, false, 256 * kMB, with_projected()),
              "Unexpected array shape: expected [1, 1000, 1000, 10, 9], got [10, 9]");
}

TEST(HostileShapes, RowsOfGrowingLengthFailQuickly) {
    std::string rows;
    for (std::size_t n = 1; n <= 2000; ++n) rows += "<r>" + repeat("1 ", n) + "</r>";
    const std::string document =
        run_file("<calculation><projected><array>" + repeat("<field>p</field>", 9) + "<set><set><set><set>" + rows +
                 "</set></set></set></set></array></projected></calculation>");
    EXPECT_FAST(
        EXPECT_EQ(parse_error(document, with_projected()), "Unexpected array shape: expected [9], got [2000]"), 1.0);
    const std::string growing_sets = "<calculation><eigenvalues><array><set><set><set><r>1 1</r></set><set>" +
                                     repeat("<r>1 1</r>", 3) +
                                     "</set></set></set></array></eigenvalues></calculation>";
    EXPECT_EQ(parse_error(run_file(growing_sets)), "Unexpected array shape: expected [1], got [3]");
}

// Every row, even one of a single value, is stored at the width the orbital fields give: 2000 rows
// under 100000 fields, 1.6 MB of input, promise 1.6 GB of numbers where 2000 are present.
TEST(HostileShapes, ManyFieldsTimesManyRowsStayBounded) {
    if (kSanitized) GTEST_SKIP() << "without an address-space limit this would take gigabytes";
    const std::string fields = repeat("<field>p</field>", 100000), rows = repeat("<r>0</r>", 2000);
    const std::string projected = run_file(projected_tree(1, 1, 1, 2000, 100000));
    std::string shown = parse_limited(projected, false, 512 * kMB, with_projected());
    EXPECT_TRUE(shown.starts_with("Unexpected array shape: ")) << shown;
    const std::string dos = run_file("<calculation><dos><partial><array><field>energy</field>" + fields +
                                     "<set><set><set>" + rows +
                                     "</set></set></set></array></partial></dos></calculation>");
    shown = parse_limited(dos, false, 512 * kMB);
    EXPECT_TRUE(shown.starts_with("Unexpected array shape: ")) << shown;
}

// Markup that the end of the input cuts short is the end of the input, not malformed markup: a
// killed run is cut anywhere, often in the middle of a tag.
TEST(HostileMarkup, MarkupCutShortEndsTheInput) {
    EXPECT_EQ(parse_error("<"), "Missing element <modeling>");
    std::string cut = run_file();
    cut.resize(cut.rfind("</modeling>"));
    for (const char* tail : {"<", "</", "<calculation", "<calculation x=\"1", "<?x", "<!-", "<!-- x", "<![CDATA[",
                             "<!DOCTY", "<!DOCTYPE x [", "</calculation"}) {
        const ParseOutcome outcome = parse_text(cut + tail);
        ASSERT_EQ(outcome.status, ParseStatus::Ok) << tail << ": " << outcome.message();
        EXPECT_FALSE(outcome.record->complete) << tail;
    }
    EXPECT_EQ(parse_error(run_file() + "<"), "ok");  // nothing after the root element is read
    for (const char* document : {"<modeling></", "<modeling><incar", "<modeling><?x", "<modeling><!-"}) {
        EXPECT_EQ(parse_error(document), "Missing element <generator>") << document;
    }
    // Complete markup that is no markup stays an error.
    EXPECT_EQ(parse_error("<modeling><!-x></modeling>"), "XML parse error: unknown markup after '<!' at byte 10");
}

TEST(HostileBytes, NulBytesInNamesAttributesAndText) {
    const ParseOutcome outcome =
        parse_text(run_file("<ex\0tra a=\"\0\">\0</ex\0tra><incar><i name=\"A\0B\">1</i></incar>"s, "Si\0 Si"s));
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->atom_info.atoms.front(), "Si\0"s);
    ASSERT_NE(outcome.record->incar.find("A\0B"s), nullptr);
    EXPECT_EQ(parse_error("\0"s + run_file()), "ok");
    EXPECT_EQ(parse_error(run_file("<calculation><varray name=\"forces\"><v>1\0 2 3</v></varray></calculation>"s)),
              "Failed to parse value '1\0' as f64: invalid float"s);
}

TEST(HostileBytes, InvalidUtf8DecodesAsWindows1252) {
    // A name, an overlong sequence in an attribute, an encoded surrogate in text, Latin-1 bytes.
    const std::string body = "<\xFF\xFE a='\xC0\xAF'>\xED\xA0\x80</\xFF\xFE><incar><i name=\"caf\xE9\">1</i></incar>";
    const ParseOutcome outcome = parse_text(run_file(body, "Si\x80 Si"));
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->atom_info.atoms.front(), "Si\xE2\x82\xAC");
    EXPECT_NE(outcome.record->incar.find("caf\xC3\xA9"), nullptr);
    EXPECT_EQ(parse_error(run_file() + "\xE2\x82"), "ok");  // a sequence cut off at the end
    const std::string kDecode = "Encoding error: Failed to decode vasprun.xml as ISO-8859-1";
    EXPECT_EQ(parse_error("\xEF\xBB\xBF" + run_file("", "Si\xFF Si")), kDecode);
    EXPECT_EQ(parse_error("\xFF\xFE<\0m\0\xFF"s), kDecode);   // UTF-16 with an odd byte count
    EXPECT_EQ(parse_error("\xFF\xFE<\0\x00\xDC"s), kDecode);  // UTF-16 with a lone low surrogate
}

// Input quoted in a message is cut after 200 bytes, at a UTF-8 boundary, with its length.
TEST(HostileMessages, QuotedInputIsBounded) {
    const std::string token = "x" + repeat("\u00E9", 1000000);  // 2 MB, a two-byte sequence at every odd offset
    const std::string error =
        parse_error(run_file("<calculation><varray name=\"forces\"><v>1 " + token + " 3</v></varray></calculation>"));
    EXPECT_EQ(error, "Failed to parse value 'x" + repeat("\u00E9", 99) + "\u2026 (2000001 bytes)' as f64: invalid float");
    EXPECT_EQ(quote_input(repeat("a", 200)), repeat("a", 200));
    EXPECT_EQ(quote_input(repeat("a", 201)), repeat("a", 200) + "\u2026 (201 bytes)");
}

TEST(HostileEscapes, BadCharacterReferencesFailWithTheirText) {
    for (const std::string reference :
         {"&#0;", "&#x0;", "&#xD800;", "&#xDFFF;", "&#x110000;", "&#99999999999;", "&#;", "&#x;", "&#-1;"}) {
        EXPECT_EQ(parse_error(run_file("", "Si" + reference)),
                  "Invalid character reference '" + reference + "' in text");
        testing::FragmentCursor fragment("<c>" + reference + "</c>");
        std::string_view text;
        const Status status = fragment.cursor().read_text(text);
        ASSERT_FALSE(status.ok()) << reference;
        EXPECT_EQ(status.error().kind(), ErrorKind::Other) << reference;
    }
    EXPECT_EQ(parse_error(run_file("", "Si&#" + repeat("9", 300) + ";")),
              "Invalid character reference '&#" + repeat("9", 199) + "\u2026 (301 bytes);' in text");
    EXPECT_EQ(parse_error(run_file("", "Si&#12")), "Unterminated escape sequence '&#12' in text");
    const ParseOutcome outcome = parse_text(run_file("", "S&#105;&#x10FFFF; Si"));
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->atom_info.atoms.front(), "Si\xF4\x8F\xBF\xBF");
}

TEST(HostileEscapes, DeclaredEntitiesAreNeverExpanded) {
    std::string laughs = "<!ENTITY e \"bo>om\"><!ENTITY x SYSTEM \"/etc/passwd\"><!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {  // &l9; would be a billion "lol"s
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
    }
    const auto with_doctype = [&](const std::string& body) {
        std::string document = run_file(body);
        return document.insert(document.find("<modeling>"), "<!DOCTYPE modeling [" + laughs + "]>");
    };
    for (const char* entity : {"e", "x", "l9"}) {
        EXPECT_EQ(parse_error(with_doctype("<incar><i name=\"X\">&" + std::string(entity) + ";</i></incar>")),
                  "Unrecognized escape sequence '&" + std::string(entity) + ";' in text");
    }
    const ParseOutcome outcome = parse_text(with_doctype("<incar><i name=\"&e;&l9;\">1</i></incar>"));
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_NE(outcome.record->incar.find("&e;&l9;"), nullptr);  // attribute values stay as written
    std::string unclosed = run_file();
    unclosed.insert(unclosed.find("<modeling>"), "<!DOCTYPE modeling [<!ENTITY e \"boom\">");
    EXPECT_EQ(parse_error(unclosed), "Missing element <modeling>");  // the input ends where the DOCTYPE starts
}

TEST(HostileGzip, ABombInflatesQuicklyOrFailsForMemory) {
    const std::string bomb = gzip_repeated(std::string(kMB, 'a'), kSanitized ? 30 : 300);
    EXPECT_LT(bomb.size(), kMB);
    EXPECT_FAST(EXPECT_EQ(parse_bytes(bomb, true, {}).message(), "Missing element <modeling>"), 5.0);
    // A trailer announcing more than DEFLATE can give, or less than it gives, is not trusted.
    std::string lying = gzip_repeated(std::string(kMB, 'a'), 30);
    lying.replace(lying.size() - 4, 4, "\xFF\xFF\xFF\xFF");
    EXPECT_EQ(parse_bytes(lying, true, {}).message(), "I/O error: corrupt gzip stream does not have a matching checksum");
    lying.replace(lying.size() - 4, 4, "\x10\0\0\0"s);
    EXPECT_EQ(parse_bytes(lying, true, {}).message(), "I/O error: corrupt gzip stream does not have a matching checksum");
    if (kSanitized) GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
    EXPECT_EQ(parse_limited(bomb, true, 128 * kMB), "out of memory");
}

// A bomb in a later member, whose size is known only once it is decoded, is held to the same bounds,
// and takes little more memory than its output; the last member's length, which sizes the first
// member's buffer, is not trusted beyond what DEFLATE can give.
TEST(HostileGzip, ABombInALaterMemberIsBoundedToo) {
    const std::string first = gzip_repeated("<!-- -->", 1);
    const std::string bomb = first + gzip_repeated(std::string(kMB, 'a'), kSanitized ? 30 : 300);
    EXPECT_FAST(EXPECT_EQ(parse_bytes(bomb, true, {}).message(), "Missing element <modeling>"), 5.0);
    EXPECT_EQ(parse_bytes(std::string_view(bomb).substr(0, bomb.size() / 2), true, {}).message(),
              "I/O error: unexpected end of file");
    std::string lying = first + gzip_repeated(std::string(kMB, 'a'), 1);
    lying.replace(lying.size() - 4, 4, "\xFF\xFF\xFF\xFF");
    const std::string mismatch = "I/O error: corrupt gzip stream does not have a matching checksum";
    EXPECT_EQ(parse_limited(lying, true, 64 * kMB), mismatch);
    if (kSanitized) GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
    EXPECT_EQ(parse_limited(bomb, true, 128 * kMB), "out of memory");
    EXPECT_EQ(parse_limited(bomb, true, 400 * kMB), "Missing element <modeling>");
}

// Each member costs time in proportion to itself alone: a million small members read quickly.
TEST(HostileGzip, ManyMembersReadInLinearTime) {
    const std::string member = gzip_repeated("<!-- -->", 1);
    const std::string many = repeat(member, kSanitized ? 100000 : 1000000) + repeat(gzip_repeated("", 1), 1000);
    EXPECT_FAST(EXPECT_EQ(parse_bytes(many, true, {}).message(), "Missing element <modeling>"), 2.0);
}

TEST(HostileGzip, TruncatedStreamsFailAsInputErrors) {
    std::string document = run_file();  // lengthened so that the cuts fall in header, body and trailer
    for (int i = 0; i < 50; ++i) {
        document.insert(document.rfind("</modeling>"), "<extra n=\"" + std::to_string(i * 7919) + "\"/>");
    }
    const std::string member = gzip_repeated(document, 1);
    ASSERT_EQ(parse_bytes(member, true, {}).status, ParseStatus::Ok);
    const std::size_t size = member.size();
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{9}, std::size_t{10},
                                  std::size_t{11}, size / 2, size - 9, size - 8, size - 5, size - 1}) {
        const ParseOutcome outcome = parse_bytes(std::string_view(member).substr(0, cut), true, {});
        EXPECT_EQ(outcome.status, ParseStatus::Failed) << cut;
        EXPECT_TRUE(outcome.message().starts_with("I/O error: ")) << cut << ": " << outcome.message();
    }
    const std::string bomb = gzip_repeated(std::string(kMB, 'a'), 30);
    EXPECT_EQ(parse_bytes(std::string_view(bomb).substr(0, bomb.size() / 2), true, {}).message(),
              "I/O error: unexpected end of file");
}

// 200 MB of one token in a single text node: kept as a string, in memory a small multiple of its size;
// 40 MB of one number: a list of floats.
TEST(HostileText, AHugeTextNodeParsesInProportionalMemory) {
    const std::size_t tokens = (kSanitized ? 20 : 200) * kMB / 4;
    const std::string huge = run_file("<incar><i name=\"X\">" + repeat("abc ", tokens) + "</i></incar>");
    const std::string numbers = run_file("<incar><i name=\"X\">" + repeat("1.5 ", tokens / 5) + "</i></incar>");
    const auto parse_within = [](const std::string& document, std::size_t factor) {
        return parse_limited(document, false, factor * document.size() + 64 * kMB);
    };
    std::string shown;
    EXPECT_FAST(shown = parse_within(huge, 3), 5.0);
    EXPECT_EQ(shown, "ok");
    EXPECT_FAST(shown = parse_within(numbers, 10), 3.0);
    EXPECT_EQ(shown, "ok");
}

// Every structure carries the atom list; a long symbol must not cost its length once per
// calculation (here 1 MB x 1000 calculations in a 1.3 MB file).
TEST(HostileText, ALongAtomSymbolIsNotCopiedPerStructure) {
    const std::string steps = repeat("<calculation>" + testing::structure_xml(1) + "</calculation>", 1000);
    const std::string document = run_file(steps, std::string(kMB, 'X'));
    EXPECT_EQ(parse_limited(document, false, 256 * kMB), "ok");
}

// A row tag that is not exactly `<r>` is read as the tokenizer reads it, by the rows read without
// events as by the events: `<r/r>` and `<r a="1">` are start tags of rows, `<rr>` is another
// element. Each is put in place of one row tag of the eigenvalues (first, inner and last rows of
// the first set, which gives the array its shape, and of later sets); the record must be the one of
// the same tag spelled `<r >`, `<rr >`..., which only the events read.
TEST(HostileRows, RowTagsThatAreNotPlainAreReadAsTheTokenizerReadsThem) {
    std::vector<std::filesystem::path> files = {std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml"};
    const std::filesystem::path corpus = std::filesystem::path(QUORVEL_CORPUS_DIR) / "cr-dos.xml";  // 116 bands
    if (std::filesystem::exists(corpus)) files.push_back(corpus);
    const std::pair<std::string, std::string> tags[] = {
        {"<r/r>", "<r >"}, {"<r a=\"1\">", "<r  a=\"1\">"}, {"<rr>", "<rr >"}, {"<r/r/>", "<r/r />"}};
    ParseOptions options;
    options.parse_projected = true;
    for (const auto& file : files) {
        Document document;
        ASSERT_TRUE(load_document_from_bytes(testing::read_file(file), false, document).ok()) << file;
        const std::string text(document.text());
        const std::size_t first = text.find("<r>", text.find("<eigenvalues>"));
        const std::size_t last = text.rfind("<r>", text.find("</eigenvalues>"));
        const std::size_t second_set = text.find("<r>", text.find("kpoint 2", first));
        for (const std::size_t at : {first, text.find("<r>", first + 1), text.find("<r>", first + 500), second_set,
                                     text.find("<r>", second_set + 1), last}) {
            for (const auto& [tag, spelled] : tags) {
                std::string odd = text, events = text;
                odd.replace(at, 3, tag);
                events.replace(at, 3, spelled);
                EXPECT_EQ(testing::walk_to_digest(odd, false, options, false),
                          testing::walk_to_digest(events, false, options, false))
                    << file.filename() << " at " << at << ": " << tag;
            }
        }
    }
}

}  // namespace
}  // namespace quorvel
