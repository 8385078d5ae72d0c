// Real run files written by VASP parse (or fail as expected) into consistent records.
#include <filesystem>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

void check_structure(const Structure& s, const std::string& where) {
    EXPECT_EQ(s.species.size(), s.positions.size()) << where;
    EXPECT_GT(s.volume, 0.0) << where;
}

// A file name and "ok" or the message its parse fails with.
using File = std::pair<std::string, std::string>;
class Corpus : public ::testing::TestWithParam<File> {};

TEST_P(Corpus, ParsesIntoAConsistentRecord) {
    if (!std::filesystem::is_directory(QUORVEL_CORPUS_DIR)) GTEST_SKIP() << "no " << QUORVEL_CORPUS_DIR;
    ParseOptions options;
    options.parse_projected = true;
    const ParseOutcome outcome = parse(std::string(QUORVEL_CORPUS_DIR) + "/" + GetParam().first, options);
    ASSERT_EQ(outcome.status == ParseStatus::Ok ? "ok" : outcome.error, GetParam().second);
    if (!outcome.record) return;
    const RunRecord& r = *outcome.record;
    std::uint64_t counted = 0;
    for (const AtomType& type : r.atom_info.atom_types) counted += type.count;
    const std::size_t natoms = r.atom_info.atoms.size();
    EXPECT_GT(natoms, 0u);
    EXPECT_EQ(counted, natoms);
    check_structure(r.initial_structure, "initial");
    check_structure(r.final_structure, "final");
    EXPECT_EQ(r.initial_structure.positions.size(), natoms);
    for (std::size_t i = 0; i < r.ionic_steps.size(); ++i) {
        check_structure(r.ionic_steps[i].structure, "step " + std::to_string(i));
        EXPECT_EQ(r.ionic_steps[i].forces.size(), natoms) << "step " << i;
    }
    EXPECT_EQ(r.kpoints.weights.size(), r.kpoints.kpointlist.size());
    if (r.eigenvalues) {
        const auto& shape = r.eigenvalues->values.shape;
        EXPECT_EQ(shape[1], r.kpoints.kpointlist.size());
        EXPECT_EQ(r.eigenvalues->values.data.size(), shape[0] * shape[1] * shape[2] * shape[3]);
    }
    EXPECT_EQ(r.efermi.has_value(), r.dos.has_value());
    const bool truncated = GetParam().first.starts_with("truncated");
    EXPECT_EQ(r.complete, !truncated);
    if (GetParam().first == "truncated-in-dos.xml") {  // cut off inside the partial DOS of the second calculation
        EXPECT_EQ(r.ionic_steps.size(), 2u);
        EXPECT_FALSE(r.dos.has_value());
        ASSERT_TRUE(r.eigenvalues.has_value());
    }
    if (GetParam().first == "truncated-in-calculation.xml.gz") {  // cut off inside the sixth structure
        EXPECT_EQ(r.ionic_steps.size(), 5u);
        EXPECT_TRUE(r.eigenvalues && r.dos && r.projected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, Corpus,
    ::testing::Values(File{"spin2-projected-smearing.xml", "ok"}, File{"vasp642-relax-3steps.xml.gz", "ok"},
                      File{"spin2-projected-lobster.xml.gz", "ok"}, File{"dos-no-projected.xml", "ok"},
                      File{"relax-3steps-max-force.xml", "ok"}, File{"relax-28steps.xml.gz", "ok"},
                      File{"vasp641-unconverged.xml.gz", "ok"}, File{"cr-dos.xml", "ok"},
                      File{"nacl-dfpt.xml.gz", "ok"}, File{"vasp4-nacl.xml", "ok"},
                      File{"kpoints-opt-two-dos.xml", "ok"}, File{"si-noncollinear.xml", "ok"},
                      File{"vasp660-vca.xml.gz", "ok"}, File{"truncated-in-dos.xml", "ok"},
                      File{"truncated-in-calculation.xml.gz", "ok"},
                      File{"truncated-in-parameters.xml", "Missing element <atominfo>"},
                      File{"not-xml.xml", "Missing element <modeling>"}));

}  // namespace
}  // namespace quorvel::testing
