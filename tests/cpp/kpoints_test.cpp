// K-points: the point list, weights, generation recipe and labels.
#include <sstream>
#include <type_traits>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string varray(std::string_view name, const std::vector<std::string>& rows) {
    std::string xml = "<varray name=\"" + std::string(name) + "\">";
    for (const std::string& v : rows) xml += "<v>" + v + "</v>";
    return xml + "</varray>";
}

const std::string kList = varray("kpointlist", {"0 0 0", "0.25 0 0", "0.5 0.5 0"});
const std::string kWeights = varray("weights", {"0.25", "0.5", "0.25"});
const std::string kBase = kList + kWeights;
const std::string kPoints = "3 points (0 0 0) (0.25 0 0) (0.5 0.5 0)";
const std::string kPlain = kPoints + ", weights 0.25 0.5 0.25";
const std::string kDiv = "<v name=\"divisions\" type=\"int\">";
const std::string kShift = "<v name=\"usershift\">";
const std::string kFourLabels = varray("labels", {"G", "X", "X", "W"});

// A generation element with `items`, then the points and their weights.
std::string generation(std::string_view items, std::string_view open = "<generation>") {
    return std::string(open) + std::string(items) + "</generation>" + kBase;
}

// "N points (x y z) ..., weights ..., scheme AxBxC usershift x y z genvec1 x y z ..., index:label ..."
// (the vectors that were written) or the error.
std::string describe(std::string_view content) {
    KpointSet set;
    const Status status = parse_fragment("<kpoints>" + std::string(content) + "</kpoints>", parse_kpoints, set);
    if (!status.ok()) return text_of(status);
    std::ostringstream out;
    out << set.kpointlist.size() << " points";
    for (const Vec3& k : set.kpointlist) out << " (" << k[0] << " " << k[1] << " " << k[2] << ")";
    out << ", weights";
    for (double w : set.weights) out << " " << w;
    if (const auto& g = set.generation) {
        out << ", " << g->scheme;
        if (g->divisions) out << " " << (*g->divisions)[0] << "x" << (*g->divisions)[1] << "x" << (*g->divisions)[2];
        for_each_field(*g, [&](auto field) {
            if constexpr (std::is_same_v<typename decltype(field)::Value, std::optional<Vec3>>) {
                if (field.value) out << " " << field.name << " " << (*field.value)[0] << " " << (*field.value)[1] << " " << (*field.value)[2];
            }
        });
    }
    for (const KpointLabel& l : set.labels) out << ", " << l.index << ":" << l.label;
    return out.str();
}

using Case = std::pair<std::string, std::string>;  // section content, outcome
class KpointSection : public ::testing::TestWithParam<Case> {};

TEST_P(KpointSection, ReadsOrFails) { EXPECT_EQ(describe(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Kpoints, KpointSection,
    ::testing::Values(
        Case{generation(kDiv + "4 4 4 </v>" + kShift + "0.0 0.5 0.0</v><v name=\"shift\">1 1 1</v>",
                        "<generation param=\"Monkhorst-Pack\">"),
             kPlain + ", Monkhorst-Pack 4x4x4 usershift 0 0.5 0 shift 1 1 1"},
        Case{kBase, kPlain},
        // generation: divisions only from three integers of type "int"; each vector only from three numbers
        Case{generation(kDiv + "4 x 4 4</v>"), kPlain + ", unknown 4x4x4"},
        Case{generation(kDiv + "4 4</v>"), kPlain + ", unknown"},
        Case{generation(kDiv + "2147483648 -1 +2 3 4</v>"), kPlain + ", unknown -1x2x3"},
        Case{generation(kDiv + "5 5 5</v>" + kDiv + "6 6</v>"), kPlain + ", unknown 5x5x5"},
        Case{generation("<v name=\"divisions\">4 4 4</v><v name=\"divisions\" type=\"Int\">4 4 4</v>"),
             kPlain + ", unknown"},
        Case{generation("<v name=\"usershift\" type=\"int\">0.5 0.5 1</v>" + kShift + "0.5 0.5</v>"
                        "<v name=\"usershift\">a</v>"),
             kPlain + ", unknown usershift 0.5 0.5 1"},
        // the five vectors in their fixed order, whatever the file's; a later valid one replaces an earlier
        Case{generation("<v name=\"shift\">0.5 0.5 0.5</v><v name=\"genvec3\">0 0 0.25</v>"
                        "<v name=\"genvec2\">0 0.25 0</v><v name=\"genvec1\">0.25 0 0</v>"
                        "<v name=\"genvec1\">0.5 0 0</v><v name=\"genvec1\">1 2</v>" + kShift + "-0 1e-3 7</v>"
                        "<v name=\"genvec4\">1 1 1</v><v>1 1 1</v>",
                        "<generation param=\"Gamma\">"),
             kPlain + ", Gamma usershift -0 0.001 7 genvec1 0.5 0 0 genvec2 0 0.25 0 genvec3 0 0 0.25 shift 0.5 0.5 0.5"},
        // weights: the first number of each row
        Case{kList + varray("weights", {"1", "2 3", "*****"}), kPoints + ", weights 1 2 nan"},
        Case{kList + "<varray name=\"weights\"><v/><v>1</v></varray>", kPoints + ", weights 1"},
        Case{kList + varray("weights", {"1", ""}), "Failed to parse value '' as f64: empty weight row"},
        Case{kList + varray("weights", {"   "}), "Failed to parse value '' as f64: empty weight row"},
        Case{kList + varray("weights", {"0.5x"}), "Failed to parse value '0.5x' as f64: invalid float"},
        // labels paired with one-based indices, up to the shorter list
        Case{kBase + kFourLabels + varray("labelindex", {"1", "10", "11", "20"}),
             kPlain + ", 0:G, 9:X, 10:X, 19:W"},
        Case{kBase + varray("labelindex", {"1", "10", "11"}) + kFourLabels, kPlain + ", 0:G, 9:X, 10:X"},
        Case{kBase + varray("labels", {"G", " K &amp; M "}) + varray("labelindex", {"0", "-1", "5"}),
             kPlain + ", 0:G, 18446744073709551614:K & M"},
        Case{kBase + varray("labels", {"A", "B"}) + varray("labelindex", {"x", "", "5 9", "6"}), kPlain + ", 4:A, 5:B"},
        Case{kBase + kFourLabels, kPlain}, Case{kBase + varray("labelindex", {"1"}), kPlain},
        // required varrays
        Case{kWeights, "Missing element <varray[kpointlist]>"},
        Case{"<varray name=\"kpointlist\"/>" + kWeights, "Missing element <varray[kpointlist]>"},
        Case{kList + varray("weight", {"1"}), "Missing element <varray[weights]>"},
        Case{varray("kpointlist", {"0.5 0.5"}) + kWeights,
             "Failed to parse value '0.5 0.5' as [f64; 3]: expected 3 values, got 2"},
        Case{varray("kpointlist", {}) + varray("weights", {"1"}), "0 points, weights 1"},
        Case{kBase + varray("kpointlist", {"1 1 1"}), "1 points (1 1 1), weights 0.25 0.5 0.25"}));

}  // namespace
}  // namespace quorvel::testing
