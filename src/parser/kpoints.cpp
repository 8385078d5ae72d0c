// The `kpoints` section: the k-point list and weights, the recipe that
// generated them, and the labels of a band-structure path.
#include <type_traits>

#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// The tokens of a text that are signed 32-bit integers; the others are dropped.
std::vector<std::int32_t> integer_list(std::string_view text) {
    std::vector<std::int32_t> values;
    for_each_token(text, [&](std::string_view token) {
        std::int32_t value = 0;
        if (parse_integer(token, value)) {
            values.push_back(value);
        }
        return true;
    });
    return values;
}

Status read_weights(XmlCursor& cursor, std::vector<double>& weights) {
    weights.clear();
    std::vector<double> row;
    return for_each_varray_row(cursor, [&](std::string_view text) -> Status {
        QV_TRY(parse_float_list(text, row));
        if (row.empty()) {
            return ParseError::parse_value("", "f64", "empty weight row");
        }
        weights.push_back(row.front());
        return {};
    });
}

// Label indices are 1-based in the file; 0 and below clamp to index 0
// after the sign-extended value is taken as unsigned.
Status read_label_indices(XmlCursor& cursor, std::vector<std::uint64_t>& indices) {
    indices.clear();
    return for_each_varray_row(cursor, [&](std::string_view text) -> Status {
        const std::vector<std::int32_t> values = integer_list(text);
        if (!values.empty()) {
            const auto index = static_cast<std::uint64_t>(static_cast<std::int64_t>(values.front()));
            indices.push_back(index == 0 ? 0 : index - 1);
        }
        return {};
    });
}

Status read_labels(XmlCursor& cursor, std::vector<std::string>& labels) {
    labels.clear();
    return for_each_varray_row(cursor, [&](std::string_view text) -> Status {
        labels.emplace_back(text);
        return {};
    });
}

// The vector of the recipe called `name` (its field of that name), when it is one.
std::optional<Vec3>* generation_vector(KpointGeneration& generation, std::string_view name) noexcept {
    std::optional<Vec3>* vector = nullptr;
    for_each_field(generation, [&](auto field) {
        if constexpr (std::is_same_v<typename decltype(field)::Value, std::optional<Vec3>>) {
            if (name == field.name) {
                vector = &field.value;
            }
        }
    });
    return vector;
}

// The divisions from three integers of type "int", each vector from three
// numbers of any type; a later valid one replaces an earlier.
Status parse_generation(XmlCursor& cursor, KpointGeneration& generation) {
    return for_each_child(cursor, "generation", [&](const XmlEvent& child) -> Status {
        if (child.name != "v") {
            return cursor.skip_element();
        }
        const std::optional<std::string_view> name = get_attribute(child, "name");
        const std::optional<std::string_view> type = get_attribute(child, "type");
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        if (name == "divisions" && type == "int") {
            const std::vector<std::int32_t> values = integer_list(text);
            if (values.size() >= 3) {
                generation.divisions = std::array<std::int32_t, 3>{values[0], values[1], values[2]};
            }
        } else if (std::optional<Vec3>* vector = generation_vector(generation, name.value_or(""))) {
            Vec3 value;
            if (parse_vec3(text, value).ok()) {
                *vector = value;
            }
        }
        return {};
    });
}

}  // namespace

Status parse_kpoints(XmlCursor& cursor, KpointSet& kpoints) {
    std::optional<std::vector<Vec3>> kpointlist;
    std::optional<std::vector<double>> weights;
    std::vector<std::string> labels;
    std::vector<std::uint64_t> label_indices;
    std::optional<KpointGeneration> generation;
    QV_TRY(for_each_child(cursor, "kpoints", [&](const XmlEvent& child) -> Status {
        if (child.name == "generation") {
            KpointGeneration read;
            read.scheme = std::string(get_attribute(child, "param").value_or("unknown"));
            QV_TRY(parse_generation(cursor, read));
            generation = std::move(read);
            return {};
        }
        if (child.name != "varray") {
            return cursor.skip_element();
        }
        const std::string_view name = get_attribute(child, "name").value_or("");
        if (name == "kpointlist") {
            kpointlist.emplace();
            return cursor.read_vec3_rows(*kpointlist);
        }
        if (name == "weights") {
            weights.emplace();
            return read_weights(cursor, *weights);
        }
        if (name == "labels") {
            return read_labels(cursor, labels);
        }
        if (name == "labelindex") {
            return read_label_indices(cursor, label_indices);
        }
        return cursor.skip_element();
    }));
    if (!kpointlist) {
        return ParseError::missing_element("varray[kpointlist]");
    }
    if (!weights) {
        return ParseError::missing_element("varray[weights]");
    }
    kpoints.kpointlist = std::move(*kpointlist);
    kpoints.weights = std::move(*weights);
    kpoints.labels.clear();
    const std::size_t pairs = std::min(labels.size(), label_indices.size());
    for (std::size_t i = 0; i < pairs; ++i) {
        kpoints.labels.push_back(KpointLabel{label_indices[i], std::move(labels[i])});
    }
    kpoints.generation = std::move(generation);
    return {};
}

}  // namespace quorvel
