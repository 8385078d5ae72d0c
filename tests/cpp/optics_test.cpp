// Every dielectric function of a run, in file order, with what it is; and
// the conductivity tables of optics runs.
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string function_xml(std::string_view comment, int value) {
    const std::string attribute = comment.empty() ? "" : " comment=\"" + std::string(comment) + "\"";
    const std::string table = "<array><set><r>0 " + std::to_string(value) + " 0 0 0 0 0</r></set></array>";
    return "<dielectricfunction" + attribute + "><imag>" + table + "</imag><real>" + table +
           "</real></dielectricfunction>";
}

std::string conductivity_xml(int spin) {
    return "<conductivity comment=\"spin=" + std::to_string(spin) + "\"><array><set><r>-1 " + std::to_string(spin) +
           " 2 3 4 5 6</r><r>0 1 2 3 4 5 6</r></set></array></conductivity>";
}

std::string calculation(std::string_view inner) {
    return "<calculation>" + structure_xml(2) + std::string(inner) + "</calculation>";
}

// "comment/label/where:value" per function ("-" for none), where is c (calculation) or t (top level).
std::string describe(const RunRecord& r) {
    std::string text;
    for (const DielectricFunction& f : r.dielectric_functions) {
        text += (text.empty() ? "" : " ") + f.comment.value_or("-") + "/" + f.label.value_or("-") + "/" +
                (f.in_calculation ? "c" : "t") + ":" + std::to_string(static_cast<int>(f.data.imag.data[0]));
    }
    return text;
}

TEST(Optics, LabelsByCommentOrPlaceAndTheLastCalculationWithAny) {
    const std::string body = function_xml("gw", 1) + calculation(function_xml("density-density", 2)) +
                             calculation(function_xml("", 3) + function_xml("", 4) + function_xml("other", 5) +
                                         function_xml("", 6)) +
                             function_xml("", 7) + calculation("");
    const ParseOutcome run = parse_text(run_file(body));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(describe(*run.record), "gw/gw/t:1 -/density/c:3 -/current/c:4 other/other/c:5 -/-/c:6 -/-/t:7");
    const DielectricData* dielectric = calculation_dielectric(*run.record);  // the first of the last calculation with any
    ASSERT_TRUE(dielectric);
    EXPECT_EQ(dielectric->imag.data[0], 3.0);
}

TEST(Optics, CurrentCurrentByItsCommentAnywhere) {
    const ParseOutcome run =
        parse_text(run_file(calculation(function_xml("current-current", 1) + function_xml("density-density", 2))));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(describe(*run.record), "current-current/current/c:1 density-density/density/c:2");
}

TEST(Optics, OnlyTopLevelFunctionsMakeNoDielectric) {
    const ParseOutcome run = parse_text(run_file(function_xml("HEAD", 1) + calculation("")));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(describe(*run.record), "HEAD/HEAD/t:1");
    EXPECT_FALSE(calculation_dielectric(*run.record));
}

TEST(Optics, ConductivityTablesAsDielectricFunctionsAre) {
    const ParseOutcome run = parse_text(run_file(calculation(conductivity_xml(1)) +
                                                 calculation(conductivity_xml(1) + conductivity_xml(2)) +
                                                 conductivity_xml(9)));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const auto& tables = run.record->conductivity;
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_EQ(tables[1].comment, "spin=2");
    EXPECT_TRUE(tables[1].in_calculation);
    EXPECT_FALSE(tables[2].in_calculation);
    EXPECT_EQ(tables[1].values.shape, (std::array<std::uint64_t, 2>{2, 6}));
    EXPECT_EQ(tables[1].values.data[0], 2.0);
    EXPECT_EQ(tables[1].energies[0], -1.0);
    Conductivity failed;
    EXPECT_EQ(text_of(parse_fragment("<conductivity><set/></conductivity>", parse_conductivity, failed)),
              "Missing element <array inside conductivity>");
    EXPECT_EQ(text_of(parse_fragment("<conductivity><array><set><r>1 2</r></set></array></conductivity>",
                                     parse_conductivity, failed)),
              "Unexpected array shape: expected [7], got [2]");
}

}  // namespace
}  // namespace quorvel::testing
