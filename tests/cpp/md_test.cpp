// Molecular dynamics: the MD energies of a step, velocities and selective
// flags of structures, and the steps that a machine-learned force field
// predicts, written outside any calculation.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string energy(double e_fr, bool md) {
    std::string xml = "<energy><i name=\"e_fr_energy\">" + std::to_string(e_fr) +
                      "</i><i name=\"e_wo_entrp\">-1</i><i name=\"e_0_energy\">-2</i>";
    if (md) xml += "<i name=\"kinetic\">3.5</i><i name=\"nosepot\">0.25</i><i name=\"total\">-7</i>";
    return xml + "</energy>";
}

std::string forces(double x) {
    const std::string row = "<v>" + std::to_string(x) + " 0 0</v>";
    return "<varray name=\"forces\">" + row + row + "</varray>";
}

std::string calculation(double e_fr) { return "<calculation>" + structure_xml(2) + forces(e_fr) + energy(e_fr, true) + "</calculation>"; }

// A predicted step: its structure, forces and energy at the top level.
std::string predicted(double e_fr) { return structure_xml(2) + forces(e_fr) + energy(e_fr, true) + "<time name=\"totalsc\">0.1 0.1</time>"; }

// "D" for each kept ionic step and "m" for each predicted step, in file order, with the free energies.
std::string order(const RunRecord& r) {
    std::string text;
    std::size_t kept = 0;
    for (const PredictedStep& p : r.predicted_steps) {
        for (; kept < p.after; ++kept) text += "D" + std::to_string(static_cast<int>(r.ionic_steps[kept].energies.e_fr_energy));
        text += "m" + std::to_string(static_cast<int>(p.step.energies.e_fr_energy));
    }
    for (; kept < r.ionic_steps.size(); ++kept) text += "D" + std::to_string(static_cast<int>(r.ionic_steps[kept].energies.e_fr_energy));
    return text;
}

TEST(MolecularDynamics, EnergiesOfAStepOnlyWhereWritten) {
    const ParseOutcome run = parse_text(run_file(calculation(-5) + "<calculation>" + structure_xml(2) + energy(-6, false) +
                                                 "</calculation>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const auto& steps = run.record->ionic_steps;
    ASSERT_EQ(steps.size(), 2u);
    ASSERT_TRUE(steps[0].md);
    EXPECT_EQ(steps[0].md->kinetic, 3.5);
    EXPECT_EQ(steps[0].md->nosepot, 0.25);
    EXPECT_EQ(steps[0].md->total, -7.0);
    EXPECT_FALSE(steps[0].md->lattice_kinetic || steps[0].md->nosekinetic);
    EXPECT_FALSE(steps[1].md);
}

TEST(MolecularDynamics, PredictedStepsInFileOrder) {
    const std::string body = calculation(-1) + predicted(-2) + predicted(-3) + calculation(-4) + predicted(-5) +
                             structure_xml(2, "finalpos");
    const ParseOutcome run = parse_text(run_file(body));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(order(*run.record), "D-1m-2m-3D-4m-5");
    const IonicStep& step = run.record->predicted_steps[0].step;
    EXPECT_EQ(step.forces.size(), 2u);
    EXPECT_EQ(step.forces[0][0], -2.0);
    EXPECT_EQ(step.energies.e_wo_entrp, -1.0);
    ASSERT_TRUE(step.md);
    EXPECT_EQ(step.md->kinetic, 3.5);
    // the final structure is the one written so
    EXPECT_EQ(run.record->final_structure.positions, parse_text(run_file(structure_xml(2, "finalpos"))).record->final_structure.positions);
}

TEST(MolecularDynamics, SelectedIonicStepsKeepTheirPlaceAmongThePredictedOnes) {
    const std::string body = calculation(-1) + predicted(-2) + calculation(-3) + predicted(-4) + calculation(-5) +
                             predicted(-6) + calculation(-7);
    ParseOptions options;
    options.ionic_step_offset = 1;
    options.ionic_step_skip = 2;
    const ParseOutcome run = parse_text(run_file(body), options);
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(order(*run.record), "m-2D-3m-4m-6D-7");
    EXPECT_EQ(run.record->all_ionic_steps, 4u);
}

TEST(MolecularDynamics, AStructureWithoutEnergyIsNoPredictedStep) {
    std::string moved = structure_xml(2);
    moved.replace(moved.find("0.000000 0.0 0.5"), 16, "0.25 0.25 0.25");
    // A whole file: an unnamed structure after a calculation that nothing follows is the final one.
    ParseOutcome run = parse_text(run_file(calculation(-1) + moved));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_TRUE(run.record->predicted_steps.empty());
    EXPECT_EQ(run.record->final_structure.positions[0], (Vec3{0.25, 0.25, 0.25}));
    // A cut one: the predicted structure whose energy is cut is dropped, never the final structure.
    const std::string text = run_file(calculation(-1) + predicted(-2) + moved + forces(1));
    run = parse_text(text.substr(0, text.rfind("</modeling>")));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_EQ(order(*run.record), "D-1m-2");
    EXPECT_EQ(run.record->final_structure.positions, run.record->ionic_steps.back().structure.positions);
}

TEST(MolecularDynamics, VelocitiesAndSelectiveFlagsBelongToTheirPositions) {
    const std::string velocities = "<varray name=\"velocities\"><v>0.1 0.2 0.3</v><v>-1 -2 -3</v></varray>";
    const std::string flags = "<varray name=\"selective\" type=\"logical\"><v type=\"logical\"> T  F  T </v>"
                              "<v type=\"logical\">F F F</v></varray>";
    std::string structure = structure_xml(2, "finalpos");
    structure.insert(structure.rfind("</structure>"), velocities + flags);
    const ParseOutcome run = parse_text(run_file(structure));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const Structure& final = run.record->final_structure;
    ASSERT_TRUE(final.velocities && final.selective);
    EXPECT_EQ((*final.velocities)[1], (Vec3{-1, -2, -3}));
    EXPECT_EQ(*final.selective, (std::vector<Flags3>{{true, false, true}, {false, false, false}}));
    EXPECT_FALSE(run.record->initial_structure.velocities || run.record->initial_structure.selective);
    for (const auto& [bad, expected] : std::initializer_list<std::pair<std::string, std::string>>{
             {"<varray name=\"selective\"><v>T T</v><v>T T T</v></varray>", "expected 3 values, got 2"},
             {"<varray name=\"selective\"><v>T X T</v><v>T T T</v></varray>", "not a logical flag"},
             {"<varray name=\"selective\"><v>T T T</v></varray>", "Unexpected array shape: expected [2], got [1]"},
             {"<varray name=\"velocities\"><v>1 2 3</v></varray>", "Unexpected array shape: expected [2], got [1]"}}) {
        std::string broken = structure_xml(2, "finalpos");
        broken.insert(broken.rfind("</structure>"), bad);
        EXPECT_NE(parse_error(run_file(broken)).find(expected), std::string::npos) << bad;
    }
}

TEST(MolecularDynamics, AsterisksOfElectronicStepsAreNotNumbers) {
    const std::string scstep = "<scstep><energy><i name=\"e_fr_energy\">****************</i>"
                               "<i name=\"e_wo_entrp\">-2.5</i><i name=\"e_0_energy\">x</i></energy></scstep>";
    const ParseOutcome run = parse_text(run_file("<calculation>" + scstep + structure_xml(2) +
                                                 "<energy><i name=\"e_fr_energy\">****</i></energy></calculation>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const IonicStep& step = run.record->ionic_steps.at(0);
    EXPECT_TRUE(std::isnan(step.scsteps.at(0).e_fr_energy));
    EXPECT_EQ(step.scsteps[0].e_wo_entrp, -2.5);
    EXPECT_EQ(step.scsteps[0].e_0_energy, 0.0);  // not a number, but no asterisks either
    EXPECT_EQ(step.energies.e_fr_energy, 0.0);  // the step's own energies keep 0.0
}

TEST(MolecularDynamics, StressWrittenOrNot) {
    const std::string stress = "<varray name=\"stress\"><v>1 0 0</v><v>0 2 0</v><v>0 0 3</v></varray>";
    const std::string short_stress = "<varray name=\"stress\"><v>1 0 0</v><v>0 2 0</v></varray>";
    const ParseOutcome run = parse_text(run_file(calculation(-1) + "<calculation>" + structure_xml(2) + stress +
                                                 "</calculation><calculation>" + structure_xml(2) + short_stress +
                                                 "</calculation>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const auto& steps = run.record->ionic_steps;
    EXPECT_FALSE(steps[0].stress_written);
    EXPECT_TRUE(steps[1].stress_written);
    EXPECT_FALSE(steps[2].stress_written);
    EXPECT_EQ(steps[2].stress, Mat3{});
}

}  // namespace
}  // namespace quorvel::testing
