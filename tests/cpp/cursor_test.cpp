// The lenient XML tokenizer and the cursor helpers every section parser reads through.
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace quorvel::testing {
namespace {

// "XML!" for a reader error, "Other!" for an unresolvable escape, otherwise the display text.
std::string outcome(const Status& status) {
    const ErrorKind kind = status.ok() ? ErrorKind::Io : status.error().kind();
    const std::string text = status.ok() ? "ok" : status.error().to_string();
    if (kind == ErrorKind::Xml && text.starts_with("XML parse error: ")) return "XML!";
    return kind == ErrorKind::Other ? "Other!" : text;
}

// The remaining events of `cursor`, up to Eof or the first error (or a runaway reader).
std::string rest(XmlCursor& cursor) {
    for (std::string out;; out += " ") {
        XmlEvent e;
        const Status status = cursor.next_event(e);
        if (!status.ok() || e.kind == EventKind::Eof || out.size() > 4000)
            return out.append(!status.ok() ? outcome(status) : e.kind == EventKind::Eof ? "Eof" : "...");
        const std::string name(e.name), text(e.text);
        const std::string shown[] = {"<" + name + ">", "</" + name + ">", "<" + name + "/>", "T(" + text + ")",
                                     "CDATA(" + text + ")", "C(" + text + ")", "Decl", "PI", "DocType"};
        out += shown[static_cast<int>(e.kind)];
    }
}

// A list of floats as text; NaN of either sign is written "nan".
std::string floats(const double* values, std::size_t count) {
    std::ostringstream out;
    for (std::size_t i = 0; i < count; ++i) out << (i ? ", " : "[") << (std::isnan(values[i]) ? NAN : values[i]);
    return count ? out.str() + "]" : "[]";
}

TEST(Tokenizer, EventsOfEveryConstruct) {
    const std::pair<const char*, std::string> cases[] = {
        {"", "Eof"}, {"<a x='1'>hi</a>", "<a> T(hi) </a> Eof"}, {"<a/><b x=\"1\" />", "<a/> <b/> Eof"},
        {"<a>  two  words \r\n\t</a>", "<a> T(two  words) </a> Eof"}, {"<a> \t\r\n </a>", "<a> </a> Eof"},
        {"<a>x &amp; &#65;</a>", "<a> T(x &amp; &#65;) </a> Eof"}, {"<x></x ><y></y\n>", "<x> </x> <y> </y> Eof"},
        {"</a></b><c></d>", "</a> </b> <c> </d> Eof"}, {"<a x=\"1>2\" y='/>'>", "<a> Eof"},
        {"<!--c--><!----><!--<a>--b-->", "C(c) C() C(<a>--b) Eof"}, {"<![CDATA[a<b>]]>", "CDATA(a<b>) Eof"},
        {"<?xml version=\"1.0\"?><?pi x?><?xml-s x?>", "Decl PI PI Eof"}, {"\xEF\xBB\xBF<a/>", "<a/> Eof"},
        {"<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e 'x'>]><r/>", "DocType <r/> Eof"}, {"<!foo>", "XML!"},
        {"<!-x>", "XML!"}, {"<!DOCTYPX r>", "XML!"},
        // markup cut short by the end of the input ends the input where it starts
        {"<a", "Eof"}, {"<a x='1", "Eof"}, {"</a", "Eof"}, {"<!-- x --", "Eof"}, {"<![CDATA[x]]", "Eof"},
        {"<?pi x", "Eof"}, {"<!DOCTYPE r [<!ELEMENT r ANY>", "Eof"}, {"<a>x <", "<a> T(x) Eof"}, {"<", "Eof"},
        {"<a/><!-", "<a/> Eof"}, {"<![CD", "Eof"}, {"<!doc", "Eof"}, {"<!", "Eof"},
    };
    for (const auto& [document, expected] : cases) {
        XmlCursor cursor(document);
        EXPECT_EQ(rest(cursor), expected) << document;
        if (expected.back() == 'f') { EXPECT_EQ(rest(cursor), "Eof") << "Eof again: " << document; }
    }
}

TEST(CursorSkip, ByEventsAndByRawByteSearch) {
    const std::tuple<std::string, std::string, std::string> by_events[] = {
        {"<a><b><c/></b>t<!--c--><?p?><![CDATA[</a>]]></a><z/>", "a", "ok <z/> Eof"},
        {"<a><b></c></d><z/>", "a", "ok <z/> Eof"}, {"<a></b><z/>", "a", "ok <z/> Eof"},
        // cut off by the end of the input: no error, the input has ended
        {"<extra><a>", "extra", "ok cut Eof"}, {"<\xFF>", "\xFF", "ok cut Eof"}, {"<a><b></b><!-- x", "a", "ok cut Eof"},
        {"<a><!x>", "a", "XML!"},
        // rows pass whole when plain; any other shape goes by events, to the same place
        {"<a>\n <r>1 2</r>\t<r> </r><r>&bad;</r></a><z/>", "a", "ok <z/> Eof"},
        {"<a><r>1<!--</r>--></r><r >2</r ><r a='</r>'>3</r><r/><r><r>4</r></r></a><z/>", "a", "ok <z/> Eof"},
        {"<r>1 2</r><z/>", "r", "ok <z/> Eof"}, {"<a><r>1</r></a><r>2</r>", "a", "ok <r> T(2) </r> Eof"},
        {"<a><r>1</x><z/>", "a", "ok cut Eof"}, {"<a><r>1</r><r>2", "a", "ok cut Eof"}, {"<a><r>1</r", "a", "ok cut Eof"},
        {"<a><r>1</r><r>2</r><!x></a>", "a", "XML!"},
    };
    for (const auto& [fragment, name, expected] : by_events) {
        FragmentCursor f(fragment);
        std::string got = outcome(f.cursor().skip_element());
        got += f.cursor().input_ended() ? " cut" : "";
        EXPECT_EQ(got == "XML!" ? got : got + " " + rest(f.cursor()), expected) << fragment;
    }
    // Without a closing tag, the element is cut off when no `</modeling` follows, and an error otherwise.
    const std::string missing = "Missing element <fast_skip: could not find </dos>> ";
    const std::tuple<std::string, int, std::string, std::string> by_search[] = {
        // fragment, events read after its first start tag, name, outcome and the events after it
        {"<dos><r>1 2</r></dos><z/>", 0, "dos", "ok <z/> Eof"}, {"<dos></dos><z/>", 0, "dos", "ok <z/> Eof"},
        {"<a>text</dos><z/>", 1, "dos", "ok <z/> Eof"}, {"<r><dos>x</dos></r>", 1, "dos", "ok </r> Eof"},
        {"<x><x></x></x><z/>", 0, "x", "ok </x> <z/> Eof"}, {"<dos><<&bad;<!--</dos>-->", 0, "dos", "ok T(-->) Eof"},
        {"<dos></dosx></dos>t", 0, "dos", "ok T(t) Eof"},
        {"<dos></dos ><z/></modeling>", 0, "dos", missing + "</dos> <z/> </modeling> Eof"},
        {"</dos><dos></modeling >", 0, "dos", missing + "</modeling> Eof"},
        {"<a>text<b/></modeling>", 1, "dos", missing + "<b/> </modeling> Eof"},
        {"<\xFF></modeling>", 0, "\xFF", "Missing element <fast_skip: could not find </?>> </modeling> Eof"},
        {"<dos></dos ><z/>", 0, "dos", "ok cut Eof"}, {"</dos><dos>", 0, "dos", "ok cut Eof"},
        {"<a>text<b/>", 1, "dos", "ok cut Eof"},
    };
    for (const auto& [fragment, reads, name, expected] : by_search) {
        FragmentCursor f(fragment);
        XmlEvent event;
        for (int i = 0; i < reads; ++i) ASSERT_TRUE(f.cursor().next_event(event).ok());
        std::string got = outcome(f.cursor().fast_skip(name));
        got += f.cursor().input_ended() ? " cut" : "";
        EXPECT_EQ(got + " " + rest(f.cursor()), expected) << fragment;
    }
    std::string deep = "<r>";  // a million levels: no recursion, no stack of open elements
    for (std::size_t i = 0; i < 2000000; ++i) deep += i < 1000000 ? "<x>" : "</x>";
    FragmentCursor f(deep + "</r><z/>");
    EXPECT_EQ(outcome(f.cursor().skip_element()), "ok");
    EXPECT_EQ(rest(f.cursor()), "<z/> Eof");
}

// The byte search lands on the first closing tag wherever it is, whether the
// needle's rare byte is rare in the text or not.
TEST(CursorSkip, ByteSearchFindsTheFirstClosingTagInAnyText) {
    const std::string needle = "</projected>";
    const char alphabet[] = "</>projected 0.1\nj";
    std::mt19937 random(11);
    for (int n = 0; n < 3000; ++n) {
        std::string text;
        const std::size_t length = random() % (n % 10 == 0 ? 20000 : 300);
        for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % (sizeof alphabet - 1)];
        if (random() % 4) text.insert(random() % (text.size() + 1), needle);
        const std::string fragment = "<projected>" + text + "<z/>";
        const std::size_t expected = fragment.find(needle, 11);
        FragmentCursor f(fragment);
        ASSERT_TRUE(f.cursor().fast_skip("projected").ok()) << fragment;
        ASSERT_EQ(f.cursor().input_ended(), expected == std::string::npos) << fragment;  // cut off
        if (expected == std::string::npos) continue;
        // What follows the tag found is read next: compare with the same text read from there.
        FragmentCursor after("<a>" + fragment.substr(expected + needle.size()));
        ASSERT_EQ(rest(f.cursor()), rest(after.cursor())) << fragment;
    }
    // A text thick with the rare byte, where the search has to change method.
    const std::string thick = "<projected>" + std::string(100000, 'j') + "</projectex>" + std::string(5000, 'j') +
                              needle + "<z/>";
    FragmentCursor f(thick);
    EXPECT_EQ(outcome(f.cursor().fast_skip("projected")), "ok");
    EXPECT_EQ(rest(f.cursor()), "<z/> Eof");
}

TEST(CursorAttribute, FirstWellFormedMatchTakenRaw) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // tag, attribute, value or "-" when absent
        {"<a x=\"1\" y='2'>", "x", "1"}, {"<a x=\"1\" y='2'/>", "y", "2"}, {"<a x=\"1\"/>", "z", "-"},
        {"<i name=\"a&amp;b\">", "name", "a&amp;b"}, {"<a x=''>", "x", ""}, {"<a x = \"5\">", "x", "5"},
        {"<a x='say \"hi\"' y=\"it's\">", "y", "it's"}, {"<a x=\"1>2\">", "x", "1>2"}, {"<a x=3>", "x", "-"},
        {"<a y=\"1\" x=\"2\" y=\"3\">", "y", "1"}, {"<a flag x=\"3\">", "x", "3"}, {"<a x=3 y=\"4\">", "y", "4"},
        {"<a xx=\"1\" X=\"2\" ns:x=\"3\" x=\"4\">", "x", "4"}, {"<a x=\"\xFF\">", "x", "-"},
    };
    for (const auto& [tag, name, expected] : cases) {
        XmlCursor cursor(tag);
        XmlEvent event;
        ASSERT_TRUE(cursor.next_event(event).ok());
        const std::optional<std::string_view> value = get_attribute(event, name);
        EXPECT_EQ(value ? std::string(*value) : "-", expected) << tag << " " << name;
    }
}

TEST(CursorText, LastTextBeforeTheNextEndTag) {
    const std::pair<const char*, const char*> cases[] = {
        {"<i>a &amp; b</i>", "[a & b] Eof"}, {"<i>&lt;&gt;&quot;&apos;&amp;amp;</i>", "[<>\"'&amp;] Eof"},
        {"<i>&#65;&#x42;&#x20AC;&#x1F600;</i>", "[AB\u20AC\U0001F600] Eof"}, {"<i>  x  y  </i>", "[x  y] Eof"},
        {"<i>&#160;x&#x3000;</i>", "[x] Eof"}, {"<i>&#x85;&#9;x&#xA0;\u200B</i>", "[x\u00A0\u200B] Eof"},
        {"<v>1 2<!-- x -->3</v>", "[3] Eof"}, {"<i>a<b/>c</i>", "[c] Eof"}, {"<i><![CDATA[c]]></i>", "[] Eof"},
        {"<a><b>x</b>y</a>", "[x] T(y) </a> Eof"}, {"<a>x<b>y</b></a>", "[y] </a> Eof"},
        {"<i></i><z/>", "[] <z/> Eof"}, {"<i>abc", "[abc] Eof"}, {"<i>&foo;</i>", "Other!"}, {"<i>&#0;</i>", "Other!"},
        {"<i>&#xD800;</i>", "Other!"}, {"<i>&#x110000;</i>", "Other!"}, {"<i>a & b</i>", "Other!"},
        {"<i>&amp</i>", "Other!"}, {"<i>&#;</i>", "Other!"}, {"<i>&#x1G;</i>", "Other!"}, {"<i>x<!-- y</i>", "[x] Eof"},
    };
    for (const auto& [fragment, expected] : cases) {
        FragmentCursor f(fragment);
        std::string_view text;
        const Status status = f.cursor().read_text(text);
        const std::string got = status.ok() ? std::string("[").append(text).append("] ") : outcome(status);
        EXPECT_EQ(status.ok() ? got + rest(f.cursor()) : got, expected) << fragment;
    }
}

TEST(CursorNumbers, FloatListsAndVectors) {
    const auto list = [](std::string_view text) {
        std::vector<double> values{9.0};  // replaced, not extended
        const Status status = parse_float_list(text, values);
        return status.ok() ? floats(values.data(), values.size()) : status.error().to_string();
    };
    const auto vec3 = [](std::string_view text) {
        Vec3 v{};
        const Status status = parse_vec3(text, v);
        return status.ok() ? floats(v.data(), 3) : status.error().to_string();
    };
    const auto invalid = [](std::string t) { return "Failed to parse value '" + t + "' as f64: invalid float"; };
    const std::pair<std::string, std::string> cases[] = {
        {list("  1.0   -2.5e-3 +3 "), "[1, -0.0025, 3]"}, {list("") + list(" \n\t\u3000"), "[][]"},
        {list("1.0 ***** 2.0") + list("*"), "[1, nan, 2][nan]"}, {list("1.0 1.0D+00"), invalid("1.0D+00")},
        {list("1\u00A02\u30003\u20284\u00855\v6"), "[1, 2, 3, 4, 5, 6]"}, {list("1 **1"), invalid("**1")},
        {list("1,2"), invalid("1,2")}, {list("1\u200B2"), invalid("1\u200B2")}, {vec3("1 x 3"), invalid("x")},
        {vec3("1 2 3 4") + vec3("***** -1 2e1"), "[1, 2, 3][nan, -1, 20]"}, {vec3("1 2 3 x"), invalid("x")},
        {vec3("1 2"), "Failed to parse value '1 2' as [f64; 3]: expected 3 values, got 2"},
        {vec3(""), "Failed to parse value '' as [f64; 3]: expected 3 values, got 0"},
    };
    for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

TEST(CursorRows, Vec3AndFloatRows) {
    const std::string bad = "Failed to parse value 'x' as f64: invalid float", two = "[1, 2, 3][4, 5, 6] Eof";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // varray, vec3 rows and float rows, each followed by the events after the read
        {"<varray><v/><v>1 2 3</v></varray><z/>", "[1, 2, 3] <z/> Eof", "[1, 2, 3] <z/> Eof"},
        {"<varray><v>1 2 3</v><x><v>9 9 9</v></x><v>4 5 6 7</v></varray>", two, "[1, 2, 3][4, 5, 6, 7] Eof"},
        {"<varray><v>1 2 3</v></x>t<i/><v>4 5 6</v></varray>", two, two}, {"<varray><v>1 2 3</v><v>4 5 6", two, two},
        {"<varray><v>1</v><v></v><v>2 3</v>", "Failed to parse value '1' as [f64; 3]: expected 3 values, got 1",
         "[1][][2, 3] Eof"},
        {"<varray><v>1 x 3</v></varray>", bad, bad}, {"<varray><x>", " Eof", " Eof"},  // cut off: the rows so far
        {"<varray><v>1 2 3</v><!--", "[1, 2, 3] Eof", "[1, 2, 3] Eof"}, {"<varray></varray>", " Eof", " Eof"},
    };
    for (const auto& [fragment, vec3_rows, float_rows] : cases) {
        FragmentCursor a(fragment), b(fragment);
        std::vector<Vec3> vectors;
        FloatRows table;
        const Status vec3_status = a.cursor().read_vec3_rows(vectors), float_status = b.cursor().read_float_rows(table);
        std::string got_vec3, got_floats;
        for (const Vec3& row : vectors) got_vec3 += floats(row.data(), 3);
        for (std::size_t i = 0; i < table.size(); ++i)
            got_floats += floats(table.values.data() + table.offsets[i], table.offsets[i + 1] - table.offsets[i]);
        EXPECT_EQ(vec3_status.ok() ? got_vec3 + " " + rest(a.cursor()) : outcome(vec3_status), vec3_rows) << fragment;
        EXPECT_EQ(float_status.ok() ? got_floats + " " + rest(b.cursor()) : outcome(float_status), float_rows)
            << fragment;
    }
}

TEST(CursorRows, NumberElementsReadInPlaceOrLeftToTheGeneralWay) {
    const std::string declined = "declined";
    const std::pair<std::string, std::string> cases[] = {
        {"<set>\n  <r>  -12.3643    1.0000 </r><r>2</r>", "[-12.3643, 1] <r> T(2) </r> Eof"},
        {"<set><r>1.5E+02\t-.5\r\n+7.</r>", "[150, -0.5, 7] Eof"},
        {"<set><r>0.1<!-- c -->", declined},
        {"<set><r></r><x/>", "[] <x/> Eof"},
        {"<set><r>1</r >", declined},
        {"<set><r>1</x>", declined},
        {"<set><r a=\"1\">1</r>", declined},
        {"<set><rr>1</rr>", declined},
        {"<set><r>1 &#50;</r>", declined},
        {"<set><r>1 *****</r>", declined},
        {"<set><r>1 nan</r>", declined},
        {"<set><r>1\u00A02</r>", declined},
        {"<set><r>1 2", declined},
        {"<set><r>1 2 ", declined},
        {"<set><r>1.2.3</r>", declined},
        {"<set><r>1e</r>", declined},
        {"<set><r>-</r>", declined},
        {"<set>text<r>1</r>", declined},
    };
    for (const auto& [fragment, expected] : cases) {
        FragmentCursor fragment_cursor(fragment);
        std::vector<double> values;
        const bool read = fragment_cursor.cursor().read_number_element("r", [&](double v) { values.push_back(v); });
        EXPECT_EQ(read ? floats(values.data(), values.size()) + " " + rest(fragment_cursor.cursor()) : declined,
                  expected)
            << fragment;
    }
}

// Rows of random tokens and separators, read in place where that is taken
// and the general way always: both must give the same numbers, bit for bit,
// and leave the cursor at the same place.
TEST(CursorRows, InPlaceReadingAgreesWithTheGeneralWay) {
    const char* const tokens[] = {"0.0001", "-12.3643", "1.0000", "7", "-0", "+.5", "5.", "123456789012345678",
                                  "0.30000000000000004", "1e5", "-2.5E-03", "1.7976931348623157e308", "9e-400",
                                  "1.2.3", "-", ".", "1e", "***", "nan", "Inf", "&#50;", "1,5", "\u00e9"};
    const char* const separators[] = {" ", "  ", "    ", "\t", "\n", "\r\n", "\v", "\u00A0", "", "<!---->"};
    std::mt19937 random(7);
    auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    std::size_t taken = 0;
    for (int n = 0; n < 20000; ++n) {
        // Half the rows in each of the two fixed-width column forms.
        const char* const blanks = n % 2 ? "  " : "     ";
        std::string row = random() % 2 ? "<r>" : std::string("<r>") + blanks;
        const std::size_t count = random() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            row += random() % 8 ? "0.0030" : pick(tokens);
            row += random() % 8 ? blanks : pick(separators);
        }
        row += random() % 16 ? "</r>" : "</r >";
        const std::string fragment = "<set>" + row + "<next/>";
        FragmentCursor in_place(fragment), general(fragment);
        std::vector<double> fast, slow;
        if (!in_place.cursor().read_number_element("r", [&](double v) { fast.push_back(v); })) continue;
        ++taken;
        // The general way: the start tag as an event, then the element's text.
        XmlEvent start;
        std::string_view text, bad;
        ASSERT_TRUE(general.cursor().next_event(start).ok()) << row;
        ASSERT_TRUE(start.kind == EventKind::Start && start.name == "r") << row;
        ASSERT_TRUE(general.cursor().read_text(text).ok()) << row;
        ASSERT_TRUE(parse_floats(text, [&](double v) { slow.push_back(v); }, bad)) << row;
        ASSERT_EQ(fast.size(), slow.size()) << row;
        for (std::size_t i = 0; i < fast.size(); ++i)
            EXPECT_EQ(std::memcmp(&fast[i], &slow[i], sizeof(double)), 0) << row << " value " << i;
        EXPECT_EQ(rest(in_place.cursor()), rest(general.cursor())) << row;
    }
    EXPECT_GT(taken, 2000u);
}

}  // namespace
}  // namespace quorvel::testing
