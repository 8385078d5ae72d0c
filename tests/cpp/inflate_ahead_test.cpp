// Large gzip files inflated on a thread of their own while the parse reads
// them: the same records, the same errors with the same texts, as inflated
// in one go before the parse, wherever the pieces of the inflate end.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "inflate_ahead.hpp"
#include "interruptible_parse.hpp"
#include "record_digest.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::Asker;
using testing::gzip;
using testing::kSanitized;
using testing::RecordDigest;

// QUORVEL_INFLATE_AHEAD and the piece size, for the life of the object.
class AheadSetting {
public:
    explicit AheadSetting(const char* value, std::size_t piece = 0) {
        ::setenv("QUORVEL_INFLATE_AHEAD", value, 1);
        InflateAhead::set_piece_size(piece);
    }
    ~AheadSetting() {
        ::unsetenv("QUORVEL_INFLATE_AHEAD");
        InflateAhead::set_piece_size(0);
    }
};

fs::path temp_path(const std::string& name) {
    return fs::path(::testing::TempDir()) / ("quorvel_" + std::to_string(::getpid()) + "_" + name);
}

fs::path write_file(const std::string& name, const std::string& bytes) {
    const fs::path path = temp_path(name);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// What a parse gave, whole: its status, its error text and its record.
std::string outcome_of(const ParseOutcome& outcome) {
    std::string text = std::to_string(static_cast<int>(outcome.status)) + " " + outcome.message();
    if (outcome.record) {
        text += " " + RecordDigest(*outcome.record).bytes();
    }
    return text;
}

ParseOptions all_sections() {
    ParseOptions options;
    options.parse_projected = true;
    return options;
}

// The outcome of parsing `path` inflated ahead (in pieces of `piece` bytes)
// and inflated in one go must be the same.
void expect_same_both_ways(const fs::path& path, const ParseOptions& options, std::size_t piece = 0) {
    std::string one_go;
    {
        const AheadSetting setting("0");
        one_go = outcome_of(parse(path.string(), options));
    }
    const AheadSetting setting("1", piece);
    EXPECT_EQ(outcome_of(parse(path.string(), options)), one_go) << path << " in pieces of " << piece;
}

std::string sample_text() { return testing::read_file(fs::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml"); }

// The sample with its calculations `times` over and `shift` bytes of
// comment before them: a megabyte or more, whose pieces end at other places
// for every shift.
std::string long_sample(int times, std::size_t shift) {
    const std::string sample = sample_text();
    const std::size_t first = sample.find("<calculation>");
    const std::size_t last = sample.rfind("</calculation>") + 14;
    std::string text = sample.substr(0, first) + "<!--" + std::string(shift, '-') + "x-->";
    for (int i = 0; i < times; ++i) {
        text += sample.substr(first, last - first);
    }
    return text + sample.substr(last);
}

TEST(InflateAhead, TheSameRecordsWhereverThePiecesEnd) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    const std::vector<std::size_t> pieces = kSanitized ? std::vector<std::size_t>{4093}
                                                       : std::vector<std::size_t>{97, 4093, 65536, 0};
    for (const std::size_t shift : {0, 1, 5, 13, 40}) {
        const fs::path path = write_file("long.xml.gz", gzip(long_sample(kSanitized ? 2 : 4, shift)));
        for (const std::size_t piece : pieces) {
            expect_same_both_ways(path, all_sections(), piece);
            expect_same_both_ways(path, ParseOptions{}, piece);
        }
        fs::remove(path);
    }
}

TEST(InflateAhead, TheCorpusReadsTheSame) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    const fs::path corpus(QUORVEL_CORPUS_DIR);
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "no " << corpus;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".gz")) {
            expect_same_both_ways(entry.path(), all_sections(), 4093);
        } else if (name.ends_with(".xml")) {
            const fs::path path = write_file(name + ".gz", gzip(testing::read_file(entry.path())));
            expect_same_both_ways(path, all_sections(), 4093);
            expect_same_both_ways(path, ParseOptions{}, 4093);
            fs::remove(path);
        }
    }
}

// Bytes of the sample's gzip file changed in every way the framing can go
// wrong, and two ways it can be right but out of the common run.
std::vector<std::pair<std::string, std::string>> damaged_gzip_files() {
    const std::string text = long_sample(2, 0);
    const std::string good = gzip(text);
    std::vector<std::pair<std::string, std::string>> files;
    auto add = [&](const std::string& name, std::string bytes) { files.emplace_back(name, std::move(bytes)); };
    std::string crc = good;
    crc[crc.size() - 8] = static_cast<char>(crc[crc.size() - 8] ^ 1);
    add("crc", crc);
    std::string length = good;
    length[length.size() - 4] = static_cast<char>(length[length.size() - 4] ^ 1);
    add("length", length);
    std::string corrupt = good;
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
    add("corrupt", corrupt);
    add("garbage", good + "garbage");
    add("zeros", good + std::string(100, '\0'));
    for (const std::size_t cut : {good.size() - 1, good.size() - 8, good.size() * 3 / 4, good.size() / 3}) {
        add("cut" + std::to_string(cut), good.substr(0, cut));
    }
    const std::size_t half = text.size() / 2;
    add("two members", gzip(text.substr(0, half)) + gzip(text.substr(half)));
    add("two members, the second short", gzip(text.substr(0, text.size() - 100)) + gzip(text.substr(text.size() - 100)));
    add("member then garbage member", good + gzip("x").substr(0, 12));
    return files;
}

TEST(InflateAhead, ErrorsAndTheirTextsAreThoseOfTheOneThreadWay) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    for (const auto& [name, bytes] : damaged_gzip_files()) {
        const fs::path path = write_file("damaged.xml.gz", bytes);
        SCOPED_TRACE(name);
        expect_same_both_ways(path, all_sections(), 4093);
        expect_same_both_ways(path, ParseOptions{}, 0);
        fs::remove(path);
    }
}

TEST(InflateAhead, ACutFileReadsLikeTheSameCutPlainFile) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    const std::string text = long_sample(2, 3);
    for (const std::size_t cut : {text.size() - 5, text.size() * 2 / 3, text.size() / 2 + 17, text.size() / 5}) {
        const fs::path plain = write_file("cut.xml", text.substr(0, cut));
        const fs::path packed = write_file("cut.xml.gz", gzip(text.substr(0, cut)));
        const std::string expected = outcome_of(parse(plain.string(), all_sections()));
        const AheadSetting setting("1", 4093);
        EXPECT_EQ(outcome_of(parse(packed.string(), all_sections())), expected) << cut;
        fs::remove(plain);
        fs::remove(packed);
    }
}

TEST(InflateAhead, EncodingsAndDeclarationsAsInOneGo) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    std::string text = long_sample(2, 0);
    const std::size_t close = text.find("?>");
    ASSERT_NE(close, std::string::npos);
    const std::string latin1_declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
    const std::string utf8_declared_latin1 = latin1_declaration + text.substr(close + 2);
    std::string latin1 = utf8_declared_latin1;
    latin1.insert(latin1.find("<generator>"), "<!-- caf\xE9 -->");
    const std::string bom = "\xEF\xBB\xBF" + text;
    const std::string long_declaration = "<?xml version=\"1.0\"" + std::string(700000, ' ') + "?>" + text.substr(close + 2);
    for (const auto& [name, variant] : {std::pair<std::string, std::string>("declared latin-1", utf8_declared_latin1),
                                       {"latin-1", latin1},
                                       {"byte-order mark", bom},
                                       {"long declaration", long_declaration}}) {
        const fs::path path = write_file("encoded.xml.gz", gzip(variant));
        SCOPED_TRACE(name);
        expect_same_both_ways(path, all_sections(), 4093);
        expect_same_both_ways(path, all_sections(), 0);
        fs::remove(path);
    }
}

// The sample with `mebibytes` of a comment in it, which the parse reads
// while it is still being inflated.
std::string commented_sample(std::size_t mebibytes) {
    const std::string sample = sample_text();
    const std::size_t at = sample.find("<calculation>");
    return sample.substr(0, at) + "<!--" + std::string(mebibytes << 20, 'a') + "-->" + sample.substr(at);
}

TEST(InflateAhead, ALongCommentIsReadInTimeLikeItsLength) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    const fs::path path = write_file("comment.xml.gz", gzip(commented_sample(kSanitized ? 16 : 64), 1));
    const AheadSetting setting("1", 4096);
    // Read again from its start at every piece, the comment would take
    // minutes.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parse(path.string(), ParseOptions{}).status, ParseStatus::Ok);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    fs::remove(path);
}

TEST(InflateAhead, AParseStopsWhileTheInflateRunsAhead) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    // Rows, read a few megabytes between two questions, while the inflate
    // goes on: the parse stops at its next look and the inflate with it.
    const fs::path path = write_file("stopped.xml.gz", gzip(long_sample(40, 0), 1));
    const fs::path long_path = write_file("stopped-long.xml.gz", gzip(commented_sample(kSanitized ? 64 : 256), 1));
    const AheadSetting setting("1");
    const ParseOutcome whole = parse(path.string(), all_sections());
    ASSERT_EQ(whole.status, ParseStatus::Ok) << whole.message();
    for (const int after : {1, 2}) {
        Asker asker{{}, after};
        const ParseOutcome stopped = parse(path.string(), all_sections(), asker.interruption());
        EXPECT_EQ(stopped.status, ParseStatus::Interrupted) << after;
        EXPECT_FALSE(stopped.record.has_value());
        // The caller stops waiting within a question's time, however long
        // the parse then takes to stop.
        Asker caller{{}, after};
        const auto start = std::chrono::steady_clock::now();
        const ParseOutcome apart = parse_interruptibly(long_path.string(), all_sections(), caller.interruption());
        const double taken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(apart.status, ParseStatus::Interrupted) << after;
        if (!kSanitized) {
            EXPECT_LT(taken, 0.02 * after + 0.1) << after;
        }
    }
    Asker never{{}, 1 << 30};
    const ParseOutcome apart = parse_interruptibly(path.string(), all_sections(), never.interruption());
    EXPECT_EQ(outcome_of(apart), outcome_of(whole));
    fs::remove(path);
    fs::remove(long_path);
}

TEST(InflateAhead, ManyParsesAtOnce) {
    if (!InflateAhead::available()) GTEST_SKIP() << "built without ISA-L";
    // Each parse with a thread of its own inflating: under the sanitizers,
    // the hand-over between the two is checked for races on the way.
    const fs::path path = write_file("together.xml.gz", gzip(long_sample(2, 0)));
    const AheadSetting setting("1", 4093);
    const std::string expected = outcome_of(parse(path.string(), all_sections()));
    std::vector<std::string> got(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] { got[i] = outcome_of(parse(path.string(), all_sections())); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& one : got) {
        EXPECT_EQ(one, expected);
    }
    fs::remove(path);
}

}  // namespace
}  // namespace quorvel
