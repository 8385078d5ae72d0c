// The `atominfo` section: the element of every atom (the first cell of each
// row of the "atoms" array) and the atom-type table (the "atomtypes" array,
// whose columns are found by their titles).
#include <unordered_map>

#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// Reads the `set` children of an `array`; `read_row` handles one `rc`. The
// rows of the last set win; an array without a set gives no rows.
template <class Row, class ReadRow, class OtherChild>
Status read_array_sets(XmlCursor& cursor, std::vector<Row>& rows, ReadRow&& read_row, OtherChild&& other_child) {
    rows.clear();
    return for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name != "set") {
            return other_child(child);
        }
        std::vector<Row> set_rows;
        QV_TRY(for_each_child(cursor, "set", [&](const XmlEvent& row) -> Status {
            if (row.name != "rc") {
                return cursor.skip_element();
            }
            Row value;
            QV_TRY(read_row(value));
            set_rows.push_back(std::move(value));
            return {};
        }));
        rows = std::move(set_rows);
        return {};
    });
}

// The texts of the `c` cells of one `rc`.
Status read_cells(XmlCursor& cursor, std::vector<std::string>& cells) {
    cells.clear();
    return for_each_child(cursor, "rc", [&](const XmlEvent& cell) -> Status {
        if (cell.name != "c") {
            return cursor.skip_element();
        }
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        cells.emplace_back(text);
        return {};
    });
}

Status read_atoms(XmlCursor& cursor, std::vector<std::string>& atoms) {
    std::vector<std::string> cells;
    return read_array_sets(
        cursor, atoms,
        [&](std::string& symbol) -> Status {
            QV_TRY(read_cells(cursor, cells));
            symbol = cells.empty() ? std::string() : std::string(trim_whitespace(cells.front()));
            return {};
        },
        [&](const XmlEvent&) { return cursor.skip_element(); });
}

Status to_atom_type(const std::vector<std::string>& cells,
                    const std::unordered_map<std::string, std::size_t>& columns, AtomType& type) {
    static const std::string kEmpty;
    auto cell = [&](const char* title) -> const std::string& {
        auto it = columns.find(title);
        return (it != columns.end() && it->second < cells.size()) ? cells[it->second] : kEmpty;
    };
    const std::string& count = cell("atomspertype");
    if (!parse_integer(trim_whitespace(count), type.count)) {
        return ParseError::parse_value(count, "usize", "atomspertype is not a valid integer");
    }
    const std::string& mass = cell("mass");
    if (!parse_f64(trim_whitespace(mass), type.mass)) {
        return ParseError::parse_value(mass, "f64", "mass is not a valid float");
    }
    const std::string& valence = cell("valence");
    if (!parse_f64(trim_whitespace(valence), type.valence)) {
        return ParseError::parse_value(valence, "f64", "valence is not a valid float");
    }
    type.element = cell("element");
    type.pseudopotential = cell("pseudopotential");
    return {};
}

Status read_atom_types(XmlCursor& cursor, std::vector<AtomType>& types) {
    // Column of each title read so far, kept up to date as titles come, so
    // that no set pays for the titles again; a repeated title takes its
    // later column.
    std::unordered_map<std::string, std::size_t> columns;
    std::size_t titles = 0;
    std::vector<std::string> cells;
    return read_array_sets(
        cursor, types,
        [&](AtomType& type) -> Status {
            QV_TRY(read_cells(cursor, cells));
            return to_atom_type(cells, columns, type);
        },
        [&](const XmlEvent& child) -> Status {
            if (child.name != "field") {
                return cursor.skip_element();
            }
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            columns.insert_or_assign(std::string(text), titles++);
            return {};
        });
}

}  // namespace

Status parse_atominfo(XmlCursor& cursor, AtomInfo& atom_info) {
    std::optional<std::vector<std::string>> atoms;
    std::optional<std::vector<AtomType>> types;
    QV_TRY(for_each_child(cursor, "atominfo", [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element();
        }
        const std::string_view name = get_attribute(child, "name").value_or("");
        if (name == "atoms") {
            atoms.emplace();
            return read_atoms(cursor, *atoms);
        }
        if (name == "atomtypes") {
            types.emplace();
            return read_atom_types(cursor, *types);
        }
        return cursor.skip_element();
    }));
    if (!atoms) {
        return ParseError::missing_element("array[atoms]");
    }
    if (!types) {
        return ParseError::missing_element("array[atomtypes]");
    }
    atom_info.atoms = std::move(*atoms);
    atom_info.atom_types = std::move(*types);
    return {};
}

}  // namespace quorvel
