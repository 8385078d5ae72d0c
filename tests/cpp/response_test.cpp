// The results of linear-response and finite-difference runs: the dielectric
// tensors, the Born effective charges and the dynamical matrix.
#include "test_support.hpp"

namespace quorvel::testing {
namespace {

using Values = std::vector<double>;

Values values(const HeapArray<double>& a) { return {a.begin(), a.end()}; }

std::string rows(std::initializer_list<const char*> texts) {
    std::string xml;
    for (const char* text : texts) xml += std::string("<v>") + text + "</v>";
    return xml;
}

TEST(Response, TensorOfThreeRows) {
    Mat3 tensor{};
    ASSERT_EQ(text_of(parse_fragment("<varray name=\"epsilon\">" + rows({"1 2 3", "4 5 6", "7 8 9"}) + "</varray>",
                                     parse_tensor, tensor)),
              "ok");
    EXPECT_EQ(tensor, (Mat3{Vec3{1, 2, 3}, Vec3{4, 5, 6}, Vec3{7, 8, 9}}));
    EXPECT_EQ(text_of(parse_fragment("<varray>" + rows({"1 2 3", "4 5 6"}) + "</varray>", parse_tensor, tensor)),
              "Unexpected array shape: expected [3, 3], got [2, 3]");
    EXPECT_TRUE(text_of(parse_fragment("<varray>" + rows({"1 2", "4 5 6", "7 8 9"}) + "</varray>", parse_tensor, tensor))
                    .starts_with("Failed to parse"));
}

TEST(Response, BornChargesOneSetPerAtomRowsAsWritten) {
    DenseArray<3, 3, 3> charges;
    const std::string xml = "<array name=\"born_charges\"><dimension dim=\"1\">ion</dimension><set>" +
                            rows({"1 2 3", "4 5 6", "7 8 9"}) + "</set><set>" + rows({"-1 0 0", "0 -2 0", "0 0 -3"}) +
                            "</set></array>";
    ASSERT_EQ(text_of(parse_fragment(xml, parse_born_charges, charges)), "ok");
    EXPECT_EQ(charges.shape, (std::array<std::uint64_t, 3>{2, 3, 3}));
    EXPECT_EQ(values(charges.data), (Values{1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 0, 0, 0, -2, 0, 0, 0, -3}));
    DenseArray<3, 3, 3> short_set;
    EXPECT_EQ(text_of(parse_fragment("<array><set>" + rows({"1 2 3", "4 5 6"}) + "</set></array>", parse_born_charges,
                                     short_set)),
              "Unexpected array shape: expected [3, 3], got [2, 3]");
    DenseArray<3, 3, 3> none;
    ASSERT_EQ(text_of(parse_fragment("<array name=\"born_charges\"></array>", parse_born_charges, none)), "ok");
    EXPECT_EQ(none.shape, (std::array<std::uint64_t, 3>{0, 3, 3}));
}

std::string dynmat_xml(const std::string& hessian, const std::string& eigenvalues, const std::string& vectors) {
    return "<dynmat><varray name=\"hessian\">" + hessian + "</varray><v name=\"eigenvalues\">" + eigenvalues +
           "</v><varray name=\"eigenvectors\">" + vectors + "</varray></dynmat>";
}

TEST(Response, DynamicalMatrixAsWritten) {
    Dynmat dynmat;
    const std::string square = rows({"1 2 3", "4 5 6", "7 8 9"});
    ASSERT_EQ(text_of(parse_fragment(dynmat_xml(square, " -1.5E-01 -2.0E-02  3.3E-06", square), parse_dynmat, dynmat)),
              "ok");
    EXPECT_EQ(dynmat.hessian.shape, (std::array<std::uint64_t, 2>{3, 3}));
    EXPECT_EQ(values(dynmat.hessian.data), (Values{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(values(dynmat.eigenvalues), (Values{-0.15, -0.02, 3.3e-6}));
    EXPECT_EQ(values(dynmat.eigenvectors.data), values(dynmat.hessian.data));
    const std::pair<std::string, const char*> failures[] = {
        {dynmat_xml(rows({"1 2 3", "4 5"}), "1 2", square), "Unexpected array shape: expected [2, 2], got [1, 3]"},
        {dynmat_xml(square, "1 2", square), "Unexpected array shape: expected [3], got [2]"},
        {dynmat_xml(square, "1 2 3", rows({"1 2", "3 4"})), "Unexpected array shape: expected [3, 3], got [2, 2]"},
        {"<dynmat><v name=\"eigenvalues\">1</v></dynmat>", "Missing element <varray[hessian]>"},
        {"<dynmat><varray name=\"hessian\"><v>1</v></varray></dynmat>", "Missing element <v[eigenvalues]>"},
        {"<dynmat><varray name=\"hessian\"><v>1</v></varray><v name=\"eigenvalues\">1</v></dynmat>",
         "Missing element <varray[eigenvectors]>"},
    };
    for (const auto& [xml, expected] : failures) {
        Dynmat failed;
        EXPECT_EQ(text_of(parse_fragment(xml, parse_dynmat, failed)), expected) << xml;
    }
}

TEST(Response, TheLastCalculationWithEachWinsAndFilesWithoutThemHaveNone) {
    const std::string eps = "<varray name=\"epsilon\">" + rows({"1 0 0", "0 1 0", "0 0 1"}) + "</varray>";
    const std::string ion = "<varray name=\"epsilon_ion\">" + rows({"5 0 0", "0 5 0", "0 0 5"}) + "</varray>";
    const std::string later = "<varray name=\"epsilon\">" + rows({"2 0 0", "0 2 0", "0 0 2"}) + "</varray>";
    const ParseOutcome run = parse_text(run_file("<calculation>" + eps + ion + "</calculation><calculation>" + later +
                                                 "</calculation><calculation/>"));
    ASSERT_EQ(run.status, ParseStatus::Ok) << run.message();
    ASSERT_TRUE(run.record->epsilon && run.record->epsilon_ion);
    EXPECT_EQ((*run.record->epsilon)[1][1], 2.0);
    EXPECT_EQ((*run.record->epsilon_ion)[2][2], 5.0);
    EXPECT_FALSE(run.record->epsilon_rpa || run.record->born_charges || run.record->dynmat);
}

}  // namespace
}  // namespace quorvel::testing
