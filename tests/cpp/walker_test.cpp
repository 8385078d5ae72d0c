// The document walker: the root search, the required sections and their
// order, the structure slots, step selection and the option gates.
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string calculation(double energy, std::size_t natoms = 2, std::string_view extra = "") {
    return "<calculation>" + structure_xml(natoms) + "<energy><i name=\"e_fr_energy\">" +
           std::to_string(energy) + "</i></energy>" + std::string(extra) + "</calculation>";
}

TEST(Walker, MinimalRunFileParses) {
    const ParseOutcome outcome = parse_text(run_file());
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    const RunRecord& r = *outcome.record;
    EXPECT_EQ(r.generator.program, "vasp");
    EXPECT_EQ(r.generator.version, "6.4.2");
    EXPECT_EQ(r.generator.date, "");
    EXPECT_EQ(r.atom_info.atoms.size(), 2u);
    EXPECT_EQ(r.initial_structure.species, (std::vector<std::string>{"Si", "Si"}));
    EXPECT_EQ(r.final_structure.positions, r.initial_structure.positions);
    EXPECT_TRUE(r.ionic_steps.empty());
    EXPECT_FALSE(converged(r));
}

TEST(Walker, RequiredSectionsReportedInFixedOrder) {
    EXPECT_EQ(parse_error("just text"), "Missing element <modeling>");
    EXPECT_EQ(parse_error("<modeling/>"), "Missing element <modeling>");
    EXPECT_EQ(parse_error("<modeling></modeling>"), "Missing element <generator>");
    EXPECT_EQ(parse_error("<modeling><generator/></modeling>"), "Missing element <generator>");
    EXPECT_EQ(parse_error("<modeling><generator></generator></modeling>"), "Missing element <incar>");
    std::string all = required_sections();
    auto without = [&](std::string_view open, std::string_view close) {
        std::string text = all;
        const std::size_t from = text.find(open);
        const std::size_t to = text.find(close, from) + close.size();
        text.erase(from, to - from);
        return "<modeling>" + text + "</modeling>";
    };
    EXPECT_EQ(parse_error(without("<atominfo>", "</atominfo>")), "Missing element <atominfo>");
    EXPECT_EQ(parse_error(without("<kpoints>", "</kpoints>")), "Missing element <kpoints>");
    EXPECT_EQ(parse_error(without("<structure", "</structure>")), "Missing element <structure[initialpos]>");
}

// A section the end of the input cuts off contributes nothing; a required one is then missing.
TEST(Walker, SectionsCutOffByTheEndOfTheInputContributeNothing) {
    EXPECT_EQ(parse_error("<modeling>" + required_sections() + "<extra><a>"), "ok");
    const std::string sections = required_sections();
    for (const char* section : {"<generator>", "<incar>", "<atominfo>", "<kpoints>", "<structure"}) {
        const std::size_t at = sections.find(section);
        const std::size_t end = sections.find('>', sections.find('<', at + 1));  // inside the section
        const std::string name = std::string(section).substr(1, std::string(section).find_first_of(">", 1) - 1);
        EXPECT_EQ(parse_error("<modeling>" + sections.substr(0, end)),
                  "Missing element <" + (name == "structure" ? std::string("structure[initialpos]") : name) + ">")
            << section;
    }
}

TEST(Walker, TruncatedAfterRequiredSectionsStillParses) {
    const std::string step = calculation(-1.0);
    for (const std::size_t end : {step.find("</structure>") + 12, step.find("</energy>")}) {
        const ParseOutcome outcome = parse_text("<modeling>" + required_sections() + step.substr(0, end));
        ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
        EXPECT_TRUE(outcome.record->ionic_steps.empty());  // no step without whole energies
        EXPECT_FALSE(outcome.record->complete);
    }
    const ParseOutcome whole = parse_text("<modeling>" + required_sections() + step);
    ASSERT_EQ(whole.status, ParseStatus::Ok) << whole.message();
    EXPECT_EQ(whole.record->ionic_steps.size(), 1u);
    EXPECT_FALSE(whole.record->complete);
    EXPECT_EQ(parse_error("<modeling>" + required_sections()), "ok");
}

TEST(Walker, ContentAfterModelingIsNotRead) {
    EXPECT_EQ(parse_error(run_file() + "<broken"), "ok");
}

TEST(Walker, UnnamedStructuresFillInitialThenFinal) {
    std::string sections = required_sections("Si");
    std::string second = structure_xml(1);
    second.replace(second.find("125.0"), 5, "99.0");
    const std::size_t at = sections.find("<structure");
    sections.erase(at);
    const ParseOutcome outcome =
        parse_text("<modeling>" + sections + structure_xml(1) + second + "</modeling>");
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->initial_structure.volume, 125.0);
    EXPECT_EQ(outcome.record->final_structure.volume, 99.0);
}

TEST(Walker, FinalposBeforeInitialposKeepsTheirSlots) {
    std::string sections = required_sections("Si");
    const std::size_t at = sections.find("<structure");
    std::string final_structure = structure_xml(1, "finalpos");
    final_structure.replace(final_structure.find("125.0"), 5, "99.0");
    sections.insert(at, final_structure);
    const ParseOutcome outcome = parse_text("<modeling>" + sections + "</modeling>");
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->initial_structure.volume, 125.0);
    EXPECT_EQ(outcome.record->final_structure.volume, 99.0);
}

// A primitive cell written before the atom list is neither the initial nor
// the final structure, whatever its size.
TEST(Walker, PrimitiveCellIsPassedOver) {
    for (const bool before_atominfo : {true, false}) {
        std::string sections = required_sections("Si Si");
        const std::size_t at = before_atominfo ? sections.find("<atominfo>") : sections.find("<kpoints>");
        sections.insert(at, structure_xml(1, "primitive_cell"));
        const ParseOutcome outcome = parse_text("<modeling>" + sections + "</modeling>");
        ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
        EXPECT_EQ(outcome.record->initial_structure.positions.size(), 2u);
        EXPECT_EQ(outcome.record->initial_structure.species, (std::vector<std::string>{"Si", "Si"}));
        EXPECT_EQ(outcome.record->final_structure.positions.size(), 2u);
    }
}

TEST(Walker, StructureBeforeAtominfoGetsPlaceholderSpecies) {
    std::string sections = required_sections("Si Si");
    const std::size_t from = sections.find("<structure");
    const std::string structure = sections.substr(from);
    sections.erase(from);
    sections.insert(sections.find("<atominfo>"), structure);
    const ParseOutcome outcome = parse_text("<modeling>" + sections + "</modeling>");
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    EXPECT_EQ(outcome.record->initial_structure.species, (std::vector<std::string>{"X", "X"}));
}

TEST(Walker, LastSingleValuedSectionWins) {
    const ParseOutcome outcome = parse_text(run_file(
        "<generator><i name=\"program\">other</i></generator><incar><i name=\"NSW\" type=\"int\">3</i></incar>"));
    ASSERT_EQ(outcome.status, ParseStatus::Ok);
    EXPECT_EQ(outcome.record->generator.program, "other");
    EXPECT_EQ(outcome.record->generator.version, "");
    EXPECT_EQ(outcome.record->incar.size(), 1u);
}

struct Selection {
    std::uint64_t offset;
    std::optional<std::uint64_t> skip;
    std::vector<double> kept;
};

void PrintTo(const Selection& s, std::ostream* os) {
    *os << "offset " << s.offset << " skip " << (s.skip ? std::to_string(*s.skip) : "none");
}

class StepSelection : public ::testing::TestWithParam<Selection> {};

TEST_P(StepSelection, KeepsOffsetPlusMultiplesOfSkip) {
    std::string body;
    for (int i = 0; i < 10; ++i) {
        body += calculation(-(i + 1.0));
    }
    ParseOptions options;
    options.ionic_step_offset = GetParam().offset;
    options.ionic_step_skip = GetParam().skip;
    const ParseOutcome outcome = parse_text(run_file(body), options);
    ASSERT_EQ(outcome.status, ParseStatus::Ok) << outcome.message();
    std::vector<double> kept;
    for (const IonicStep& step : outcome.record->ionic_steps) {
        kept.push_back(-step.energies.e_fr_energy - 1.0);
    }
    EXPECT_EQ(kept, GetParam().kept);
    EXPECT_EQ(converged(*outcome.record), !kept.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Walker, StepSelection,
    ::testing::Values(Selection{0, std::nullopt, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      Selection{2, 3, {2, 5, 8}}, Selection{3, 4, {3, 7}}, Selection{10, std::nullopt, {}},
                      Selection{11, 1, {}}, Selection{0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      Selection{9, 1, {9}}, Selection{1, UINT64_MAX, {1}},
                      Selection{UINT64_MAX, UINT64_MAX, {}}));

TEST(Walker, ConvergedFollowsTheLastKeptStep) {
    const std::string body = calculation(-2.0) + calculation(0.0);
    ParseOutcome outcome = parse_text(run_file(body));
    EXPECT_FALSE(converged(*outcome.record));
    ParseOptions first_only;
    first_only.ionic_step_skip = 5;
    outcome = parse_text(run_file(body), first_only);
    EXPECT_TRUE(converged(*outcome.record));
}

TEST(Walker, GeneratorEntries) {
    GeneratorInfo info;
    const Status status = parse_fragment(
        "<generator><i name=\"program\">vasp </i><i name=\"date\">2020 10 23</i><i>dropped</i>"
        "<i name=\"time\"/><i name=\"program\">vasp6</i><i name=\"platform\">x</i>"
        "<i name=\"subversion\">s</i><i name=\"version\">v</i><i name=\"time\">11:29</i></generator>",
        parse_generator, info);
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(info.program, "vasp6");
    EXPECT_EQ(info.version, "v");
    EXPECT_EQ(info.subversion, "s");
    EXPECT_EQ(info.platform, "x");
    EXPECT_EQ(info.date, "2020 10 23");
    EXPECT_EQ(info.time, "11:29");
}

}  // namespace
}  // namespace quorvel::testing
