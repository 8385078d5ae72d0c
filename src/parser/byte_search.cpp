#include "parser/byte_search.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text.hpp"

namespace quorvel {

namespace {

// How common a byte is in the bulk sections that fast_skip passes over:
// numbers, blanks and line ends, and the markup of their rows and sets
// (`<r>`, `</r>`, `<set comment="spin 1">`, `kpoint`, `band`, `ion`).
int bulk_commonness(char c) noexcept {
    if (is_digit(c) || std::strchr(" \n.-<>/r", c) != nullptr) {
        return 2;
    }
    return std::strchr("setcomn=\"pikbad", c) != nullptr ? 1 : 0;
}

// The first occurrence of `needle` (at least two bytes) in `haystack` by the
// two-byte SIMD filter: sixteen candidate positions at once, tested by their
// first and last bytes. Steady at any density of candidates.
const char* find_by_first_and_last(const char* p, const char* end, std::string_view needle) noexcept {
#if defined(__SSE2__)
    const std::size_t k = needle.size();
    if (static_cast<std::size_t>(end - p) >= k + 15) {
        const __m128i first = _mm_set1_epi8(needle.front());
        const __m128i last = _mm_set1_epi8(needle.back());
        for (; p + 15 + k <= end; p += 16) {
            const __m128i at_first = _mm_cmpeq_epi8(first, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            const __m128i at_last =
                _mm_cmpeq_epi8(last, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k - 1)));
            auto candidates = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(at_first, at_last)));
            while (candidates != 0) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctz(candidates));
                if (std::memcmp(p + bit + 1, needle.data() + 1, k - 2) == 0) {
                    return p + bit;
                }
                candidates &= candidates - 1;
            }
        }
    }
#endif
    return static_cast<const char*>(
        memmem(p, static_cast<std::size_t>(end - p), needle.data(), needle.size()));
}

}  // namespace

const char* find_substring(std::string_view haystack, std::string_view needle) noexcept {
    std::size_t anchor = 0;
    for (std::size_t i = 1; i < needle.size(); ++i) {
        if (bulk_commonness(needle[i]) < bulk_commonness(needle[anchor])) {
            anchor = i;
        }
    }
    const char* p = haystack.data();
    const char* const end = p + haystack.size();
    std::size_t misses = 0;
    while (static_cast<std::size_t>(end - p) >= needle.size()) {
        const auto* hit = static_cast<const char*>(
            std::memchr(p + anchor, needle[anchor], static_cast<std::size_t>(end - p) - needle.size() + 1));
        if (hit == nullptr) {
            return nullptr;
        }
        const char* start = hit - anchor;
        if (std::memcmp(start, needle.data(), needle.size()) == 0) {
            return start;
        }
        p = start + 1;
        // More than one miss per 256 bytes searched: memchr stops paying.
        if (++misses > 64 + static_cast<std::size_t>(p - haystack.data()) / 256) {
            return find_by_first_and_last(p, end, needle);
        }
    }
    return nullptr;
}

}  // namespace quorvel
