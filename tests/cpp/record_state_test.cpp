// A record written as its state and read back is the same record, whether the
// arrays are borrowed where they lie or copied; a changed state is refused.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "load.hpp"
#include "record_digest.hpp"
#include "record_state.hpp"
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

// Counts the releases of the arrays the record borrows.
void count_release(void* counter) { ++*static_cast<int*>(counter); }

void expect_round_trip(const std::string& bytes, bool gzip, const std::string& what) {
    ParseOptions options;
    options.parse_projected = true;
    const ParseOutcome parsed = parse_bytes(bytes, gzip, options);
    ASSERT_EQ(parsed.status, ParseStatus::Ok) << what << ": " << parsed.message();
    std::vector<std::string_view> views;
    const std::string header = write_state(*parsed.record, views);
    // Copies of the arrays, as another process would receive them.
    std::vector<std::string> copies(views.begin(), views.end());
    for (const bool borrow : {false, true}) {
        int released = 0;
        {
            std::vector<StateArray> arrays;
            for (const std::string& copy : copies) {
                arrays.push_back({copy, ForeignOwner{count_release, &released}, borrow});
            }
            RunRecord restored;
            ASSERT_TRUE(read_state(header, arrays, restored).ok()) << what;
            EXPECT_TRUE(RecordDigest(restored).bytes() == RecordDigest(*parsed.record).bytes()) << what;
        }
        EXPECT_EQ(released, static_cast<int>(copies.size())) << what;  // each exactly once
    }
    // One changed byte anywhere in the arrays is refused, and every owner is still released.
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (copies[i].empty()) continue;
        std::vector<std::string> changed = copies;
        changed[i][changed[i].size() / 2] ^= 0x10;
        int released = 0;
        std::vector<StateArray> arrays;
        for (const std::string& copy : changed) arrays.push_back({copy, ForeignOwner{count_release, &released}});
        RunRecord restored;
        const Status status = read_state(header, arrays, restored);
        ASSERT_FALSE(status.ok()) << what << " array " << i;
        EXPECT_EQ(released, static_cast<int>(copies.size()));
    }
}

TEST(RecordState, SampleAndCorpusRoundTrip) {
    expect_round_trip(read_file(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml"), false,
                      "sample");
    const std::filesystem::path corpus(QUORVEL_CORPUS_DIR);
    if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no " << corpus;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".xml") == std::string::npos || name == "not-xml.xml" || name == "truncated-in-parameters.xml")
            continue;
        expect_round_trip(read_file(entry.path()), has_gz_extension(name), name);
    }
}

}  // namespace
}  // namespace quorvel::testing
