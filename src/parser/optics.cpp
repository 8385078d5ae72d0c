// The dielectric functions and conductivity tables of a run, in a
// calculation or outside any (GW, BSE and RPA runs write theirs there): each
// joins the record's list in file order, and a calculation's replace those
// of an earlier calculation.
#include <algorithm>

#include "parser/sections.hpp"

namespace quorvel {

namespace {

std::optional<std::string> comment_of(const XmlEvent& start) {
    const std::optional<std::string_view> comment = get_attribute(start, "comment");
    return comment ? std::optional<std::string>(*comment) : std::nullopt;
}

// What a dielectric function is: the density-density or current-current
// response by its comment, or, without one (VASP 5), by its place in its
// calculation; otherwise what its comment says.
std::optional<std::string> label_of(const std::optional<std::string>& comment, const CalculationContext* calculation) {
    if (comment == "density-density" || (!comment && calculation != nullptr && calculation->unlabelled == 0)) {
        return "density";
    }
    if (comment == "current-current" || (!comment && calculation != nullptr && calculation->unlabelled == 1)) {
        return "current";
    }
    return comment;
}

// Appends `entry`; the first of a calculation first drops those of an
// earlier calculation.
template <class T>
void join(std::vector<T>& list, T&& entry, std::size_t& of_this_calculation) {
    if (entry.in_calculation && of_this_calculation++ == 0) {
        std::erase_if(list, [](const T& held) { return held.in_calculation; });
    }
    list.push_back(std::move(entry));
}

}  // namespace

Status read_dielectric_function(SectionWalk& walk, const XmlEvent& start) {
    DielectricFunction function;
    function.comment = comment_of(start);
    const bool labelled = function.comment.has_value();
    function.in_calculation = walk.calculation != nullptr;
    function.label = label_of(function.comment, walk.calculation);
    QV_TRY(read_whole<DielectricData>(
        walk.cursor, [&](DielectricData& data) { return parse_dielectric(walk.cursor, data); },
        [&](DielectricData&& data) {
            function.data = std::move(data);
            std::size_t outside = 0;
            join(walk.record.dielectric_functions, std::move(function),
                 walk.calculation != nullptr ? walk.calculation->dielectric_functions : outside);
        }));
    if (walk.calculation != nullptr && !labelled) {
        ++walk.calculation->unlabelled;  // whole or not: the next one is the next in place
    }
    return {};
}

Status read_conductivity(SectionWalk& walk, const XmlEvent& start) {
    return read_whole<Conductivity>(
        walk.cursor, [&](Conductivity& table) { return parse_conductivity(walk.cursor, table); },
        [&](Conductivity&& table) {
            table.comment = comment_of(start);
            table.in_calculation = walk.calculation != nullptr;
            std::size_t outside = 0;
            join(walk.record.conductivity, std::move(table),
                 walk.calculation != nullptr ? walk.calculation->conductivity : outside);
        });
}

}  // namespace quorvel
