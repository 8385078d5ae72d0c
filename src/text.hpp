// Text as bytes: UTF-8 (writing code points, checking sequences, also piece
// by piece as a text arrives), Unicode white space, and whole-text integers.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel {

// ------------------------------------------------------------------ UTF-8

// Bytes of code point `cp` (at most U+10FFFF) in UTF-8.
constexpr std::size_t utf8_length(std::uint32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes `cp` as UTF-8 at `out`; returns the end of what it wrote.
char* put_utf8(char* out, std::uint32_t cp) noexcept;

void append_utf8(std::string& out, std::uint32_t cp);

// The length of the longest prefix of `bytes` made of whole, valid UTF-8
// sequences: where the first invalid or cut-off sequence starts.
std::size_t utf8_valid_prefix(std::string_view bytes) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

// Checks a text that grows piece by piece as UTF-8, each piece while it is
// still in the cache, which saves a later pass over the whole text.
class Utf8Check {
public:
    // The text now holds `size` bytes at `text` (it may have moved; the
    // bytes checked before are unchanged).
    void grow(const char* text, std::size_t size) noexcept {
        if (!invalid_) {
            checked_ += utf8_valid_prefix(std::string_view(text + checked_, size - checked_));
            // Only the last sequence may be cut off by the end of a piece.
            invalid_ = size - checked_ > 3;
        }
    }
    // Whether a text of `size` bytes, all of it grown, is valid UTF-8.
    bool valid(std::size_t size) const noexcept { return !invalid_ && checked_ == size; }
    // Whether the text grown so far is already known not to be UTF-8.
    bool broken() const noexcept { return invalid_; }

private:
    std::size_t checked_ = 0;  // bytes known to be whole, valid sequences
    bool invalid_ = false;
};

// ------------------------------------------------------------ white space

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The white space of XML markup and of the trimming of text.
inline bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Skips the XML white space at `p`: sixteen bytes at a time where they are
// readable, since the rows of bulk sections start with a line end and a
// long indentation.
inline const char* skip_xml_space(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto blank_or_line_end = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')))));
        if (blank_or_line_end == 0xFFFF) {
            p += 16;
            continue;
        }
        p += __builtin_ctz(~blank_or_line_end);
        if (*p != '\t' && *p != '\r') {
            return p;
        }
        ++p;
    }
#endif
    while (p != end && is_xml_space(*p)) {
        ++p;
    }
    return p;
}

// TAB, LF, VT, FF, CR and space.
inline bool is_ascii_space(char c) noexcept {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

// Length of the non-ASCII Unicode White_Space character at `p` (2 or 3
// bytes), or 0. Kept out of line: the hot loops meet it almost never.
std::size_t unicode_space_length(const char* p, const char* end) noexcept;

// Length of the Unicode White_Space character at `p` (1 to 3 bytes), or 0.
inline std::size_t whitespace_length(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
        return 1;
    }
    return c < 0xC2 ? 0 : unicode_space_length(p, end);
}

// Removes Unicode white space at both ends.
std::string_view trim_whitespace(std::string_view text) noexcept;

// Calls `on_token(std::string_view)` for every run of bytes between Unicode
// white space, in order, until it returns false. Returns whether all were seen.
template <class OnToken>
bool for_each_token(std::string_view text, OnToken&& on_token) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
        if (std::size_t ws = whitespace_length(p, end)) {
            p += ws;
            continue;
        }
        const char* start = p;
        ++p;
        while (p != end && whitespace_length(p, end) == 0) {
            ++p;
        }
        if (!on_token(std::string_view(start, static_cast<std::size_t>(p - start)))) {
            return false;
        }
    }
    return true;
}

// --------------------------------------------------------------- integers

// The whole of `text` as an `Int`: an optional `+` (or `-` for a signed
// type) and ASCII digits, nothing else, within the type's range. Returns
// false, leaving `out` alone, otherwise.
template <class Int>
bool parse_integer(std::string_view text, Int& out) noexcept {
    // from_chars takes a minus sign but no plus sign.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || !is_digit(text.front())) {
            return false;
        }
    }
    const char* const end = text.data() + text.size();
    Int value{};
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace quorvel
