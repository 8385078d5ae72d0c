// Projected eigenvalues: orbital weights per spin, k-point, band and ion in one dense array.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "parser/number_rows.hpp"

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

TEST(Projected, RowsOfEveryShapeAmongFullRowsKeepTheirPlaces) {
    // Full rows in the written form are read many at a time; any other row
    // (short, in other number forms, with a comment or an entity, other white
    // space) stops such a run and is read on its own. Every row must land in
    // its place with its own values, with either row reader.
    std::mt19937 random(29);
    constexpr std::size_t kOrbitals = 9;
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t rows = 1 + random() % 600;
        std::string content = "<array>";
        for (std::size_t f = 0; f < kOrbitals; ++f) content += "<field>o" + std::to_string(f) + "</field>";
        content += "<set><set><set><set>";
        std::vector<double> expected(rows * kOrbitals, 0.0);
        for (std::size_t r = 0; r < rows; ++r) {
            const auto kind = random() % 100 < (trial % 2 ? 97u : 70u) ? 0u : static_cast<unsigned>(1 + random() % 6);
            const std::size_t count = kind == 1 ? random() % kOrbitals : kOrbitals;  // 1: short
            std::string cells;
            for (std::size_t c = 0; c < count; ++c) {
                char cell[32];
                const double value = (static_cast<double>(random() % 1099999) - 99999) / 1e4;  // "%8.4f" keeps a blank
                if (kind == 2 && c == count / 2) {
                    std::snprintf(cell, sizeof cell, " %.6E", value);  // another number form
                } else if (kind == 3 && c == 1) {
                    std::snprintf(cell, sizeof cell, "&#32;%.4f", value);  // an entity
                } else if (kind == 4 && c == 2) {
                    std::snprintf(cell, sizeof cell, "\t%.4f", value);  // other white space
                } else {
                    std::snprintf(cell, sizeof cell, "%8.4f", value);
                }
                cells += cell;
                expected[r * kOrbitals + c] = std::strtod(cell + (kind == 3 && c == 1 ? 5 : 0), nullptr);
            }
            content += kind == 5 ? "\n <!-- a row follows -->  <r>" : "\n       <r>";
            content += cells + (kind == 6 ? "</r>" : " </r>");
        }
        content += "\n</set></set></set></set></array>";
#if QUORVEL_AVX2_ROWS
        const bool avx2 = detail::cpu_has_avx2();
#else
        const bool avx2 = false;
#endif
        for (int reader = 0; reader < (avx2 ? 2 : 1); ++reader) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << (reader ? "AVX2" : "portable"));
#if QUORVEL_AVX2_ROWS
            detail::avx2_rows = reader == 1;
#endif
            ProjectedArray p;
            const std::string status = parse(content, p);
#if QUORVEL_AVX2_ROWS
            detail::avx2_rows = avx2;
#endif
            ASSERT_EQ(status, "ok");
            ASSERT_EQ(p.values.shape, (Shape{1, 1, 1, rows, kOrbitals}));
            ASSERT_EQ(p.values.data.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(p.values.data[i], expected[i]) << "value " << i;
        }
    }
}

}  // namespace
}  // namespace quorvel::testing
