// Structure: crystal, positions and the species attached to them.
#include <sstream>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Symbols = std::vector<std::string>;

// A varray of `count` rows "i 0 -i", i = 1, 2, ...
std::string rows(std::string_view name, int count) {
    std::string xml = "<varray name=\"" + std::string(name) + "\">";
    for (int i = 1; i <= count; ++i) xml += "<v>" + std::to_string(i) + " 0 " + std::to_string(-i) + "</v>";
    return xml + "</varray>";
}

std::string crystal(std::string_view inner) { return "<crystal>" + std::string(inner) + "</crystal>"; }
std::string volume(std::string_view text) { return "<i name=\"volume\">" + std::string(text) + "</i>"; }

const std::string kCrystal = crystal(rows("basis", 3) + volume(" 125.5 ") + rows("rec_basis", 3));
const std::string kPositions = rows("positions", 2);
const Symbols kSi{"Si", "Si"};

// "species,... / first coordinates of the positions / volume / lattice[2] / rec_basis[2]" or the error.
std::string describe(std::string_view content, const Symbols& species, bool close = true) {
    FragmentCursor fragment("<structure name=\"x\">" + std::string(content) + (close ? "</structure>" : ""));
    Structure s;
    const Status status = parse_structure(
        fragment.cursor(), species.empty() ? nullptr : std::make_shared<const Symbols>(species), s);
    if (!status.ok()) return text_of(status);
    std::ostringstream out;
    for (const std::string& name : s.species.to_vector()) out << name << ",";
    out << " / positions";
    for (const Vec3& p : s.positions) out << " " << p[0];
    out << " / volume " << s.volume << " / " << s.lattice[2][0] << " " << s.lattice[2][2] << " / "
        << s.rec_basis[2][0] << " " << s.rec_basis[2][2];
    return out.str();
}

using Case = std::tuple<std::string, Symbols, std::string>;  // structure content, species, outcome
class StructureSection : public ::testing::TestWithParam<Case> {};

TEST_P(StructureSection, ReadsOrFails) {
    const auto& [content, species, expected] = GetParam();
    EXPECT_EQ(describe(content, species), expected);
}

const std::string kCell = " / volume 125.5 / 3 -3 / 3 -3";
const std::string kNoVolume = "Si,Si, / positions 1 2 / volume 0 / 3 -3 / 3 -3";
const std::string kBadShape = "Unexpected array shape: expected ";

INSTANTIATE_TEST_SUITE_P(
    Structure, StructureSection,
    ::testing::Values(
        // species from the list, "X" without one; any child order; unknown children skipped
        Case{"<varray name=\"constraints\"><v>T</v></varray>" + kPositions + "<x>" + volume("1") + "</x>" + kCrystal, kSi,
             "Si,Si, / positions 1 2" + kCell},
        Case{kCrystal + kPositions, {}, "X,X, / positions 1 2" + kCell},
        Case{kCrystal + rows("positions", 0), {}, " / positions" + kCell},
        Case{kCrystal + kPositions, {"A", "B", "C", "D"}, kBadShape + "[4], got [2]"},
        Case{kCrystal + rows("positions", 0), {"Si"}, kBadShape + "[1], got [0]"},
        // the first three basis rows; fewer than three is a shape error
        Case{crystal(rows("basis", 4) + rows("rec_basis", 5) + volume("1")) + kPositions, kSi,
             "Si,Si, / positions 1 2 / volume 1 / 3 -3 / 3 -3"},
        Case{crystal(rows("basis", 2) + rows("rec_basis", 3)) + kPositions, kSi, kBadShape + "[3, 3], got [2]"},
        Case{crystal(rows("basis", 3) + rows("rec_basis", 0)) + kPositions, kSi, kBadShape + "[3, 3], got [0]"},
        Case{crystal("<varray name=\"basis\"><v>1 2</v></varray>") + kPositions, kSi,
             "Failed to parse value '1 2' as [f64; 3]: expected 3 values, got 2"},
        // volume 0.0 when absent or not a number
        Case{crystal(rows("basis", 3) + rows("rec_basis", 3)) + kPositions, kSi, kNoVolume},
        Case{crystal(rows("basis", 3) + volume("*****") + rows("rec_basis", 3)) + kPositions, kSi, kNoVolume},
        Case{crystal(rows("basis", 3) + volume("1") + volume("1.0D+00") + rows("rec_basis", 3)) + kPositions, kSi,
             kNoVolume},
        // missing parts, in the order they are checked
        Case{"", kSi, "Missing element <crystal>"}, Case{kPositions + "<crystal/>", kSi, "Missing element <crystal>"},
        Case{kCrystal, kSi, "Missing element <varray[positions]>"},
        Case{kCrystal + "<varray name=\"positions\"/>", kSi, "Missing element <varray[positions]>"},
        Case{crystal("<varray><v>1 0 0</v></varray>") + kPositions, kSi, "Missing element <varray[basis]>"},
        Case{crystal(rows("basis", 3)) + kPositions, kSi, "Missing element <varray[rec_basis]>"}));

TEST(Structure, TruncatedAfterSomePositions) {
    const std::string full = kCrystal + rows("positions", 3);
    EXPECT_EQ(describe(full.substr(0, full.rfind("<v>") + 9), {}, false), "X,X,X, / positions 1 2 3" + kCell);
}

}  // namespace
}  // namespace quorvel::testing
