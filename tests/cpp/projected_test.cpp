// Projected eigenvalues: orbital weights per spin, k-point, band and ion in one dense array.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Shape = std::array<std::uint64_t, 5>;
using Labels = std::vector<std::string>;
using Values = std::vector<std::pair<std::size_t, double>>;  // (flat index, value)

// `nfields` fields o0, o1, ..., then sets by `tree` (see sets_xml) of counting
// rows of `width` values.
std::string array_xml(std::size_t nfields, std::string_view tree, std::size_t width = 1) {
    std::string xml = "<array><dimension dim=\"1\">ion</dimension>";
    for (std::size_t f = 0; f < nfields; ++f) xml.append("<field> o" + std::to_string(f) + " </field>");
    return xml + sets_xml(tree, [&](std::size_t k) { return counting_row(k, width); }) + "</array>";
}

std::string parse(const std::string& content, ProjectedArray& out) {
    return text_of(parse_fragment("<projected>" + content + "</projected>", parse_projected_section, out));
}

TEST(Projected, DenseArrayTakesDimensionsFromTheFirstSets) {
    const struct { const char* what; std::string content; Labels orbitals; Shape shape; Values values; } cases[] = {
        {"nine orbitals", array_xml(9, "[[[[4][4][4]][[4][4][4]]]]", 9),
         {"o0", "o1", "o2", "o3", "o4", "o5", "o6", "o7", "o8"}, {1, 2, 3, 4, 9},
         {{(((0 * 2 + 1) * 3 + 2) * 4 + 3) * 9 + 8, 238}, {(((0 * 2 + 0) * 3 + 1) * 4 + 2) * 9 + 4, 64}}},
        {"no fields: one orbital", array_xml(0, "[[[[3][3]]]]"), {}, {1, 1, 2, 3, 1}, {{5, 50}}},
        {"short, empty and asterisk rows; `r/` is no ion",
         "<array><field>s</field><field>p</field><set><set><set><set><r>0.5</r><r></r><r/><r>**** 2</r></set></set>"
         "</set></set></array>",
         {"s", "p"}, {1, 1, 1, 3, 2}, {{0, 0.5}, {1, 0}, {2, 0}, {3, 0}, {4, std::nan("")}, {5, 2}}},
        {"shorter sets zero-filled", array_xml(1, "[[[[2][2]][[1]]][[[1]]]]"), {"o0"}, {2, 2, 2, 2, 1},
         {{4, 40}, {8, 50}, {5, 0}, {6, 0}, {7, 0}, {9, 0}, {10, 0}, {12, 0}, {15, 0}}},
        {"inner eigenvalues skipped unread, last array and outer set win",
         "<eigenvalues><array><set><set><set><r>bad 1</r></set></set></set></array></eigenvalues>" +
             array_xml(2, "[[[[1]]]]", 2) + array_xml(1, "[[[[2][2]]]][[[[2]]]]"),
         {"o0"}, {1, 1, 1, 2, 1}, {{1, 50}}},
        // `</projected>` closes none of the inner levels: they end at the end of input.
        {"end of input", "<array><field>s</field><set><set><set><set><r>0.25</r>", {"s"}, {1, 1, 1, 1, 1}, {{0, 0.25}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProjectedArray p;
        ASSERT_EQ(parse(c.content, p), "ok");
        EXPECT_EQ(p.orbitals, c.orbitals);
        EXPECT_EQ(p.values.shape, c.shape);
        ASSERT_EQ(p.values.data.size(), c.shape[0] * c.shape[1] * c.shape[2] * c.shape[3] * c.shape[4]);
        for (const auto& [i, v] : c.values)
            EXPECT_TRUE(std::isnan(v) ? std::isnan(p.values.data[i]) : p.values.data[i] == v) << i;
    }
}

TEST(Projected, Failures) {
    // 2^14 spins x 2^15 k-points x 2^15 bands x 2^10 ions x 2^10 orbitals: 2^64 values.
    const std::string wraps = "[[[[1024]" + std::string(32767, '#') + "]" + std::string(32767, '#') + "]" +
                              std::string(16383, '#') + "]";  // only the first set of each level is filled
    const struct { std::string content; const char* error; bool exact = true; } cases[] = {
        {"", "Missing element <array inside projected>"},
        {"<eigenvalues><array></array></eigenvalues><array/>", "Missing element <array inside projected>"},
        {array_xml(2, ""), "Missing element <spin sets in projected>"},
        {array_xml(2, "[]"), "Missing element <spin sets in projected>"},
        {array_xml(3, "[[[[2]]]]", 4), "Unexpected array shape: expected [3], got [4]"},
        {array_xml(0, "[[[[2]]]]", 2), "Unexpected array shape: expected [1], got [2]"},
        {array_xml(1, "[[[[2]][[2]]][[[2]][[2]][[2]]]]"), "Unexpected array shape: expected [2], got [3]"},
        {array_xml(1, "[[[[2][2]]][[[2][2][2]]]]"), "Unexpected array shape: expected [2], got [3]"},
        {array_xml(1, "[[[[2][3]]]]"), "Unexpected array shape: expected [2], got [3]"},
        {array_xml(1024, wraps), "Unexpected array shape: expected [", false},
    };
    ProjectedArray p;
    for (const auto& c : cases) {
        const std::string status = parse(c.content, p);
        EXPECT_TRUE(c.exact ? status == c.error : status.rfind(c.error, 0) == 0) << status;
    }
}

}  // namespace
}  // namespace quorvel::testing
