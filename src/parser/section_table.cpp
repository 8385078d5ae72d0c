#include "parser/section_table.hpp"

namespace quorvel {

Status read_section(SectionWalk& walk, std::span<const Section> table, const XmlEvent& child, HeldSections& held) {
    const std::uint64_t element = SectionName::key_of(child.name);
    std::optional<std::string_view> name;  // the child's `name`, looked up for the first row that asks
    std::uint64_t name_key = 0;
    bool name_read = false;
    bool named = false;  // some row names the child
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Section& row = table[i];
        if (!row.element.matches(child.name, element)) {
            continue;
        }
        if (!row.name.empty()) {
            if (!name_read) {
                name = get_attribute(child, "name");
                name_key = name ? SectionName::key_of(*name) : 0;
                name_read = true;
            }
            if (!name || !row.name.matches(*name, name_key)) {
                continue;
            }
        }
        named = true;
        if (row.merge == Merge::FirstKept && held[i]) {
            continue;
        }
        if (row.option != nullptr && !(walk.options.*row.option)) {
            return walk.cursor.fast_skip(child.name);
        }
        QV_TRY(row.read(walk, child));
        if (!walk.cursor.input_ended()) {
            held[i] = true;
        }
        return {};
    }
    return named ? walk.cursor.fast_skip(child.name) : walk.cursor.skip_element();
}

Status check_required(std::span<const Section> table, const HeldSections& held) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!table[i].required.empty() && !held[i]) {
            return ParseError::missing_element(std::string(table[i].required));
        }
    }
    return {};
}

}  // namespace quorvel
