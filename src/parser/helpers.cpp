#include "parser/helpers.hpp"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parser/numbers.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

// An element name for a message: "?" when it is not valid UTF-8.
std::string display_name(std::string_view name) {
    return is_valid_utf8(name) ? std::string(name) : std::string("?");
}

// The reader trimmed XML white space already; other Unicode white space
// (vertical tab, form feed, non-ASCII spaces) can only be left at an end
// that is such a byte.
bool needs_unicode_trim(std::string_view text) noexcept {
    auto other_space = [](char c) {
        return c == '\v' || c == '\f' || static_cast<unsigned char>(c) >= 0x80;
    };
    return !text.empty() && (other_space(text.front()) || other_space(text.back()));
}

// The code point of a character reference body (`#65`, `#x41`), or false.
bool character_reference(std::string_view body, std::uint32_t& cp) {
    std::size_t i = 1;
    unsigned base = 10;
    if (body.size() > 1 && body[1] == 'x') {
        base = 16;
        i = 2;
    }
    if (i == body.size()) {
        return false;
    }
    std::uint32_t value = 0;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * base + digit;
        if (value > 0x10FFFF) {
            return false;
        }
    }
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) {
        return false;
    }
    cp = value;
    return true;
}

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

// The first occurrence of `needle` (at least two bytes) in `haystack`, or
// null. The search runs memchr, which the C library tunes to the machine, on
// the needle's least common byte, and compares the needle where it lands.
// Should that byte turn out to be common after all, the rest of the search
// goes to the steady two-byte filter.
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

}  // namespace

namespace {

// How much text is read between two questions whether to stop: a few
// milliseconds of reading, far less than a person waits for Ctrl-C to take.
constexpr std::size_t kInterruptStep = std::size_t{4} << 20;
constexpr std::uintptr_t kNever = std::numeric_limits<std::uintptr_t>::max();

}  // namespace

XmlCursor::XmlCursor(std::string_view document, ConsumedText* consumed, const Interruption* interruption,
                     TextSupply* supply) noexcept
    : reader_(document, 0),
      consumed_(consumed),
      interruption_(interruption),
      interrupt_at_(interruption != nullptr ? reinterpret_cast<std::uintptr_t>(document.data()) + kInterruptStep
                                            : kNever) {
    reader_.read_from(supply);
    schedule_checkpoint();
}

void XmlCursor::schedule_checkpoint() noexcept {
    const std::uintptr_t pages = consumed_ != nullptr ? reinterpret_cast<std::uintptr_t>(consumed_->next_pass()) : kNever;
    checkpoint_at_ = std::min(pages, interrupt_at_);
}

Status XmlCursor::check_interruption() {
    interrupt_at_ = reinterpret_cast<std::uintptr_t>(reader_.next_byte()) + kInterruptStep;
    schedule_checkpoint();
    return interruption_->stop() ? Status(ParseError::interrupted()) : Status();
}

Status XmlCursor::passed_checkpoint(const char* floor, HeapArray<double>* rows) {
    const char* const position = reader_.next_byte();
    if (consumed_ != nullptr && position >= consumed_->next_pass()) {
        consumed_->pass(floor, position, rows);
    }
    schedule_checkpoint();
    return reinterpret_cast<std::uintptr_t>(position) >= interrupt_at_ ? check_interruption() : Status();
}

Status XmlCursor::skip_element() {
    std::size_t depth = 1;
    XmlEvent event;
    // Rows, nearly all of what bulk sections hold, pass without events once
    // the first has been met: other elements are not asked to be rows.
    bool rows_met = false;
    for (;;) {
        if (rows_met && reader_.skip_text_element("r")) {
            QV_TRY(interruption_point());
            continue;
        }
        QV_TRY(next_event(event));
        switch (event.kind) {
            case EventKind::Start:
                ++depth;
                rows_met = rows_met || event.name == "r";
                break;
            case EventKind::End:
                if (--depth == 0) {
                    return {};
                }
                break;
            case EventKind::Eof:
                return {};  // cut off: see input_ended
            default:
                break;
        }
    }
}

Status XmlCursor::ask_to_stop() {
    return interruption_ != nullptr && interruption_->stop() ? Status(ParseError::interrupted()) : Status();
}

Status XmlCursor::fast_skip(std::string_view name) {
    std::string needle;
    needle.reserve(name.size() + 3);
    needle += "</";
    needle += name;
    needle += '>';
    const char* const start = reader_.next_byte();
    const char* from = start;
    const char* found = nullptr;
    for (;;) {
        const char* const end = reader_.document_end();
        found = find_substring(std::string_view(from, static_cast<std::size_t>(end - from)), needle);
        if (found != nullptr || reader_.whole()) {
            break;
        }
        // The end tag may begin in the text there is and end in what comes.
        from = std::max(from, end - std::min<std::ptrdiff_t>(end - from, static_cast<std::ptrdiff_t>(needle.size())));
        QV_TRY(reader_.wait_for_more());
    }
    if (found == nullptr) {
        // Without the root's end tag after it, the element was cut off by the
        // end of the input rather than closed in another way (`</dos >`).
        const std::string_view rest(start, static_cast<std::size_t>(reader_.document_end() - start));
        if (rest.find("</modeling") == std::string_view::npos) {
            reader_.end_input();
            return {};
        }
        return ParseError::missing_element("fast_skip: could not find </" + display_name(name) + ">");
    }
    reader_.move_to(found + needle.size());
    return {};
}

Status XmlCursor::unescape(std::string_view raw, std::string_view& text, bool cut_by_the_end) {
    const char* amp = static_cast<const char*>(std::memchr(raw.data(), '&', raw.size()));
    if (amp == nullptr) {
        text = needs_unicode_trim(raw) ? trim_whitespace(raw) : raw;
        return {};
    }
    scratch_.clear();
    const char* p = raw.data();
    const char* const end = p + raw.size();
    const char* ask_at = p + kInterruptStep;  // a text of millions of references stops like the rest
    while (amp != nullptr) {
        scratch_.append(p, amp);
        if (amp >= ask_at) [[unlikely]] {
            ask_at = amp + kInterruptStep;
            QV_TRY(ask_to_stop());
        }
        const char* semicolon =
            static_cast<const char*>(std::memchr(amp + 1, ';', static_cast<std::size_t>(end - amp - 1)));
        if (semicolon == nullptr) {
            // A reference that the end of the input cuts short is cut text,
            // which is no error: the text ends where the reference began.
            if (cut_by_the_end) {
                text = trim_whitespace(scratch_);
                return {};
            }
            return ParseError::other("Unterminated escape sequence '" +
                                     quote_input(std::string_view(amp, static_cast<std::size_t>(end - amp))) +
                                     "' in text");
        }
        const std::string_view body(amp + 1, static_cast<std::size_t>(semicolon - amp - 1));
        std::uint32_t cp = 0;
        if (body == "lt") {
            scratch_ += '<';
        } else if (body == "gt") {
            scratch_ += '>';
        } else if (body == "amp") {
            scratch_ += '&';
        } else if (body == "apos") {
            scratch_ += '\'';
        } else if (body == "quot") {
            scratch_ += '"';
        } else if (!body.empty() && body[0] == '#') {
            if (!character_reference(body, cp)) {
                return ParseError::other(
                    "Invalid character reference '&" + quote_input(body) + ";' in text");
            }
            append_utf8(scratch_, cp);
        } else {
            return ParseError::other("Unrecognized escape sequence '&" + quote_input(body) + ";' in text");
        }
        p = semicolon + 1;
        amp = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
    }
    scratch_.append(p, end);
    text = trim_whitespace(scratch_);
    return {};
}

Status XmlCursor::read_text(std::string_view& text) {
    std::string_view raw;
    if (reader_.text_before_end_tag(raw)) {
        if (raw.empty()) {
            text = {};
            return {};
        }
        return unescape(raw, text);
    }
    text = {};
    XmlEvent event;
    for (;;) {
        QV_TRY(next_event(event));
        switch (event.kind) {
            case EventKind::Text:
                QV_TRY(unescape(event.text, text, reader_.next_byte() == reader_.document_end()));
                break;
            case EventKind::End:
            case EventKind::Eof:
                return {};
            default:
                break;
        }
    }
}

Status XmlCursor::read_vec3_rows(std::vector<Vec3>& rows) {
    rows.clear();
    return for_each_varray_row(*this, [&](std::string_view text) -> Status {
        Vec3 row;
        QV_TRY(parse_vec3(text, row));
        rows.push_back(row);
        return {};
    });
}

Status XmlCursor::read_float_rows(FloatRows& rows) {
    rows.clear();
    return for_each_varray_row(*this, [&](std::string_view text) -> Status {
        std::string_view bad;
        if (!parse_floats(text, [&](double v) { rows.values.push_back(v); }, bad)) {
            return invalid_float(bad);
        }
        rows.offsets.push_back(rows.values.size());
        return {};
    });
}

std::optional<std::string_view> get_attribute(const XmlEvent& event, std::string_view name) {
    const char* p = event.attributes.data();
    const char* const end = p + event.attributes.size();
    for (;;) {
        while (p != end && is_xml_space(*p)) {
            ++p;
        }
        if (p == end) {
            return std::nullopt;
        }
        const char* key_start = p;
        while (p != end && !is_xml_space(*p) && *p != '=') {
            ++p;
        }
        const std::string_view key(key_start, static_cast<std::size_t>(p - key_start));
        while (p != end && is_xml_space(*p)) {
            ++p;
        }
        if (p == end || *p != '=') {
            continue;  // a key without a value: malformed, the next word starts anew
        }
        ++p;
        while (p != end && is_xml_space(*p)) {
            ++p;
        }
        if (p == end) {
            return std::nullopt;
        }
        const char quote = *p;
        if (quote != '"' && quote != '\'') {
            while (p != end && !is_xml_space(*p)) {  // unquoted value: malformed
                ++p;
            }
            continue;
        }
        const char* value_start = p + 1;
        const char* close =
            static_cast<const char*>(std::memchr(value_start, quote, static_cast<std::size_t>(end - value_start)));
        if (close == nullptr) {
            return std::nullopt;
        }
        p = close + 1;
        if (key == name) {
            const std::string_view value(value_start, static_cast<std::size_t>(close - value_start));
            if (!is_valid_utf8(value)) {
                return std::nullopt;
            }
            return value;
        }
    }
}

ParseError invalid_float(std::string_view token) {
    return ParseError::parse_value(token, "f64", "invalid float");
}

Status parse_float_list(std::string_view text, std::vector<double>& values) {
    values.clear();
    values.reserve(4);
    std::string_view bad;
    if (!parse_floats(text, [&](double v) { values.push_back(v); }, bad)) {
        return invalid_float(bad);
    }
    return {};
}

Status parse_vec3(std::string_view text, Vec3& vector) {
    std::size_t count = 0;
    std::string_view bad;
    const bool ok = parse_floats(
        text,
        [&](double v) {
            if (count < 3) {
                vector[count] = v;
            }
            ++count;
        },
        bad);
    if (!ok) {
        return invalid_float(bad);
    }
    if (count < 3) {
        return ParseError::parse_value(text, "[f64; 3]",
                                       "expected 3 values, got " + std::to_string(count));
    }
    return {};
}

}  // namespace quorvel
