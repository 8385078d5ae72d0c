// Dielectric function: the `imag` and `real` tables, rows of an energy and six components.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Shape = std::array<std::uint64_t, 2>;
using Values = std::vector<double>;

// A set of `rows` rows of seven values; value c of row r is base + 10r + c.
std::string set_xml(std::size_t rows, std::size_t base) {
    std::string xml = "<set>";
    for (std::size_t r = 0; r < rows; ++r) {
        xml += "<r>";
        for (std::size_t c = 0; c < 7; ++c) xml.append(std::to_string(base + 10 * r + c)).append(" ");
        xml += "</r>";
    }
    return xml + "</set>";
}

std::string table(const std::string& name, const std::string& sets) {
    return "<" + name + "><array><dimension dim=\"1\">gridpoints</dimension><field>energy</field><field>xx</field>" +
           sets + "</array></" + name + ">";
}

std::string parse(const std::string& content, DielectricData& out) {
    return text_of(parse_fragment("<dielectricfunction>" + content + "</dielectricfunction>", parse_dielectric, out));
}

Values values(const HeapArray<double>& a) { return {a.begin(), a.end()}; }

TEST(Dielectric, EnergiesFromImagAndComponentsWithoutTheEnergy) {
    DielectricData d;
    ASSERT_EQ(parse(table("real", set_xml(200, 100000)) + table("imag", set_xml(300, 0)), d), "ok");
    ASSERT_EQ(d.energies.size(), 300u);
    EXPECT_EQ(d.energies[299], 2990.0);
    EXPECT_EQ(d.imag.shape, (Shape{300, 6}));
    EXPECT_EQ(d.real.shape, (Shape{200, 6}));
    EXPECT_EQ(d.imag.data[299 * 6 + 5], 2996.0);
    EXPECT_EQ(d.real.data[3 * 6 + 0], 100031.0);
    ASSERT_EQ(parse(table("imag", set_xml(3, 1)), d), "ok");  // no real table: zeros shaped like imag
    EXPECT_EQ(d.real.shape, (Shape{3, 6}));
    EXPECT_EQ(values(d.real.data), Values(18, 0.0));
}

TEST(Dielectric, RowsAreWhole) {
    DielectricData d;
    ASSERT_EQ(parse(table("imag", "<set><r>1 2 3 4 5 6 7 8 9</r><r>**** 3 3 3 3 3 3</r></set>"), d), "ok");
    EXPECT_EQ(d.imag.shape, (Shape{2, 6}));
    ASSERT_EQ(d.energies.size(), 2u);  // extra values ignored, asterisks are NaN
    EXPECT_TRUE(std::isnan(d.energies[1]));
    EXPECT_EQ(values(d.imag.data), (Values{2, 3, 4, 5, 6, 7, 3, 3, 3, 3, 3, 3}));
    for (const char* sets : {"", "<set></set>"}) {  // no rows at all
        ASSERT_EQ(parse(table("imag", sets), d), "ok");
        EXPECT_EQ(d.real.shape, (Shape{0, 6}));  // zeros shaped like imag
    }
    // Never a row of zeros nor a row left out: the energies always match the rows.
    for (const char* row : {"<r>1 2 3 4</r>", "<r></r>", "<r/>"}) {
        EXPECT_TRUE(parse(table("imag", std::string("<set><r>1 2 3 4 5 6 7</r>") + row + "</set>"), d)
                        .starts_with("Unexpected array shape: expected [7], got ["))
            << row;
    }
}

TEST(Dielectric, LastTableArrayAndSetWinUnknownsSkippedAndEndOfInputEndsEveryLevel) {
    DielectricData d;
    const std::string content = "<!-- c --><junk><r>x</r></junk>" + table("imag", set_xml(5, 0)) +
                                table("real", set_xml(5, 0)) + "<imag><array>" + set_xml(3, 0) + "</array><array>" +
                                "<info/>" + set_xml(2, 500) + set_xml(1, 700) + "</array></imag>";
    ASSERT_EQ(parse(content, d), "ok");
    EXPECT_EQ(values(d.energies), (Values{700}));
    EXPECT_EQ(values(d.imag.data), (Values{701, 702, 703, 704, 705, 706}));
    EXPECT_EQ(d.real.shape, (Shape{5, 6}));
    // `</dielectricfunction>` closes none of the inner levels: they end at the end of input.
    ASSERT_EQ(parse("<imag><array><set><r>1 2 3 4 5 6 7</r>", d), "ok");
    EXPECT_EQ(values(d.energies), (Values{1}));
    EXPECT_EQ(values(d.imag.data), (Values{2, 3, 4, 5, 6, 7}));
}

TEST(Dielectric, Failures) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "Missing element <imag inside dielectricfunction>"},
        {table("real", set_xml(2, 0)) + "<other>" + table("imag", set_xml(2, 0)) + "</other><imag/>",
         "Missing element <imag inside dielectricfunction>"},
        {table("imag", set_xml(2, 0)) + "<real><set><r>1 2</r></set><array/></real>",
         "Missing element <array inside dielectric component>"},
        {"<imag></imag>" + table("real", set_xml(2, 0)), "Missing element <array inside dielectric component>"},
    };
    DielectricData d;
    for (const auto& [content, expected] : cases) EXPECT_EQ(parse(content, d), expected) << content;
}

}  // namespace
}  // namespace quorvel::testing
