// A growable array of trivially copyable values on malloc/realloc.
//
// std::vector would do, but growing a buffer of hundreds of megabytes with it
// costs a copy and, for a moment, the old and the new block side by side.
// realloc of a large block moves pages instead (mremap with glibc), so the
// document text and the bulk arrays never need twice their size while they
// grow. New elements are not zero-filled unless asked for.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace quorvel {

// Gives the memory pages that lie wholly inside [begin, end) back to the
// system; they read as zeros afterwards. Pages shared with anything outside
// the range (the allocator's own bookkeeping included) are kept. Returns
// where the released pages end: `begin` when none were.
void* release_pages(void* begin, void* end) noexcept;

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
          capacity_(std::exchange(other.capacity_, 0)) {}
    HeapArray& operator=(HeapArray&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~HeapArray() { std::free(data_); }

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

    // Gives back unused capacity; the block shrinks in place or moves once.
    void shrink_to_fit() noexcept {
        if (capacity_ == size_) {
            return;
        }
        if (size_ == 0) {
            std::free(data_);
            data_ = nullptr;
            capacity_ = 0;
            return;
        }
        if (void* shrunk = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(shrunk);
            capacity_ = size_;
        }
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvel
