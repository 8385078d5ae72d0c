// The `incar` section: the input parameters as VASP echoes them, typed by
// their `type` attribute, and the entries that the `parameters` section
// shares with it. Conversion never fails; what does not convert stays a
// string.
#include <limits>

#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// T, TRUE, .TRUE., F, FALSE, .FALSE. in any letter case. The long s (U+017F)
// upper-cases to S, so it spells FALSE as well as an ASCII s does.
std::optional<bool> parse_logical(std::string_view text) {
    if (text.size() > 16) {
        return std::nullopt;  // longer than any spelling: not worth a copy
    }
    std::string upper;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\xC5' && i + 1 < text.size() && text[i + 1] == '\xBF') {
            upper += 'S';
            ++i;
        } else {
            upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        }
    }
    if (upper == "T" || upper == "TRUE" || upper == ".TRUE.") {
        return true;
    }
    if (upper == "F" || upper == "FALSE" || upper == ".FALSE.") {
        return false;
    }
    return std::nullopt;
}

// The value of a text whose type is not a number: a string, an integer or
// a logical, kept as the text itself when it does not convert.
std::optional<IncarValue> typed_value(std::string_view text, std::string_view type) {
    if (type == "string") {
        return std::string(text);
    }
    if (type == "int") {
        std::int64_t value = 0;
        if (parse_integer(trim_whitespace(text), value)) {
            return value;
        }
        return std::string(text);
    }
    if (type == "logical") {
        if (std::optional<bool> value = parse_logical(trim_whitespace(text))) {
            return *value;
        }
        return std::string(text);
    }
    return std::nullopt;
}

// The numbers of the tokens of a text, which may come a piece at a time.
// A vector keeps NaN in place of a token that is not a number, so that
// MAGMOM stays aligned with the atoms; a float leaves it out.
class TokenNumbers {
public:
    explicit TokenNumbers(bool vector) noexcept : vector_(vector) {}

    void add(std::string_view piece) {
        for_each_token(piece, [&](std::string_view token) {
            double value = std::numeric_limits<double>::quiet_NaN();
            const bool number = parse_f64(token, value);
            any_ = any_ || number;
            if (number || vector_) {
                numbers_.push_back(value);
            }
            return true;
        });
    }

    // The text itself when no token is a number; else one float, or a
    // list (always, for a vector).
    IncarValue value(std::string_view text) && {
        if (!any_) {
            return std::string(text);
        }
        if (numbers_.size() == 1 && !vector_) {
            return numbers_[0];
        }
        return std::move(numbers_);
    }

private:
    std::vector<double> numbers_;
    bool vector_;
    bool any_ = false;
};

}  // namespace

IncarValue convert_incar_value(std::string_view text, std::string_view type) {
    if (std::optional<IncarValue> value = typed_value(text, type)) {
        return std::move(*value);
    }
    TokenNumbers numbers(false);
    numbers.add(text);
    return std::move(numbers).value(text);
}

IncarValue convert_vector_value(std::string_view text) {
    TokenNumbers numbers(true);
    numbers.add(text);
    return std::move(numbers).value(text);
}

Status read_parameter(XmlCursor& cursor, const XmlEvent& start, ParameterMap& map, bool keep_held) {
    const bool vector = start.name == "v";
    const std::optional<std::string_view> name = get_attribute(start, "name");
    if (vector && !name) {
        return cursor.skip_element();
    }
    const std::string_view type = get_attribute(start, "type").value_or("float");
    std::string_view text;
    QV_TRY(cursor.read_text(text));
    if (!name) {
        return {};
    }
    std::optional<IncarValue> value = vector ? std::nullopt : typed_value(text, type);
    if (!value) {
        // Numbers a few megabytes at a time: a MAGMOM of 10^8 stops like the rest.
        TokenNumbers numbers(vector);
        QV_TRY(cursor.for_each_piece(text, [&](std::string_view piece) { numbers.add(piece); }));
        value = std::move(numbers).value(text);
    }
    map.insert(std::string(*name), std::move(*value), keep_held);
    return {};
}

void read_empty_parameter(const XmlEvent& empty, ParameterMap& map, bool keep_held) {
    if (const std::optional<std::string_view> name = get_attribute(empty, "name")) {
        // No text to guess a number from: a string, unless the type says otherwise.
        const std::string_view type = get_attribute(empty, "type").value_or("string");
        map.insert(std::string(*name), empty.name == "v" ? convert_vector_value("") : convert_incar_value("", type),
                   keep_held);
    }
}

Status parse_incar(XmlCursor& cursor, ParameterMap& incar) {
    incar = ParameterMap{};
    const auto is_entry = [](const XmlEvent& child) { return child.name == "i" || child.name == "v"; };
    return for_each_child(
        cursor, "incar",
        [&](const XmlEvent& child) -> Status {
            return is_entry(child) ? read_parameter(cursor, child, incar, false) : cursor.skip_element();
        },
        [&](const XmlEvent& child) -> Status {
            if (is_entry(child)) {
                read_empty_parameter(child, incar, false);
            }
            return {};
        });
}

}  // namespace quorvel
