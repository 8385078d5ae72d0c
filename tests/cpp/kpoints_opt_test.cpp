// The second k-point set (KPOINTS_OPT) of a calculation: its k-points, with
// the generation of the calculation's own set where that is the same list,
// its energies (with or without occupancies), projections and density of
// states, each asked for by the same option as the main set's.
#include <cmath>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

const char* kList = "<varray name=\"kpointlist\"><v>0 0 0</v><v>0.5 0 0</v></varray>"
                    "<varray name=\"weights\"><v>0.25</v><v>0.75</v></varray>";
const char* kGeneration = "<generation param=\"Gamma\"><v type=\"int\" name=\"divisions\">7 7 4</v></generation>";

std::string eigenvalues(bool occupancies) {
    const std::string fields = occupancies ? "<field>eigene</field><field>occ</field>" : "<field>eigene</field>";
    const std::string rows = occupancies ? "<r>-1 1</r><r>2 0</r>" : "<r>-1</r><r>2</r>";
    return "<eigenvalues><array>" + fields + "<set><set><set>" + rows + "</set><set>" + rows +
           "</set></set></set></array></eigenvalues>";
}

std::string sections(bool projected_copy) {
    std::string xml = std::string("<kpoints>") + kGeneration + kList + "</kpoints>" +
                      "<dos comment=\"kpoints_opt\"><i name=\"efermi\">8.5</i><total><array><set><set>"
                      "<r>-5 0 0</r><r>5 1 2</r></set></set></array></total></dos>"
                      "<eigenvalues_kpoints_opt comment=\"kpoints_opt\"><kpoints>" +
                      kList + "</kpoints>" + eigenvalues(false) + "</eigenvalues_kpoints_opt>";
    if (projected_copy) {
        xml += "<projected_kpoints_opt>" + eigenvalues(true) +
               "<array><field>s</field><field>p</field><set><set><set><set><r>0.5 0.25</r></set><set><r>0 1</r></set>"
               "</set><set><set><r>0 0</r></set><set><r>1 0</r></set></set></set></set></array></projected_kpoints_opt>";
    }
    return xml;
}

ParseOutcome run_with(const std::string& inner, bool projected = true, bool dos = true, bool eigen = true) {
    ParseOptions options;
    options.parse_projected = projected;
    options.parse_dos = dos;
    options.parse_eigen = eigen;
    return parse_text(run_file("<calculation>" + structure_xml(2) + inner + "</calculation>"), options);
}

TEST(KpointsOpt, TheSecondSetApartFromTheMainOne) {
    const ParseOutcome run = run_with(sections(true));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    ASSERT_TRUE(run.record->kpoints_opt);
    const KpointsOpt& opt = *run.record->kpoints_opt;
    EXPECT_EQ(opt.kpoints.weights, (std::vector<double>{0.25, 0.75}));
    ASSERT_TRUE(opt.kpoints.generation && opt.kpoints.generation->divisions);
    EXPECT_EQ(*opt.kpoints.generation->divisions, (std::array<std::int32_t, 3>{7, 7, 4}));
    ASSERT_TRUE(opt.eigenvalues && opt.projected && opt.dos);
    EXPECT_EQ(opt.eigenvalues->values.shape, (std::array<std::uint64_t, 4>{1, 2, 2, 2}));
    EXPECT_EQ(opt.eigenvalues->values.data[1], 1.0);  // the occupancies of the projections' copy
    EXPECT_EQ(opt.projected->orbitals, (std::vector<std::string>{"s", "p"}));
    EXPECT_EQ(opt.dos->efermi, 8.5);
    // none of it is the main set's
    EXPECT_FALSE(run.record->dos || run.record->eigenvalues || run.record->projected);
    EXPECT_EQ(run.record->kpoints.kpointlist.size(), 2u);
}

TEST(KpointsOpt, EnergiesWithoutOccupanciesHaveNaNThere) {
    const ParseOutcome run = run_with(sections(false));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const EigenvalueArray& e = *run.record->kpoints_opt->eigenvalues;
    EXPECT_EQ(e.values.shape, (std::array<std::uint64_t, 4>{1, 2, 2, 2}));
    EXPECT_EQ(e.values.data[2], 2.0);
    EXPECT_TRUE(std::isnan(e.values.data[1]) && std::isnan(e.values.data[3]));
}

TEST(KpointsOpt, OptionsGateItsSections) {
    ParseOutcome run = run_with(sections(true), false, false, false);
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    const KpointsOpt& opt = *run.record->kpoints_opt;
    EXPECT_FALSE(opt.eigenvalues || opt.projected || opt.dos);
    EXPECT_EQ(opt.kpoints.kpointlist.size(), 2u);
    // what is passed over is not read: broken inside, it does not fail
    std::string broken = sections(true);
    broken.replace(broken.find("<r>-5 0 0</r>"), 13, "<r>x</r>");
    run = run_with(broken, true, false, true);
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_FALSE(run.record->kpoints_opt->dos);
}

TEST(KpointsOpt, AnotherListKeepsNoGenerationAndResponseSetsAreNone) {
    std::string other = sections(false);
    other.replace(other.find("<v>0.5 0 0</v>"), 14, "<v>0.25 0 0</v>");  // the calculation's own list differs
    ParseOutcome run = run_with(other);
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_FALSE(run.record->kpoints_opt->kpoints.generation);
    // A linear-response run writes k-point sets of its own in its calculation: no second set.
    run = run_with(std::string("<kpoints>") + kGeneration + kList + "</kpoints>");
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    EXPECT_FALSE(run.record->kpoints_opt);
}

}  // namespace
}  // namespace quorvel::testing
