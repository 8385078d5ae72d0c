// Shared helpers of the C++ tests: parsing documents held in strings and
// running one section parser over a fragment.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <zlib.h>

#include "parse.hpp"
#include "run_analysis.hpp"
#include "parser/helpers.hpp"
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel::testing {

// Under the sanitizers everything runs many times slower; the largest inputs are cut down.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// One gzip member of `data` made by zlib at compression `level` (window bits 31: gzip framing).
inline std::string gzip(std::string_view data, int level = Z_DEFAULT_COMPRESSION) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// An interruption that says stop from the `after`-th question on.
struct Asker {
    std::atomic<int> asked{0};
    int after;
    static bool stop(void* self) {
        auto& asker = *static_cast<Asker*>(self);
        return ++asker.asked >= asker.after;
    }
    Interruption interruption() { return Interruption{stop, this}; }
};

// The bytes of a file.
inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The display text of a failed status, or "ok".
inline std::string text_of(const Status& status) {
    return status.ok() ? std::string("ok") : status.error().to_string();
}

// Parses a whole document given as text.
inline ParseOutcome parse_text(std::string_view document, const ParseOptions& options = {}) {
    return parse_bytes(document, false, options);
}

// The error text of parsing `document`, or "ok".
inline std::string parse_error(std::string_view document, const ParseOptions& options = {}) {
    const ParseOutcome outcome = parse_text(document, options);
    return outcome.status == ParseStatus::Ok ? std::string("ok") : outcome.message();
}

// Places the cursor right after the first start tag of `fragment`, as the
// walker does before it calls a section parser.
class FragmentCursor {
public:
    explicit FragmentCursor(std::string fragment) : text_(std::move(fragment)), cursor_(text_) {
        XmlEvent event;
        do {
            EXPECT_TRUE(cursor_.next_event(event).ok());
        } while (event.kind != EventKind::Start && event.kind != EventKind::Eof);
    }
    XmlCursor& cursor() { return cursor_; }

private:
    std::string text_;
    XmlCursor cursor_;
};

// Runs `parse(cursor, out)` on the element that `fragment` starts with.
template <class T>
Status parse_fragment(std::string fragment, Status (*parse)(XmlCursor&, T&), T& out) {
    FragmentCursor fragment_cursor(std::move(fragment));
    return parse(fragment_cursor.cursor(), out);
}

// One `structure` element of `natoms` atoms, with an optional name attribute.
inline std::string structure_xml(std::size_t natoms, std::string_view name = "") {
    std::string xml = name.empty() ? "<structure>" : "<structure name=\"" + std::string(name) + "\">";
    xml +=
        "<crystal>"
        "<varray name=\"basis\"><v>5.0 0.0 0.0</v><v>0.0 5.0 0.0</v><v>0.0 0.0 5.0</v></varray>"
        "<i name=\"volume\">125.0</i>"
        "<varray name=\"rec_basis\"><v>0.2 0.0 0.0</v><v>0.0 0.2 0.0</v><v>0.0 0.0 0.2</v></varray>"
        "</crystal><varray name=\"positions\">";
    for (std::size_t i = 0; i < natoms; ++i) {
        const std::string x = std::to_string(static_cast<double>(i) / static_cast<double>(natoms));
        xml += "<v>" + x + " 0.0 0.5</v>";
    }
    xml += "</varray></structure>";
    return xml;
}

// The required top-level sections of a run file whose atoms are the
// space-separated symbols of `atoms` (all of one type each), without the
// `modeling` root.
inline std::string required_sections(std::string_view atoms = "Si Si") {
    std::string rows;
    std::size_t natoms = 0;
    for_each_token(atoms, [&](std::string_view symbol) {
        rows += "<rc><c>" + std::string(symbol) + "</c><c>1</c></rc>";
        ++natoms;
        return true;
    });
    return "<generator><i name=\"program\" type=\"string\">vasp</i>"
           "<i name=\"version\" type=\"string\">6.4.2</i></generator>"
           "<incar><i name=\"ENCUT\">500.0</i></incar>"
           "<atominfo><array name=\"atoms\"><set>" +
           rows +
           "</set></array><array name=\"atomtypes\"><field>atomspertype</field><field>element</field>"
           "<field>mass</field><field>valence</field><field>pseudopotential</field><set>"
           "<rc><c>" +
           std::to_string(natoms) +
           "</c><c>Si</c><c>28.085</c><c>4.0</c><c>PAW_PBE Si 05Jan2001</c></rc></set></array></atominfo>"
           "<kpoints><varray name=\"kpointlist\"><v>0 0 0</v><v>0.5 0 0</v></varray>"
           "<varray name=\"weights\"><v>0.5</v><v>0.5</v></varray></kpoints>" +
           structure_xml(natoms, "initialpos");
}

// A minimal complete run file; `body` goes inside `modeling` after the
// required sections.
inline std::string run_file(std::string_view body = "", std::string_view atoms = "Si Si") {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<modeling>" + required_sections(atoms) +
           std::string(body) + "</modeling>\n";
}

// Nested sets written from a pattern: "[" opens a set, "]" closes it, "#" is
// an empty set, a number n adds n rows, anything else is copied; `row(k)` is
// the text of the k-th row.
template <class Row>
std::string sets_xml(std::string_view tree, Row&& row) {
    std::string xml;
    std::size_t rows = 0, k = 0;
    for (char c : tree) {
        if (c >= '0' && c <= '9') {
            rows = rows * 10 + static_cast<std::size_t>(c - '0');
            continue;
        }
        for (; rows > 0; --rows, ++k) {
            xml += "<r>";
            xml += row(k);
            xml += "</r>";
        }
        xml += c == '[' ? "<set>" : c == ']' ? "</set>" : c == '#' ? "<set></set>" : std::string(1, c);
    }
    return xml;
}

// `width` values of which the j-th is 10k + j: every value tells its place.
inline std::string counting_row(std::size_t k, std::size_t width) {
    std::string row;
    for (std::size_t j = 0; j < width; ++j) {
        row += std::to_string(10 * k + j);
        row += ' ';
    }
    return row;
}

}  // namespace quorvel::testing
