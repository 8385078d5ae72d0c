// Eigenvalues: energy and occupancy of every band, k-point and spin in one dense array.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Shape = std::array<std::uint64_t, 4>;
using Values = std::vector<std::pair<std::size_t, double>>;  // (flat index, value)

// Sets by `tree` (see sets_xml); the k-th row holds energy k and occupancy -k.
std::string array_xml(std::string_view tree) {
    return "<array><dimension dim=\"1\">band</dimension><field>eigene</field>" +
           sets_xml(tree, [](std::size_t k) { return std::to_string(k) + " -" + std::to_string(k); }) + "</array>";
}

std::string parse(const std::string& content, EigenvalueArray& out) {
    return text_of(parse_fragment("<eigenvalues>" + content + "</eigenvalues>", parse_eigenvalues, out));
}

TEST(Eigenvalues, DenseArrayTakesDimensionsFromTheFirstSets) {
    const struct { const char* what; std::string content; Shape shape; Values values; } cases[] = {
        {"full grid", array_xml("[[[8][8][8][8]][[8][8][8][8]]]"), {2, 4, 8, 2},
         {{((1 * 4 + 3) * 8 + 7) * 2 + 1, -63}, {((0 * 4 + 2) * 8 + 5) * 2 + 0, 21}}},
        {"shorter sets zero-filled", array_xml("[[[3][3]][[2]]]"), {2, 2, 3, 2},
         {{((1 * 2 + 0) * 3 + 1) * 2 + 0, 7}, {((1 * 2 + 0) * 3 + 2) * 2 + 0, 0}, {((1 * 2 + 1) * 3 + 0) * 2 + 1, 0}}},
        {"empty first k-point set", array_xml("[[[0][0]][[0][0]]]"), {2, 2, 0, 2}, {}},
        {"extra values ignored, asterisks are NaN",
         "<array><set><set><set><r>-5.1234 1.0 0.5</r><r>**** 1.0</r></set></set></set></array>", {1, 1, 2, 2},
         {{0, -5.1234}, {1, 1.0}, {2, std::nan("")}, {3, 1.0}}},
        {"rows with escapes, other white space, comments or a spaced end tag",
         "<array><set><set><set><r>1 &#50;</r><r> 3\u00A04 </r><r>5 6<!-- c --></r><r>7 8</r ></set></set></set>"
         "</array>",
         {1, 1, 4, 2}, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}},
        {"unknown children and comments passed over",
         "<!-- c --><info><array/></info>" +
             array_xml("[<junk><r>bad</r></junk>[[1<set><r>x</r></set><!-- c --><?pi?>]]]"),
         {1, 1, 1, 2}, {}},
        {"last array and last outer set win", array_xml("[[[2]]]") + array_xml("[[[1][1]][[1][1]]][[[3][3][3]]]"),
         {1, 3, 3, 2}, {{((0 * 3 + 2) * 3 + 1) * 2 + 0, 11}}},
        // `</eigenvalues>` closes none of the inner levels: they end at the end of input.
        {"end of input", "<array><set><set><set><r>1 2</r><r>3 4</r>", {1, 1, 2, 2}, {{3, 4.0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EigenvalueArray eig;
        ASSERT_EQ(parse(c.content, eig), "ok");
        EXPECT_EQ(eig.values.shape, c.shape);
        ASSERT_EQ(eig.values.data.size(), c.shape[0] * c.shape[1] * c.shape[2] * c.shape[3]);
        for (const auto& [i, v] : c.values)
            EXPECT_TRUE(std::isnan(v) ? std::isnan(eig.values.data[i]) : eig.values.data[i] == v) << i;
    }
}

TEST(Eigenvalues, Failures) {
    const std::string sparse = "[[[1000]" + std::string(19999, '#') + "]]";  // 20000 x 1000 bands promised
    auto one_row = [](std::string row) { return "<array><set><set><set><r>" + row + "</r></set></set></set></array>"; };
    const struct { std::string content; const char* error; bool exact = true; } cases[] = {
        {"", "Missing element <array inside eigenvalues>"},
        {"<array/><other>" + array_xml("[[[1]]]") + "</other>", "Missing element <array inside eigenvalues>"},
        {array_xml(""), "Missing element <spin sets in eigenvalues>"},
        {array_xml("[<set/>]"), "Missing element <spin sets in eigenvalues>"},
        {array_xml("[[[1]]]") + array_xml("[]"), "Missing element <spin sets in eigenvalues>"},
        {one_row("1.5"), "Unexpected array shape: expected [2], got [1]"},
        {one_row(""), "Unexpected array shape: expected [2], got [0]"},
        {one_row("1.0 x2"), "Failed to parse value 'x2' as f64: invalid float"},
        // a row's numbers are its own text: never a row of zeros, never a dropped row
        {"<array><set><set><set><r>1 2</r><r/></set></set></set></array>",
         "Unexpected array shape: expected [2], got [0]"},
        {one_row("<![CDATA[1 2]]>"), "Unexpected array shape: expected [2], got [0]"},
        {one_row("1 <!-- c --> 2"), "Unexpected array shape: expected [2], got [1]"},
        {array_xml("[[[3][3]][[3][3][3]]]"), "Unexpected array shape: expected [2], got [3]"},
        {array_xml("[[[3][3]][[3][4]]]"), "Unexpected array shape: expected [3], got [4]"},
        {array_xml(sparse), "Unexpected array shape: expected [", false},
    };
    EigenvalueArray eig;
    for (const auto& c : cases) {
        const std::string status = parse(c.content, eig);
        EXPECT_TRUE(c.exact ? status == c.error : status.rfind(c.error, 0) == 0) << status;
    }
}

}  // namespace
}  // namespace quorvel::testing
