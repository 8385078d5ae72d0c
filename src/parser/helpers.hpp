// The cursor every section parser reads through, and its shared reading
// helpers: skipping elements by events or by byte search, attributes, element
// text, floats, 3-vectors and the rows of a `varray`.
//
// Section parsers are entered right after their own start tag and return
// right after their own end tag; the end of input ends every level quietly.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "parser/number_rows.hpp"
#include "parser/xml_reader.hpp"
#include "run_record.hpp"

namespace quorvel {

// Whether the cursor may hand the memory of text it has read past back to
// the system, and how much it gathers before it does. Only for a text whose
// pages the caller owns and will not read again: released text reads as
// zeros.
struct ConsumedText {
    bool release = false;
    // The text is a mapping of its own, so its pages may also be moved into
    // the arrays being filled (which would cut up the allocator's memory
    // otherwise).
    bool movable = false;
    std::size_t step = std::size_t{4} << 20;
};

class XmlCursor {
public:
    explicit XmlCursor(std::string_view document, ConsumedText consumed = {}) noexcept;

    Status next_event(XmlEvent& event) { return reader_.next(event); }

    // Consumes events up to and including the end tag that closes the element
    // whose start tag was just read. End-tag names are not compared.
    Status skip_element(std::string_view name);

    // Moves to just after the first `</name>` in the raw document, without
    // producing events; nesting is not looked at.
    Status fast_skip(std::string_view name);

    // The text of the element whose start tag was just read: the last text
    // node before the next end tag (or the end of input), entities resolved
    // and Unicode white space trimmed. The view stays valid until the next
    // read_text.
    Status read_text(std::string_view& text);

    // The numbers of a following `<name>` element without attributes whose
    // text is nothing but ASCII white space and plain decimals, read straight
    // from the document: each goes to `sink(double)`. Returns false when the
    // next element is not of that shape; then nothing counts as read (the
    // sink may have been given values) and the element is to be read the
    // general way.
    template <class Sink>
    bool read_number_element(std::string_view name, Sink&& sink) noexcept {
        const char* p = reader_.next_byte();
        const char* const end = reader_.document_end();
        // Rows are indented: a line end, then a run of blanks.
        while (p != end && is_xml_space(*p)) {
            p = *p == ' ' ? skip_blanks(p, end) : p + 1;
        }
        if (static_cast<std::size_t>(end - p) < name.size() + 2 || p[0] != '<' ||
            std::memcmp(p + 1, name.data(), name.size()) != 0 || p[1 + name.size()] != '>') {
            return false;
        }
        const char* markup = nullptr;
        if (!parse_floats_before_markup(p + name.size() + 2, end, sink, markup)) {
            return false;
        }
        // Only the matching end tag, written plainly, ends the element here.
        if (static_cast<std::size_t>(end - markup) < name.size() + 3 || markup[1] != '/' ||
            std::memcmp(markup + 2, name.data(), name.size()) != 0 || markup[2 + name.size()] != '>') {
            return false;
        }
        reader_.move_to(markup + name.size() + 3);
        return true;
    }

    // Where the next unread byte is.
    const char* position() const noexcept { return reader_.next_byte(); }

    // Bytes of the document not read yet.
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(reader_.document_end() - reader_.next_byte()); }

    // Gives the memory of the text read so far back to the system, but not
    // that before `floor`, when the cursor may and a step's worth has piled
    // up. The caller holds no view into that text. Text is read once, from
    // front to back, so this keeps a large document from sitting in memory
    // whole beside what is parsed out of it.
    void release_consumed(const char* floor) noexcept {
        release_consumed(floor, [](char*, std::size_t) noexcept { return false; });
    }

    // The same, but the whole pages of that text are first offered to
    // `take(pages, bytes)`, which returns true when it took them over. Once
    // it declines, the rest of the text is only given back: a system that
    // cannot move pages is not asked again and again.
    template <class Take>
    void release_consumed(const char* floor, Take&& take) noexcept {
        if (reader_.next_byte() >= release_at_) {
            char* pages = nullptr;
            std::size_t bytes = 0;
            if (!consumed_pages(floor, pages, bytes)) {
                return;
            }
            if (consumed_.movable && take(pages, bytes)) {
                return;
            }
            consumed_.movable = false;
            release_pages(pages, pages + bytes);
        }
    }

    // The rows of the `varray` whose start tag was just read.
    Status read_vec3_rows(std::vector<Vec3>& rows);
    Status read_float_rows(FloatRows& rows);


private:
    Status unescape(std::string_view raw, std::string_view& text);
    bool consumed_pages(const char* floor, char*& pages, std::size_t& bytes) noexcept;

    std::string_view document_;
    XmlReader reader_;
    ConsumedText consumed_;
    const char* released_;    // text before this was given back, or is kept
    const char* release_at_;  // the position from which release_consumed looks again
    std::string scratch_;  // unescaped text; reused so that text costs no allocation
};

// The raw value of attribute `name` of a start or empty-element tag.
// Malformed attributes are passed over; the first well-formed match wins.
std::optional<std::string_view> get_attribute(const XmlEvent& event, std::string_view name);

// Float list of a text (asterisk runs are NaN). `values` is replaced.
Status parse_float_list(std::string_view text, std::vector<double>& values);

// The first three numbers of a text.
Status parse_vec3(std::string_view text, Vec3& vector);

// The ParseValue error for a token that is not a float.
ParseError invalid_float(std::string_view token);

// Reads the content of element `name`, whose start tag was just read, up to
// its end tag or the end of input. Each child start tag goes to
// `on_start(event)`, which must consume the child; each empty-element tag to
// `on_empty(event)`. Everything else is passed over.
template <class OnStart, class OnEmpty>
Status for_each_child(XmlCursor& cursor, std::string_view name, OnStart&& on_start, OnEmpty&& on_empty) {
    XmlEvent event;
    for (;;) {
        QV_TRY(cursor.next_event(event));
        switch (event.kind) {
            case EventKind::Start:
                QV_TRY(on_start(event));
                break;
            case EventKind::Empty:
                QV_TRY(on_empty(event));
                break;
            case EventKind::End:
                if (event.name == name) {
                    return {};
                }
                break;
            case EventKind::Eof:
                return {};
            default:
                break;
        }
    }
}

template <class OnStart>
Status for_each_child(XmlCursor& cursor, std::string_view name, OnStart&& on_start) {
    return for_each_child(cursor, name, on_start, [](const XmlEvent&) { return Status(); });
}

}  // namespace quorvel
