// A growable array of trivially copyable values on malloc/realloc.
//
// std::vector would do, but growing a buffer of hundreds of megabytes with it
// costs a copy and, for a moment, the old and the new block side by side.
// realloc of a large block moves pages instead (mremap with glibc), so the
// document text and the bulk arrays never need twice their size while they
// grow. New elements are not zero-filled unless asked for.
//
// An array can also take over memory pages from elsewhere (adopt_pages): it
// then lives in address space it maps itself, and the pages of text already
// read become room for the numbers read from it, without the system having
// to clear and map fresh ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvel {

// Gives the memory pages that lie wholly inside [begin, end) back to the
// system; they read as zeros afterwards. Pages shared with anything outside
// the range (the allocator's own bookkeeping included) are kept.
void release_pages(void* begin, void* end) noexcept;

// Address space mapped by an array itself: reserved without access, then
// made usable, or filled with pages moved from elsewhere.
namespace mapped {

std::size_t page_size() noexcept;  // 0 when unknown
// `bytes` rounded up to whole pages of `page` bytes.
constexpr std::size_t round_up(std::size_t bytes, std::size_t page) noexcept {
    return (bytes + page - 1) / page * page;
}
// The whole pages inside [begin, end): where they start and how many bytes
// they take. False when there are none (or the page size is unknown).
bool whole_pages(const void* begin, const void* end, char*& first, std::size_t& bytes) noexcept;
// `bytes` (a whole number of pages) of address space; null when refused.
void* reserve(std::size_t bytes) noexcept;
// Makes reserved pages readable and writable.
bool commit(void* at, std::size_t bytes) noexcept;
void unmap(void* at, std::size_t bytes) noexcept;
// The mapping [at, at + bytes), all of it usable and made in one piece,
// grown to `new_bytes`, wherever it fits; null when that cannot be done.
void* grow(void* at, std::size_t bytes, std::size_t new_bytes) noexcept;
// Moves the pages at `from` to the reserved `to`, leaving empty pages behind.
// False when the system cannot; the pages at `from` are then untouched, and
// `to` may no longer be reserved.
bool move_pages(void* from, std::size_t bytes, void* to) noexcept;

}  // namespace mapped

// Documents at least this large are read into a mapping of their own, whose
// pages the parse can hand on to the arrays it fills.
inline constexpr std::size_t kOwnMappingMin = std::size_t{4} << 20;

template <class T>
class HeapArray {
    static_assert(std::is_trivially_copyable_v<T>, "HeapArray holds plain values only");

public:
    HeapArray() noexcept = default;
    explicit HeapArray(std::size_t count) { resize_zeroed(count); }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            drop_storage();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            mapped_ = std::exchange(other.mapped_, 0);
        }
        return *this;
    }
    ~HeapArray() { drop_storage(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    void clear() noexcept { size_ = 0; }

    // Removes the last `count` elements (at most all of them).
    void shrink_by(std::size_t count) noexcept { size_ -= count < size_ ? count : size_; }

    // Makes room for `count` elements in total; throws std::bad_alloc.
    void reserve(std::size_t count) {
        if (count <= capacity_) {
            return;
        }
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        if (mapped_ != 0) {
            const std::size_t page = mapped::page_size();
            const std::size_t used = capacity_ * sizeof(T);
            if (count * sizeof(T) > std::numeric_limits<std::size_t>::max() - page) {
                throw std::bad_alloc();
            }
            const std::size_t wanted = mapped::round_up(count * sizeof(T), page);
            if (wanted <= mapped_) {
                if (mapped::commit(reinterpret_cast<char*>(data_) + used, wanted - used)) {
                    capacity_ = wanted / sizeof(T);
                    return;
                }
            } else if (used == mapped_) {
                // Wholly usable, as a document read into its own mapping is.
                if (void* grown = mapped::grow(data_, mapped_, wanted)) {
                    data_ = static_cast<T*>(grown);
                    capacity_ = wanted / sizeof(T);
                    mapped_ = wanted;
                    return;
                }
            }
            leave_mapping(count);
            return;
        }
        void* grown = std::realloc(data_, count * sizeof(T));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(grown);
        capacity_ = count;
    }

    // Appends `count` uninitialised elements and returns the first of them.
    T* grow_by(std::size_t count) {
        if (count > capacity_ - size_) {
            if (count > std::numeric_limits<std::size_t>::max() - size_) {
                throw std::bad_alloc();
            }
            std::size_t wanted = size_ + count;
            std::size_t doubled = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
            reserve(wanted > doubled ? wanted : doubled);
        }
        T* first = data_ + size_;
        size_ += count;
        return first;
    }

    void push_back(const T& value) { *grow_by(1) = value; }

    void append(const T* values, std::size_t count) {
        if (count != 0) {
            std::memcpy(grow_by(count), values, count * sizeof(T));
        }
    }

    // Sets the size to `count`; new elements are zero bytes.
    void resize_zeroed(std::size_t count) {
        if (count > size_) {
            std::size_t old = size_;
            grow_by(count - size_);
            std::memset(static_cast<void*>(data_ + old), 0, (count - old) * sizeof(T));
        } else {
            size_ = count;
        }
    }

    // Gives the pages wholly inside the first `count` elements back to the
    // system and leaves those elements undefined: for a large buffer that is
    // read front to back into another, which then needs no room beside it.
    void release_front(std::size_t count) noexcept {
        release_pages(data_, data_ + (count < size_ ? count : size_));
    }

    // Makes room for `count` elements in total. A large, empty array
    // (kOwnMappingMin bytes and more) moves into address space of its own,
    // so that its pages can later be handed over (see adopt_pages) without
    // cutting up the allocator's memory; throws std::bad_alloc.
    void reserve_large_in_own_mapping(std::size_t count) {
        if (count < kOwnMappingMin / sizeof(T) || !enter_own_mapping(count)) {
            reserve(count);
        }
    }

    // Whether the array lives in address space of its own.
    bool owns_mapping() const noexcept { return mapped_ != 0; }

    // Takes over the pages [pages, pages + bytes), a whole number of them,
    // as room at the end of the array; their content becomes that of the
    // elements there, and they are left empty where they were. The first
    // time, the array moves into `reserve_bytes` of address space of its own
    // (at least what it holds and the pages). Returns false when that cannot
    // be done: the pages then stay where they are, or, should the system
    // refuse only what comes after their move, read as zeros there.
    bool adopt_pages(void* pages, std::size_t bytes, std::size_t reserve_bytes) noexcept {
        const std::size_t page = mapped::page_size();
        if (page == 0 || page % sizeof(T) != 0 || bytes % page != 0 ||
            reinterpret_cast<std::uintptr_t>(pages) % page != 0) {
            return false;
        }
        if (mapped_ == 0) {
            return enter_mapping(pages, bytes, reserve_bytes);
        }
        const std::size_t used = capacity_ * sizeof(T);
        if (bytes > mapped_ - used) {
            return false;
        }
        if (!mapped::move_pages(pages, bytes, reinterpret_cast<char*>(data_) + used)) {
            // The reserved room there may be gone: from now on, plain memory.
            abandon_mapping(used, bytes);
            return false;
        }
        capacity_ += bytes / sizeof(T);
        return true;
    }

    // Gives back unused capacity; the block shrinks in place or moves once.
    void shrink_to_fit() noexcept {
        if (capacity_ == size_) {
            return;
        }
        if (size_ == 0) {
            drop_storage();
            data_ = nullptr;
            capacity_ = 0;
            mapped_ = 0;
            return;
        }
        if (mapped_ != 0) {
            const std::size_t page = mapped::page_size();
            const std::size_t kept = mapped::round_up(size_ * sizeof(T), page);
            mapped::unmap(reinterpret_cast<char*>(data_) + kept, mapped_ - kept);
            mapped_ = kept;
            capacity_ = kept / sizeof(T);
            return;
        }
        if (void* shrunk = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(shrunk);
            capacity_ = size_;
        }
    }

private:
    void drop_storage() noexcept {
        if (mapped_ != 0) {
            mapped::unmap(data_, mapped_);
        } else {
            std::free(data_);
        }
    }

    // An empty array into address space of its own, all of it usable, with
    // room for `count` elements; false, changing nothing, when refused.
    bool enter_own_mapping(std::size_t count) noexcept {
        const std::size_t page = mapped::page_size();
        if (size_ != 0 || mapped_ != 0 || page == 0 ||
            count > (std::numeric_limits<std::size_t>::max() - page) / sizeof(T)) {
            return false;
        }
        const std::size_t bytes = mapped::round_up(count * sizeof(T), page);
        void* base = mapped::reserve(bytes);
        if (base == nullptr) {
            return false;
        }
        if (!mapped::commit(base, bytes)) {
            mapped::unmap(base, bytes);
            return false;
        }
        std::free(data_);
        data_ = static_cast<T*>(base);
        capacity_ = bytes / sizeof(T);
        mapped_ = bytes;
        return true;
    }

    // Into address space of its own, `reserve_bytes` and at least twice
    // what is held now and the pages, which come first: when the system
    // cannot move them, nothing has been copied and the array stays as it
    // was. Twice, so that an array that outgrew a mapping and comes back
    // has room to double.
    bool enter_mapping(void* pages, std::size_t bytes, std::size_t reserve_bytes) noexcept {
        const std::size_t page = mapped::page_size();
        const std::size_t held = mapped::round_up(size_ * sizeof(T), page);
        if (held > std::numeric_limits<std::size_t>::max() / 4 - bytes) {
            return false;
        }
        std::size_t total = reserve_bytes > 2 * held + bytes ? reserve_bytes : 2 * held + bytes;
        if (total > std::numeric_limits<std::size_t>::max() - page) {
            return false;
        }
        total = mapped::round_up(total, page);
        char* const base = static_cast<char*>(mapped::reserve(total));
        if (base == nullptr) {
            return false;
        }
        if (!mapped::move_pages(pages, bytes, base + held)) {
            // Around the target, which may no longer be ours.
            mapped::unmap(base, held);
            mapped::unmap(base + held + bytes, total - held - bytes);
            return false;
        }
        if (held != 0 && !mapped::commit(base, held)) {
            mapped::unmap(base, total);  // and the moved pages with it
            return false;
        }
        if (size_ != 0) {
            std::memcpy(base, data_, size_ * sizeof(T));
        }
        std::free(data_);
        data_ = reinterpret_cast<T*>(base);
        capacity_ = (held + bytes) / sizeof(T);
        mapped_ = total;
        return true;
    }

    // Back to plain memory of `count` elements; throws std::bad_alloc.
    void leave_mapping(std::size_t count) {
        void* plain = std::malloc(count * sizeof(T));
        if (plain == nullptr) {
            throw std::bad_alloc();
        }
        if (size_ != 0) {
            std::memcpy(plain, data_, size_ * sizeof(T));
        }
        mapped::unmap(data_, mapped_);
        data_ = static_cast<T*>(plain);
        capacity_ = count;
        mapped_ = 0;
    }

    // After a failed move into the reserve at bytes [hole, hole + length):
    // the mapping is given back around the hole, which may now belong to
    // someone else, and the values go to plain memory. When even that memory
    // is lacking, the array keeps what it has mapped before the hole and
    // takes no more pages.
    void abandon_mapping(std::size_t hole, std::size_t length) noexcept {
        char* const base = reinterpret_cast<char*>(data_);
        mapped::unmap(base + hole + length, mapped_ - hole - length);
        mapped_ = hole;
        void* plain = std::malloc(capacity_ * sizeof(T) + 1);
        if (plain == nullptr) {
            return;
        }
        std::memcpy(plain, data_, size_ * sizeof(T));
        mapped::unmap(base, hole);
        data_ = static_cast<T*>(plain);
        mapped_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mapped_ = 0;  // bytes of address space the array maps itself; 0 on malloc
};

}  // namespace quorvel
