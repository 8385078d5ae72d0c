// The response, optics, MD and second k-point set sections of real run files,
// against the numbers written in them.
#include <filesystem>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

// The record of a corpus file, or null (and the test skipped) without the corpus.
std::optional<RunRecord> corpus_record(const std::string& name, bool projected = false) {
    ParseOptions options;
    options.parse_projected = projected;
    ParseOutcome outcome = parse(std::string(QUORVEL_CORPUS_DIR) + "/" + name, options);
    EXPECT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    if (!outcome.record) return std::nullopt;
    return std::move(*outcome.record);
}

#define REQUIRE_CORPUS() \
    if (!std::filesystem::is_directory(QUORVEL_CORPUS_DIR)) GTEST_SKIP() << "no " << QUORVEL_CORPUS_DIR

TEST(OtherSectionsCorpus, DielectricTensorsAndBornCharges) {
    REQUIRE_CORPUS();
    const auto r = corpus_record("born-charges-al2o3.xml.gz");
    ASSERT_TRUE(r && r->epsilon && r->epsilon_rpa && r->born_charges);
    EXPECT_EQ((*r->epsilon)[2][2], 3.21878866);
    EXPECT_EQ((*r->epsilon_rpa)[0][0], 3.37514756);
    EXPECT_FALSE(r->epsilon_ion);
    EXPECT_EQ(r->born_charges->shape, (std::array<std::uint64_t, 3>{30, 3, 3}));
    const double* z = r->born_charges->data.data();
    EXPECT_EQ(z[1], -0.02949523);                 // atom 1, row 1, column 2
    EXPECT_EQ(z[12 * 9 + 5], 0.25811994);        // atom 13, row 2, column 3
    EXPECT_EQ(z[29 * 9 + 6], 0.30386140);        // atom 30, row 3, column 1
}

TEST(OtherSectionsCorpus, DynamicalMatrix) {
    REQUIRE_CORPUS();
    const auto r = corpus_record("dynmat-hessian.xml.gz");
    ASSERT_TRUE(r && r->dynmat);
    EXPECT_EQ(r->dynmat->hessian.shape, (std::array<std::uint64_t, 2>{192, 192}));
    EXPECT_EQ(r->dynmat->hessian.data[3], 0.01325287);
    EXPECT_EQ(r->dynmat->eigenvalues.size(), 192u);
    EXPECT_EQ(r->dynmat->eigenvalues[191], 3.33270837e-06);
    EXPECT_EQ(r->dynmat->eigenvectors.data[191 * 192 + 191], 4.48078395e-02);
}

TEST(OtherSectionsCorpus, DielectricFunctionsAndConductivity) {
    REQUIRE_CORPUS();
    const auto optics = corpus_record("dielectric-density-current.xml.gz");
    ASSERT_TRUE(optics);
    ASSERT_EQ(optics->dielectric_functions.size(), 2u);
    const DielectricFunction& current = optics->dielectric_functions[1];
    EXPECT_EQ(current.comment, "current-current");
    EXPECT_EQ(current.label, "current");
    EXPECT_EQ(current.data.imag.data[6], 16.9129);  // row 2, xx
    ASSERT_EQ(optics->conductivity.size(), 1u);
    EXPECT_EQ(optics->conductivity[0].comment, "spin=1");
    EXPECT_EQ(optics->conductivity[0].energies[0], -1.3293);
    const auto gw = corpus_record("gw0-top-level-dielectric.xml.gz");
    ASSERT_TRUE(gw);
    ASSERT_EQ(gw->dielectric_functions.size(), 4u);
    EXPECT_EQ(gw->dielectric_functions[3].comment, "screened Coulomb potential");
    EXPECT_FALSE(gw->dielectric_functions[3].in_calculation);
    EXPECT_EQ(gw->dielectric_functions[0].data.real.data[0], 12.7139);
    EXPECT_FALSE(calculation_dielectric(*gw));
}

TEST(OtherSectionsCorpus, SecondKpointSet) {
    REQUIRE_CORPUS();
    const auto r = corpus_record("kpoints-opt-two-dos.xml", true);
    ASSERT_TRUE(r && r->kpoints_opt && r->kpoints_opt->eigenvalues && r->kpoints_opt->dos && r->kpoints_opt->projected);
    const KpointsOpt& opt = *r->kpoints_opt;
    EXPECT_EQ(opt.kpoints.kpointlist.size(), 24u);
    ASSERT_TRUE(opt.kpoints.generation && opt.kpoints.generation->divisions);
    EXPECT_EQ(*opt.kpoints.generation->divisions, (std::array<std::int32_t, 3>{7, 7, 4}));
    EXPECT_EQ(opt.eigenvalues->values.shape, (std::array<std::uint64_t, 4>{1, 24, 18, 2}));
    EXPECT_EQ(opt.eigenvalues->values.data[21], -0.2284);  // band 11 of the first k-point: its occupancy
    EXPECT_EQ(opt.dos->efermi, 8.73880881);
    EXPECT_EQ(r->dos->efermi, 8.73771591);
    EXPECT_EQ(opt.projected->orbitals, (std::vector<std::string>{"s", "p", "d", "f"}));
}

TEST(OtherSectionsCorpus, MachineLearnedMolecularDynamics) {
    REQUIRE_CORPUS();
    const auto r = corpus_record("ml-md-velocities.xml.gz");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ionic_steps.size(), 20u);
    EXPECT_EQ(r->predicted_steps.size(), 80u);
    EXPECT_EQ(r->predicted_steps[0].after, 10u);  // ten calculations come first
    EXPECT_EQ(r->predicted_steps[0].step.energies.e_fr_energy, -524.98579052);
    ASSERT_TRUE(r->predicted_steps[0].step.md);
    EXPECT_EQ(r->predicted_steps[0].step.md->nosepot, 0.21874538);
    EXPECT_EQ(r->predicted_steps.back().step.md->total, -491.51831988);
    for (const IonicStep& step : r->ionic_steps) EXPECT_FALSE(step.stress_written);
    ASSERT_TRUE(r->initial_structure.velocities);
    EXPECT_EQ((*r->initial_structure.velocities)[0], (Vec3{0.00321231, 0.00258766, -0.00070682}));
    EXPECT_TRUE(converged_ionic(*r));
}

TEST(OtherSectionsCorpus, SelectiveDynamics) {
    REQUIRE_CORPUS();
    const auto r = corpus_record("selective-dynamics.xml.gz");
    ASSERT_TRUE(r && r->final_structure.selective);
    EXPECT_EQ(*r->final_structure.selective, (std::vector<Flags3>{{true, true, true}, {false, false, false}}));
    EXPECT_FALSE(r->initial_structure.selective);
}

}  // namespace
}  // namespace quorvel::testing
