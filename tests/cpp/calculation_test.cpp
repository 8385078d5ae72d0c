// Calculations: ionic steps, and bulk sections kept within and across calculations.
#include <sstream>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::string calc(std::string_view inner) {
    return "<calculation>" + structure_xml(2) + std::string(inner) + "</calculation>";
}
std::string energy(std::string_view items) { return "<energy>" + std::string(items) + "</energy>"; }
std::string item(std::string_view name, std::string_view text) {
    return "<i name=\"" + std::string(name) + "\">" + std::string(text) + "</i>";
}
std::string varray(std::string_view name, std::string_view rows) {
    return "<varray name=\"" + std::string(name) + "\">" + std::string(rows) + "</varray>";
}
std::string dielectric(std::string_view energy) {
    return "<dielectricfunction><imag><array><set><r>" + std::string(energy) + " 1 2 3 4 5 6</r></set></array></imag>"
           "</dielectricfunction>";
}

// Per step "[e_fr e_wo e_0 | forces x x | stress s00 s11 s22 s20 | mag a,b, c, | sc a,b,c]" (the
// first component of each force row; magnetization and scsteps only when present), then the first
// energy of the kept dielectric function and the band count of the kept eigenvalues; or the error.
std::string describe_document(std::string_view document, const ParseOptions& options = {}) {
    const ParseOutcome outcome = parse_text(document, options);
    if (outcome.status != ParseStatus::Ok) return outcome.message();
    std::ostringstream out;
    for (const IonicStep& s : outcome.record->ionic_steps) {
        out << "[" << s.energies.e_fr_energy << " " << s.energies.e_wo_entrp << " " << s.energies.e_0_energy << " | forces";
        for (const Vec3& f : s.forces) out << " " << f[0];
        out << " | stress " << s.stress[0][0] << " " << s.stress[1][1] << " " << s.stress[2][2] << " "
            << s.stress[2][0];
        if (const auto& m = s.magnetization) {
            out << " | mag";
            for (std::size_t row = 0; row < m->size(); ++row) {
                out << " ";
                for (std::size_t i = m->offsets[row]; i < m->offsets[row + 1]; ++i) out << m->values[i] << ",";
            }
        }
        for (const Energies& e : s.scsteps) {
            out << " | sc " << e.e_fr_energy << "," << e.e_wo_entrp << "," << e.e_0_energy;
        }
        out << "]";
    }
    if (const DielectricData* d = calculation_dielectric(*outcome.record)) out << " dielectric " << d->energies[0];
    if (const auto& e = outcome.record->eigenvalues) out << " eigenvalues " << e->values.shape[2];
    return out.str();
}

std::string describe(std::string_view body, const ParseOptions& options = {}) {
    return describe_document(run_file(body), options);
}

using Case = std::pair<std::string, std::string>;  // calculations, outcome
class CalculationSteps : public ::testing::TestWithParam<Case> {};

TEST_P(CalculationSteps, ReadsOrFails) { EXPECT_EQ(describe(GetParam().first), GetParam().second); }

const std::string kStress = "<v>1 2 3</v><v>4 5 6</v><v>7 8 9</v><v>0 1 2</v>";
const std::string kNoStep = "[0 0 0 | forces | stress 0 0 0 0]";
const std::string kEigenvalues =
    "<eigenvalues><array><set><set><set><r>-5 1</r></set></set></set></array></eigenvalues>";
const std::string kTwoNumbers = "Failed to parse value '1.0 2.0' as [f64; 3]: expected 3 values, got 2";

INSTANTIATE_TEST_SUITE_P(
    Calculation, CalculationSteps,
    ::testing::Values(
        // energies from the direct energy child only; those of the scsteps are kept apart
        Case{"<calculation><scstep>" + energy(item("e_fr_energy", "-1")) +
                 energy(item("e_fr_energy", "-1.5") + item("e_wo_entrp", "-1.6")) + "</scstep><scstep></scstep>" +
                 structure_xml(2) +
                 energy(item("e_fr_energy", " -2.0 ") + item("e_wo_entrp", "-2.1") + "<i>-7</i>" + item("x", "-7") +
                        item("e_0_energy", "-2.2") + "<x><i name=\"e_0_energy\">-7</i></x>") +
                 "<scstep>" + energy(item("e_0_energy", "-3")) + "</scstep></calculation>",
             "[-2 -2.1 -2.2 | forces | stress 0 0 0 0 | sc -1.5,-1.6,0 | sc 0,0,0 | sc 0,0,-3]"},
        // energy items that are not numbers give 0.0; a later energy element replaces all three values
        Case{calc(energy(item("e_fr_energy", "*****") + item("e_0_energy", "-1"))),
             "[0 0 -1 | forces | stress 0 0 0 0]"},
        Case{calc(energy(item("e_fr_energy", "") + item("e_wo_entrp", "1.0D+00"))), kNoStep},
        Case{calc(energy(item("e_wo_entrp", "-1")) + energy(item("e_fr_energy", "-2"))),
             "[-2 0 0 | forces | stress 0 0 0 0]"},
        // stress only from three or more rows
        Case{calc(varray("stress", kStress.substr(0, 24))), kNoStep},
        Case{calc(varray("stress", kStress.substr(0, 36))), "[0 0 0 | forces | stress 1 5 9 7]"},
        Case{calc(varray("stress", kStress)), "[0 0 0 | forces | stress 1 5 9 7]"},
        // the last varray of a name wins; empty-element rows and unnamed or unknown varrays add nothing
        Case{calc(varray("forces", "<v>9 9 9</v>") + varray("forces", "<v/><v>1 2 3 4</v><v>4 5 6</v>") +
                  "<varray><v>1</v></varray>" + varray("other", "<v>x</v>")),
             "[0 0 0 | forces 1 4 | stress 0 0 0 0]"},
        Case{calc(varray("magnetization", "<v>0.5</v><v> -0.5 </v>")),
             "[0 0 0 | forces | stress 0 0 0 0 | mag 0.5, -0.5,]"},
        Case{calc(varray("magnetization", "")), "[0 0 0 | forces | stress 0 0 0 0 | mag]"},
        Case{calc("<varray name=\"magnetization\"/>"), kNoStep},
        // names that share their length and first and last bytes with a section's are not that section
        Case{calc("<enxrgy>" + item("e_fr_energy", "-9") + "</enxrgy>" + varray("fxrces", "<v>1 2 3</v>") +
                  "<dxs></dxs><scstXp></scstXp>"),
             kNoStep},
        Case{calc(varray("forces", "<v>1 2 3</v><v>1.0 2.0</v>")), kTwoNumbers},
        Case{calc(varray("stress", "<v>1 2 3</v><v>1.0 2.0</v><v>1 2 3</v>")), kTwoNumbers},
        Case{calc(varray("magnetization", "<v>0.5 x</v>")), "Failed to parse value 'x' as f64: invalid float"},
        Case{"<calculation>" + structure_xml(3) + "</calculation>", "Unexpected array shape: expected [2], got [3]"},
        // no step without a structure start tag, but the bulk sections are kept
        Case{"<calculation><structure/>" + energy(item("e_fr_energy", "-1")) + varray("forces", "<v>1 2 3</v>") +
                 dielectric("0.5") + kEigenvalues + "</calculation>",
             " dielectric 0.5 eigenvalues 1"},
        // the first dielectric function within a calculation (later ones are the run's other
        // dielectric functions), the last across them
        Case{calc(dielectric("1") + dielectric("3") + dielectric("2")), kNoStep + " dielectric 1"},
        Case{calc(dielectric("1")) + calc(dielectric("5") + kEigenvalues) + calc(""),
             kNoStep + kNoStep + kNoStep + " dielectric 5 eigenvalues 1"}));

TEST(Calculation, TruncatedOrSkippedContent) {
    // Cut off, a calculation is an ionic step only when its structure and its energy are whole.
    const std::string full = run_file(calc(varray("forces", "<v>1 2 3</v><v>4 5 6</v>") +
                                           energy(item("e_fr_energy", "-2")) + dielectric("7")));
    EXPECT_EQ(describe_document(full.substr(0, full.find("<v>4"))), "");
    EXPECT_EQ(describe_document(full.substr(0, full.rfind("<varray name=\"positions\">"))), "");
    EXPECT_EQ(describe_document(full.substr(0, full.find("<i name=\"e_fr_energy\">-"))), "");
    const std::string whole_step = "[-2 0 0 | forces 1 4 | stress 0 0 0 0]";
    EXPECT_EQ(describe_document(full.substr(0, full.find("<dielectricfunction>"))), whole_step);
    EXPECT_EQ(describe_document(full.substr(0, full.find("</dielectricfunction>"))), whole_step);
    EXPECT_EQ(describe_document(full.substr(0, full.find("</calculation>"))), whole_step + " dielectric 7");
    // with parse_dos false a dos element is passed over unread, as long as its end tag is there
    const std::string body = calc("<dos><set <<< &bogus; </dos>" + energy(item("e_fr_energy", "-3")));
    ParseOptions no_dos;
    no_dos.parse_dos = false;
    EXPECT_EQ(describe(body, no_dos), "[-3 0 0 | forces | stress 0 0 0 0]");
    EXPECT_NE(describe(body), describe(body, no_dos));
    EXPECT_EQ(describe(calc("<dos></dos >"), no_dos), "Missing element <fast_skip: could not find </dos>>");
}

}  // namespace
}  // namespace quorvel::testing
