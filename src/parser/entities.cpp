#include "parser/entities.hpp"

#include <cstdint>
#include <cstring>

#include "error.hpp"
#include "text.hpp"

namespace quorvel {

namespace {

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

}  // namespace

Status decode_entities(std::string_view raw, std::string& out, bool cut_by_the_end,
                       const Interruption* interruption) {
    constexpr std::size_t kInterruptStep = std::size_t{4} << 20;
    out.clear();
    const char* amp = static_cast<const char*>(std::memchr(raw.data(), '&', raw.size()));
    const char* p = raw.data();
    const char* const end = p + raw.size();
    const char* ask_at = p + kInterruptStep;
    while (amp != nullptr) {
        out.append(p, amp);
        if (amp >= ask_at) [[unlikely]] {
            ask_at = amp + kInterruptStep;
            if (interruption != nullptr && interruption->stop()) {
                return ParseError::interrupted();
            }
        }
        const char* semicolon =
            static_cast<const char*>(std::memchr(amp + 1, ';', static_cast<std::size_t>(end - amp - 1)));
        if (semicolon == nullptr) {
            if (cut_by_the_end) {
                return {};
            }
            return ParseError::other("Unterminated escape sequence '" +
                                     quote_input(std::string_view(amp, static_cast<std::size_t>(end - amp))) +
                                     "' in text");
        }
        const std::string_view body(amp + 1, static_cast<std::size_t>(semicolon - amp - 1));
        std::uint32_t cp = 0;
        if (body == "lt") {
            out += '<';
        } else if (body == "gt") {
            out += '>';
        } else if (body == "amp") {
            out += '&';
        } else if (body == "apos") {
            out += '\'';
        } else if (body == "quot") {
            out += '"';
        } else if (!body.empty() && body[0] == '#') {
            if (!character_reference(body, cp)) {
                return ParseError::other(
                    "Invalid character reference '&" + quote_input(body) + ";' in text");
            }
            append_utf8(out, cp);
        } else {
            return ParseError::other("Unrecognized escape sequence '&" + quote_input(body) + ";' in text");
        }
        p = semicolon + 1;
        amp = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
    }
    out.append(p, end);
    return {};
}

}  // namespace quorvel
