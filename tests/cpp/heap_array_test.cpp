// HeapArray: growth keeps the values, and pages released at the front leave
// the rest of the buffer, and the allocator, intact.
#include <algorithm>
#include <cstdio>
#include <cstdint>

#include <unistd.h>

#include <gtest/gtest.h>

#include "heap_array.hpp"

namespace quorvel {
namespace {

// The first whole page inside a text, away from the allocator's bookkeeping.
char* whole_pages_of(HeapArray<char>& text) {
    char* first = nullptr;
    std::size_t bytes = 0;
    EXPECT_TRUE(memory::whole_pages(text.data(), text.data() + text.size(), first, bytes));
    return first;
}

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

// Given back piece by piece, as a buffer that is read in order is: what lies
// outside each piece keeps its values, on the heap and in a mapping alike.
TEST(HeapArray, ReleaseBetweenKeepsWhatIsOutside) {
    for (const std::size_t count : {std::size_t{3000}, std::size_t{1} << 22}) {
        HeapArray<double> values;
        double* row = values.grow_by(count);
        for (std::size_t i = 0; i < count; ++i) row[i] = static_cast<double>(i) + 0.5;
        const std::size_t step = count / 7 + 1;
        for (std::size_t from = 0; from < count; from += step) {
            values.release_between(from, from + step / 2);  // the other half of each step stays
            values.release_between(from + step, from);      // empty: nothing to do
        }
        values.release_between(count + 1, count + 9);       // past the end: nothing to do
        for (std::size_t from = 0; from < count; from += step) {
            for (std::size_t i = from + step / 2; i < std::min(count, from + step); ++i) {
                ASSERT_EQ(values[i], static_cast<double>(i) + 0.5) << count << " " << i;
            }
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

// Zeros of a large array cost nothing until written: an array filled with
// zeros around a few values read (later sets shorter than the first) holds
// the memory of those values only.
TEST(HeapArray, LargeZerosAreFreshPages) {
    for (const std::size_t count : {std::size_t{0}, std::size_t{100}, std::size_t{1} << 29}) {
        const long before = resident_pages();
        HeapArray<double> values;
        values.assign_zeros(count);
        ASSERT_EQ(values.size(), count);
        if (count == 0) continue;
        for (std::size_t i = 0; i < count; i += count / 7 + 1) ASSERT_EQ(values[i], 0.0) << i;
        values[count - 1] = 2.5;
        EXPECT_EQ(values[count - 1], 2.5);
        EXPECT_EQ(values[count - 2], 0.0);
        if (count > kOwnMappingMin && before != 0) {
            // 4 GiB of zeros: a few pages of them touched.
            EXPECT_LT((resident_pages() - before) * ::sysconf(_SC_PAGESIZE), 64L << 20);
        }
    }
}

// Pages of a text taken over as room for numbers: what was written before
// stays, the pages arrive with their content, the text reads as zeros where
// they left, and the array grows, shrinks and moves as usual afterwards.
TEST(HeapArray, AdoptPagesOfAnotherBuffer) {
    const std::size_t page = memory::page_size();
    ASSERT_GT(page, 0u);
    HeapArray<char> text;
    const std::size_t text_size = page * 64;
    std::memset(text.grow_by(text_size), 't', text_size);
    char* const first_page = whole_pages_of(text);

    HeapArray<double> values;
    for (int i = 0; i < 100; ++i) values.push_back(i + 0.25);
    ASSERT_TRUE(values.adopt_pages(first_page, page * 4, page * 16));
    EXPECT_GE(values.capacity(), 100 + page * 4 / sizeof(double));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(values[i], i + 0.25);
    for (std::size_t i = 0; i < page * 4; ++i) ASSERT_EQ(first_page[i], '\0') << i;
    EXPECT_EQ(first_page[page * 4], 't');
    // The adopted room holds the text until it is written.
    const std::size_t room_start = values.capacity() - page * 4 / sizeof(double);
    EXPECT_EQ(reinterpret_cast<const char*>(values.data() + room_start)[0], 't');

    // More pages, then growth past the reserve: back to plain memory, values kept.
    ASSERT_TRUE(values.adopt_pages(first_page + page * 8, page * 2, 0));
    while (values.size() < page * 40 / sizeof(double)) values.push_back(static_cast<double>(values.size()));
    for (std::size_t i = 100; i < values.size(); ++i) ASSERT_EQ(values[i], static_cast<double>(i)) << i;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(values[i], i + 0.25);
    // Taken over again after that, with room to double.
    ASSERT_TRUE(values.adopt_pages(first_page + page * 12, page, 0));
    values.shrink_to_fit();
    HeapArray<double> moved = std::move(values);
    EXPECT_EQ(moved[7], 7.25);
    EXPECT_EQ(moved[moved.size() - 1], static_cast<double>(moved.size() - 1));
    text.push_back('x');  // the text's own block is still whole
}

TEST(HeapArray, AdoptPagesRefusesWhatIsNotWholePages) {
    const std::size_t page = memory::page_size();
    HeapArray<char> text;
    std::memset(text.grow_by(page * 8), 't', page * 8);
    char* const first_page = whole_pages_of(text);
    HeapArray<double> values;
    values.push_back(1.0);
    EXPECT_FALSE(values.adopt_pages(first_page + 8, page, 0));
    EXPECT_FALSE(values.adopt_pages(first_page, page / 2, 0));
    EXPECT_EQ(first_page[8], 't');
    EXPECT_EQ(values[0], 1.0);
}

// A move the system refuses (here: of a page below the lowest address
// anything may ever be mapped at) leaves the values in plain memory, where
// they keep growing.
TEST(HeapArray, RefusedMoveFallsBackToPlainMemory) {
    const std::size_t page = memory::page_size();
    void* const never_mapped = reinterpret_cast<void*>(page);
    HeapArray<char> text;
    std::memset(text.grow_by(page * 8), 't', page * 8);
    char* const first_page = whole_pages_of(text);

    // Refused the first time: nothing was copied, the array is as it was.
    HeapArray<double> plain;
    plain.push_back(3.0);
    EXPECT_FALSE(plain.adopt_pages(never_mapped, page, page * 64));
    EXPECT_FALSE(plain.owns_mapping());
    EXPECT_EQ(plain[0], 3.0);

    // Refused later: the values leave the mapping for plain memory.
    HeapArray<double> values;
    for (int i = 0; i < 1000; ++i) values.push_back(i);
    ASSERT_TRUE(values.adopt_pages(first_page, page, page * 64));
    EXPECT_TRUE(values.owns_mapping());
    EXPECT_FALSE(values.adopt_pages(never_mapped, page, 0));
    EXPECT_FALSE(values.owns_mapping());
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(values[i], i);
    for (int i = 1000; i < 100000; ++i) values.push_back(i);
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(values[i], i);
}

}  // namespace
}  // namespace quorvel
