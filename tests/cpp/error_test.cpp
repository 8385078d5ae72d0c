// The display text of every error kind: exactly what a Python caller reads;
// the kind, fields and place that a failed parse hands on with it; and the
// one place where C++ exceptions end.
#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "error.hpp"
#include "faults.hpp"
#include "test_support.hpp"

namespace quorvel {
namespace {

TEST(ErrorText, EveryKindRendersItsFixedText) {
    using E = ParseError;
    using K = ErrorKind;
    const std::tuple<ParseError, ErrorKind, const char*> cases[] = {
        {E::io("No such file (os error 2)"), K::Io, "I/O error: No such file (os error 2)"},
        {E::os(ENOENT), K::Io, "I/O error: No such file or directory (os error 2)"},
        {E::io("corrupt deflate stream"), K::Io, "I/O error: corrupt deflate stream"},
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

// What a failed parse hands on: the kind and fields of its error, its errno
// where the system failed, and where in the text the reader stood.
TEST(ParseFailure, KeepsTheKindFieldsAndPlace) {
    const ParseOutcome missing = parse("/nonexistent/run.xml", {});
    ASSERT_EQ(missing.status, ParseStatus::Failed);
    EXPECT_EQ(missing.error->kind(), ErrorKind::Io);
    EXPECT_EQ(missing.error->error_number(), ENOENT);
    EXPECT_EQ(missing.error->text(), "No such file or directory");
    EXPECT_FALSE(missing.error->offset());
    EXPECT_EQ(missing.message(), "I/O error: No such file or directory (os error 2)");

    const ParseOutcome corrupt = parse_bytes("not gzip at all", true, {});
    ASSERT_EQ(corrupt.status, ParseStatus::Failed);
    EXPECT_EQ(corrupt.error->kind(), ErrorKind::Io);
    EXPECT_EQ(corrupt.error->error_number(), 0);  // the content, not the system

    const ParseOutcome required = testing::parse_text("<modeling></modeling>");
    EXPECT_EQ(required.error->kind(), ErrorKind::MissingElement);
    EXPECT_EQ(required.error->text(), "generator");
    EXPECT_FALSE(required.error->offset());  // a missing section has no place

    const std::string bad_markup = "<modeling><generator><!-x></generator>";
    const ParseOutcome xml = testing::parse_text(bad_markup);
    ASSERT_EQ(xml.error->kind(), ErrorKind::Xml);
    ASSERT_TRUE(xml.error->offset());
    EXPECT_EQ(xml.message().substr(xml.message().rfind(' ') + 1), std::to_string(*xml.error->offset()));

    // A section's error is placed where the reader stood: past the bad text,
    // not past the element that holds it.
    const std::string document = testing::run_file(
        "<calculation>" + testing::structure_xml(2) + "<varray name=\"forces\"><v>1 2</v></varray>" +
        "</calculation><calculation></calculation>");
    const ParseOutcome value = testing::parse_text(document);
    ASSERT_EQ(value.error->kind(), ErrorKind::ParseValue);
    EXPECT_EQ(value.error->text(), "1 2");
    EXPECT_EQ(value.error->type_name(), "[f64; 3]");
    ASSERT_TRUE(value.error->offset());
    EXPECT_GT(*value.error->offset(), document.find("<v>1 2</v>"));
    EXPECT_LE(*value.error->offset(), document.find("</calculation>") + 14);
}

TEST(Faults, EveryExceptionEndsInOnePlace) {
    const auto kind_of = [](auto&& body) {
        return catch_faults(
            [&] {
                body();
                return std::string("none");
            },
            [](FaultKind kind, const char* description) noexcept {
                return std::string(kind == FaultKind::OutOfMemory ? "memory: " : "internal: ") + description;
            });
    };
    EXPECT_EQ(kind_of([] {}), "none");
    EXPECT_EQ(kind_of([] { throw std::bad_alloc(); }), "memory: out of memory");
    EXPECT_EQ(kind_of([] { throw std::length_error("vector"); }), "memory: out of memory");
    EXPECT_EQ(kind_of([] { throw std::runtime_error("broken"); }), "internal: broken");
    EXPECT_EQ(kind_of([] { throw 7; }), "internal: unknown internal fault");
}

}  // namespace
}  // namespace quorvel
