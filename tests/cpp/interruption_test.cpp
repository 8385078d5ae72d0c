// A parse that its caller stops: on a thread of its own for large inputs,
// which the caller stops waiting for within a few hundredths of a second,
// whatever the parse is doing; in place for small files.
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "interruptible_parse.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::Asker;
using testing::kSanitized;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The sample with `mebibytes` of a comment in it, one gzip member: it
// inflates in one call that nothing can stop.
fs::path inflating_sample(std::size_t mebibytes) {
    const std::string sample = testing::read_file(fs::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml");
    const std::size_t at = sample.find("<calculation>");
    const std::string text = sample.substr(0, at) + "<!--" + std::string(mebibytes << 20, 'a') + "-->" + sample.substr(at);
    const fs::path path = fs::path(::testing::TempDir()) / ("quorvel_" + std::to_string(::getpid()) + "_member.xml.gz");
    const std::string member = testing::gzip(text, 1);
    std::ofstream(path, std::ios::binary).write(member.data(), static_cast<std::streamsize>(member.size()));
    return path;
}

TEST(InterruptibleParse, TheCallerStopsWaitingAtOnce) {
    // Large enough that the parse is still inflating when it is first asked,
    // also in the sanitized build, whose inflate (an uninstrumented library)
    // is as fast as the plain one.
    const fs::path path = inflating_sample(256);
    const ParseOutcome whole = parse(path.string(), ParseOptions{});
    ASSERT_EQ(whole.status, ParseStatus::Ok) << whole.message();
    for (const int after : {1, 2, 5}) {
        Asker asker{{}, after};
        const auto start = std::chrono::steady_clock::now();
        const ParseOutcome stopped = parse_interruptibly(path.string(), ParseOptions{}, asker.interruption());
        const double taken = seconds_since(start);
        EXPECT_EQ(stopped.status, ParseStatus::Interrupted) << after;
        EXPECT_FALSE(stopped.record.has_value());
        // Asked every 20 ms: the stop takes that much per question, not the inflating.
        if (!kSanitized) {
            EXPECT_LT(taken, 0.02 * after + 0.1) << after;
        }
    }
    // Never asked to stop: the parse in its own thread gives what the parse in place gives.
    Asker never{{}, 1 << 30};
    const ParseOutcome apart = parse_interruptibly(path.string(), ParseOptions{}, never.interruption());
    ASSERT_EQ(apart.status, ParseStatus::Ok) << apart.message();
    EXPECT_EQ(apart.record->ionic_steps.size(), whole.record->ionic_steps.size());
    EXPECT_EQ(apart.record->complete, whole.record->complete);
    fs::remove(path);
}

TEST(InterruptibleParse, SmallFilesAndErrorsAreParsedInPlace) {
    Asker never{{}, 1 << 30};
    const std::string sample = (fs::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml").string();
    const ParseOutcome small = parse_interruptibly(sample, ParseOptions{}, never.interruption());
    ASSERT_EQ(small.status, ParseStatus::Ok) << small.message();
    EXPECT_EQ(small.record->ionic_steps.size(), parse(sample, ParseOptions{}).record->ionic_steps.size());
    for (const char* path : {"/no/such/file.xml", "/no/such/file.xml.gz", "a\0b"}) {
        EXPECT_EQ(parse_interruptibly(std::string(path, std::strlen(path) + (path[0] == 'a' ? 2 : 0)), ParseOptions{},
                                      never.interruption())
                      .message()
                      .rfind("I/O error: ", 0),
                  0u)
            << path;
    }
}

}  // namespace
}  // namespace quorvel
