// The `dielectricfunction` element of a calculation: the imaginary and real
// parts, each a table of an energy and six tensor components per row.
#include "parser/sections.hpp"
#include "parser/set_tree.hpp"

namespace quorvel {

namespace {

constexpr std::size_t kComponents = 6;

struct Component {
    HeapArray<double> energies;
    DenseArray<2> values;  // (rows, 6)
};

Status read_component_array(XmlCursor& cursor, SetTree& tree, Component& component) {
    tree.clear();
    component.energies.clear();
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name != "set") {
            return cursor.skip_element(child.name);
        }
        component.energies.clear();
        return read_set_tree(cursor, tree, [&](std::size_t count, const double* row) -> Status {
            if (count != 0) {
                component.energies.push_back(row[0]);
            }
            return {};
        });
    }));
    const std::uint64_t rows = tree.rows;
    component.values.shape = {rows, kComponents};
    component.values.data = HeapArray<double>(static_cast<std::size_t>(rows * kComponents));
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < kComponents; ++c) {
            component.values.data[r * kComponents + c] = tree.values[r * (1 + kComponents) + 1 + c];
        }
    }
    return {};
}

Status parse_component(XmlCursor& cursor, std::string_view name, Component& component) {
    SetTree tree(0, 1 + kComponents);  // rows right in the set
    bool found = false;
    QV_TRY(for_each_child(cursor, name, [&](const XmlEvent& child) -> Status {
        if (child.name != "array") {
            return cursor.skip_element(child.name);
        }
        found = true;
        return read_component_array(cursor, tree, component);
    }));
    if (!found) {
        return ParseError::missing_element("array inside dielectric component");
    }
    return {};
}

}  // namespace

Status parse_dielectric(XmlCursor& cursor, DielectricData& dielectric) {
    std::optional<Component> imag;
    std::optional<Component> real;
    QV_TRY(for_each_child(cursor, "dielectricfunction", [&](const XmlEvent& child) -> Status {
        if (child.name == "imag" || child.name == "real") {
            std::optional<Component>& slot = child.name == "imag" ? imag : real;
            Component read;
            QV_TRY(parse_component(cursor, child.name, read));
            slot = std::move(read);
            return {};
        }
        return cursor.skip_element(child.name);
    }));
    if (!imag) {
        return ParseError::missing_element("imag inside dielectricfunction");
    }
    dielectric.energies = std::move(imag->energies);
    dielectric.imag = std::move(imag->values);
    if (real) {
        dielectric.real = std::move(real->values);
    } else {
        dielectric.real.shape = dielectric.imag.shape;
        dielectric.real.data = HeapArray<double>(dielectric.imag.data.size());
    }
    return {};
}

}  // namespace quorvel
