#include "text.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {

char* put_utf8(char* out, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(put_utf8(bytes, cp) - bytes));
}

std::size_t utf8_valid_prefix(std::string_view bytes) noexcept {
    const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* p = begin;
    const auto* const end = p + bytes.size();
    while (p != end) {
        // ASCII runs, the whole of a typical run file, go 64 bytes at a time.
#if defined(__SSE2__)
        while (end - p >= 64) {
            const auto* block = reinterpret_cast<const __m128i*>(p);
            const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                                             _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
            if (_mm_movemask_epi8(any) != 0) {
                break;
            }
            p += 64;
        }
#endif
        while (end - p >= 32) {
            std::uint64_t w[4];
            std::memcpy(w, p, 32);
            if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) != 0) {
                break;
            }
            p += 32;
        }
        if (p == end) {
            break;
        }
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80;
        unsigned hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) {
                lo = 0xA0;
            } else if (c == 0xED) {
                hi = 0x9F;
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) {
                lo = 0x90;
            } else if (c == 0xF4) {
                hi = 0x8F;
            }
        } else {
            return static_cast<std::size_t>(p - begin);
        }
        if (static_cast<std::size_t>(end - p) < len) {
            return static_cast<std::size_t>(p - begin);
        }
        if (p[1] < lo || p[1] > hi) {
            return static_cast<std::size_t>(p - begin);
        }
        for (std::size_t i = 2; i < len; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) {
                return static_cast<std::size_t>(p - begin);
            }
        }
        p += len;
    }
    return bytes.size();
}

bool is_valid_utf8(std::string_view bytes) noexcept { return utf8_valid_prefix(bytes) == bytes.size(); }

std::size_t unicode_space_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    const std::ptrdiff_t left = end - p;
    const auto c1 = left > 1 ? static_cast<unsigned char>(p[1]) : 0u;
    const auto c2 = left > 2 ? static_cast<unsigned char>(p[2]) : 0u;
    switch (c) {
        case 0xC2:  // U+0085, U+00A0
            return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
        case 0xE1:  // U+1680
            return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
        case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
            if (c1 == 0x80) {
                return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
            }
            return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;
        case 0xE3:  // U+3000
            return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

std::string_view trim_whitespace(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end) {
        std::size_t ws = whitespace_length(p, end);
        if (ws == 0) {
            break;
        }
        p += ws;
    }
    // White space is at most three bytes long; test the candidate lengths
    // that end exactly at `end`.
    for (;;) {
        std::size_t cut = 0;
        for (std::size_t len = 1; len <= 3 && len <= static_cast<std::size_t>(end - p); ++len) {
            if (whitespace_length(end - len, end) == len) {
                cut = len;
                break;
            }
        }
        if (cut == 0) {
            break;
        }
        end -= cut;
    }
    return std::string_view(p, static_cast<std::size_t>(end - p));
}

}  // namespace quorvel
