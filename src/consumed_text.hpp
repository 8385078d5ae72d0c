// What becomes of the text a parse has read. The walk reads a document once,
// front to back, and keeps owned copies of what it needs, so the memory of
// the text behind it can go: its pages are given back to the system, or,
// when the text is a mapping of its own, moved into the array being filled
// from it. A large document then never sits in memory whole beside what is
// parsed out of it.
#pragma once

#include <cstddef>
#include <string_view>

#include "heap_array.hpp"

namespace quorvel {

class ConsumedText {
public:
    // How much text piles up before its pages are handed on.
    static constexpr std::size_t kDefaultStep = std::size_t{4} << 20;

    // Keeps all text: nothing is handed on.
    ConsumedText() noexcept = default;

    // Hands on the pages of `text`, which its owner will not read again once
    // the walk has passed them; released text reads as zeros. `movable`: the
    // text is a mapping of its own, so its pages may be moved into arrays
    // (which would cut up the allocator's memory otherwise).
    ConsumedText(std::string_view text, bool movable, std::size_t step = kDefaultStep) noexcept;

    // Where the reading must have come before `pass` has anything to do.
    const char* next_pass() const noexcept { return next_pass_; }

    // The reading has come to `position`; text before `floor` is still in
    // use. Once a step's worth has piled up, the whole pages in between are
    // moved to the end of `rows` when given and possible, or else given back.
    void pass(const char* floor, const char* position, HeapArray<double>* rows) noexcept {
        pass(floor, position, [&](char* pages, std::size_t bytes) {
            return rows != nullptr && rows->adopt_pages(pages, bytes, reserve_for(*rows, bytes, position));
        });
    }

    // The same with `take(pages, bytes)`, which returns true when it took the
    // pages over. Once it declines, the rest of the text is only given back:
    // a system that cannot move pages is not asked again and again.
    template <class Take>
    void pass(const char* floor, const char* position, Take&& take) noexcept {
        char* pages = nullptr;
        std::size_t bytes = 0;
        if (!pages_to_pass(floor, position, pages, bytes)) {
            return;
        }
        if (movable_ && take(pages, bytes)) {
            return;
        }
        movable_ = false;
        memory::give_back(pages, pages + bytes);
    }

private:
    bool pages_to_pass(const char* floor, const char* position, char*& pages, std::size_t& bytes) noexcept;
    std::size_t reserve_for(const HeapArray<double>& rows, std::size_t bytes, const char* position) const noexcept;

    const char* end_ = nullptr;
    const char* released_ = nullptr;  // text before this was handed on, or is kept
    const char* next_pass_ = nullptr;
    std::size_t step_ = kDefaultStep;
    bool movable_ = false;
};

}  // namespace quorvel
