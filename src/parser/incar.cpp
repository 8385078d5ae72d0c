// The `incar` section: the input parameters as VASP echoes them, typed by
// their `type` attribute. Conversion never fails; what does not convert
// stays a string.
#include "parser/numbers.hpp"
#include "parser/sections.hpp"

namespace quorvel {

namespace {

// T, TRUE, .TRUE., F, FALSE, .FALSE. in any letter case. The long s (U+017F)
// upper-cases to S, so it spells FALSE as well as an ASCII s does.
std::optional<bool> parse_logical(std::string_view text) {
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

}  // namespace

IncarValue convert_incar_value(std::string_view text, std::string_view type) {
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
    std::vector<double> numbers;
    for_each_token(text, [&](std::string_view token) {
        double value = 0.0;
        if (parse_f64(token, value)) {
            numbers.push_back(value);
        }
        return true;
    });
    if (numbers.empty()) {
        return std::string(text);
    }
    if (numbers.size() == 1) {
        return numbers[0];
    }
    return numbers;
}

Status parse_incar(XmlCursor& cursor, IncarMap& incar) {
    incar = IncarMap{};
    auto on_start = [&](const XmlEvent& child) -> Status {
        if (child.name != "i") {
            return cursor.skip_element(child.name);
        }
        const std::optional<std::string_view> name = get_attribute(child, "name");
        const std::string_view type = get_attribute(child, "type").value_or("float");
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        if (name) {
            incar.insert_or_assign(std::string(*name), convert_incar_value(text, type));
        }
        return {};
    };
    // An empty `<i name="X"/>` has no text to guess a number from: it is a string.
    auto on_empty = [&](const XmlEvent& child) -> Status {
        if (child.name == "i") {
            if (const std::optional<std::string_view> name = get_attribute(child, "name")) {
                const std::string_view type = get_attribute(child, "type").value_or("string");
                incar.insert_or_assign(std::string(*name), convert_incar_value("", type));
            }
        }
        return {};
    };
    return for_each_child(cursor, "incar", on_start, on_empty);
}

}  // namespace quorvel
