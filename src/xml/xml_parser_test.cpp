#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "xml/xml_node.h"

namespace korvel::xml {
namespace {

using namespace korvel::literals;

std::unique_ptr<TXMLNode> Parse(std::string_view text) { return TXMLNode::CreateFromText(text); }

// The parser's message for `text`, or "(parsed)".
std::string ParseError(std::string_view text) {
  try {
    Parse(text);
  } catch (const EListError& e) {
    return "(list error) " + e.Message();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.TypeName(), "Exception") << e.Message();
    return e.Message();
  }
  return "(parsed)";
}

std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  return text;
}

TEST(XmlParser, ErrorsCarryTheParsersMessages) {
  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {" <a/>", "< expected"},
      {"\r\n<a/>", "< expected"},
      {"\xEF\xBB\xBF<a/>", "< expected"},
      {"<!-- only a comment -->", "< expected"},
      {"<a b='x'/>", "5 :Illegal symbol in XML:'"},
      {"<a b= \"x\"/>", "5 :Illegal symbol in XML: "},
      {"<a=\"x\"/>", "2 :Illegal symbol in XML:="},
      {"<\xA8/>", "1 :Illegal symbol in XML:\xA8"},  // Ё is no name character
      {"<a>x</a><\xB9", "(parsed)"},                 // nor is №, but nothing reads it
      {"<a b=x/>", "Attribute value expected"},
      {"<?xml v=x?><a/>", "Attribute value expected"},
      {"<?xml version =\"1.0\"?><a/>", "= expected"},
      {"<a b=\"x\"", "= expected:<a b=\"x\""},
      {"<", "= expected:<"},
      {"<a b c=\"1\"/>", "= expected:<a b c=\"1\"/>"},
      {"<a b=\"x/>", "Unterminated attribute"},
      {"<a b='\"'/>", "5 :Illegal symbol in XML:'"},
      {"<a></b>", "Tag order error. Tag: \"a\" code: <a></b>"},
      {"<a></A>", "Tag order error. Tag: \"a\" code: <a></A>"},
      // Excerpts end at the first zero byte of the input.
      {std::string("<a>\0</b>", 8), "Tag order error. Tag: \"a\" code: <a>"},
      {"<ab></a>", "Tag order error. Tag: \"ab\" code: <ab></a>"},
      {"<>", "Tag name expected: <>"},
      {"<\"a\"/>", "Tag name expected: <\"a\"/>"},
      {"<p><?x?></p>", "Tag name expected: <p><?x?></p>"},
      {"<?xml version=\"1.0\"", "Unclosed XML header"},
      {"<a><?x a=\"1\"></a>", "Unclosed XML header"},
      {"<a>\x0C</a>", "Illegal char in XML. Char \x0C code x0C."},
      {"<a>x\x1Fy</a>", "Illegal char in XML. Char \x1F code x1F."},
      {"<a b=\"\x01\"/>", "Illegal char in XML. Char \x01 code x01."},
      {"<a>\t\r\n</a>", "(parsed)"},
      {"<a><!-- never closed</a>", "Не найден конец комментария"_cp},
      {Nested(kMaxNestingDepth), "(parsed)"},
      {Nested(kMaxNestingDepth + 1), "XML nesting too deep (more than 1000 levels)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseError(c.input), c.message) << c.input.substr(0, 60);
  }
}

TEST(XmlParser, ExcerptsStartAtTheirOffsetsBeforeTheFault) {
  // "Tag name expected": 21 bytes before the position after the token, 200 long.
  const std::string x(100, 'x');
  EXPECT_EQ(ParseError("<r>" + x + "<>"), "Tag name expected: " + std::string(19, 'x') + "<>");
  const std::string long_tail(300, 'z');
  EXPECT_EQ(ParseError("<r>" + x + "<>" + long_tail),
            "Tag name expected: " + (std::string(19, 'x') + "<>" + long_tail).substr(0, 200));
  // "= expected:": 51 bytes before the position, 100 long.
  const std::string name(60, 'c');
  EXPECT_EQ(ParseError("<a " + name + ">" + long_tail), "= expected:" + std::string(51, 'c') + ">" + long_tail.substr(0, 48));
  // Tag order: 101 bytes before the "<" of the end tag, 200 long.
  const std::string y(150, 'y');
  EXPECT_EQ(ParseError("<a>" + y + "</b>"), "Tag order error. Tag: \"a\" code: " + std::string(101, 'y') + "</b>");
}

TEST(XmlParser, NamesAreRunsOfNameCharacters) {
  const auto doc = Parse("<$%-.09:@AZ_az\xC0\xFF a.b=\"1\"/>");
  EXPECT_EQ(doc->Name, "$%-.09:@AZ_az\xC0\xFF");
  EXPECT_EQ(doc->GetAttribute("a.b"), "1");
  EXPECT_EQ(Parse("<Товар Цена=\"5\"/>"_cp)->GetAttribute("Цена"_cp), "5");
  // A name ends at the first other byte; a tag may end without whitespace.
  const auto tight = Parse("<a b=\"1\"c=\"2\"/>");
  ASSERT_EQ(tight->Attributes()->Count(), 2);
  EXPECT_EQ(tight->Attributes()->Items(1)->Name, "c");
}

TEST(XmlParser, EntitiesAndCharacters) {
  // Only the five entities, replaced once: &amp;lt; is the literal &lt;.
  const auto text = Parse("<a>  x &amp;lt; y  </a>");
  ASSERT_EQ(text->ChildCount(), 1);
  EXPECT_EQ(text->Child(0)->Kind, nkText);
  EXPECT_EQ(text->Child(0)->Name, "");
  EXPECT_EQ(text->Child(0)->Value, "  x &lt; y  ");
  const auto values = Parse(
      "<a n=\"1&#65;\" q=\"&quot;q&quot;\" all=\"&gt;&lt;&quot;&apos;&amp;\" odd=\"&unknown; & &amp\" "
      "gt=\"a>b\"/>");
  EXPECT_EQ(values->GetAttribute("n"), "1&#65;");
  EXPECT_EQ(values->GetAttribute("q"), "\"q\"");
  EXPECT_EQ(values->GetAttribute("all"), "><\"'&");
  EXPECT_EQ(values->GetAttribute("odd"), "&unknown; & &amp");
  EXPECT_EQ(values->GetAttribute("gt"), "a>b");
  // A zero byte reads as a space, in text and in values.
  const auto zeros = Parse(std::string("<a v=\"1\0002\">x\0y</a>", 19));
  EXPECT_EQ(zeros->GetAttribute("v"), "1 2");
  EXPECT_EQ(zeros->GetText(), "x y");
  // A run that is only whitespace (a zero byte included) is dropped.
  EXPECT_EQ(Parse(std::string("<a>\0 </a>", 10))->ChildCount(), 0);
  // Bytes of the upper half and line breaks pass unchanged.
  EXPECT_EQ(Parse("<a>Привет\r\n\tмир</a>"_cp)->GetText(), "Привет\r\n\tмир"_cp);
}

// Values and indents are searched a block of bytes at a time: whatever
// ends a value or needs decoding is found wherever it stands in a block.
TEST(XmlParser, ValuesAndTextsAreReadRightAtEveryOffset) {
  for (std::size_t before = 0; before < 40; ++before) {
    const std::string lead(before, 'v');
    for (const std::size_t after : {0, 1, 7, 8, 15, 16, 17, 33}) {
      const std::string tail(after, 'w');
      const auto value = [&](const std::string& middle) {
        return Parse("<a v=\"" + lead + middle + tail + "\" z=\"1\"/>")->GetAttribute("v");
      };
      EXPECT_EQ(value(""), lead + tail);
      EXPECT_EQ(value("&amp;"), lead + "&" + tail);
      EXPECT_EQ(value("\t\r\n\xFF\x80\x7F<>"), lead + "\t\r\n\xFF\x80\x7F<>" + tail);
      EXPECT_EQ(value(std::string(1, '\0')), lead + " " + tail);
      EXPECT_EQ(ParseError("<a v=\"" + lead + "\x1F" + tail + "\"/>"), "Illegal char in XML. Char \x1F code x1F.");
      EXPECT_EQ(ParseError("<a v=\"" + lead + tail), "Unterminated attribute");
      EXPECT_EQ(ParseError("<a v=\"" + lead + "&amp;" + tail), "Unterminated attribute");

      // Runs of whitespace: dropped up to the next element, kept with text,
      // and checked for control characters either way.
      const std::string spaces = std::string(before, ' ') + "\r\n\t";
      EXPECT_EQ(Parse("<a>" + spaces + "<b/>" + spaces + "</a>")->ChildCount(), 1);
      EXPECT_EQ(Parse("<a>" + spaces + "x" + tail + "</a>")->GetText(), spaces + "x" + tail);
      EXPECT_EQ(Parse("<a>" + spaces)->ChildCount(), 0);
      EXPECT_EQ(ParseError("<a>" + spaces + "\x02" + spaces + "<b/></a>"), "Illegal char in XML. Char \x02 code x02.");
    }
  }
}

// Names are stored once per document as far as a small cache sees them;
// whatever it sees, every node keeps its own name.
TEST(XmlParser, NamesOfAnyLengthRepeatedOrNot) {
  std::string text = "<r>";
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    std::string name = "n" + std::to_string(i * 7919 % 1000);
    if (i % 100 == 0) name = std::string(60 + i / 100, 'L');  // longer than the cache keeps
    if (i % 100 == 1) name = std::string(1, static_cast<char>('a' + i % 26));
    names.push_back(name);
    text += "<" + name + " " + name + "=\"" + std::to_string(i) + "\" x" + name + "=\"\"></" + name + ">";
  }
  text += "<aXb/><aYb/><aXXb/><aXb/></r>";
  const auto doc = Parse(text);
  ASSERT_EQ(doc->ChildCount(), 3004);
  for (int i = 0; i < 3000; ++i) {
    const TXMLNode* child = doc->Child(i);
    ASSERT_EQ(child->Name, names[i]);
    ASSERT_EQ(child->Attributes()->Count(), 2);
    EXPECT_EQ(child->Attributes()->Items(0)->Name, names[i]);
    EXPECT_EQ(child->GetAttribute(names[i]), std::to_string(i));
    EXPECT_EQ(child->Attributes()->Items(1)->Name, "x" + names[i]);
    EXPECT_EQ(child->Attributes()->Items(1)->Value, "");
  }
  EXPECT_EQ(doc->Child(3000)->Name, "aXb");
  EXPECT_EQ(doc->Child(3001)->Name, "aYb");
  EXPECT_EQ(doc->Child(3002)->Name, "aXXb");
  EXPECT_EQ(doc->Child(3003)->Name, "aXb");
  // The end tag is compared with the name, long or short.
  const std::string longer(300, 'N');
  EXPECT_EQ(Parse("<" + longer + "></" + longer + ">")->Name, longer);
  EXPECT_EQ(ParseError("<" + longer + "></" + longer.substr(1) + ">").substr(0, 40),
            "Tag order error. Tag: \"" + longer.substr(0, 17));
}

TEST(XmlParser, LargeValuesAndLongLists) {
  const std::string big(100000, 'b');
  std::string text = "<r v=\"" + big + "\">" + big + "<![CDATA[" + big + "]]><!--" + big + "-->";
  for (int i = 0; i < 50000; ++i) text += "<c i=\"" + std::to_string(i) + "\"/>";
  text += "</r>";
  const auto doc = Parse(text);
  EXPECT_EQ(doc->GetAttribute("v"), big);
  ASSERT_EQ(doc->ChildCount(), 50003);
  EXPECT_EQ(doc->Child(0)->Value, big);
  EXPECT_EQ(doc->Child(1)->Value, big);
  EXPECT_EQ(doc->Child(2)->Value, big);
  EXPECT_EQ(doc->Child(50002)->GetAttribute("i"), "49999");
  const auto again = Parse(doc->ToXML());
  ASSERT_EQ(again->ChildCount(), 50003);
  EXPECT_EQ(again->Child(2)->Value, big);
  EXPECT_EQ(again->ToXML(), doc->ToXML());
}

TEST(XmlParser, StructureAndLeniency) {
  const auto empty = Parse("");
  EXPECT_EQ(empty->Kind, nkElement);
  EXPECT_EQ(empty->Name, "");
  EXPECT_EQ(empty->Attributes()->Count(), 0);
  EXPECT_EQ(empty->ChildCount(), 0);
  EXPECT_EQ(empty->Headers(), nullptr);

  const auto single = Parse("<a/>");
  EXPECT_EQ(single->Name, "a");
  EXPECT_EQ(single->Attributes()->Count(), 0);
  EXPECT_EQ(single->ChildCount(), 0);
  EXPECT_EQ(single->Parent(), nullptr);

  // Whitespace may stand before the "=" in a start tag; duplicates are kept.
  const auto attrs = Parse("<a b =\"x\" b=\"y\" / >");
  ASSERT_EQ(attrs->Attributes()->Count(), 2);
  EXPECT_EQ(attrs->Attributes()->Items(0)->Value, "x");
  EXPECT_EQ(attrs->Attributes()->Items(1)->Value, "y");
  EXPECT_EQ(attrs->Attributes()->Items(0)->Kind, nkAttribute);
  EXPECT_EQ(attrs->Attributes()->Items(0)->Parent(), attrs.get());
  EXPECT_EQ(attrs->Attributes()->Items(0)->Attributes(), nullptr);
  EXPECT_EQ(attrs->Attributes()->Items(0)->Children(), nullptr);

  const auto spaced = Parse("<a>\r\n  <b/>\r\n</a>");
  ASSERT_EQ(spaced->ChildCount(), 1);
  EXPECT_EQ(spaced->Child(0)->Name, "b");
  EXPECT_EQ(spaced->Child(0)->Parent(), spaced.get());

  // Missing end tags at the end of the input are no error.
  const auto open = Parse("<a><b>abc");
  ASSERT_EQ(open->ChildCount(), 1);
  ASSERT_EQ(open->Child(0)->ChildCount(), 1);
  EXPECT_EQ(open->Child(0)->Child(0)->Value, "abc");
  EXPECT_EQ(Parse("<a>x</a")->GetText(), "x");

  // Nothing after the root element is read.
  EXPECT_EQ(Parse("<r/>trailing garbage <<<")->Name, "r");
  EXPECT_EQ(Parse("<r></r><\x01")->Name, "r");
  // The byte after an end tag's name is not looked at.
  EXPECT_EQ(Parse("<r><b></b x>tail</r>")->Child(1)->Value, "x>tail");

  // Any other "<!" construct ends the node right after the "<!".
  const auto doctype = Parse("<!DOCTYPE r><r/>");
  EXPECT_EQ(doctype->Kind, nkElement);
  EXPECT_EQ(doctype->Name, "");
  EXPECT_EQ(doctype->ChildCount(), 0);
  const auto inner = Parse("<r><!x></r>");
  ASSERT_EQ(inner->ChildCount(), 2);
  EXPECT_EQ(inner->Child(0)->Name, "");
  EXPECT_EQ(inner->Child(1)->Value, "x>");

  const auto mixed = Parse("<r><!--x--><![CDATA[a<b]]></r>");
  ASSERT_EQ(mixed->ChildCount(), 2);
  EXPECT_EQ(mixed->Child(0)->Kind, nkComment);
  EXPECT_EQ(mixed->Child(0)->Name, "#comment");
  EXPECT_EQ(mixed->Child(0)->Value, "x");
  EXPECT_EQ(mixed->Child(1)->Kind, nkCData);
  EXPECT_EQ(mixed->Child(1)->Name, "#cdata-section");
  EXPECT_EQ(mixed->Child(1)->Value, "a<b");
  EXPECT_EQ(mixed->Child(1)->ChildCount(), 0);
  // Comments and CDATA are raw: no entities, no character check.
  const auto raw = Parse("<r><!--&amp;\x01--><![CDATA[&lt;\x02]]></r>");
  EXPECT_EQ(raw->Child(0)->Value, "&amp;\x01");
  EXPECT_EQ(raw->Child(1)->Value, "&lt;\x02");
  const auto unclosed = Parse("<a><![CDATA[xyz");
  ASSERT_EQ(unclosed->ChildCount(), 1);
  EXPECT_EQ(unclosed->Child(0)->Value, "xyz");
  // A document may be a CDATA section itself.
  EXPECT_EQ(Parse("<![CDATA[q]]>")->Kind, nkCData);
}

TEST(XmlParser, HeadersAndCommentsInFrontOfTheRoot) {
  const auto doc = Parse("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<!-- c -->\r\n<r/>");
  EXPECT_EQ(doc->Name, "r");
  EXPECT_EQ(doc->Kind, nkElement);
  EXPECT_EQ(doc->Value, "");
  EXPECT_EQ(doc->ChildCount(), 0);
  ASSERT_NE(doc->Headers(), nullptr);
  ASSERT_EQ(doc->Headers()->Count(), 1);
  const TXMLNode* header = doc->Headers()->Items(0);
  EXPECT_EQ(header->Name, "xml");
  EXPECT_EQ(header->Kind, nkElement);
  EXPECT_EQ(header->Parent(), doc.get());
  ASSERT_EQ(header->Attributes()->Count(), 2);
  EXPECT_EQ(header->Attributes()->Items(1)->Name, "encoding");
  EXPECT_EQ(header->Attributes()->Items(1)->Value, "windows-1251");
  EXPECT_EQ(header->Attributes()->Items(1)->Parent(), doc.get());

  // Several instructions are kept in order; "?" and stray tokens are ignored.
  const auto two = Parse("<?a x=\"1\" \"q\" / ?><?b?><r/>");
  ASSERT_EQ(two->Headers()->Count(), 2);
  EXPECT_EQ(two->Headers()->Items(0)->Attributes()->Count(), 1);
  EXPECT_EQ(two->Headers()->Items(1)->Name, "b");

  // An instruction inside an element attaches to the node read after it.
  const auto p = Parse("<p><?x a=\"1\"?><q/></p>");
  ASSERT_EQ(p->ChildCount(), 1);
  const TXMLNode* q = p->Child(0);
  EXPECT_EQ(q->Name, "q");
  ASSERT_NE(q->Headers(), nullptr);
  EXPECT_EQ(q->Headers()->Items(0)->Name, "x");
  EXPECT_EQ(q->Headers()->Items(0)->Attributes()->Items(0)->Parent(), q);
  EXPECT_EQ(p->Headers(), nullptr);
}

TEST(XmlParser, FlagsAreInheritedAndCopiedByLists) {
  const auto doc = TXMLNode::CreateFromText("<r><A n=\"1\"/></r>", true);
  EXPECT_TRUE(doc->IgnoreCase);
  EXPECT_TRUE(doc->Children()->IgnoreCase());
  const TXMLNode* a = doc->Child(0);
  EXPECT_TRUE(a->IgnoreCase);
  EXPECT_TRUE(a->Attributes()->IgnoreCase());
  EXPECT_EQ(doc->Children()->Find("a"), a);
  EXPECT_EQ(a->GetAttribute("N"), "1");
  EXPECT_EQ(TXMLNode::CreateFromText("<r><A/></r>")->Children()->Find("a"), nullptr);
}

TEST(XmlParser, ParentFlagsWinAndBareValuesAreAcceptedWhenSet) {
  auto parent = TXMLNode::CreateFromText("<p/>", true);
  parent->BareValues = true;
  const auto child = TXMLNode::CreateFromText("<c v=bare><d w=x/></c>", false, parent.get());
  EXPECT_EQ(child->Parent(), parent.get());
  EXPECT_TRUE(child->IgnoreCase);
  EXPECT_TRUE(child->BareValues);
  EXPECT_EQ(child->GetAttribute("V"), "bare");
  EXPECT_EQ(child->Child(0)->GetAttribute("w"), "x");
  EXPECT_EQ(parent->ChildCount(), 0);  // not added to the parent's list
}

TEST(XmlParser, BuffersEndAtTheirFirstZeroByte) {
  const char buffer[] = "<a>x</a>\0<b>";
  const auto doc = TXMLNode::CreateFromBuffer(buffer);
  EXPECT_EQ(doc->Name, "a");
  EXPECT_FALSE(doc->IgnoreCase);
  EXPECT_EQ(TXMLNode::CreateFromBuffer(nullptr)->Name, "");
  EXPECT_EQ(ParseError(std::string("<a>\0", 4)), "(parsed)");
}

TEST(XmlParser, LoadFromFileReadsBytesAsTheyAre) {
  testing::TempDir dir;
  const std::string path = dir / "contents.xml";
  testing::WriteFile(path, "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<Пакет Тип=\"41\"/>"_cp);
  const auto doc = TXMLNode::LoadFromFile(testing::SystemHost(), path);
  EXPECT_EQ(doc->Name, "Пакет"_cp);
  EXPECT_EQ(doc->GetAttribute("Тип"_cp), "41");
  EXPECT_FALSE(doc->IgnoreCase);
  EXPECT_TRUE(TXMLNode::LoadFromFile(testing::SystemHost(), path, nullptr, true)->IgnoreCase);

  const std::string missing = dir / "missing.xml";
  try {
    TXMLNode::LoadFromFile(testing::SystemHost(), missing);
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + missing + "\". ", 0), 0u) << e.Message();
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
  }
  // A parse error of a file is the parser's own.
  testing::WriteFile(path, "<a></b>");
  try {
    TXMLNode::LoadFromFile(testing::SystemHost(), path);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Tag order error. Tag: \"a\" code: <a></b>");
  }
}

}  // namespace
}  // namespace korvel::xml
