// A `structure` element: its `crystal` (lattice, reciprocal lattice, volume)
// and its fractional positions, with a species attached to every position.
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

struct Crystal {
    std::optional<Mat3> basis;
    std::optional<Mat3> rec_basis;
    double volume = 0.0;
};

Status read_three_rows(XmlCursor& cursor, std::optional<Mat3>& matrix) {
    std::vector<Vec3> rows;
    QV_TRY(cursor.read_vec3_rows(rows));
    if (rows.size() < 3) {
        return ParseError::shape_mismatch({3, 3}, {rows.size()});
    }
    matrix = Mat3{rows[0], rows[1], rows[2]};
    return {};
}

Status parse_crystal(XmlCursor& cursor, Crystal& crystal) {
    QV_TRY(for_each_child(cursor, "crystal", [&](const XmlEvent& child) -> Status {
        if (child.name == "i") {
            const bool is_volume = get_attribute(child, "name") == "volume";
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            if (is_volume && !parse_f64(text, crystal.volume)) {
                crystal.volume = 0.0;
            }
            return {};
        }
        if (child.name == "varray") {
            const std::optional<std::string_view> name = get_attribute(child, "name");
            if (name == "basis") {
                return read_three_rows(cursor, crystal.basis);
            }
            if (name == "rec_basis") {
                return read_three_rows(cursor, crystal.rec_basis);
            }
        }
        return cursor.skip_element();
    }));
    if (!crystal.basis) {
        return ParseError::missing_element("varray[basis]");
    }
    if (!crystal.rec_basis) {
        return ParseError::missing_element("varray[rec_basis]");
    }
    return {};
}

// The `T`/`F` flags of each row of a `selective` varray, three a row.
Status read_flag_rows(XmlCursor& cursor, std::vector<Flags3>& rows) {
    return for_each_varray_row(cursor, [&](std::string_view text) -> Status {
        Flags3 flags{};
        std::size_t count = 0;
        for (std::size_t at = 0; at < text.size();) {
            while (at < text.size() && is_xml_space(text[at])) {
                ++at;
            }
            const std::size_t start = at;
            while (at < text.size() && !is_xml_space(text[at])) {
                ++at;
            }
            if (start == at) {
                break;
            }
            const std::string_view token = text.substr(start, at - start);
            const char first = token[0] == '.' && token.size() > 1 ? token[1] : token[0];  // .TRUE.
            if (first != 'T' && first != 't' && first != 'F' && first != 'f') {
                return ParseError::parse_value(token, "bool", "not a logical flag");
            }
            if (count < 3) {
                flags[count] = first == 'T' || first == 't';
            }
            ++count;
        }
        if (count != 3) {
            return ParseError::parse_value(text, "[bool; 3]", "expected 3 values, got " + std::to_string(count));
        }
        rows.push_back(flags);
        return {};
    });
}

// Rows that belong to the positions, one each.
template <class Rows>
Status check_rows(const std::optional<Rows>& rows, std::size_t positions) {
    if (rows && rows->size() != positions) {
        return ParseError::shape_mismatch({positions}, {rows->size()});
    }
    return {};
}

}  // namespace

Status parse_structure(XmlCursor& cursor, const SpeciesList& species, Structure& structure) {
    std::optional<Crystal> crystal;
    std::optional<std::vector<Vec3>> positions;
    QV_TRY(for_each_child(cursor, "structure", [&](const XmlEvent& child) -> Status {
        if (child.name == "crystal") {
            Crystal read;
            QV_TRY(parse_crystal(cursor, read));
            crystal = std::move(read);
            return {};
        }
        if (child.name == "varray") {
            const std::optional<std::string_view> name = get_attribute(child, "name");
            if (name == "positions") {
                positions.emplace();
                return cursor.read_vec3_rows(*positions);
            }
            if (name == "selective") {
                structure.selective.emplace();
                return read_flag_rows(cursor, *structure.selective);
            }
            if (name == "velocities") {
                structure.velocities.emplace();
                return cursor.read_vec3_rows(*structure.velocities);
            }
        }
        return cursor.skip_element();
    }));
    if (!crystal) {
        return ParseError::missing_element("crystal");
    }
    if (!positions) {
        return ParseError::missing_element("varray[positions]");
    }
    if (!species || species->empty()) {
        structure.species = Species::placeholders(positions->size());
    } else if (species->size() != positions->size()) {
        return ParseError::shape_mismatch({species->size()}, {positions->size()});
    } else {
        structure.species = Species(species);
    }
    QV_TRY(check_rows(structure.selective, positions->size()));
    QV_TRY(check_rows(structure.velocities, positions->size()));
    structure.positions = std::move(*positions);
    structure.lattice = *crystal->basis;
    structure.rec_basis = *crystal->rec_basis;
    structure.volume = crystal->volume;
    return {};
}

}  // namespace quorvel
