#include "encoding.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {

namespace {

constexpr const char* kDecodeFailure = "Failed to decode vasprun.xml as ISO-8859-1";

// windows-1252 code points of the bytes 0x80 to 0x9F; the five bytes the
// encoding leaves unassigned map to the C1 control of the same value.
constexpr std::uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::uint32_t windows1252_code_point(unsigned char byte) noexcept {
    return (byte >= 0x80 && byte < 0xA0) ? kWindows1252High[byte - 0x80] : byte;
}

std::size_t utf8_length(std::uint32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

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

HeapArray<char> decode_windows1252(const unsigned char* in, std::size_t n) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; ++i) {
        size += utf8_length(windows1252_code_point(in[i]));
    }
    HeapArray<char> out;
    char* w = out.grow_by(size);
    for (std::size_t i = 0; i < n; ++i) {
        w = put_utf8(w, windows1252_code_point(in[i]));
    }
    return out;
}

Status decode_utf16(const unsigned char* in, std::size_t n, bool little_endian, HeapArray<char>& out) {
    if (n % 2 != 0) {
        return ParseError::encoding(kDecodeFailure);
    }
    auto unit = [&](std::size_t i) -> std::uint32_t {
        return little_endian ? (in[i] | (in[i + 1] << 8)) : ((in[i] << 8) | in[i + 1]);
    };
    out.reserve(n / 2 * 3);
    for (std::size_t i = 0; i < n; i += 2) {
        std::uint32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return ParseError::encoding(kDecodeFailure);
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 4 > n) {
                return ParseError::encoding(kDecodeFailure);
            }
            const std::uint32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) {
                return ParseError::encoding(kDecodeFailure);
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        char buffer[4];
        out.append(buffer, static_cast<std::size_t>(put_utf8(buffer, cp) - buffer));
    }
    out.shrink_to_fit();
    return {};
}

}  // namespace

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

Status decode_to_utf8(HeapArray<char>& bytes, bool known_valid) {
    if (known_valid || is_valid_utf8(std::string_view(bytes.data(), bytes.size()))) {
        return {};
    }
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    if (n >= 3 && in[0] == 0xEF && in[1] == 0xBB && in[2] == 0xBF) {
        return ParseError::encoding(kDecodeFailure);  // marked as UTF-8, but it is not
    }
    HeapArray<char> decoded;
    if (n >= 2 && ((in[0] == 0xFF && in[1] == 0xFE) || (in[0] == 0xFE && in[1] == 0xFF))) {
        QV_TRY(decode_utf16(in + 2, n - 2, in[0] == 0xFF, decoded));
    } else {
        decoded = decode_windows1252(in, n);
    }
    bytes = std::move(decoded);
    return {};
}

}  // namespace quorvel
