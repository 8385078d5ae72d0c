#include "parser/xml_reader.hpp"

#include <cstring>
#include <string>

namespace quorvel {

namespace {

const char* find_byte(const char* from, const char* end, char byte) noexcept {
    return static_cast<const char*>(std::memchr(from, byte, static_cast<std::size_t>(end - from)));
}

const char* find_bytes(const char* from, const char* end, std::string_view needle) noexcept {
    return static_cast<const char*>(
        memmem(from, static_cast<std::size_t>(end - from), needle.data(), needle.size()));
}

bool starts_with(const char* p, const char* end, std::string_view prefix) noexcept {
    return static_cast<std::size_t>(end - p) >= prefix.size() &&
           std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

std::string_view view(const char* first, const char* last) noexcept {
    return std::string_view(first, static_cast<std::size_t>(last - first));
}

// The `>` that closes a start tag, passing over `>` inside quoted values.
// Tags are short, so a plain loop beats library searches here.
const char* find_tag_end(const char* p, const char* end) noexcept {
    while (p != end) {
        const char c = *p;
        if (c == '>') {
            return p;
        }
        if (c == '"' || c == '\'') {
            const char* close = find_byte(p + 1, end, c);
            if (close == nullptr) {
                return nullptr;
            }
            p = close + 1;
        } else {
            ++p;
        }
    }
    return nullptr;
}

}  // namespace

XmlReader::XmlReader(std::string_view document, std::size_t start) noexcept
    : begin_(document.data()),
      pos_(document.data() + (start < document.size() ? start : document.size())),
      end_(document.data() + document.size()) {
    // A UTF-8 byte-order mark at the very start is not content.
    if (pos_ == begin_ && starts_with(pos_, end_, "\xEF\xBB\xBF")) {
        pos_ += 3;
    }
}

Status XmlReader::error_at(const char* where, const char* what) const {
    const auto offset = static_cast<std::uint64_t>(where - begin_);
    return ParseError::xml(std::string(what) + " at byte " + std::to_string(offset)).at(offset);
}

Status XmlReader::wait_for_more() {
    // What was read in vain is read again once more has come: waiting for
    // as much again as that keeps the rereading of a long element to the
    // length of the element.
    const std::size_t again = static_cast<std::size_t>(end_ - pos_);
    const char* end = end_;
    QV_TRY(supply_->wait_for(end_ + (again > 0 ? again : 1), end, whole_));
    end_ = end;
    return {};
}

Status XmlReader::cut_off(XmlEvent& event) noexcept {
    if (!whole_) {
        starved_ = true;  // the rest of it is still to come
        return {};
    }
    pos_ = end_;
    ended_ = true;
    event.kind = EventKind::Eof;
    return {};
}

Status XmlReader::next(XmlEvent& event) {
    for (;;) {
        Status status = next_in_text(event);
        if (!starved_) [[likely]] {
            return status;
        }
        starved_ = false;
        QV_TRY(wait_for_more());
    }
}

Status XmlReader::next_in_text(XmlEvent& event) {
    while (pos_ != end_) {
        if (*pos_ == '<') {
            return read_markup(event);
        }
        const char* lt = find_byte(pos_, end_, '<');
        if (lt == nullptr && !whole_) {
            starved_ = true;  // the text may go on
            return {};
        }
        const char* text_end = lt != nullptr ? lt : end_;
        const char* first = pos_;
        const char* last = text_end;
        pos_ = text_end;
        while (first != last && is_xml_space(*first)) {
            ++first;
        }
        while (last != first && is_xml_space(last[-1])) {
            --last;
        }
        if (first != last) {
            event.kind = EventKind::Text;
            event.text = view(first, last);
            return {};
        }
    }
    if (!whole_) {
        starved_ = true;
        return {};
    }
    event.kind = EventKind::Eof;
    ended_ = true;
    return {};
}

bool XmlReader::text_before_end_tag(std::string_view& text) noexcept {
    const char* lt = find_byte(pos_, end_, '<');
    if (lt == nullptr || end_ - lt < 2 || lt[1] != '/') {
        return false;
    }
    const char* gt = find_byte(lt + 2, end_, '>');
    if (gt == nullptr) {
        return false;  // the event loop reports the unclosed tag
    }
    const char* first = pos_;
    const char* last = lt;
    while (first != last && is_xml_space(*first)) {
        ++first;
    }
    while (last != first && is_xml_space(last[-1])) {
        --last;
    }
    text = view(first, last);
    pos_ = gt + 1;
    return true;
}

bool XmlReader::skip_text_element(std::string_view name) noexcept {
    const std::size_t n = name.size();
    const char* start = skip_xml_space(pos_, end_);
    if (static_cast<std::size_t>(end_ - start) < n + 2 || start[0] != '<' || std::memcmp(start + 1, name.data(), n) != 0 ||
        start[n + 1] != '>') {
        return false;
    }
    const char* lt = find_byte(start + n + 2, end_, '<');
    if (lt == nullptr || static_cast<std::size_t>(end_ - lt) < n + 3 || lt[1] != '/' ||
        std::memcmp(lt + 2, name.data(), n) != 0 || lt[n + 2] != '>') {
        return false;
    }
    pos_ = lt + n + 3;
    return true;
}

Status XmlReader::read_markup(XmlEvent& event) {
    const char* lt = pos_;
    if (end_ - lt < 2) {
        return cut_off(event);  // a lone '<'
    }
    switch (lt[1]) {
        case '/': {
            const char* gt = find_byte(lt + 2, end_, '>');
            if (gt == nullptr) {
                return cut_off(event);  // unclosed end tag
            }
            const char* name_end = gt;
            while (name_end != lt + 2 && is_xml_space(name_end[-1])) {
                --name_end;
            }
            event.kind = EventKind::End;
            event.name = view(lt + 2, name_end);
            pos_ = gt + 1;
            return {};
        }
        case '?':
            return read_declaration(event);
        case '!':
            return read_bang(event);
        default:
            return read_tag(event);
    }
}

Status XmlReader::read_tag(XmlEvent& event) {
    const char* lt = pos_;
    const char* gt = find_tag_end(lt + 1, end_);
    if (gt == nullptr) {
        return cut_off(event);  // unclosed start tag
    }
    const char* name_end = lt + 1;
    while (name_end != gt && !is_xml_space(*name_end) && *name_end != '/') {
        ++name_end;
    }
    const char* attributes_end = gt;
    event.kind = EventKind::Start;
    if (gt != lt + 1 && gt[-1] == '/') {
        event.kind = EventKind::Empty;
        --attributes_end;
        if (name_end > attributes_end) {
            name_end = attributes_end;
        }
    }
    event.name = view(lt + 1, name_end);
    event.attributes = view(name_end, attributes_end);
    pos_ = gt + 1;
    return {};
}

Status XmlReader::read_declaration(XmlEvent& event) {
    const char* lt = pos_;
    const char* close = find_bytes(lt + 2, end_, "?>");
    if (close == nullptr) {
        return cut_off(event);  // unclosed processing instruction
    }
    const char* content = lt + 2;
    const bool is_declaration =
        starts_with(content, close, "xml") && (close - content == 3 || is_xml_space(content[3]));
    event.kind = is_declaration ? EventKind::Decl : EventKind::PI;
    event.text = view(content, close);
    pos_ = close + 2;
    return {};
}

Status XmlReader::read_bang(XmlEvent& event) {
    const char* lt = pos_;
    if (starts_with(lt, end_, "<!--")) {
        const char* close = find_bytes(lt + 4, end_, "-->");
        if (close == nullptr) {
            return cut_off(event);  // unclosed comment
        }
        event.kind = EventKind::Comment;
        event.text = view(lt + 4, close);
        pos_ = close + 3;
        return {};
    }
    if (starts_with(lt, end_, "<![CDATA[")) {
        const char* close = find_bytes(lt + 9, end_, "]]>");
        if (close == nullptr) {
            return cut_off(event);  // unclosed CDATA section
        }
        event.kind = EventKind::CData;
        event.text = view(lt + 9, close);
        pos_ = close + 3;
        return {};
    }
    static constexpr std::string_view kDoctype = "doctype";
    bool doctype = end_ - lt >= 9;
    for (std::size_t i = 0; doctype && i < kDoctype.size(); ++i) {
        char c = lt[2 + i];
        doctype = (c == kDoctype[i] || c == kDoctype[i] - 32);
    }
    if (!doctype) {
        // What the end of the input cut short may still have become one of them.
        const std::size_t left = static_cast<std::size_t>(end_ - lt);
        for (const std::string_view markup : {std::string_view("<!--"), std::string_view("<![CDATA[")}) {
            if (left < markup.size() && std::memcmp(lt, markup.data(), left) == 0) {
                return cut_off(event);
            }
        }
        bool doctype_prefix = left < 9;
        for (std::size_t i = 2; doctype_prefix && i < left; ++i) {
            doctype_prefix = lt[i] == kDoctype[i - 2] || lt[i] == kDoctype[i - 2] - 32;
        }
        if (doctype_prefix) {
            return cut_off(event);
        }
        return error_at(lt, "unknown markup after '<!'");
    }
    // The declaration ends at the first `>` outside quotes and outside the
    // bracketed internal subset; the subset is never interpreted.
    std::size_t depth = 0;
    for (const char* p = lt + 9; p != end_; ++p) {
        const char c = *p;
        if (c == '"' || c == '\'') {
            const char* close = find_byte(p + 1, end_, c);
            if (close == nullptr) {
                break;
            }
            p = close;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (depth != 0) {
                --depth;
            }
        } else if (c == '>' && depth == 0) {
            event.kind = EventKind::DocType;
            event.text = view(lt + 9, p);
            pos_ = p + 1;
            return {};
        }
    }
    return cut_off(event);  // unclosed DOCTYPE declaration
}

}  // namespace quorvel
