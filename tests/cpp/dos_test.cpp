// Density of states: the Fermi energy, the total per spin and the partial per spin, ion and orbital.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Shape4 = std::array<std::uint64_t, 4>;
using Values = std::vector<double>;
const std::vector<std::string> kSpd{"energy", "s", "p", "d"};

// `fields`, then sets by `tree` (see sets_xml) of counting rows of `width` values.
std::string array_xml(const std::vector<std::string>& fields, std::string_view tree, std::size_t width) {
    std::string xml = "<array><dimension dim=\"1\">gridpoints</dimension>";
    for (const std::string& field : fields) xml.append("<field> " + field + " </field>");
    return xml + sets_xml(tree, [&](std::size_t k) { return counting_row(k, width); }) + "</array>";
}

std::string total_xml(std::string_view tree) { return "<total>" + array_xml({"energy"}, tree, 3) + "</total>"; }

std::string partial_xml(const std::vector<std::string>& fields, std::string_view tree, std::size_t width) {
    return "<partial>" + array_xml(fields, tree, width) + "</partial>";
}

std::string parse(const std::string& content, DosData& out) {
    return text_of(parse_fragment("<dos>" + content + "</dos>", parse_dos_section, out));
}

Values values(const HeapArray<double>& a) { return {a.begin(), a.end()}; }

TEST(Dos, FermiEnergyItemAndEndOfInput) {
    const std::pair<std::string, double> cases[] = {
        {"<i name=\"efermi\"> 5.1234 </i>", 5.1234}, {"<i name=\"efermi\">abc</i>", 0.0}, {"", 0.0},
        {"<i name=\"efermi\">1</i><i name=\"efermi\">2.5e1</i>", 25.0},
        {"<i name=\"efermi\">3</i><i name=\"efermi\">x</i>", 0.0}, {"<i name=\"other\">7</i><i>8</i>", 0.0},
    };
    for (const auto& [item, efermi] : cases) {
        DosData dos;
        ASSERT_EQ(parse(item + total_xml("[[1]]"), dos), "ok") << item;
        EXPECT_EQ(dos.efermi, efermi) << item;
        EXPECT_FALSE(dos.partial.has_value());
    }
    DosData dos;  // a total the end of the input cuts off contributes nothing
    EXPECT_EQ(parse("<i name=\"efermi\">1.5</i><total><array><set><set><r>1 2 3</r>", dos),
              "Missing element <total inside dos>");
}

TEST(Dos, TotalOnTheGridOfTheFirstSpinAndPartialBySpinIonOrbital) {
    DosData dos;
    ASSERT_EQ(parse(total_xml("[[301][301]]") + partial_xml(kSpd, "[[[301]][[301]]]", 4), dos), "ok");
    ASSERT_EQ(dos.total.energies.size(), 301u);
    EXPECT_EQ(dos.total.energies[300], 3000.0);
    EXPECT_EQ(dos.total.densities.shape, (std::array<std::uint64_t, 2>{2, 301}));
    EXPECT_EQ(dos.total.densities.data[1 * 301 + 5], 3061.0);
    EXPECT_EQ(dos.total.integrated.data[0 * 301 + 300], 3002.0);
    EXPECT_EQ(dos.partial->orbitals, (std::vector<std::string>{"s", "p", "d"}));
    EXPECT_EQ(dos.partial->values.shape, (Shape4{1, 2, 3, 301}));
    EXPECT_EQ(dos.partial->values.data[((0 * 2 + 1) * 3 + 2) * 301 + 300], 6013.0);
    // Every element: the k-th row (k = spin * 301 + grid point) holds 10k + column.
    for (std::size_t spin = 0; spin < 2; ++spin)
        for (std::size_t orbital = 0; orbital < 3; ++orbital)
            for (std::size_t e = 0; e < 301; ++e)
                ASSERT_EQ(dos.partial->values.data[(spin * 3 + orbital) * 301 + e],
                          static_cast<double>(10 * (spin * 301 + e) + orbital + 1));
}

TEST(Dos, ShortSetsLeaveZerosAndExtraValuesAreIgnored) {
    DosData dos;
    ASSERT_EQ(parse("<total><array><set><set><r>1 2 3</r><r>4 5 6 9</r><r>**** 6 7 8</r></set>"
                    "<set><r>9 9 9</r></set></set></array></total><partial><array><field>energy</field>"
                    "<field>s</field><field>p</field><field>d</field><set><set><set><r>0 1 2 3</r>"
                    "<r>0 1 2 3 4 5</r></set><set><r>0 7 8 9</r></set></set></set></array></partial>",
                    dos),
              "ok");
    ASSERT_EQ(dos.total.energies.size(), 3u);
    EXPECT_EQ(dos.total.energies[1], 4.0);
    EXPECT_TRUE(std::isnan(dos.total.energies[2]));
    EXPECT_EQ(values(dos.total.densities.data), (Values{2, 5, 6, 9, 0, 0}));
    EXPECT_EQ(values(dos.total.integrated.data), (Values{3, 6, 7, 9, 0, 0}));
    EXPECT_EQ(dos.partial->values.shape, (Shape4{2, 1, 3, 2}));
    EXPECT_EQ(values(dos.partial->values.data), (Values{1, 1, 2, 2, 3, 3, 7, 0, 8, 0, 9, 0}));
    ASSERT_EQ(parse(total_xml("[[1]]") + partial_xml({"energy"}, "[[[4]][[4]]]", 1), dos), "ok");
    EXPECT_EQ(dos.partial->values.shape, (Shape4{1, 2, 0, 4}));
    ASSERT_EQ(parse(total_xml("[[1]]") + partial_xml(kSpd, "[]", 4), dos), "ok");
    EXPECT_EQ(dos.partial->values.shape, (Shape4{0, 0, 3, 0}));
}

// The energies match the grid of the densities whatever the rows hold: a row without a number for
// each column fails, it is never a row of zeros or a row left out.
TEST(Dos, RowsAreWholeOrFail) {
    const auto total = [](const std::string& rows) {
        return "<total><array><set><set><r>1 2 3</r>" + rows + "</set></set></array></total>";
    };
    const std::pair<std::string, std::string> cases[] = {
        {total("<r>4 5</r>"), "[3], got [2]"},
        {total("<r></r>"), "[3], got [0]"},
        {total("<r/>"), "[3], got [0]"},
        {total("<r><![CDATA[4 5 6]]></r>"), "[3], got [0]"},
        {total("<r>4 5<!-- c -->6</r>"), "[3], got [1]"},
        {total_xml("[[1]]") + partial_xml(kSpd, "[[[1]]]", 3), "[4], got [3]"},
    };
    DosData dos;
    for (const auto& [content, shape] : cases) {
        EXPECT_EQ(parse(content, dos), "Unexpected array shape: expected " + shape) << content;
    }
}

TEST(Dos, LastTotalArrayOuterSetAndPartialWin) {
    DosData dos;
    ASSERT_EQ(parse(total_xml("[[5][5]]") + "<total>" + array_xml({}, "[[4]]", 3) + array_xml({}, "[[3][3]][[2]]", 3) +
                        "</total>" + partial_xml(kSpd, "[[[2]]]", 4) + partial_xml({"e", "f"}, "[[[2][2]][[2][2]]]", 2),
                    dos),
              "ok");
    EXPECT_EQ(values(dos.total.energies), (Values{60, 70}));
    EXPECT_EQ(values(dos.total.densities.data), (Values{61, 71}));
    EXPECT_EQ(dos.partial->orbitals, (std::vector<std::string>{"f"}));
    EXPECT_EQ(values(dos.partial->values.data), (Values{1, 11, 41, 51, 21, 31, 61, 71}));  // 2 spins x 2 ions
}

TEST(Dos, Failures) {
    const struct { std::string content; const char* error; bool exact = true; } cases[] = {
        {"<i name=\"efermi\">1</i><total/>", "Missing element <total inside dos>"},
        {"<total><other><array/></other></total>", "Missing element <array inside dos/total>"},
        {total_xml(""), "Missing element <spin sets in DOS>"},
        {total_xml("[]"), "Missing element <spin sets in DOS>"},
        {total_xml("[[1]]") + "<partial><array/></partial>", "Missing element <array inside dos/partial>"},
        {total_xml("[[2][3]]"), "Unexpected array shape: expected [2], got [3]"},
        {total_xml("[[2]]") + partial_xml(kSpd, "[[[2]][[2][2]]]", 4), "Unexpected array shape: expected [1], got [2]"},
        {total_xml("[[2]]") + partial_xml(kSpd, "[[[2]][[3]]]", 4), "Unexpected array shape: expected [2], got [3]"},
        {total_xml("[[2]]") + partial_xml({"energy"}, "[[[2]]]", 2), "Unexpected array shape: expected [", false},
    };
    DosData dos;
    for (const auto& c : cases) {
        const std::string status = parse(c.content, dos);
        EXPECT_TRUE(c.exact ? status == c.error : status.rfind(c.error, 0) == 0) << status;
    }
}

}  // namespace
}  // namespace quorvel::testing
