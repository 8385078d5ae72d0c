// A growable array of trivially copyable values, on the page-aware blocks
// of pages.hpp. std::vector would do, but growing a buffer of hundreds of
// megabytes with it costs a copy and, for a moment, the old and the new
// block side by side. New elements are not zero-filled unless asked for.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "pages.hpp"

namespace quorvel {

template <class T>
class HeapArray {
    static_assert(std::is_trivially_copyable_v<T>, "HeapArray holds plain values only");

public:
    HeapArray() noexcept = default;
    explicit HeapArray(std::size_t count) { resize_zeroed(count); }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept
        : memory_(std::exchange(other.memory_, ArrayMemory{})), size_(std::exchange(other.size_, 0)) {}
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            memory::release(memory_);
            memory_ = std::exchange(other.memory_, ArrayMemory{});
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~HeapArray() { memory::release(memory_); }

    T* data() noexcept { return reinterpret_cast<T*>(memory_.data); }
    const T* data() const noexcept { return reinterpret_cast<const T*>(memory_.data); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return memory_.capacity / sizeof(T); }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }

    void clear() noexcept { size_ = 0; }

    // Removes the last `count` elements (at most all of them).
    void shrink_by(std::size_t count) noexcept { size_ -= count < size_ ? count : size_; }

    // Makes room for `count` elements in total; throws std::bad_alloc.
    void reserve(std::size_t count) {
        if (count <= capacity()) {
            return;
        }
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        memory::reserve(memory_, size_ * sizeof(T), count * sizeof(T));
    }

    // Appends `count` uninitialised elements and returns the first of them.
    T* grow_by(std::size_t count) {
        if (count > capacity() - size_) {
            if (count > std::numeric_limits<std::size_t>::max() - size_) {
                throw std::bad_alloc();
            }
            const std::size_t wanted = size_ + count;
            const std::size_t doubled = capacity() < 16 ? 16 : capacity() + capacity() / 2;
            reserve(wanted > doubled ? wanted : doubled);
        }
        T* first = data() + size_;
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
            const std::size_t old = size_;
            grow_by(count - size_);
            std::memset(static_cast<void*>(data() + old), 0, (count - old) * sizeof(T));
        } else {
            size_ = count;
        }
    }

    // Gives the pages wholly inside the first `count` elements back to the
    // system and leaves those elements undefined: for a large buffer that is
    // read front to back into another, which then needs no room beside it.
    void release_front(std::size_t count) noexcept { release_between(0, count); }

    // The same for the elements [from, to): for a buffer given back piece by
    // piece as it is read, each piece once.
    void release_between(std::size_t from, std::size_t to) noexcept {
        to = to < size_ ? to : size_;
        if (from < to) {
            memory::give_back(data() + from, data() + to);
        }
    }

    // Maps the pages of elements [from, from + count), as far as the
    // capacity goes, in one call before they are written: the system maps a
    // run of pages in far less time than it takes one fault per page.
    // Someone else's bytes are left alone.
    void populate(std::size_t from, std::size_t count) noexcept {
        const std::size_t last = from + count < capacity() ? from + count : capacity();
        if (memory_.foreign.release == nullptr && from < last) {
            memory::populate(data() + from, data() + last);
        }
    }

    // Makes room for `count` elements in total, all of which are about to be
    // written. A large, empty array (kOwnMappingMin bytes and more) moves
    // into address space of its own, so that its pages can later be handed
    // over (see adopt_pages) without cutting up the allocator's memory;
    // throws std::bad_alloc. Without `populate` its pages are mapped as
    // they are written (or by populate), not all at once: a caller that
    // writes gigabytes piece by piece can stop between pieces.
    void reserve_large_in_own_mapping(std::size_t count, bool populate = true) {
        if (count < kOwnMappingMin / sizeof(T) || count > std::numeric_limits<std::size_t>::max() / sizeof(T) ||
            size_ != 0 || !memory::enter_own_mapping(memory_, count * sizeof(T), populate)) {
            reserve(count);
        }
    }

    // An empty array becomes `count` zeros. A large one takes fresh pages of
    // its own, which read as zeros without being written: an array that is
    // mostly zeros then costs neither the time of filling it nor the memory
    // of the pages never written.
    void assign_zeros(std::size_t count) {
        if (size_ == 0 && count >= kOwnMappingMin / sizeof(T) &&
            count <= std::numeric_limits<std::size_t>::max() / sizeof(T) &&
            memory::enter_own_mapping(memory_, count * sizeof(T), false)) {
            size_ = count;
            return;
        }
        resize_zeroed(count);
    }

    // An array of the `count` values at `values`, which belong to someone
    // else: they are read where they are, and `owner.release` is called
    // when the array is done with them (or copies them to grow).
    static HeapArray borrow(const T* values, std::size_t count, ForeignOwner owner) noexcept {
        HeapArray array;
        array.memory_ = ArrayMemory{reinterpret_cast<char*>(const_cast<T*>(values)), count * sizeof(T), 0, owner};
        array.size_ = count;
        return array;
    }

    // Whether the array lives in address space of its own.
    bool owns_mapping() const noexcept { return memory_.mapped != 0; }

    // Takes over whole pages as room at the end of the array; see
    // memory::adopt_pages.
    bool adopt_pages(void* pages, std::size_t bytes, std::size_t reserve_bytes) noexcept {
        const std::size_t page = memory::page_size();
        return page != 0 && page % sizeof(T) == 0 &&
               memory::adopt_pages(memory_, size_ * sizeof(T), pages, bytes, reserve_bytes);
    }

    // Gives back unused capacity.
    void shrink_to_fit() noexcept {
        if (memory_.capacity != size_ * sizeof(T)) {
            memory::shrink_to(memory_, size_ * sizeof(T));
        }
    }

private:
    ArrayMemory memory_;
    std::size_t size_ = 0;
};

}  // namespace quorvel
