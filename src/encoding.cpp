#include "encoding.hpp"

#include <cstdint>

#include "text.hpp"

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
