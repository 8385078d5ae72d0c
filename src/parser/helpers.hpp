// The cursor every section parser reads through, and its shared reading
// helpers: skipping elements by events or by byte search, attributes, element
// text, floats, 3-vectors and the rows of a `varray`.
//
// Section parsers are entered right after their own start tag and return
// right after their own end tag; the end of input ends every level quietly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "consumed_text.hpp"
#include "error.hpp"
#include "heap_array.hpp"
#include "parser/number_rows.hpp"
#include "parser/xml_reader.hpp"
#include "values.hpp"

namespace quorvel {

class XmlCursor {
public:
    // `consumed`, when given, is told how far the reading has come (see
    // checkpoint); `interruption`, when given, is asked every few megabytes
    // whether to stop; `supply`, when given, writes the document on beyond
    // its end (see XmlReader::read_from). All must outlive the cursor.
    explicit XmlCursor(std::string_view document, ConsumedText* consumed = nullptr,
                       const Interruption* interruption = nullptr, TextSupply* supply = nullptr) noexcept;

    // Every event is a point at which a long read may stop (see
    // interruption_point): one comparison.
    Status next_event(XmlEvent& event) {
        QV_TRY(interruption_point());
        return reader_.next(event);
    }

    // Consumes events up to and including the end tag that closes the element
    // whose start tag was just read, or to the end of the input. End-tag
    // names are not compared.
    Status skip_element();

    // Moves to just after the first `</name>` in the raw document, without
    // producing events; nesting is not looked at. Without one, the element
    // is cut off (the end of the input) when no `</modeling` follows, and
    // otherwise a MissingElement error.
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
    // general way. Inlined, so that the tag name is a constant for the
    // comparisons: this runs once per row of a bulk section.
    template <class Sink>
    [[gnu::always_inline]] inline bool read_number_element(std::string_view name, Sink&& sink) noexcept {
        const char* p = reader_.next_byte();
        const char* const end = reader_.document_end();
        p = skip_xml_space(p, end);
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

    // Up to `max_rows` rows `<r>` that each hold exactly `skip + width`
    // plain numbers, read straight from the document into `out`, `width`
    // places a row, through `Sink{row, skip, width}`. Returns how many were
    // read; the row after them, if any, is still to be read.
    template <class Sink>
    std::size_t read_full_rows(std::size_t skip, std::size_t width, double* out, std::size_t max_rows) noexcept {
        const char* p = reader_.next_byte();
        const std::size_t rows = quorvel::read_full_rows<Sink>(p, reader_.document_end(), skip, width, out, max_rows);
        reader_.move_to(p);
        return rows;
    }

    // Whether the reading has met the end of the input: a section parser
    // that returns with this set was cut short rather than closed.
    bool input_ended() const noexcept { return reader_.ended(); }

    // Where the next unread byte is, and its offset in the document.
    const char* position() const noexcept { return reader_.next_byte(); }
    std::uint64_t offset() const noexcept { return reader_.position(); }

    // Where loops that read long stretches of text tell the owner of the
    // text how far they have come: the text before `floor` is still in use,
    // and `rows`, when given, is the array being filled from what was read.
    // Fails with Interrupted when the caller asked to stop. One comparison
    // until a step's worth of text has been read.
    Status checkpoint(const char* floor, HeapArray<double>* rows = nullptr) {
        if (reinterpret_cast<std::uintptr_t>(reader_.next_byte()) >= checkpoint_at_) [[unlikely]] {
            return passed_checkpoint(floor, rows);
        }
        return {};
    }

    // The same for loops that hold views into all the text they read: only
    // whether to stop.
    Status interruption_point() {
        if (reinterpret_cast<std::uintptr_t>(reader_.next_byte()) >= interrupt_at_) [[unlikely]] {
            return check_interruption();
        }
        return {};
    }

    // Calls `on_piece(piece)` over `text` a few megabytes at a time, cut at
    // ASCII white space (never inside a token), asking between two pieces
    // whether to stop: a text of hundreds of megabytes then takes no longer
    // to stop than the rest of the document. A short text is one piece.
    template <class OnPiece>
    Status for_each_piece(std::string_view text, OnPiece&& on_piece) {
        constexpr std::size_t kPiece = std::size_t{4} << 20;
        while (text.size() > kPiece) {
            const std::size_t cut = text.find_first_of(" \t\n\r", kPiece);
            if (cut == std::string_view::npos) {
                break;
            }
            on_piece(text.substr(0, cut));
            text.remove_prefix(cut);
            QV_TRY(ask_to_stop());
        }
        on_piece(text);
        return {};
    }

    // The rows of the `varray` whose start tag was just read.
    Status read_vec3_rows(std::vector<Vec3>& rows);
    Status read_float_rows(FloatRows& rows);

private:
    // `cut_by_the_end`: the text runs to the end of the input.
    Status unescape(std::string_view raw, std::string_view& text, bool cut_by_the_end = false);
    Status ask_to_stop();
    Status passed_checkpoint(const char* floor, HeapArray<double>* rows);
    Status check_interruption();
    void schedule_checkpoint() noexcept;

    XmlReader reader_;
    ConsumedText* consumed_;
    const Interruption* interruption_;
    std::uintptr_t interrupt_at_;   // the reading position from which the caller is asked again
    std::uintptr_t checkpoint_at_;  // the reading position that calls passed_checkpoint
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

// Calls `on_row(text)` with the text of every `v` of the `varray` whose
// start tag was just read; other children are skipped.
template <class OnRow>
Status for_each_varray_row(XmlCursor& cursor, OnRow&& on_row) {
    return for_each_child(cursor, "varray", [&](const XmlEvent& child) -> Status {
        if (child.name != "v") {
            return cursor.skip_element();
        }
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        return on_row(text);
    });
}

}  // namespace quorvel
