// The `projected` element of a calculation: the weight of every orbital of
// every ion in every band state, as one dense five-axis array.
#include <algorithm>

#include "parser/sections.hpp"
#include "parser/set_tree.hpp"

namespace quorvel {

namespace {

Status read_array(XmlCursor& cursor, SetTree& tree, ProjectedArray& projected) {
    tree.clear();
    projected.orbitals.clear();
    std::size_t longest_row = 0;
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name == "field") {
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            projected.orbitals.emplace_back(text);
            return {};
        }
        if (child.name != "set") {
            return cursor.skip_element(child.name);
        }
        // VASP writes the fields before the sets, so rows are laid out at
        // their final width from the start.
        tree.clear();
        tree.set_width(std::max<std::size_t>(1, projected.orbitals.size()));
        longest_row = 0;
        return read_set_tree(cursor, tree, [&](std::size_t count, const double*) -> Status {
            longest_row = std::max(longest_row, count);
            return {};
        });
    }));
    if (tree.counts[0].empty() || tree.counts[0].front() == 0) {
        return ParseError::missing_element("spin sets in projected");
    }
    const std::size_t norbitals = std::max<std::size_t>(1, projected.orbitals.size());
    if (longest_row > norbitals) {
        return ParseError::shape_mismatch({norbitals}, {longest_row});
    }
    // Fields after the data: rows were kept at the width known then, which
    // must have held every value.
    if (longest_row > tree.width) {
        return ParseError::shape_mismatch({tree.width}, {longest_row});
    }
    tree.set_width(norbitals);
    const std::vector<std::uint64_t> dims = first_set_dimensions(tree);
    QV_TRY(build_dense(tree, dims, projected.values.data));
    projected.values.shape = {dims[0], dims[1], dims[2], dims[3], norbitals};
    return {};
}

}  // namespace

Status parse_projected_section(XmlCursor& cursor, ProjectedArray& projected) {
    SetTree tree(3, 1);  // spin, k-point, band; one row per ion
    bool found = false;
    QV_TRY(for_each_child(cursor, "projected", [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element(child.name);
        }
        found = true;
        return read_array(cursor, tree, projected);
    }));
    if (!found) {
        return ParseError::missing_element("array inside projected");
    }
    return {};
}

}  // namespace quorvel
