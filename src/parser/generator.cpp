// The `generator` section: which program wrote the file, and when.
#include "parser/sections.hpp"

namespace quorvel {

Status parse_generator(XmlCursor& cursor, GeneratorInfo& generator) {
    generator = GeneratorInfo{};
    return for_each_child(cursor, "generator", [&](const XmlEvent& child) -> Status {
        const std::optional<std::string_view> name = get_attribute(child, "name");
        std::string_view text;
        QV_TRY(cursor.read_text(text));
        std::string* field = nullptr;
        if (name == "program") {
            field = &generator.program;
        } else if (name == "version") {
            field = &generator.version;
        } else if (name == "subversion") {
            field = &generator.subversion;
        } else if (name == "platform") {
            field = &generator.platform;
        } else if (name == "date") {
            field = &generator.date;
        } else if (name == "time") {
            field = &generator.time;
        }
        if (field != nullptr) {
            field->assign(text);
        }
        return {};
    });
}

}  // namespace quorvel
