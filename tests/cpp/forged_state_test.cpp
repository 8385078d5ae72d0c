// A state that is whole and correctly signed, but whose record breaks what
// the record's users assume of it (a shape, a label count, a text that is
// not UTF-8), is refused: such states are made by writing a record that the
// parser would never make, which the writer signs as it signs any other.
#include <cstring>
#include <memory>
#include <random>

#include "record_state.hpp"
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

HeapArray<double> counting(std::size_t count) {
    HeapArray<double> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = 0.25 * static_cast<double>(i);
    return values;
}

template <std::size_t Rank, std::uint64_t... Fixed>
void fill(DenseArray<Rank, Fixed...>& array, std::array<std::uint64_t, Rank> shape) {
    std::size_t count = 1;
    for (std::uint64_t extent : shape) count *= static_cast<std::size_t>(extent);
    array.shape = shape;
    array.data = counting(count);
}

// A small record with a part of every kind the state carries, as the parser makes them.
RunRecord small_record() {
    RunRecord r;
    r.generator.program = "vasp";
    r.generator.version = "6.4.2";
    r.incar.insert("ALGO", std::string("Fast"));
    r.incar.insert("MAGMOM", std::vector<double>{1.0, -1.0});
    r.atom_info.atoms = {"Si", "O"};
    r.atom_info.atom_types = {AtomType{"Si", "PAW_PBE Si", 1, 28.09, 4.0}, AtomType{"O", "PAW_PBE O", 1, 16.0, 6.0}};
    r.kpoints.kpointlist = {Vec3{0.0, 0.0, 0.0}, Vec3{0.5, 0.0, 0.0}};
    r.kpoints.weights = {0.5, 0.5};
    r.kpoints.labels = {KpointLabel{0, "G"}, KpointLabel{1, "X"}};
    const auto atoms = std::make_shared<const std::vector<std::string>>(r.atom_info.atoms);
    for (Structure* s : {&r.initial_structure, &r.final_structure}) {
        s->species = Species(atoms);
        s->positions = {Vec3{0.0, 0.0, 0.0}, Vec3{0.25, 0.25, 0.25}};
        s->volume = 40.0;
    }
    IonicStep& step = r.ionic_steps.emplace_back();
    step.structure.species = Species(atoms);
    step.structure.positions = r.initial_structure.positions;
    step.energies = Energies{-10.5, -10.4, -10.45, false};
    step.forces = {Vec3{0.1, 0.0, 0.0}, Vec3{-0.1, 0.0, 0.0}};
    step.magnetization = FloatRows{{0.5, 0.5, 0.25}, {0, 1, 3}};
    step.scsteps = {Energies{-10.0, -10.0, -10.0, false}, Energies{-10.5, -10.4, -10.45, true}};
    r.scstep_term_names = {"ewald", "e_fr_energy", "e_wo_entrp", "e_0_energy"};
    step.scstep_terms = {EnergyTerm{-300.0, 0, 0}, EnergyTerm{-10.0, 1, 0},  EnergyTerm{-10.0, 2, 0},
                         EnergyTerm{-10.0, 3, 0},  EnergyTerm{-10.5, 1, 1},  EnergyTerm{-10.4, 2, 1},
                         EnergyTerm{-10.45, 3, 1}};
    fill(r.eigenvalues.emplace().values, {1, 2, 3, 2});
    r.projected.emplace().orbitals = {"s", "p"};
    fill(r.projected->values, {1, 2, 3, 2, 2});
    DosData& dos = r.dos.emplace();
    dos.efermi = 1.5;
    dos.total.energies = counting(4);
    fill(dos.total.densities, {1, 4});
    fill(dos.total.integrated, {1, 4});
    dos.partial.emplace().orbitals = {"s", "p", "d"};
    fill(dos.partial->values, {1, 2, 3, 4});
    DielectricData& dielectric = r.dielectric_functions.emplace_back().data;
    dielectric.energies = counting(3);
    fill(dielectric.imag, {3, 6});
    fill(dielectric.real, {2, 6});  // the real part may have rows of its own
    r.all_ionic_steps = 1;
    r.complete = true;
    return r;
}

// A state as another process receives it: the header and copies of the arrays.
struct Received {
    std::string header;
    std::vector<std::string> arrays;
};

Received written(const RunRecord& record) {
    std::vector<std::string_view> views;
    Received state;
    state.header = write_state(record, views);
    state.arrays.assign(views.begin(), views.end());
    return state;
}

// The header with its length and checksum made to fit its payload again.
std::string resigned(std::string header) {
    const std::string_view payload = std::string_view(header).substr(17);
    const std::uint64_t length = payload.size();
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size())));
    for (std::size_t i = 0; i < 8; ++i) header[5 + i] = static_cast<char>(length >> (8 * i));
    for (std::size_t i = 0; i < 4; ++i) header[13 + i] = static_cast<char>(crc >> (8 * i));
    return header;
}

void count_release(void* counter) { ++*static_cast<int*>(counter); }

// The text of restoring `state` with its arrays borrowed ("ok" on success);
// every owner is released exactly once, by the time the record is gone.
std::string restore_text(const Received& state) {
    int released = 0;
    std::string text;
    {
        std::vector<StateArray> arrays;
        for (const std::string& bytes : state.arrays) {
            arrays.push_back({bytes, ForeignOwner{count_release, &released}, true});
        }
        RunRecord restored;
        text = text_of(read_state(state.header, arrays, restored));
    }
    EXPECT_EQ(released, static_cast<int>(state.arrays.size()));
    return text;
}

// The record of `state`, its arrays copied.
Status restore_copied(const Received& state, RunRecord& record) {
    std::vector<StateArray> arrays;
    for (const std::string& bytes : state.arrays) arrays.push_back({bytes, ForeignOwner{}, false});
    return read_state(state.header, arrays, record);
}

TEST(ForgedState, TheSmallRecordRoundTrips) { EXPECT_EQ(restore_text(written(small_record())), "ok"); }

struct Forgery {
    const char* name;
    void (*forge)(RunRecord&);
    const char* refusal;  // after "corrupt Vasprun state: "
};

const Forgery kForgeries[] = {
    // The band edges read an energy and an occupancy per state.
    {"EigenvaluesOfOneColumnOverTheirValues", [](RunRecord& r) { fill(r.eigenvalues->values, {1, 1, 2, 1}); },
     "shape (1, 1, 2, 1) where its users read (*, *, *, 2) (at eigenvalues.values)"},
    {"EigenvaluesOfOneColumnOverMegabytes",
     [](RunRecord& r) { fill(r.eigenvalues->values, {1, 1, std::uint64_t{1} << 20, 1}); },
     "shape (1, 1, 1048576, 1) where its users read (*, *, *, 2) (at eigenvalues.values)"},
    {"EigenvaluesOfNoColumnWithoutValues",
     [](RunRecord& r) { fill(r.eigenvalues->values, {1, 1, std::uint64_t{1} << 40, 0}); },
     "shape (1, 1, 1099511627776, 0) where its users read (*, *, *, 2) (at eigenvalues.values)"},
    {"ShapeOfMoreValuesThanHeld", [](RunRecord& r) { r.eigenvalues->values.shape = {1, 2, 4, 2}; },
     "shape (1, 2, 4, 2) over 12 values (at eigenvalues.values)"},
    // NumPy lays an array out by strides, products of the extents other than 0.
    {"ShapeBeyondAnyMemory",
     [](RunRecord& r) { fill(r.eigenvalues->values, {std::uint64_t{1} << 31, std::uint64_t{1} << 31, 0, 2}); },
     "shape (2147483648, 2147483648, 0, 2) beyond any memory (at eigenvalues.values)"},
    {"ProjectionsWithALabelTooFew", [](RunRecord& r) { r.projected->orbitals.pop_back(); },
     "1 orbital labels for 2 columns (at projected)"},
    {"ProjectionsWithoutLabelsOfTwoColumns", [](RunRecord& r) { r.projected->orbitals.clear(); },
     "0 orbital labels for 2 columns (at projected)"},
    {"TotalDosWithAnEnergyTooMany", [](RunRecord& r) { r.dos->total.energies = counting(5); },
     "5 energies for 4 grid points (at dos.total)"},
    {"TotalDosTablesOfTwoShapes", [](RunRecord& r) { fill(r.dos->total.integrated, {2, 2}); },
     "densities and integrated densities of different shapes (at dos.total)"},
    {"PartialDosWithALabelTooMany", [](RunRecord& r) { r.dos->partial->orbitals.push_back("f"); },
     "4 orbital labels for 3 orbitals (at dos.partial)"},
    // Six tensor components a row: xx, yy, zz, xy, yz, zx.
    {"DielectricOfFiveColumns", [](RunRecord& r) { fill(r.dielectric_functions[0].data.real, {2, 5}); },
     "shape (2, 5) where its users read (*, 6) (at dielectric_functions[0].data.real)"},
    {"DielectricOfSevenColumns", [](RunRecord& r) { fill(r.dielectric_functions[0].data.imag, {3, 7}); },
     "shape (3, 7) where its users read (*, 6) (at dielectric_functions[0].data.imag)"},
    {"DielectricWithAnEnergyTooFew", [](RunRecord& r) { r.dielectric_functions[0].data.energies = counting(2); },
     "2 energies for 3 rows (at dielectric_functions[0].data)"},
    {"StructureWithAPositionTooMany", [](RunRecord& r) { r.final_structure.positions.push_back(Vec3{}); },
     "2 species for 3 positions (at final_structure)"},
    {"MagnetizationRowsBeyondTheirValues", [](RunRecord& r) { r.ionic_steps[0].magnetization->offsets = {0, 1, 4}; },
     "offsets that do not cut its 3 values into rows (at ionic_steps[0].magnetization)"},
    {"MagnetizationRowsOutOfOrder", [](RunRecord& r) { r.ionic_steps[0].magnetization->offsets = {0, 2, 1, 3}; },
     "offsets that do not cut its 3 values into rows (at ionic_steps[0].magnetization)"},
    // A row of energy terms for each electronic step, each term named by the record.
    {"EnergyTermOfAnElectronicStepTooMany", [](RunRecord& r) { r.ionic_steps[0].scstep_terms[6].scstep = 2; },
     "energy terms out of the order of its 2 electronic steps (at ionic_steps[0])"},
    {"EnergyTermsOutOfOrder", [](RunRecord& r) { r.ionic_steps[0].scstep_terms[1].scstep = 1; },
     "energy terms out of the order of its 2 electronic steps (at ionic_steps[0])"},
    {"EnergyTermOfNoName", [](RunRecord& r) { r.ionic_steps[0].scstep_terms[6].name = 4; },
     "an energy term beyond its 4 names"},
    // Python decodes every text as strict UTF-8.
    {"EnergyTermNameNotUtf8", [](RunRecord& r) { r.scstep_term_names[0] = "XC\xff"; },
     "a text that is not UTF-8 (at scstep_term_names[0])"},
    {"ProgramNotUtf8", [](RunRecord& r) { r.generator.program = "vasp\xff"; },
     "a text that is not UTF-8 (at generator.program)"},
    {"AtomSymbolNotUtf8", [](RunRecord& r) { r.atom_info.atoms[1] = "\xc0\x80"; },  // an overlong NUL
     "a text that is not UTF-8 (at atom_info.atoms[1])"},
    {"ParameterNameASurrogate", [](RunRecord& r) { r.incar.insert("\xed\xa0\x80", std::int64_t{1}); },
     "a text that is not UTF-8 (at incar)"},
    {"ParameterValueCutShort", [](RunRecord& r) { r.parameters.insert("SYSTEM", std::string("Si\xe2\x82")); },
     "a text that is not UTF-8 (at parameters)"},
    {"OrbitalLabelNotUtf8", [](RunRecord& r) { r.dos->partial->orbitals[0] = "\x80"; },
     "a text that is not UTF-8 (at dos.partial.orbitals[0])"},
    {"KpointLabelNotUtf8", [](RunRecord& r) { r.kpoints.labels[1].label = "\xf5\x80\x80\x80"; },
     "a text that is not UTF-8 (at kpoints.labels[1].label)"},
};

class Forged : public ::testing::TestWithParam<Forgery> {};

TEST_P(Forged, IsRefused) {
    RunRecord record = small_record();
    GetParam().forge(record);
    EXPECT_EQ(restore_text(written(record)), std::string("corrupt Vasprun state: ") + GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(ForgedState, Forged, ::testing::ValuesIn(kForgeries),
                         [](const ::testing::TestParamInfo<Forgery>& param) { return std::string(param.param.name); });

// What the parser makes at the edges is no forgery.
TEST(ForgedState, TheParsersEdgesRestore) {
    RunRecord record = small_record();
    record.projected->orbitals.clear();  // a table without labels has one column
    fill(record.projected->values, {1, 2, 3, 2, 1});
    fill(record.dos->partial->values, {1, 2, 0, 4});  // titles of the energy alone: no orbital
    record.dos->partial->orbitals.clear();
    fill(record.dielectric_functions[0].data.real, {0, 6});
    record.generator.platform = "LinuxIFC \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";  // UTF-8 of every length
    EXPECT_EQ(restore_text(written(record)), "ok");
}

// An array without values restores whatever its other extents, and walking it costs nothing.
TEST(ForgedState, AnEmptyArrayOfLargeExtentsIsWalkedAtOnce) {
    RunRecord record = small_record();
    fill(record.eigenvalues->values, {std::uint64_t{1} << 40, 0, std::uint64_t{1} << 10, 2});
    RunRecord restored;
    ASSERT_TRUE(restore_copied(written(record), restored).ok());
    const BandEdges edges = band_edges(*restored.eigenvalues);
    EXPECT_EQ(edges.vbm, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(edges.cbm, std::numeric_limits<double>::infinity());
    EXPECT_FALSE(edges.direct);
}

// Bytes that cannot change are read where they lie; any others are copied and
// let go of at once, so that nothing outside changes the record.
TEST(ForgedState, OnlyImmutableBytesAreBorrowed) {
    const Received state = written(small_record());
    for (const bool immutable : {true, false}) {
        SCOPED_TRACE(immutable ? "immutable" : "mutable");
        int released = 0;
        std::vector<std::string> given = state.arrays;
        std::vector<StateArray> arrays;
        for (const std::string& bytes : given) arrays.push_back({bytes, ForeignOwner{count_release, &released}, immutable});
        RunRecord restored;
        ASSERT_TRUE(read_state(state.header, arrays, restored).ok());
        EXPECT_EQ(released, immutable ? 0 : static_cast<int>(given.size()));
        // The eigenvalues are the first array written.
        const double* held = restored.eigenvalues->values.data.data();
        EXPECT_EQ(held == reinterpret_cast<const double*>(given[0].data()), immutable);
        given[0].assign(given[0].size(), '\0');
        EXPECT_EQ(held[1] == 0.25, !immutable);
        restored = RunRecord();
        EXPECT_EQ(released, static_cast<int>(given.size()));
    }
}

// Bit flips and rewritten words anywhere in a state, signed again: each one is
// refused, or its record can be read by every user of it. The sanitizers see
// any read out of bounds.
TEST(ForgedState, MutatedStatesAreRefusedOrReadable) {
    const Received state = written(small_record());
    const std::uint64_t words[] = {0, 1, 2, 3, 6, 0xFF, std::uint64_t{1} << 20, std::uint64_t{1} << 40,
                                   std::uint64_t{1} << 63, ~std::uint64_t{0}};
    std::mt19937_64 random(27);
    int refused = 0, read = 0;
    for (std::size_t at = 17; at < state.header.size(); ++at) {
        std::vector<std::string> headers;
        for (const char bit : {'\x01', '\x80'}) {
            headers.push_back(state.header);
            headers.back()[at] = static_cast<char>(headers.back()[at] ^ bit);
        }
        if (at + 8 <= state.header.size()) {
            headers.push_back(state.header);
            const std::uint64_t word = words[random() % std::size(words)];
            std::memcpy(headers.back().data() + at, &word, 8);  // little-endian hosts only, as the state
        }
        for (std::string& header : headers) {
            const Received mutated{resigned(std::move(header)), state.arrays};
            if (restore_text(mutated) != "ok") {
                ++refused;
                continue;
            }
            RunRecord restored;
            ASSERT_TRUE(restore_copied(mutated, restored).ok());
            ++read;
            if (restored.eigenvalues) (void)band_edges(*restored.eigenvalues);
            (void)final_energy(restored);
            (void)converged(restored);
            (void)converged_electronic(restored);
            (void)converged_ionic(restored);
            std::vector<std::string_view> views;
            (void)write_state(restored, views);
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(read, 0);
}

}  // namespace
}  // namespace quorvel::testing
