// Every page-level call of the reader: the blocks of the growable arrays
// (malloc, or a mapping of their own), giving pages back, moving them, and
// handing on the pages of text the walk has read.
#include "pages.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

#include "consumed_text.hpp"

#if defined(__linux__) && !defined(MREMAP_DONTUNMAP)
#define MREMAP_DONTUNMAP 4  // Linux 5.7; older kernels refuse it with EINVAL
#endif

namespace quorvel {

namespace memory {

namespace {

constexpr std::size_t round_up(std::size_t bytes, std::size_t page) noexcept {
    return (bytes + page - 1) / page * page;
}

// Page-table work on gigabytes goes this much at a time: the system holds the
// process's memory map locked for each call, and every other thread that
// maps memory meanwhile (a thread starting, the interpreter allocating)
// waits for the whole call.
constexpr std::size_t kCallChunk = std::size_t{8} << 20;

template <class Call>
void in_chunks(char* first, std::size_t bytes, Call&& call) noexcept {
    for (std::size_t at = 0; at < bytes; at += kCallChunk) {
        call(first + at, bytes - at < kCallChunk ? bytes - at : kCallChunk);
    }
}

// `bytes` (a whole number of pages) of address space, not usable yet; null
// when refused.
char* reserve_address_space(std::size_t bytes) noexcept {
    void* at = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
}

// Makes reserved pages readable and writable.
bool commit(void* at, std::size_t bytes) noexcept {
    return bytes == 0 || ::mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0;
}

void unmap(void* at, std::size_t bytes) noexcept {
    in_chunks(static_cast<char*>(at), bytes, [](char* first, std::size_t length) { ::munmap(first, length); });
}


// The mapping [at, at + bytes), all of it usable and made in one piece,
// grown to `new_bytes`, wherever it fits; null when that cannot be done.
char* grow_mapping(void* at, std::size_t bytes, std::size_t new_bytes) noexcept {
#if defined(__linux__)
    void* grown = ::mremap(at, bytes, new_bytes, MREMAP_MAYMOVE);
    return grown == MAP_FAILED ? nullptr : static_cast<char*>(grown);
#else
    (void)at;
    (void)bytes;
    (void)new_bytes;
    return nullptr;
#endif
}

// Moves the pages at `from` to the reserved `to`, leaving empty pages
// behind. False when the system cannot; the pages at `from` are then
// untouched, and `to` may no longer be reserved.
bool move_pages(void* from, std::size_t bytes, void* to) noexcept {
#if defined(__linux__)
    // The pages keep their content at `to`; `from` stays mapped and reads as
    // zeros, as after MADV_DONTNEED.
    return ::mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) == to;
#else
    (void)from;
    (void)bytes;
    (void)to;
    return false;
#endif
}

// Back to malloc with room for `bytes`, keeping the first `used`; throws
// std::bad_alloc.
void leave_mapping(ArrayMemory& block, std::size_t used, std::size_t bytes) {
    void* plain = std::malloc(bytes);
    if (plain == nullptr) {
        throw std::bad_alloc();
    }
    if (used != 0) {
        std::memcpy(plain, block.data, used);
    }
    unmap(block.data, block.mapped);
    block = ArrayMemory{static_cast<char*>(plain), bytes, 0, {}};
}

// After a failed move into the reserve at [hole, hole + length): the mapping
// is given back around the hole, which may now belong to someone else, and
// the bytes go to malloc. When even that memory is lacking, the block keeps
// what it has mapped before the hole and takes no more pages.
void abandon_mapping(ArrayMemory& block, std::size_t used, std::size_t hole, std::size_t length) noexcept {
    unmap(block.data + hole + length, block.mapped - hole - length);
    block.mapped = hole;
    void* plain = std::malloc(block.capacity + 1);
    if (plain == nullptr) {
        return;
    }
    std::memcpy(plain, block.data, used);
    unmap(block.data, hole);
    block.data = static_cast<char*>(plain);
    block.mapped = 0;
}

// Into address space of its own, `reserve_bytes` and at least twice what
// is held and the pages, which come first: when the system cannot move
// them, nothing has been copied and the block stays as it was. Twice, so
// that a block that outgrew a mapping and comes back has room to double.
bool enter_mapping(ArrayMemory& block, std::size_t used, void* pages, std::size_t bytes,
                   std::size_t reserve_bytes) noexcept {
    const std::size_t page = page_size();
    const std::size_t held = round_up(used, page);
    if (held > std::numeric_limits<std::size_t>::max() / 4 - bytes) {
        return false;
    }
    std::size_t total = reserve_bytes > 2 * held + bytes ? reserve_bytes : 2 * held + bytes;
    if (total > std::numeric_limits<std::size_t>::max() - page) {
        return false;
    }
    total = round_up(total, page);
    char* const base = reserve_address_space(total);
    if (base == nullptr) {
        return false;
    }
    if (!move_pages(pages, bytes, base + held)) {
        // Around the target, which may no longer be ours.
        unmap(base, held);
        unmap(base + held + bytes, total - held - bytes);
        return false;
    }
    if (held != 0 && !commit(base, held)) {
        unmap(base, total);  // and the moved pages with it
        return false;
    }
    if (used != 0) {
        std::memcpy(base, block.data, used);
    }
    std::free(block.data);
    block = ArrayMemory{base, held + bytes, total, {}};
    return true;
}

}  // namespace

std::size_t page_size() noexcept {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

bool whole_pages(const void* begin, const void* end, char*& first, std::size_t& bytes) noexcept {
    const std::size_t page = page_size();
    if (page == 0) {
        return false;
    }
    const auto from = round_up(reinterpret_cast<std::uintptr_t>(begin), page);
    const auto to = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (to <= from) {
        return false;
    }
    first = reinterpret_cast<char*>(from);
    bytes = to - from;
    return true;
}

void give_back(void* begin, void* end) noexcept {
#if defined(MADV_DONTNEED)
    char* first = nullptr;
    std::size_t bytes = 0;
    if (whole_pages(begin, end, first, bytes)) {
        // Should the system refuse, the memory simply stays in use.
        in_chunks(first, bytes, [](char* at, std::size_t length) { ::madvise(at, length, MADV_DONTNEED); });
    }
#else
    (void)begin;
    (void)end;
#endif
}

void populate(void* begin, void* end) noexcept {
#if defined(MADV_POPULATE_WRITE)
    // A few pages fault in less time than the call takes, and a range this
    // small mostly lies in memory the allocator has mapped long ago.
    constexpr std::size_t kPopulateMin = std::size_t{64} << 10;
    char* first = nullptr;
    std::size_t bytes = 0;
    if (whole_pages(begin, end, first, bytes) && bytes >= kPopulateMin) {
        // An old kernel just says no.
        in_chunks(first, bytes, [](char* at, std::size_t length) { ::madvise(at, length, MADV_POPULATE_WRITE); });
    }
#else
    (void)begin;
    (void)end;
#endif
}

void reserve(ArrayMemory& block, std::size_t used, std::size_t bytes) {
    if (block.foreign.release != nullptr) {
        void* plain = std::malloc(bytes);
        if (plain == nullptr) {
            throw std::bad_alloc();
        }
        if (used != 0) {
            std::memcpy(plain, block.data, used);
        }
        release(block);
        block = ArrayMemory{static_cast<char*>(plain), bytes, 0, {}};
        return;
    }
    if (block.mapped != 0) {
        const std::size_t page = page_size();
        if (bytes > std::numeric_limits<std::size_t>::max() - page) {
            throw std::bad_alloc();
        }
        const std::size_t wanted = round_up(bytes, page);
        if (wanted <= block.mapped) {
            if (commit(block.data + block.capacity, wanted - block.capacity)) {
                block.capacity = wanted;
                return;
            }
        } else if (block.capacity == block.mapped) {
            // Wholly usable, as a document read into its own mapping is.
            if (char* grown = grow_mapping(block.data, block.mapped, wanted)) {
                block = ArrayMemory{grown, wanted, wanted, {}};
                return;
            }
        }
        leave_mapping(block, used, bytes);
        return;
    }
    void* grown = std::realloc(block.data, bytes);
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    block.data = static_cast<char*>(grown);
    block.capacity = bytes;
}

void shrink_to(ArrayMemory& block, std::size_t used) noexcept {
    if (block.foreign.release != nullptr) {
        return;
    }
    if (used == 0) {
        release(block);
        block = ArrayMemory{};
        return;
    }
    if (block.mapped != 0) {
        const std::size_t kept = round_up(used, page_size());
        unmap(block.data + kept, block.mapped - kept);
        block.mapped = kept;
        block.capacity = kept;
        return;
    }
    if (void* shrunk = std::realloc(block.data, used)) {
        block.data = static_cast<char*>(shrunk);
        block.capacity = used;
    }
}

void release(ArrayMemory& block) noexcept {
    if (block.foreign.release != nullptr) {
        block.foreign.release(block.foreign.owner);
    } else if (block.mapped != 0) {
        unmap(block.data, block.mapped);
    } else {
        std::free(block.data);
    }
}

bool enter_own_mapping(ArrayMemory& block, std::size_t bytes, bool populate_now) noexcept {
    const std::size_t page = page_size();
    if (block.mapped != 0 || block.foreign.release != nullptr || page == 0 || bytes > std::numeric_limits<std::size_t>::max() - page) {
        return false;
    }
    bytes = round_up(bytes, page);
    char* const base = reserve_address_space(bytes);
    if (base == nullptr) {
        return false;
    }
    if (!commit(base, bytes)) {
        unmap(base, bytes);
        return false;
    }
    if (populate_now) {
        populate(base, base + bytes);
    }
    std::free(block.data);
    block = ArrayMemory{base, bytes, bytes, {}};
    return true;
}

bool adopt_pages(ArrayMemory& block, std::size_t used, void* pages, std::size_t bytes,
                 std::size_t reserve_bytes) noexcept {
    const std::size_t page = page_size();
    if (page == 0 || bytes % page != 0 || reinterpret_cast<std::uintptr_t>(pages) % page != 0 ||
        block.foreign.release != nullptr) {
        return false;
    }
    if (block.mapped == 0) {
        return enter_mapping(block, used, pages, bytes, reserve_bytes);
    }
    if (bytes > block.mapped - block.capacity) {
        return false;
    }
    if (!move_pages(pages, bytes, block.data + block.capacity)) {
        // The reserved room there may be gone: from now on, malloc.
        abandon_mapping(block, used, block.capacity, bytes);
        return false;
    }
    block.capacity += bytes;
    return true;
}

}  // namespace memory

ConsumedText::ConsumedText(std::string_view text, bool movable, std::size_t step) noexcept
    : end_(text.data() + text.size()),
      released_(text.data()),
      next_pass_(step < text.size() ? text.data() + step : end_),
      step_(step),
      movable_(movable) {}

bool ConsumedText::pages_to_pass(const char* floor, const char* position, char*& pages,
                                 std::size_t& bytes) noexcept {
    const auto from = [&] { return floor > released_ ? floor : released_; };
    const bool found = position > from() && static_cast<std::size_t>(position - from()) >= step_ &&
                       memory::whole_pages(from(), position, pages, bytes);
    if (found) {
        released_ = pages + bytes;
    }
    const std::size_t left = static_cast<std::size_t>(end_ - from());
    next_pass_ = left > step_ ? from() + step_ : end_;
    return found;
}

std::size_t ConsumedText::reserve_for(const HeapArray<double>& rows, std::size_t bytes,
                                      const char* position) const noexcept {
    // Address space for about as many numbers as the rest of the document
    // can hold; all three are sizes of memory in use, far from overflowing.
    return rows.capacity() * sizeof(double) + bytes + 2 * static_cast<std::size_t>(end_ - position);
}

}  // namespace quorvel
