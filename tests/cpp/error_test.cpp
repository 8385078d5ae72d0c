// The display text of every error kind: exactly what a Python caller reads.
#include <gtest/gtest.h>

#include "error.hpp"

namespace quorvel {
namespace {

TEST(ErrorText, EveryKindRendersItsFixedText) {
    using E = ParseError;
    using K = ErrorKind;
    const std::tuple<ParseError, ErrorKind, const char*> cases[] = {
        {E::io("No such file (os error 2)"), K::Io, "I/O error: No such file (os error 2)"},
        {E::xml("unclosed tag"), K::Xml, "XML parse error: unclosed tag"},
        {E::encoding("Failed to decode"), K::Encoding, "Encoding error: Failed to decode"},
        {E::missing_element("varray[basis]"), K::MissingElement, "Missing element <varray[basis]>"},
        {E::missing_element("EOF while skipping <x>"), K::MissingElement, "Missing element <EOF while skipping <x>>"},
        {E::parse_value("x", "f64", "invalid float"), K::ParseValue, "Failed to parse value 'x' as f64: invalid float"},
        {E::shape_mismatch({2, 10}, {3}), K::ShapeMismatch, "Unexpected array shape: expected [2, 10], got [3]"},
        {E::shape_mismatch({}, {}), K::ShapeMismatch, "Unexpected array shape: expected [], got []"},
        {E::shape_mismatch({18446744073709551615u}, {0, 0, 7}), K::ShapeMismatch,
         "Unexpected array shape: expected [18446744073709551615], got [0, 0, 7]"},
        {E::other("unknown entity &foo;"), K::Other, "unknown entity &foo;"}, {E::other(""), K::Other, ""},
    };
    for (const auto& [error, kind, text] : cases) {
        EXPECT_EQ(error.kind(), kind) << text;
        EXPECT_EQ(error.to_string(), text);
    }
}

}  // namespace
}  // namespace quorvel
