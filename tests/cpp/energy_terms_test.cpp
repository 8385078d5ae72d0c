// The energy terms of electronic steps: every named entry other than the
// three energies, in file order, named by the record's list of names.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string scstep(std::string_view entries) {
    return "<scstep><time name=\"dav\">0.1 0.1</time><energy>" + std::string(entries) + "</energy></scstep>";
}

const std::string kFull = "<i name=\"alphaZ\"> 1.5 </i><i name=\"ewald\">-2.25</i><i name=\"e_fr_energy\">-3</i>"
                          "<i name=\"e_wo_entrp\">-3.25</i><i name=\"e_0_energy\">-3.125</i>";
const std::string kShort = "<i name=\"e_fr_energy\">-4</i><i name=\"e_wo_entrp\">-4.5</i><i name=\"e_0_energy\">-4.25</i>";

// "name=value@scstep ..." of a step's terms.
std::string terms_text(const RunRecord& record, const IonicStep& step) {
    std::string text;
    for (const EnergyTerm& term : step.scstep_terms) {
        text += (text.empty() ? "" : " ") + record.scstep_term_names.at(term.name) + "=" +
                (std::isnan(term.value) ? std::string("nan") : std::to_string(term.value)) + "@" +
                std::to_string(term.scstep);
    }
    return text;
}

TEST(EnergyTerms, EveryOtherEntryOfEachElectronicStepInFileOrder) {
    const std::string first = "<calculation>" + structure_xml(2) + scstep(kFull) + scstep(kShort) +
                              scstep("<i name=\"atom\">*****</i><i>7</i><v name=\"bandstr\">1</v>"
                                     "<i name=\"XCdc\">x</i><i name=\"ewald\">9</i>") +
                              "</calculation>";
    const std::string second = "<calculation>" + structure_xml(2) + scstep(kShort) + scstep(kFull) + "</calculation>";
    const ParseOutcome run = parse_text(run_file(first + second));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const RunRecord& r = *run.record;
    EXPECT_EQ(r.scstep_term_names, (std::vector<std::string>{"alphaZ", "ewald", "atom", "XCdc"}));
    ASSERT_EQ(r.ionic_steps.size(), 2u);
    EXPECT_EQ(terms_text(r, r.ionic_steps[0]),
              "alphaZ=1.500000@0 ewald=-2.250000@0 atom=nan@2 XCdc=0.000000@2 ewald=9.000000@2");
    EXPECT_EQ(terms_text(r, r.ionic_steps[1]), "alphaZ=1.500000@1 ewald=-2.250000@1");
    // The three energies stay with the electronic steps, with which of them were written.
    const std::vector<Energies>& steps = r.ionic_steps[0].scsteps;
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].written, 7);
    EXPECT_EQ(steps[1].written, 7);
    EXPECT_TRUE(steps[1].only_these);
    EXPECT_EQ(steps[2].written, 0);
    EXPECT_EQ(steps[0].e_0_energy, -3.125);
}

TEST(EnergyTerms, TheLastEnergyOfAnElectronicStepCounts) {
    const ParseOutcome run = parse_text(run_file(
        "<calculation>" + structure_xml(2) +
        "<scstep><energy><i name=\"ewald\">1</i></energy><energy><i name=\"atom\">2</i></energy></scstep>"
        "</calculation>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(terms_text(*run.record, run.record->ionic_steps.at(0)), "atom=2.000000@0");
}

TEST(EnergyTerms, StepSelectionKeepsTheTermsOfTheKeptSteps) {
    std::string body;
    for (int i = 0; i < 4; ++i) {
        body += "<calculation>" + structure_xml(2) + scstep("<i name=\"ewald\">" + std::to_string(i) + "</i>") +
                "</calculation>";
    }
    ParseOptions options;
    options.ionic_step_offset = 1;
    options.ionic_step_skip = 2;
    const ParseOutcome run = parse_text(run_file(body), options);
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    ASSERT_EQ(run.record->ionic_steps.size(), 2u);
    EXPECT_EQ(terms_text(*run.record, run.record->ionic_steps[0]), "ewald=1.000000@0");
    EXPECT_EQ(terms_text(*run.record, run.record->ionic_steps[1]), "ewald=3.000000@0");
}

// A run without electronic steps holds no names and no terms.
TEST(EnergyTerms, NothingWithoutElectronicSteps) {
    const ParseOutcome run = parse_text(run_file("<calculation>" + structure_xml(2) + "</calculation>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_TRUE(run.record->scstep_term_names.empty());
    EXPECT_TRUE(run.record->ionic_steps.at(0).scstep_terms.empty());
}

}  // namespace
}  // namespace quorvel::testing
