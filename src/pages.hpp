// Memory by the page: the blocks behind the growable arrays, which live on
// malloc or in address space they map themselves, and the system calls that
// give pages back or move them from one place to another.
//
// Growing a block of hundreds of megabytes with realloc moves its pages
// (mremap with glibc) instead of copying them, so the document text and the
// bulk arrays never need twice their size while they grow. A block in its
// own mapping can also take over pages from elsewhere: the pages of text
// already read become room for the numbers read from it, without the system
// having to clear and map fresh ones.
#pragma once

#include <cstddef>

namespace quorvel {

// Blocks of at least this size that are about to be filled whole (a
// document read or inflated) go into a mapping of their own, whose pages the
// parse can hand on to the arrays it fills.
inline constexpr std::size_t kOwnMappingMin = std::size_t{4} << 20;

// Memory that an array reads but does not own (another object's buffer):
// `release(owner)` is called when the array is done with it.
struct ForeignOwner {
    void (*release)(void* owner) = nullptr;
    void* owner = nullptr;
};

// The bytes of a growable array.
struct ArrayMemory {
    char* data = nullptr;
    std::size_t capacity = 0;  // usable bytes
    std::size_t mapped = 0;    // bytes of address space mapped by the block itself; 0 on malloc
    ForeignOwner foreign;      // set when the bytes belong to someone else
};

namespace memory {

std::size_t page_size() noexcept;  // 0 when unknown

// The whole pages inside [begin, end): where they start and how many bytes
// they take. False when there are none (or the page size is unknown).
bool whole_pages(const void* begin, const void* end, char*& first, std::size_t& bytes) noexcept;

// Gives the pages that lie wholly inside [begin, end) back to the system;
// they read as zeros afterwards. Pages shared with anything outside the
// range (the allocator's bookkeeping included) are kept.
void give_back(void* begin, void* end) noexcept;

// Maps the whole pages of [begin, end) at once, before they are written,
// instead of one fault per page while they are; a kernel that cannot says no.
void populate(void* begin, void* end) noexcept;

// Room for `bytes` in all, keeping the first `used` (foreign bytes are
// copied to malloc first); throws std::bad_alloc.
void reserve(ArrayMemory& block, std::size_t used, std::size_t bytes);

// Gives back the capacity beyond `used` (not 0); shrinks in place or moves
// once. Foreign bytes stay as they are.
void shrink_to(ArrayMemory& block, std::size_t used) noexcept;

void release(ArrayMemory& block) noexcept;

// An empty block into a mapping of its own (never foreign bytes), all of it usable, with room for
// `bytes`: its pages already mapped, or, without `populate`, mapped as they are first touched (they
// read as zeros until written); false, changing nothing, when refused.
bool enter_own_mapping(ArrayMemory& block, std::size_t bytes, bool populate = true) noexcept;

// Takes over the pages [pages, pages + bytes), a whole number of them, as
// room at the end of the block; their content becomes that of the bytes
// there, and they are left empty where they were. The first time, the block
// moves into `reserve_bytes` of address space of its own (at least twice
// what it holds, `used`, and the pages). False when that cannot be done:
// the pages then stay where they are, or, should the system refuse only what
// comes after their move, read as zeros there. A block of foreign bytes
// takes none.
bool adopt_pages(ArrayMemory& block, std::size_t used, void* pages, std::size_t bytes,
                 std::size_t reserve_bytes) noexcept;

}  // namespace memory

}  // namespace quorvel
