// The `eigenvalues` element of a calculation: energy and occupancy of every
// band at every k-point of every spin, as one dense array.
#include "parser/sections.hpp"
#include "parser/set_tree.hpp"

namespace quorvel {

namespace {

Status read_array(XmlCursor& cursor, SetTree& tree, EigenvalueArray& eigenvalues) {
    tree.clear();
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name != "set") {
            return cursor.skip_element(child.name);
        }
        return read_set_tree(cursor, tree, [&](std::size_t count, const double*) -> Status {
            if (count < 2) {
                return ParseError::shape_mismatch({2}, {count});
            }
            return {};
        });
    }));
    if (tree.counts[0].empty() || tree.counts[0].front() == 0) {
        return ParseError::missing_element("spin sets in eigenvalues");
    }
    const std::vector<std::uint64_t> dims = first_set_dimensions(tree);
    QV_TRY(build_dense(tree, dims, eigenvalues.values.data));
    eigenvalues.values.shape = {dims[0], dims[1], dims[2], 2};
    return {};
}

}  // namespace

Status parse_eigenvalues(XmlCursor& cursor, EigenvalueArray& eigenvalues) {
    SetTree tree(2, 2);  // spin, k-point; rows of energy and occupancy
    bool found = false;
    QV_TRY(for_each_child(cursor, "eigenvalues", [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element(child.name);
        }
        found = true;
        return read_array(cursor, tree, eigenvalues);
    }));
    if (!found) {
        return ParseError::missing_element("array inside eigenvalues");
    }
    return {};
}

}  // namespace quorvel
