// Atom info: atoms by their first cell, atom types by column title, cell errors.
#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>

#include "test_support.hpp"

// Every allocation of the test program is counted, so that a test can bound
// the work of a parse by what it allocates rather than by the time it takes.
namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The compiler cannot tell that these frees pair with the malloc above.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quorvel::testing {
namespace {

const std::string kAtoms =
    "<array name=\"atoms\"><field type=\"string\">element</field><field type=\"int\">atomtype</field>"
    "<set><rc><c> Si </c><c>   1</c></rc><rc><c>Si</c><c>1</c></rc></set></array>";
const std::string kFields =
    "<field type=\"int\">atomspertype</field><field type=\"string\">element</field><field>mass</field>"
    "<field>valence</field><field type=\"string\">pseudopotential</field>";
const std::string kSilicon = "Si,Si, / 2|Si|28.085|4|PAW_PBE Si 05Jan2001";
const std::string kBadCount = "' as usize: atomspertype is not a valid integer";
const std::string kBadMass = "' as f64: mass is not a valid float";

std::string types(std::string_view fields, std::string_view rows) {
    return "<array name=\"atomtypes\"><dimension dim=\"1\">type</dimension>" + std::string(fields) + "<set>" +
           std::string(rows) + "</set></array>";
}

std::string row(std::string_view count, std::string_view mass = "28.085", std::string_view valence = "4.0") {
    return "<rc><c>" + std::string(count) + "</c><c>Si</c><c>" + std::string(mass) + "</c><c>" +
           std::string(valence) + "</c><c>PAW_PBE Si 05Jan2001</c></rc>";
}

// The atoms array, then an atomtypes array of the usual columns with `rows`.
std::string usual(std::string_view rows) { return kAtoms + types(kFields, rows); }

// "atom,atom, / count|element|mass|valence|pseudopotential ..." or the error.
std::string describe(std::string_view content, bool close = true) {
    AtomInfo info;
    const Status status =
        parse_fragment("<atominfo>" + std::string(content) + (close ? "</atominfo>" : ""), parse_atominfo, info);
    if (!status.ok()) return text_of(status);
    std::ostringstream out;
    for (const std::string& atom : info.atoms) out << atom << ",";
    out << " /";
    for (const AtomType& t : info.atom_types) {
        out << " " << t.count << "|" << t.element << "|" << t.mass << "|" << t.valence << "|" << t.pseudopotential;
    }
    return out.str();
}

using Case = std::pair<std::string, std::string>;  // section content, outcome
class AtomInfoSection : public ::testing::TestWithParam<Case> {};

TEST_P(AtomInfoSection, ReadsOrFailsWithTheCellText) { EXPECT_EQ(describe(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    AtomInfo, AtomInfoSection,
    ::testing::Values(
        Case{"<atoms>       2 </atoms><types>       1 </types>" + kAtoms +
                 types(kFields, "<rc><c>   2</c><c>Si</c><c>     28.08500000</c><c>      4.00000000</c>"
                                "<c>  PAW_PBE Si 05Jan2001                  </c></rc>"),
             kSilicon},
        // types by title whatever the column order; atoms by first cell whatever the titles
        Case{types("<field>element</field><field>pseudopotential</field><field>valence</field><field>mass</field>"
                   "<field>atomspertype</field>",
                   "<rc><c>Si</c><c>PAW_PBE Si 05Jan2001</c><c>4</c><c>28.085</c><c>+2</c></rc>") +
                 "<array name=\"atoms\"><field>atomtype</field><field>element</field><set><rc><c>1</c><c>Si</c>"
                 "</rc><rc></rc><rc><c/><c>Ge</c><c>Sn</c></rc></set></array>",
             "1,,Ge, / 2|Si|28.085|4|PAW_PBE Si 05Jan2001"},
        // an empty-element cell is no cell; a missing cell is empty
        Case{kAtoms + types("<field>atomspertype</field><field>mass</field><field>valence</field>"
                            "<field>element</field><field>pseudopotential</field>",
                            "<rc><c>2</c><c>28.085</c><c/><c>4</c><c>Si</c></rc>"),
             "Si,Si, / 2|Si|28.085|4|"},
        Case{usual(row("7")) +
                 "<array name=\"atoms\"><set><rc><c>Ge</c></rc></set><set><rc><c>Sn</c></rc></set></array>" +
                 types(kFields, row("9") + "</set><set>" + row("2")) + "<array name=\"x\"><set><rc/></set></array>",
             "Sn, / 2|Si|28.085|4|PAW_PBE Si 05Jan2001"},
        Case{kAtoms + types("", ""), "Si,Si, /"},
        Case{usual(row("+18446744073709551615")), "Si,Si, / 18446744073709551615|Si|28.085|4|PAW_PBE Si 05Jan2001"},
        Case{usual(row(" -2")), "Failed to parse value '-2" + kBadCount},
        Case{usual(row("2.0")), "Failed to parse value '2.0" + kBadCount},
        Case{usual(row("")), "Failed to parse value '" + kBadCount},
        Case{usual(row("+")), "Failed to parse value '+" + kBadCount},
        Case{usual(row("1 2")), "Failed to parse value '1 2" + kBadCount},
        Case{usual(row("18446744073709551616")), "Failed to parse value '18446744073709551616" + kBadCount},
        Case{usual(row("x", "y")), "Failed to parse value 'x" + kBadCount},
        Case{usual(row("2", "*****")), "Failed to parse value '*****" + kBadMass},
        Case{usual(row("2", "28.1D0")), "Failed to parse value '28.1D0" + kBadMass},
        Case{usual(row("2", "28", "four")), "Failed to parse value 'four' as f64: valence is not a valid float"},
        Case{usual("<rc><c>2</c><c>Si</c></rc>"), "Failed to parse value '" + kBadMass},
        Case{kAtoms + types("<field>atomspertype</field><field>element</field><field>mass</field>", row("2")),
             "Failed to parse value '' as f64: valence is not a valid float"},
        Case{"<array><set/></array>" + types(kFields, row("2")), "Missing element <array[atoms]>"},
        Case{"<array name=\"atoms\"/>", "Missing element <array[atoms]>"},
        Case{kAtoms + "<array name=\"other\"><set><rc/></set></array>", "Missing element <array[atomtypes]>"}));

// Cut off, the section reads what it can; the walker keeps nothing of it (see walker_test).
TEST(AtomInfo, TruncatedSectionReadsWhatItCan) {
    const std::string full = usual(row("2") + row("3"));
    EXPECT_EQ(describe(full.substr(0, full.rfind("PAW") + 3), false), kSilicon + " 3|Si|28.085|4|PAW");
    EXPECT_EQ(describe("<array name=\"atoms\"><set><rc><c>Si", false), "Missing element <array[atomtypes]>");
    EXPECT_EQ(describe(kAtoms + "<atoms>2", false), "Missing element <array[atomtypes]>");
}

// Many titles and many sets cost in proportion to their number, not to their product: the column
// of each title is not looked up again for every set.
TEST(AtomInfo, ManyTitlesAndSetsCostLinearWork) {
    const auto allocations_for = [](std::size_t count) {
        std::string fields = kFields;
        for (std::size_t i = 0; i < count; ++i) fields += "<field>extra" + std::to_string(i) + "</field>";
        std::string sets;
        for (std::size_t i = 0; i < count; ++i) sets += "<set>" + row("2") + "</set>";
        const std::string content = kAtoms + "<array name=\"atomtypes\">" + fields + sets + "</array>";
        const std::size_t before = g_allocations.load();
        EXPECT_EQ(describe(content), kSilicon);
        return g_allocations.load() - before;
    };
    const std::size_t small = allocations_for(1000), large = allocations_for(4000);
    EXPECT_LT(large, 6 * small) << small << " then " << large;  // four times the input; quadratic would be 16
}

}  // namespace
}  // namespace quorvel::testing
