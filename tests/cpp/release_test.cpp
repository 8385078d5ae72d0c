// Giving back the text already read changes nothing the parse produces:
// every document parses to the same record, or fails with the same error,
// whether its pages are kept or given back whenever a page boundary is passed.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "load.hpp"
#include "record_digest.hpp"
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

void expect_same_either_way(const std::string& bytes, bool gzip, const std::string& what) {
    for (const bool projected : {false, true}) {
        ParseOptions options;
        options.parse_projected = projected;
        const std::string kept = walk_to_digest(bytes, gzip, options, false);
        const std::string released = walk_to_digest(bytes, gzip, options, true);
        ASSERT_EQ(kept.size(), released.size()) << what << (projected ? " (projected)" : "");
        ASSERT_TRUE(kept == released) << what << (projected ? " (projected)" : "") << ": "
                                      << kept.substr(0, 200) << " | " << released.substr(0, 200);
    }
}

TEST(ReleaseConsumed, SampleParsesTheSame) {
    const std::string sample = read_file(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml");
    ASSERT_GT(sample.size(), 100000u);
    expect_same_either_way(sample, false, "sample");
    // Cut anywhere, the parse gives what it read or the same error.
    for (std::size_t cut = 1000; cut < sample.size(); cut += sample.size() / 37) {
        expect_same_either_way(sample.substr(0, cut), false, "sample cut at " + std::to_string(cut));
    }
}

std::size_t count_lines(const char* path) {
    std::ifstream in(path);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

// Pages taken over by the arrays go away with them: parsing again and again
// leaves neither mappings nor resident memory behind.
TEST(ReleaseConsumed, RepeatedParsesLeaveNoMappings) {
    if (count_lines("/proc/self/maps") == 0) GTEST_SKIP() << "needs /proc/self/maps";
    const std::string sample = read_file(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml");
    ParseOptions options;
    options.parse_projected = true;
    const auto parse_many = [&](int times) {
        for (int i = 0; i < times; ++i) {
            Document document;
            ASSERT_TRUE(load_document_from_bytes(sample, false, document).ok());
            RunRecord record;
            ConsumedText consumed(document.text(), true, 1);
            ASSERT_TRUE(walk_document(document.text(), options, record, &consumed).ok());
            ASSERT_TRUE(record.projected.has_value());
        }
    };
    parse_many(10);
    const std::size_t maps = count_lines("/proc/self/maps");
    parse_many(200);
    EXPECT_LE(count_lines("/proc/self/maps"), maps + 8);
}

TEST(ReleaseConsumed, CorpusParsesTheSame) {
    const std::filesystem::path corpus(QUORVEL_CORPUS_DIR);
    if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no " << corpus;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".xml") == std::string::npos) continue;
        expect_same_either_way(read_file(entry.path()), has_gz_extension(name), name);
    }
}

TEST(ReleaseConsumed, CursorGivesBackOnlyTheWholePagesBetweenFloorAndPosition) {
    const auto page = memory::page_size();
    std::string element = "<a>" + std::string(100, 'x') + "</a>\n";
    HeapArray<char> text;
    while (text.size() < page * 8) text.append(element.data(), element.size());
    const std::string original(text.data(), text.size());
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release);
        std::memcpy(text.data(), original.data(), original.size());
        ConsumedText consumed(std::string_view(text.data(), text.size()), release, 1);
        XmlCursor cursor(std::string_view(text.data(), text.size()), release ? &consumed : nullptr);
        XmlEvent event;
        while (cursor.position() < text.data() + page * 5 + 77) ASSERT_TRUE(cursor.next_event(event).ok());
        const char* const floor = text.data() + page + 5;
        ASSERT_TRUE(cursor.checkpoint(floor).ok());
        const auto page_of = [&](const char* p) { return reinterpret_cast<std::uintptr_t>(p) / page; };
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char* p = text.data() + i;
            const bool freed = release && p >= floor && page_of(p) > page_of(floor - 1) &&
                               page_of(p) < page_of(cursor.position());
            ASSERT_EQ(text[i], freed ? '\0' : original[i]) << i;
        }
        // The rest still reads as before.
        std::size_t elements = 0;
        for (;;) {
            ASSERT_TRUE(cursor.next_event(event).ok());
            if (event.kind == EventKind::Eof) break;
            elements += event.kind == EventKind::Start;
        }
        EXPECT_GT(elements, 10u);
    }
}

// Text pages are offered for taking over until the first refusal; after
// that they are only given back.
TEST(ReleaseConsumed, PagesAreOfferedUntilRefused) {
    const auto page = memory::page_size();
    const std::string element = "<a>" + std::string(100, 'x') + "</a>\n";
    HeapArray<char> text;
    while (text.size() < page * 16) text.append(element.data(), element.size());
    ConsumedText consumed(std::string_view(text.data(), text.size()), true, 1);
    int offers = 0;
    const auto refuse_second = [&](char*, std::size_t) { return ++offers == 1; };
    for (const char* position = text.data(); position <= text.data() + text.size(); position += 100) {
        consumed.pass(text.data(), position, refuse_second);
    }
    EXPECT_EQ(offers, 2);
}

}  // namespace
}  // namespace quorvel::testing
