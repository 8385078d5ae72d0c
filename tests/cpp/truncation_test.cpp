// A run killed while writing its file keeps what it wrote whole: cut anywhere,
// a document either fails with a required section missing, or gives a
// record whose every part is a part of the whole document's record (a prefix
// of its ionic steps, bulk sections that some whole section of it holds),
// never zeros or half-read arrays that the whole document does not have.
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "load.hpp"
#include "record_digest.hpp"
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

ParseOutcome parse_prefix(std::string_view text, std::size_t end) {
    ParseOptions options;
    options.parse_projected = true;
    return parse_bytes(text.substr(0, end), false, options);
}

// Where a cut is most telling: every tag but those of the rows and cells, and
// every bulk end tag just after its `>`.
std::vector<std::size_t> element_boundaries(std::string_view text) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        const std::size_t name = at + (at + 1 < text.size() && text[at + 1] == '/' ? 2 : 1);
        const std::size_t stop = text.find_first_of(" />", name);
        const std::string_view tag = text.substr(name, stop == std::string_view::npos ? 0 : stop - name);
        if (tag == "r" || tag == "v" || tag == "c" || tag == "rc" || tag == "i") continue;
        cuts.push_back(at);
        if (text[at + 1] == '/' && stop != std::string_view::npos) cuts.push_back(text.find('>', at) + 1);
    }
    return cuts;
}

struct Whole {
    RunRecord record;
    std::vector<std::string> steps;
    // Every bulk section that some whole section of the document holds, by kind.
    std::set<std::string> eigenvalues, projected, dos, dielectric;
    // The same for the response and second k-point set sections, and every dielectric
    // function and conductivity table, one by one.
    std::set<std::string> response, kpoints_opt, functions;
    // Every top-level k-point set: a file with several (GW runs write three) keeps the last
    // one whole before the cut, an earlier one than the whole file's.
    std::set<std::string> kpoints;
};

// The dielectric tensors, Born charges and dynamical matrix that `r` has, each told by its place.
std::vector<std::string> response_sections(const RunRecord& r) {
    std::vector<std::string> sections;
    const auto add = [&](const char* place, const auto& section) {
        if (section) sections.push_back(place + RecordDigest::of(*section));
    };
    add("epsilon", r.epsilon);
    add("rpa", r.epsilon_rpa);
    add("ion", r.epsilon_ion);
    add("born", r.born_charges);
    add("dynmat", r.dynmat);
    return sections;
}

Whole whole_document(std::string_view text) {
    ParseOutcome full = parse_prefix(text, text.size());
    EXPECT_EQ(full.status, ParseStatus::Ok) << full.message();
    Whole whole{std::move(*full.record), {}, {}, {}, {}, {}, {}, {}, {}, {}};
    for (const IonicStep& step : whole.record.ionic_steps) whole.steps.push_back(RecordDigest::of(step));
    // Each bulk section as the walk keeps it right after its end tag.
    for (const char* end_tag :
         {"</eigenvalues>", "</projected>", "</dos>", "</dielectricfunction>", "</calculation>", "</kpoints>",
          "</conductivity>", "</dynmat>", "</eigenvalues_kpoints_opt>", "</projected_kpoints_opt>"}) {
        for (std::size_t at = text.find(end_tag); at != std::string_view::npos; at = text.find(end_tag, at + 1)) {
            const ParseOutcome prefix = parse_prefix(text, at + std::strlen(end_tag));
            if (prefix.status != ParseStatus::Ok) continue;
            const RunRecord& r = *prefix.record;
            if (r.eigenvalues) whole.eigenvalues.insert(RecordDigest::of(*r.eigenvalues));
            if (r.projected) whole.projected.insert(RecordDigest::of(*r.projected));
            // The density of states as whole calculations leave it (each holds one main DOS): so a
            // KPOINTS_OPT DOS, which comes before the main one, is never taken for it.
            if (r.dos && std::string_view(end_tag) == "</calculation>") whole.dos.insert(RecordDigest::of(*r.dos));
            if (const DielectricData* d = calculation_dielectric(r)) whole.dielectric.insert(RecordDigest::of(*d));
            whole.kpoints.insert(RecordDigest::of(r.kpoints));
            for (const std::string& section : response_sections(r)) whole.response.insert(section);
            if (r.kpoints_opt) {
                const KpointsOpt& k = *r.kpoints_opt;
                whole.kpoints_opt.insert(RecordDigest::of(k.kpoints));
                if (k.eigenvalues) whole.kpoints_opt.insert(RecordDigest::of(*k.eigenvalues));
                if (k.projected) whole.kpoints_opt.insert(RecordDigest::of(*k.projected));
                if (k.dos) whole.kpoints_opt.insert(RecordDigest::of(*k.dos));
            }
            for (const DielectricFunction& f : r.dielectric_functions) whole.functions.insert(RecordDigest::of(f));
            for (const Conductivity& c : r.conductivity) whole.functions.insert(RecordDigest::of(c));
        }
    }
    return whole;
}

template <class T>
void expect_whole_section(const std::optional<T>& section, const std::set<std::string>& whole, const char* what,
                          std::size_t cut) {
    if (section) {
        EXPECT_TRUE(whole.contains(RecordDigest::of(*section))) << what << " of the cut at " << cut;
    }
}

IonicStep clone_step(const IonicStep& step) {
    IonicStep copy;
    copy.structure = step.structure;
    copy.energies = step.energies;
    copy.md = step.md;
    copy.forces = step.forces;
    copy.stress = step.stress;
    copy.stress_written = step.stress_written;
    copy.magnetization = step.magnetization;
    copy.scsteps = step.scsteps;
    copy.scstep_terms = step.scstep_terms;
    return copy;
}

void check_cut(std::string_view text, const Whole& whole, std::size_t cut) {
    const ParseOutcome outcome = parse_prefix(text, cut);
    if (outcome.status != ParseStatus::Ok) {
        static const std::set<std::string> kRequired = {
            "Missing element <modeling>", "Missing element <generator>", "Missing element <incar>",
            "Missing element <atominfo>", "Missing element <kpoints>", "Missing element <structure[initialpos]>"};
        EXPECT_TRUE(kRequired.contains(outcome.message())) << "cut at " << cut << ": " << outcome.message();
        return;
    }
    const RunRecord& r = *outcome.record;
    const RunRecord& w = whole.record;
    EXPECT_FALSE(r.complete) << cut;
    EXPECT_TRUE(RecordDigest::of(r.generator, r.incar, r.atom_info, r.initial_structure) ==
                RecordDigest::of(w.generator, w.incar, w.atom_info, w.initial_structure))
        << "cut at " << cut;
    EXPECT_TRUE(whole.kpoints.contains(RecordDigest::of(r.kpoints))) << "k-points of the cut at " << cut;
    EXPECT_TRUE(r.parameters.size() == 0 || RecordDigest::of(r.parameters) == RecordDigest::of(w.parameters)) << cut;
    ASSERT_LE(r.ionic_steps.size(), whole.steps.size()) << cut;
    for (std::size_t i = 0; i < r.ionic_steps.size(); ++i) {
        if (RecordDigest::of(r.ionic_steps[i]) == whole.steps[i]) continue;
        // The step of the calculation the input ends in may lack the electronic steps that a
        // linear-response run writes after its energies: a prefix of them, then.
        IonicStep step = clone_step(r.ionic_steps[i]);
        const std::vector<Energies>& all = w.ionic_steps[i].scsteps;
        ASSERT_TRUE(i + 1 == r.ionic_steps.size() && step.scsteps.size() < all.size()) << "step " << i << ", cut at " << cut;
        step.scsteps.insert(step.scsteps.end(), all.begin() + static_cast<std::ptrdiff_t>(step.scsteps.size()), all.end());
        // Their terms too, named alike: the cut file met the names in the same order.
        const std::vector<EnergyTerm>& every = w.ionic_steps[i].scstep_terms;
        const auto kept = static_cast<std::ptrdiff_t>(step.scstep_terms.size());
        step.scstep_terms.insert(step.scstep_terms.end(), every.begin() + kept, every.end());
        ASSERT_TRUE(RecordDigest::of(step) == whole.steps[i]) << "step " << i << " of the cut at " << cut;
    }
    expect_whole_section(r.eigenvalues, whole.eigenvalues, "eigenvalues", cut);
    expect_whole_section(r.projected, whole.projected, "projected", cut);
    expect_whole_section(r.dos, whole.dos, "dos", cut);
    if (const DielectricData* d = calculation_dielectric(r)) {
        EXPECT_TRUE(whole.dielectric.contains(RecordDigest::of(*d))) << "dielectric function of the cut at " << cut;
    }
    // Each response section is one some whole calculation gave.
    for (const std::string& section : response_sections(r)) {
        EXPECT_TRUE(whole.response.contains(section)) << "a response section of the cut at " << cut;
    }
    if (r.kpoints_opt) {
        const KpointsOpt& k = *r.kpoints_opt;
        EXPECT_TRUE(whole.kpoints_opt.contains(RecordDigest::of(k.kpoints))) << "KPOINTS_OPT k-points, cut at " << cut;
        expect_whole_section(k.eigenvalues, whole.kpoints_opt, "KPOINTS_OPT eigenvalues", cut);
        expect_whole_section(k.projected, whole.kpoints_opt, "KPOINTS_OPT projections", cut);
        expect_whole_section(k.dos, whole.kpoints_opt, "KPOINTS_OPT dos", cut);
    }
    for (const DielectricFunction& f : r.dielectric_functions) {
        EXPECT_TRUE(whole.functions.contains(RecordDigest::of(f))) << "a dielectric function of the cut at " << cut;
    }
    for (const Conductivity& c : r.conductivity) {
        EXPECT_TRUE(whole.functions.contains(RecordDigest::of(c))) << "a conductivity table of the cut at " << cut;
    }
    // The steps a force field predicted: a prefix of the whole file's, each where it stands there.
    ASSERT_LE(r.predicted_steps.size(), w.predicted_steps.size()) << cut;
    for (std::size_t i = 0; i < r.predicted_steps.size(); ++i) {
        EXPECT_TRUE(RecordDigest::of(r.predicted_steps[i]) == RecordDigest::of(w.predicted_steps[i]))
            << "predicted step " << i << " of the cut at " << cut;
    }
    // The final structure is one the whole file has: its final or initial one, or that of an ionic step.
    const std::string final = RecordDigest::of(r.final_structure);
    bool known = final == RecordDigest::of(w.final_structure) || final == RecordDigest::of(w.initial_structure);
    for (const IonicStep& step : w.ionic_steps) known = known || final == RecordDigest::of(step.structure);
    EXPECT_TRUE(known) << "final structure of the cut at " << cut;
}

// Cuts at up to `boundaries` element boundaries, spread over the document,
// and at `random_cuts` byte offsets.
void sweep(const std::string& text, std::size_t boundaries, std::size_t random_cuts, const std::string& what) {
    SCOPED_TRACE(what);
    const Whole whole = whole_document(text);
    const std::vector<std::size_t> all = element_boundaries(text);
    std::vector<std::size_t> cuts;
    const std::size_t stride = all.size() / std::max<std::size_t>(1, kSanitized ? boundaries / 4 : boundaries) + 1;
    for (std::size_t i = 0; i < all.size(); i += stride) cuts.push_back(all[i]);
    std::mt19937_64 random(text.size());
    for (std::size_t i = 0; i < (kSanitized ? random_cuts / 4 : random_cuts); ++i) cuts.push_back(random() % text.size());
    const std::size_t root_end = text.rfind("</modeling>");
    for (const std::size_t cut : cuts) {
        if (cut > root_end) continue;  // the whole document
        check_cut(text, whole, cut);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Truncation, TheSampleCutAnywhereKeepsWhatIsWhole) {
    sweep(read_file(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml"), 2000, 300, "sample");
}

TEST(Truncation, RealFilesCutAnywhereKeepWhatIsWhole) {
    const std::filesystem::path corpus(QUORVEL_CORPUS_DIR);
    if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no " << corpus;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".xml") == std::string::npos || name.starts_with("truncated") || name == "not-xml.xml") continue;
        Document document;
        ASSERT_TRUE(load_document_from_bytes(read_file(entry.path()), has_gz_extension(name), document).ok()) << name;
        sweep(std::string(document.text()), 150, 50, name);
    }
}

// The end of the input inside an entity or character reference is a cut
// like any other: the sample with references in text items of every kind
// (a string, a number, a row of a structure, of the forces and of the
// eigenvalues), cut at every byte in and around each of them.
TEST(Truncation, ACutInsideAReferenceIsCutText) {
    std::string text = read_file(std::filesystem::path(QUORVEL_SOURCE_DIR) / "samples" / "sample.xml");
    const std::pair<std::string, std::string> edits[] = {
        {"<i type=\"string\" name=\"PREC\">Accurate", "<i type=\"string\" name=\"PREC\">Acc&#x75;rate"},
        {"<i name=\"EDIFF\">      0.00001000", "<i name=\"EDIFF\">&#x20;     0.00001000&#32;"},
        {"<v>       0.61362934       0.40426260", "<v>       0.61362934&#x20;     0.40426260&amp;&#9;"},
        {"<varray name=\"forces\" >\n   <v>", "<varray name=\"forces\" >\n   <v>&#x20;&#x20;"},
        {"<r>  -10.5518    1.0000 </r>", "<r>  -10.5518&#x20;   1.0000 </r>"},
    };
    std::vector<std::size_t> references;
    for (const auto& [from, to] : edits) {
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        for (std::size_t amp = text.find('&', at); amp < at + to.size(); amp = text.find('&', amp + 1)) {
            references.push_back(amp);
        }
    }
    const Whole whole = whole_document(text);
    for (const std::size_t reference : references) {
        for (std::size_t cut = reference - 2; cut < reference + 10; ++cut) {
            check_cut(text, whole, cut);
            ASSERT_FALSE(::testing::Test::HasFailure()) << "cut at " << cut;
        }
    }
    // The cut of the report: a row of numbers ends in `&#x20`.
    const ParseOutcome cut = parse_prefix(text, text.find("-10.5518&#x20") + 13);
    EXPECT_EQ(cut.status, ParseStatus::Ok) << cut.message();
}

}  // namespace
}  // namespace quorvel::testing
