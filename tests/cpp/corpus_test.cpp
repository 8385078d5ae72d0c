// Real run files written by VASP parse (or fail as expected) into consistent records.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "load.hpp"
#include "record_digest.hpp"
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
    ASSERT_EQ(outcome.status == ParseStatus::Ok ? "ok" : outcome.message(), GetParam().second);
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

// The row reader of processors with AVX2 and the portable one give the same
// records to the last bit: every real file and the sample, whole and cut
// short at many places (rows that meet the end of the text).
TEST(CorpusRows, BothRowReadersGiveTheSameRecords) {
#if !QUORVEL_AVX2_ROWS
    GTEST_SKIP() << "one row reader on this processor family";
#else
    if (!detail::cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    std::vector<std::filesystem::path> files = {std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml"};
    if (std::filesystem::is_directory(QUORVEL_CORPUS_DIR)) {
        for (const auto& entry : std::filesystem::directory_iterator(QUORVEL_CORPUS_DIR)) {
            if (entry.path().filename().string().find(".xml") != std::string::npos) files.push_back(entry.path());
        }
    }
    struct Restore {
        ~Restore() { detail::avx2_rows = true; }
    } restore;
    std::size_t compared = 0;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        Document document;
        ASSERT_TRUE(load_document_from_bytes(bytes.str(), has_gz_extension(path.string()), document).ok()) << path;
        const std::string text(document.text());
        // Whole, then cut at 13 places spread over the text, each a few bytes off the last.
        for (std::size_t cut = text.size(), step = text.size() / 13 + 8;; cut = cut > step ? cut - step + 7 : 0) {
            for (const bool projected : {false, true}) {
                ParseOptions options;
                options.parse_projected = projected;
                detail::avx2_rows = true;
                const std::string wide = walk_to_digest(text.substr(0, cut), false, options, false);
                detail::avx2_rows = false;
                const std::string portable = walk_to_digest(text.substr(0, cut), false, options, false);
                ASSERT_TRUE(wide == portable) << path << " cut at " << cut << (projected ? " (projected)" : "");
                ++compared;
            }
            if (cut == 0) break;
        }
    }
    EXPECT_GT(compared, 20u);
#endif
}

}  // namespace
}  // namespace quorvel::testing
