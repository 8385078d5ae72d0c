// HeapArray: growth keeps the values, and pages released at the front leave
// the rest of the buffer, and the allocator, intact.
#include <cstdio>
#include <cstdint>

#include <unistd.h>

#include <gtest/gtest.h>

#include "buffer.hpp"

namespace quorvel {
namespace {

long resident_pages() {
    long size = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident;
}

TEST(HeapArray, GrowthKeepsValues) {
    HeapArray<std::uint64_t> values;
    for (std::uint64_t i = 0; i < 100000; ++i) values.push_back(i * 3);
    ASSERT_EQ(values.size(), 100000u);
    for (std::uint64_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i * 3) << i;
    values.shrink_to_fit();
    EXPECT_EQ(values.capacity(), values.size());
    EXPECT_EQ(values[99999], 99999u * 3);
}

// Buffers of every alignment and size, small ones from the allocator's heap
// and large ones mapped on their own: what follows the released count keeps
// its values, and the neighbouring allocations survive being written and freed.
TEST(HeapArray, ReleaseFrontKeepsTheRest) {
    for (const std::size_t count : {std::size_t{10}, std::size_t{3000}, std::size_t{70000}, std::size_t{1} << 22}) {
        for (const std::size_t released : {std::size_t{0}, std::size_t{1}, count / 3, count - 1, count, count + 5}) {
            HeapArray<double> before(17), values, after(17);
            for (std::size_t i = 0; i < 17; ++i) before[i] = after[i] = -1.0;
            double* row = values.grow_by(count);
            for (std::size_t i = 0; i < count; ++i) row[i] = static_cast<double>(i) + 0.5;
            values.release_front(released);
            for (std::size_t i = released; i < count; ++i) {
                ASSERT_EQ(values[i], static_cast<double>(i) + 0.5) << count << " " << released << " " << i;
            }
            for (std::size_t i = 0; i < 17; ++i) {
                ASSERT_EQ(before[i], -1.0);
                ASSERT_EQ(after[i], -1.0);
            }
            values.reserve(count * 2);  // the allocator reads its header of the block when it moves it
            values.push_back(7.0);
            EXPECT_EQ(values[count], 7.0);
        }
    }
}

TEST(HeapArray, ReleaseFrontReturnsMemory) {
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0 || resident_pages() == 0) GTEST_SKIP() << "needs /proc/self/statm";
    constexpr std::size_t kCount = std::size_t{64} << 17;  // 64 MiB of doubles
    HeapArray<double> values;
    double* data = values.grow_by(kCount);
    for (std::size_t i = 0; i < kCount; ++i) data[i] = 1.0;
    const long filled = resident_pages();
    values.release_front(kCount / 2);
    const long released = filled - resident_pages();
    EXPECT_GT(released * page, 30L << 20) << "pages given back: " << released;
    EXPECT_EQ(values[kCount / 2], 1.0);
    EXPECT_EQ(values[kCount - 1], 1.0);
}

}  // namespace
}  // namespace quorvel
