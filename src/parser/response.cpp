// What linear-response and finite-difference runs write into their
// calculation: the static dielectric tensors, the Born effective charges and
// the dynamical matrix.
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// The three numbers of each `v` of the element whose start tag was just read,
// appended to `values`; how many rows there were.
Status append_vec3_rows(XmlCursor& cursor, std::string_view element, HeapArray<double>& values, std::size_t& rows) {
    rows = 0;
    return for_each_child(cursor, element, [&](const XmlEvent& child) -> Status {
        if (child.name != "v") {
            return cursor.skip_element();
        }
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        Vec3 row;
        QV_TRY(parse_vec3(text, row));
        values.append(row.data(), 3);
        ++rows;
        return {};
    });
}

// A `varray` of as many rows as each row has numbers.
Status read_square(XmlCursor& cursor, DenseArray<2>& matrix) {
    FloatRows rows;
    QV_TRY(cursor.read_float_rows(rows));
    const std::size_t n = rows.size();
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t length = rows.offsets[r + 1] - rows.offsets[r];
        if (length != n) {
            return ParseError::shape_mismatch({n, n}, {r + 1, length});
        }
    }
    matrix.shape = {n, n};
    matrix.data.append(rows.values.data(), rows.values.size());
    return {};
}

}  // namespace

Status parse_tensor(XmlCursor& cursor, Mat3& tensor) {
    std::vector<Vec3> rows;
    QV_TRY(cursor.read_vec3_rows(rows));
    if (rows.size() != 3) {
        return ParseError::shape_mismatch({3, 3}, {rows.size(), 3});
    }
    tensor = Mat3{rows[0], rows[1], rows[2]};
    return {};
}

Status parse_born_charges(XmlCursor& cursor, DenseArray<3, 3, 3>& charges) {
    std::uint64_t atoms = 0;
    QV_TRY(for_each_child(cursor, "array", [&](const XmlEvent& child) -> Status {
        if (child.name != "set") {
            return cursor.skip_element();
        }
        std::size_t rows = 0;
        QV_TRY(append_vec3_rows(cursor, "set", charges.data, rows));
        if (rows != 3) {
            return ParseError::shape_mismatch({3, 3}, {rows, 3});
        }
        ++atoms;
        return {};
    }));
    charges.shape = {atoms, 3, 3};
    return {};
}

Status parse_dynmat(XmlCursor& cursor, Dynmat& dynmat) {
    std::optional<DenseArray<2>> hessian, eigenvectors;
    std::optional<HeapArray<double>> eigenvalues;
    QV_TRY(for_each_child(cursor, "dynmat", [&](const XmlEvent& child) -> Status {
        const std::optional<std::string_view> name = get_attribute(child, "name");
        if (child.name == "varray" && (name == "hessian" || name == "eigenvectors")) {
            std::optional<DenseArray<2>>& slot = name == "hessian" ? hessian : eigenvectors;
            slot.emplace();
            return read_square(cursor, *slot);
        }
        if (child.name == "v" && name == "eigenvalues") {
            std::string_view text;
            QV_TRY(cursor.read_text(text));
            std::vector<double> values;
            QV_TRY(parse_float_list(text, values));
            eigenvalues.emplace();
            eigenvalues->append(values.data(), values.size());
            return {};
        }
        return cursor.skip_element();
    }));
    if (!hessian) {
        return ParseError::missing_element("varray[hessian]");
    }
    if (!eigenvalues) {
        return ParseError::missing_element("v[eigenvalues]");
    }
    if (!eigenvectors) {
        return ParseError::missing_element("varray[eigenvectors]");
    }
    // One eigenvalue and one eigenvector per row of the matrix.
    const std::uint64_t n = hessian->shape[0];
    if (eigenvalues->size() != n) {
        return ParseError::shape_mismatch({n}, {eigenvalues->size()});
    }
    if (eigenvectors->shape[0] != n) {
        return ParseError::shape_mismatch({n, n}, {eigenvectors->shape[0], eigenvectors->shape[1]});
    }
    dynmat.hessian = std::move(*hessian);
    dynmat.eigenvalues = std::move(*eigenvalues);
    dynmat.eigenvectors = std::move(*eigenvectors);
    return {};
}

}  // namespace quorvel
