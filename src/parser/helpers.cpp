#include "parser/helpers.hpp"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>

#include "parser/byte_search.hpp"
#include "parser/entities.hpp"
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
    if (std::memchr(raw.data(), '&', raw.size()) == nullptr) {
        text = needs_unicode_trim(raw) ? trim_whitespace(raw) : raw;
        return {};
    }
    QV_TRY(decode_entities(raw, scratch_, cut_by_the_end, interruption_));
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
