// The sections of one level of a run file as data: the element (and the
// `name` attribute it must carry), where its value goes, the parser that
// reads it, the option that asks for it, whether the run needs it, and how
// one that comes again is merged. The walker (the top level) and the
// calculation parser dispatch, pass over, merge and check their children by
// their tables alone, so that a new section is a row.
#pragma once

#include <bitset>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "parse_options.hpp"
#include "parser/helpers.hpp"
#include "run_record.hpp"

namespace quorvel {

// The atom list read so far, handed to every structure; null before the
// atom list.
using SpeciesList = Species::Symbols;

// What the rows of a calculation share beyond its step.
struct CalculationContext;

// An element or attribute name of a row. Its length and its first and last
// bytes are packed in one word, so that telling names apart takes one
// comparison: a child is compared with every row of its parent's table.
class SectionName {
public:
    constexpr SectionName() noexcept = default;
    consteval SectionName(const char* text) : text_(text), key_(key_of(text_)) {}

    static constexpr std::uint64_t key_of(std::string_view name) noexcept {
        if (name.empty()) {
            return 0;
        }
        return std::uint64_t{static_cast<std::uint32_t>(name.size())} |
               std::uint64_t{static_cast<unsigned char>(name.front())} << 32 |
               std::uint64_t{static_cast<unsigned char>(name.back())} << 40;
    }

    // Whether `name`, whose key_of is `key`, is this name.
    bool matches(std::string_view name, std::uint64_t key) const noexcept {
        return key == key_ && name.size() == text_.size() && same_bytes(name.data(), text_.data(), name.size());
    }
    constexpr bool empty() const noexcept { return text_.empty(); }
    constexpr std::string_view text() const noexcept { return text_; }

    // Whether the `size` bytes at `a` and `b` are equal, once their keys are.
    // Names are short: two loads a side that overlap where they must, and
    // no call.
    static bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
        const auto word = [](const char* p, auto width) {
            decltype(width) value;
            std::memcpy(&value, p, sizeof value);
            return value;
        };
        if (size >= 8) {
            for (std::size_t at = 0; at + 8 < size; at += 8) {
                if (word(a + at, std::uint64_t{}) != word(b + at, std::uint64_t{})) {
                    return false;
                }
            }
            return word(a + size - 8, std::uint64_t{}) == word(b + size - 8, std::uint64_t{});
        }
        if (size >= 4) {
            return word(a, std::uint32_t{}) == word(b, std::uint32_t{}) &&
                   word(a + size - 4, std::uint32_t{}) == word(b + size - 4, std::uint32_t{});
        }
        return size < 2 || a[size / 2] == b[size / 2];  // the first and last bytes are in the key
    }

private:

    std::string_view text_;
    std::uint64_t key_ = 0;
};

// Whether two short texts are equal, without a call.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    if (a.size() >= 4) {
        return SectionName::same_bytes(a.data(), b.data(), a.size());  // whole words that cover them
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// The record's names of the electronic steps' energy terms, as they are
// met. A term's name is most likely the one after the previous term's, and
// the first of a row the first of the previous row's, so that naming a term
// mostly takes one comparison of short texts.
class ScstepTermNames {
public:
    // `names` is the record's list, which grows only through this.
    explicit ScstepTermNames(std::vector<std::string>& names) noexcept : names_(names) {}

    // The index of `name` in the list.
    std::uint32_t index(std::string_view name) {
        std::uint32_t found = next_;
        if (found >= texts_.size() || !same_text(texts_[found], name)) [[unlikely]] {
            found = search(name);
        }
        next_ = found + 1;
        return found;
    }
    // The next name starts a row.
    void start_row() noexcept { next_ = row_start_; }
    // The last row started with the name at `index`.
    void row_started_with(std::uint32_t index) noexcept { row_start_ = index; }

private:
    // The index of `name`, found among all or added.
    std::uint32_t search(std::string_view name);

    std::vector<std::string>& names_;
    std::vector<std::string_view> texts_;  // of the names, made again whenever one is added
    std::uint32_t next_ = 0;               // the index the next name most likely has
    std::uint32_t row_start_ = 0;          // the first name of the last row
};

// What the rows of a table read into: the record, and inside a calculation
// the ionic step that it is building.
class SectionWalk {
public:
    SectionWalk(XmlCursor& text, const ParseOptions& wanted, RunRecord& result) noexcept
        : cursor(text), options(wanted), record(result), scstep_term_names(result.scstep_term_names) {}

    XmlCursor& cursor;
    const ParseOptions& options;
    RunRecord& record;
    IonicStep* step = nullptr;
    CalculationContext* calculation = nullptr;

    // The top level after the first calculation: a structure without a name
    // there starts a step that a machine-learned force field predicted,
    // which is one once its energy is read whole.
    bool calculation_read = false;
    std::optional<IonicStep> predicted;
    bool predicted_whole = false;
    bool final_structure_read = false;  // a top-level structure went to the final one
    // The electronic steps and their terms of the last step read, for which
    // the next step makes room at once.
    std::size_t scsteps_held = 0;
    std::size_t scstep_terms_held = 0;
    ScstepTermNames scstep_term_names;

    // The symbols of the record's atom list, made once for every structure
    // read after it; null while it has none.
    const SpeciesList& species() {
        if (!species_ && !record.atom_info.atoms.empty()) {
            species_ = std::make_shared<const std::vector<std::string>>(record.atom_info.atoms);
        }
        return species_;
    }
    // A new atom list is being read.
    void forget_species() noexcept { species_.reset(); }

private:
    SpeciesList species_;
};

// How a section that comes again within the same parent element is merged
// with the one held.
enum class Merge : std::uint8_t {
    LastWins,   // it replaces the one held (or, where its place is a list, joins it)
    FirstKept,  // the first is kept; a later one goes to the next row that takes
                // it, or is passed over by byte search when none does
};

// Parses a section whose start tag was just read and puts its value in place.
using ReadSection = Status (*)(SectionWalk& walk, const XmlEvent& start);

struct Section {
    SectionName element;
    SectionName name = {};                 // the `name` attribute it must have; empty: any or none
    bool ParseOptions::*option = nullptr;  // read only when set, else passed over by byte search
    std::string_view required = {};        // MissingElement text when no whole one was read
    Merge merge = Merge::LastWins;
    ReadSection read = nullptr;
};

// Which rows of a table have read a whole section within one parent element.
inline constexpr std::size_t kMaxSections = 32;
using HeldSections = std::bitset<kMaxSections>;

// Reads the child whose start tag is `child` with the first row of `table`
// that takes it, and marks that row held when the child was whole. A child
// that no row names is skipped by events.
Status read_section(SectionWalk& walk, std::span<const Section> table, const XmlEvent& child, HeldSections& held);

// The MissingElement error of the first row that the run needs and that
// holds nothing.
Status check_required(std::span<const Section> table, const HeldSections& held);

// The row of `table` for `element` with `name`.
consteval std::size_t row_of(std::span<const Section> table, std::string_view element, std::string_view name = {}) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].element.text() == element && table[i].name.text() == name) {
            return i;
        }
    }
    throw "no such row";
}

// Reads the element whose start tag was just read with `parse(value)` and
// hands the value to `place`. An element that the end of the input cuts off
// contributes nothing, and what went wrong in its cut text is no error: a
// run killed while writing its file keeps what it wrote whole.
template <class T, class Parse, class Place>
Status read_whole(XmlCursor& cursor, Parse&& parse, Place&& place) {
    T value;
    Status status = parse(value);
    // A request to stop is no error of the text.
    if (cursor.input_ended() && (status.ok() || status.error().kind() != ErrorKind::Interrupted)) {
        return {};
    }
    QV_TRY(std::move(status));
    place(std::move(value));
    return {};
}

template <class T>
Status parse_into(std::optional<T>& slot, XmlCursor& cursor, Status (*parse)(XmlCursor&, T&)) {
    return read_whole<T>(
        cursor, [&](T& value) { return parse(cursor, value); }, [&](T&& value) { slot = std::move(value); });
}

namespace detail {

template <class Parse>
struct ParsedBy;
template <class Context, class T>
struct ParsedBy<Status (*)(Context&, T&)> {
    using Type = T;
};

template <class Slot>
struct OwnerOf;
template <class Member, class Owner>
struct OwnerOf<Member Owner::*> {
    using Type = Owner;
};

inline RunRecord& owner(SectionWalk& walk, std::type_identity<RunRecord>) noexcept { return walk.record; }
inline IonicStep& owner(SectionWalk& walk, std::type_identity<IonicStep>) noexcept { return *walk.step; }

}  // namespace detail

// The reader of a row: `Parse` (taking the cursor, or the walk where it needs
// more, such as the atom list) reads the section's value whole, and it goes
// to `Slot` of the record or of the calculation's step, replacing what that
// held, or appended where `Slot` is a list of such values.
template <auto Slot, auto Parse>
Status into(SectionWalk& walk, const XmlEvent&) {
    using Value = typename detail::ParsedBy<decltype(Parse)>::Type;
    using Owner = typename detail::OwnerOf<decltype(Slot)>::Type;
    return read_whole<Value>(
        walk.cursor,
        [&](Value& value) {
            if constexpr (std::is_invocable_v<decltype(Parse), XmlCursor&, Value&>) {
                return Parse(walk.cursor, value);
            } else {
                return Parse(walk, value);
            }
        },
        [&](Value&& value) {
            auto& slot = detail::owner(walk, std::type_identity<Owner>{}).*Slot;
            if constexpr (std::is_same_v<std::remove_reference_t<decltype(slot)>, std::vector<Value>>) {
                slot.push_back(std::move(value));
            } else {
                slot = std::move(value);
            }
        });
}

// The reader of a row whose element is passed over by events.
inline Status skip_section(SectionWalk& walk, const XmlEvent&) { return walk.cursor.skip_element(); }

}  // namespace quorvel
