// A lenient XML pull tokenizer over a document held in memory.
//
// Events are views into the document: nothing is allocated per event. The
// reader keeps no stack of open elements, so end-tag names are not checked,
// unmatched end tags are ordinary events and reading may start at any byte
// offset. Text is trimmed of XML white space at both ends and white-space-only
// text produces no event; entities stay unresolved until someone asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error.hpp"
#include "text.hpp"
#include "text_supply.hpp"

namespace quorvel {


enum class EventKind : std::uint8_t {
    Start,    // <name attributes>
    End,      // </name>
    Empty,    // <name attributes/>
    Text,     // character data between markup, trimmed, entities unresolved
    CData,    // <![CDATA[...]]>
    Comment,  // <!--...-->
    Decl,     // <?xml ...?>
    PI,       // <?target ...?>
    DocType,  // <!DOCTYPE ...>
    Eof,
};

struct XmlEvent {
    EventKind kind = EventKind::Eof;
    std::string_view name;        // Start, End, Empty
    std::string_view attributes;  // Start, Empty: the raw bytes after the name
    std::string_view text;        // Text, CData, Comment, Decl, PI, DocType: the content
};

class XmlReader {
public:
    XmlReader() noexcept = default;
    // Reads `document` from byte offset `start` on, as if it began there.
    XmlReader(std::string_view document, std::size_t start) noexcept;

    // The document goes on beyond its end as `supply` writes more of it:
    // wherever the reading comes to the end, it waits for more, and only
    // the end of the whole text is an end of the input.
    void read_from(TextSupply* supply) noexcept {
        supply_ = supply;
        whole_ = supply == nullptr;
    }
    // Whether the text up to the end is all there is.
    bool whole() const noexcept { return whole_; }
    // Waits for more text (see read_from), at least as much again as lies
    // between the position and the end; the end moves on.
    Status wait_for_more();

    // The next event; Eof again and again at the end. Markup that the end of
    // the input cuts short (a lone `<`, a tag without its `>`, an unclosed
    // comment, CDATA section, processing instruction or DOCTYPE) is the end
    // of the input, at its start: a file cut off while it was written is a
    // file that ends there. Malformed markup is an Xml error and leaves the
    // position unchanged.
    Status next(XmlEvent& event);

    // When the next markup is an end tag with only text before it, the
    // common shape of an element with text, consumes both and gives the
    // trimmed text (possibly empty), as the Text and End events would.
    // Otherwise reads nothing and returns false.
    bool text_before_end_tag(std::string_view& text) noexcept;

    // When the next markup, after white space, is a plain `<name>` with only
    // text up to a plain `</name>`, passes all of it, as the Start, Text and
    // End events would, and returns true. Otherwise reads nothing.
    bool skip_text_element(std::string_view name) noexcept;

    // For callers that read a run of text themselves, straight from the
    // document: the next unread byte, the end of the document, and moving
    // on to a point between the two.
    const char* next_byte() const noexcept { return pos_; }
    const char* document_end() const noexcept { return end_; }
    void move_to(const char* p) noexcept { pos_ = p; }

    // Absolute byte offset of the next unread byte.
    std::size_t position() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }

    // Whether `next` has come to the end of the input.
    bool ended() const noexcept { return ended_; }
    // Reads no further: the input ends here.
    void end_input() noexcept {
        pos_ = end_;
        ended_ = true;
    }

private:
    Status read_markup(XmlEvent& event);
    Status read_tag(XmlEvent& event);
    Status read_declaration(XmlEvent& event);
    Status read_bang(XmlEvent& event);
    Status error_at(const char* where, const char* what) const;
    Status cut_off(XmlEvent& event) noexcept;
    Status next_in_text(XmlEvent& event);

    const char* begin_ = nullptr;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    bool ended_ = false;
    bool whole_ = true;       // false while the supply may write more
    bool starved_ = false;    // the last event needs more text than there is yet
    TextSupply* supply_ = nullptr;
};

}  // namespace quorvel
