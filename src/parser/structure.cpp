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
        if (child.name == "varray" && get_attribute(child, "name") == "positions") {
            positions.emplace();
            return cursor.read_vec3_rows(*positions);
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
    structure.positions = std::move(*positions);
    structure.lattice = *crystal->basis;
    structure.rec_basis = *crystal->rec_basis;
    structure.volume = crystal->volume;
    return {};
}

}  // namespace quorvel
