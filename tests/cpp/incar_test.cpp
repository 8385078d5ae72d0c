// INCAR parameters: value typing and the ordered map of the `incar` section.
#include <sstream>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

std::ostream& operator<<(std::ostream& out, const std::vector<double>& list) {
    for (double x : list) out << x << ",";
    return out;
}

// Kind and payload of a value, e.g. "Float(60)", "String(a b)" or "FloatList(1,2,)".
std::string show(const IncarValue& value) {
    static const char* const kinds[] = {"Int", "Float", "Bool", "String", "FloatList"};
    std::ostringstream out;
    out << kinds[value.index()] << "(";
    std::visit([&](const auto& v) { out << v; }, value);
    return out.str() + ")";
}

using Conversion = std::tuple<std::string, std::string, std::string>;  // text, type, value
class IncarConversion : public ::testing::TestWithParam<Conversion> {};

TEST_P(IncarConversion, TypedOrFallsBackToTheTextAsRead) {
    const auto& [text, type, expected] = GetParam();
    EXPECT_EQ(show(convert_incar_value(text, type)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Incar, IncarConversion,
    ::testing::Values(
        Conversion{"Si  bulk", "string", "String(Si  bulk)"}, Conversion{"2", "string", "String(2)"},
        Conversion{"2", "int", "Int(2)"}, Conversion{"+7", "int", "Int(7)"}, Conversion{"-12", "int", "Int(-12)"},
        Conversion{" 3\xC2\xA0", "int", "Int(3)"}, Conversion{"2.0", "int", "String(2.0)"},
        Conversion{"-9223372036854775808", "int", "Int(-9223372036854775808)"},
        Conversion{"9223372036854775808", "int", "String(9223372036854775808)"},
        Conversion{"-", "int", "String(-)"}, Conversion{"+-1", "int", "String(+-1)"},
        Conversion{"1 2", "int", "String(1 2)"}, Conversion{"", "int", "String()"},
        Conversion{"F", "logical", "Bool(0)"}, Conversion{".true.", "logical", "Bool(1)"},
        Conversion{" t ", "logical", "Bool(1)"}, Conversion{"False", "logical", "Bool(0)"},
        Conversion{".FALSE.", "logical", "Bool(0)"}, Conversion{"TRUE", "logical", "Bool(1)"},
        Conversion{"yes", "logical", "String(yes)"}, Conversion{".f.", "logical", "String(.f.)"},
        Conversion{"500.0", "float", "Float(500)"}, Conversion{".5", "", "Float(0.5)"},
        Conversion{"1.", "float", "Float(1)"}, Conversion{"1e400", "float", "Float(inf)"},
        Conversion{"1.0 1.0 -1.0", "float", "FloatList(1,1,-1,)"},
        Conversion{"1.0 abc 2.0", "float", "FloatList(1,2,)"}, Conversion{"abc", "float", "String(abc)"},
        Conversion{"*****", "float", "String(*****)"}, Conversion{"1.0 *****", "float", "Float(1)"},
        Conversion{"1.0D+00", "float", "String(1.0D+00)"},
        // the type is compared exactly: other spellings take the float path
        Conversion{"2", "Int", "Float(2)"}, Conversion{"T", "LOGICAL", "String(T)"},
        Conversion{"3", "String", "Float(3)"}));

Status parse(std::string xml, ParameterMap& map) { return parse_fragment(std::move(xml), parse_incar, map); }

TEST(Incar, EntriesInFirstPositionOrderWithLaterValues) {
    ParameterMap map;
    const Status status = parse(
        "<incar><i name=\"ENCUT\">  500.0 </i><i type=\"int\">5</i>"
        "<i name=\"SYSTEM\" type=\"string\">a &amp; b</i><i name=\"EMPTY\"/><i name=\"EMPTYINT\" type=\"int\"/>"
        "<i/><i type=\"int\"/><v name=\"V\">1 2 3</v><v><i name=\"NESTED\">1</i></v>"
        "<i name=\"A&amp;B\">1</i><i name=\"ENCUT\">60</i><i name=\"ISPIN\" type=\"int\">2",  // cut off: ends quietly
        map);
    ASSERT_TRUE(status.ok()) << text_of(status);
    std::vector<std::string> got;
    for (const auto& [name, value] : map.entries()) got.push_back(name + "=" + show(value));
    EXPECT_EQ(got, (std::vector<std::string>{"ENCUT=Float(60)", "SYSTEM=String(a & b)", "EMPTY=String()",
                                             "EMPTYINT=String()", "V=FloatList(1,2,3,)", "A&amp;B=Float(1)",
                                             "ISPIN=Int(2)"}));
    EXPECT_EQ(text_of(parse("<incar><i name=\"A\">1</i><v><x>", map)), "ok");  // cut off: ends quietly
}

}  // namespace
}  // namespace quorvel::testing
