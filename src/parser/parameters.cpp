// The top-level `parameters` section: every parameter of the run, INCAR
// defaults included, grouped by `separator`s, flattened into one map by
// name. Entries convert as INCAR entries do.
#include <vector>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

// VASP lists some parameters again under this separator with the values of
// its response loop (NELM is often 1 there); they must not replace the
// run's own values.
constexpr std::string_view kResponseFunctions = "response functions";

}  // namespace

Status parse_parameters(XmlCursor& cursor, ParameterMap& parameters) {
    parameters = ParameterMap{};
    // Whether each open separator is, or lies inside, the response functions.
    // A stack rather than recursion, so that deep nesting costs no more than
    // its bytes.
    std::vector<bool> open;
    XmlEvent event;
    for (;;) {
        QV_TRY(cursor.next_event(event));
        switch (event.kind) {
            case EventKind::Start:
                if (event.name == "separator") {
                    open.push_back((!open.empty() && open.back()) ||
                                   get_attribute(event, "name") == kResponseFunctions);
                } else if (event.name == "i" || event.name == "v") {
                    QV_TRY(read_parameter(cursor, event, parameters, !open.empty() && open.back()));
                } else {
                    QV_TRY(cursor.skip_element());
                }
                break;
            case EventKind::Empty:
                if (event.name == "i" || event.name == "v") {
                    read_empty_parameter(event, parameters, !open.empty() && open.back());
                }
                break;
            case EventKind::End:
                if (event.name == "separator" && !open.empty()) {
                    open.pop_back();
                } else if (event.name == "parameters" && open.empty()) {
                    return {};
                }
                break;
            case EventKind::Eof:
                return {};
            default:
                break;
        }
    }
}

}  // namespace quorvel
