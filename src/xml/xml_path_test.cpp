#include <gtest/gtest.h>

#include <cmath>

#include "host/cp1251.h"
#include "xml/xml_node.h"

namespace korvel::xml {
namespace {

using namespace korvel::literals;

class XmlPath : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GlobalFormatSettings();
    ApplyFormatSettings();
  }
  void TearDown() override { GlobalFormatSettings() = saved_; }

  // R with A(n=1) and A(n=2) holding B with the text t.
  std::unique_ptr<TXMLNode> doc_ = TXMLNode::CreateFromText("<R><A n=\"1\"/><A n=\"2\"><B>t</B></A></R>");
  TXMLNode* a1() { return doc_->Child(0); }
  TXMLNode* a2() { return doc_->Child(1); }
  TXMLNode* b() { return a2()->Child(0); }

 private:
  FormatSettings saved_;
};

TEST_F(XmlPath, StepsAndPredicates) {
  struct Case {
    const char* path;
    TXMLNode* expected;
  };
  for (const Case& c : {Case{"A", a1()}, Case{"A[1]", a2()}, Case{"A[last()]", a2()}, Case{"A[@n=2]", a2()},
                        Case{"A[@n=\"2\"]", a2()}, Case{"A[@n=3]", nullptr}, Case{"A[2]", nullptr},
                        Case{"[0]", a1()}, Case{"[last()]", a2()}, Case{"*[@n=1]", a1()}, Case{"[@n=2]", a2()},
                        Case{"A[*]", doc_.get()}, Case{"A[ 1 ]", a2()}, Case{"A[]", doc_.get()},
                        Case{"A[1", doc_.get()}, Case{"A]1[", doc_.get()}, Case{"A[@n = 2]", nullptr},
                        Case{"A[B=t]", a2()}, Case{"A[B=\"t]", a1()}, Case{"A[@m=]", a1()},
                        Case{"A[0x1]", a2()}, Case{"A[0x80000000]", nullptr},
                        // Names in predicates compare exactly, "*" only in the "=" form.
                        Case{"a[0]", nullptr}, Case{"*[0]", nullptr}, Case{"*[last()]", nullptr},
                        Case{"A/B", nullptr}, Case{"//B", b()}, Case{"A[1]/B", b()}, Case{"A[1]/B/..", a2()},
                        Case{"A[1]/@n", a2()->Attributes()->Items(0)},
                        Case{"A/@n/x", a1()->Attributes()->Items(0)}, Case{"A/@m", nullptr},
                        Case{"/A", a1()}, Case{"A//B", nullptr}, Case{"A[1]//B", b()}, Case{"A[1]/B/", b()},
                        Case{"R", nullptr}, Case{".", doc_.get()}, Case{"", doc_.get()}, Case{"..", nullptr},
                        Case{"./A/.", a1()}, Case{"A/../A[1]", a2()}, Case{"//A[@n=2]/B", b()},
                        Case{"//", doc_.get()}, Case{"///B", b()}, Case{"//B/..", a2()}}) {
    EXPECT_EQ(doc_->Select(c.path), c.expected) << c.path;
  }
  // ".//" searches the whole document even from a deep node.
  EXPECT_EQ(b()->Select(".//B"), b());
  EXPECT_EQ(a1()->Select(".//A[1]"), a2());
  EXPECT_EQ(a1()->Select("//B"), b());
  // An attribute has no children and no attributes.
  TXMLNode* n = a1()->Attributes()->Items(0);
  EXPECT_EQ(n->Select("x"), nullptr);
  EXPECT_EQ(n->Select("[0]"), nullptr);
  EXPECT_EQ(n->Select("@n"), nullptr);
  EXPECT_EQ(n->Select(".."), a1());
}

TEST_F(XmlPath, NameStepsFollowTheListsIgnoreCase) {
  const auto folded = TXMLNode::CreateFromText("<R><Modules><Module ID=\"2\"/></Modules></R>", true);
  EXPECT_NE(folded->Select("MODULES/module"), nullptr);
  EXPECT_EQ(folded->Select("MODULES/module/@id")->Value, "2");
  // A predicate compares the step's name exactly whatever the flag says;
  // its left part is a path of its own and follows the lists.
  EXPECT_EQ(folded->Select("MODULES/module[0]"), nullptr);
  EXPECT_EQ(folded->Select("MODULES/module[@ID=2]"), nullptr);
  EXPECT_NE(folded->Select("MODULES/Module[@id=2]"), nullptr);
  EXPECT_NE(folded->Select("MODULES/*[@ID=2]"), nullptr);
  EXPECT_EQ(doc_->Select("a"), nullptr);
}

TEST_F(XmlPath, DeepSearchIsPreOrderAndWholePathMatches) {
  const auto doc = TXMLNode::CreateFromText(
      "<D><MODULES><MODULE ID=\"2\"/><MODULE ID=\"2\"><FILES n=\"second\"/></MODULE></MODULES>"
      "<X><MODULE ID=\"2\"><FILES n=\"third\"/></MODULE></X></D>");
  // The predicate chooses one child per parent: below MODULES the first
  // MODULE with ID 2 has no FILES, so the match is found below X.
  EXPECT_EQ(doc->Select("//MODULE[@ID=2]/FILES")->GetAttribute("n"), "third");
  EXPECT_EQ(doc->Select("//FILES")->GetAttribute("n"), "second");
  EXPECT_EQ(TXMLNode::FindDeep(doc->Child(1), "MODULE/FILES")->GetAttribute("n"), "third");
  // The start node is never matched by the first step itself.
  EXPECT_EQ(TXMLNode::FindDeep(doc->Child(1), "X"), nullptr);
  EXPECT_EQ(TXMLNode::FindDeep(nullptr, "X"), nullptr);
  // Nested searches ("A///B" searches from the document for every A) give
  // the same answer once per document and path rest.
  EXPECT_EQ(doc->Select("//MODULE///FILES")->GetAttribute("n"), "second");
  EXPECT_EQ(doc->Select("MODULES///X///FILES[@n=third]")->GetAttribute("n"), "third");
  std::string path = "MODULES";
  for (int i = 0; i < 90; ++i) path += "///MODULES";
  EXPECT_EQ(doc->Select(path), doc->Child(0));
  for (int i = 0; i < 20; ++i) path += "///MODULES";
  EXPECT_THROW(doc->Select(path), Exception);
}

TEST_F(XmlPath, DigitPredicatesMustBeIntegers) {
  try {
    doc_->Select("A[2x]");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2x' is not a valid integer value");
  }
}

TEST_F(XmlPath, SelectRequiredNamesThePath) {
  EXPECT_EQ(doc_->SelectRequired("A[1]/B"), b());
  try {
    doc_->SelectRequired("FILES");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.TypeName(), "Exception");
    EXPECT_EQ(e.Message(), "Раздел \"FILES\" не найден!"_cp);
  }
}

TEST_F(XmlPath, TextAndValues) {
  EXPECT_EQ(doc_->GetValueAt("A[1]"), "");
  EXPECT_EQ(doc_->GetValueAt("A[1]/B"), "t");
  EXPECT_EQ(doc_->GetValueAt("A[1]/@n"), "2");
  EXPECT_EQ(doc_->GetValueAt("nothing"), "");
  // Only the first text or CDATA child counts; comments and elements are
  // passed over, split text is not joined.
  const auto mixed = TXMLNode::CreateFromText("<m><!--c--><e>inner</e>first<![CDATA[second]]>third</m>");
  EXPECT_EQ(mixed->GetText(), "first");
  EXPECT_EQ(mixed->Child(0)->GetText(), "c");
  const auto cdata = TXMLNode::CreateFromText("<m><![CDATA[raw]]>x</m>");
  EXPECT_EQ(cdata->GetText(), "raw");
  cdata->SetText("new");
  EXPECT_EQ(cdata->Child(0)->Value, "new");
  EXPECT_EQ(cdata->Child(1)->Value, "x");

  // SetText on R appends a text child after the two A elements.
  doc_->SetText("x");
  ASSERT_EQ(doc_->ChildCount(), 3);
  EXPECT_EQ(doc_->Child(2)->Kind, nkText);
  EXPECT_EQ(doc_->GetText(), "x");
  b()->SetText("");
  EXPECT_EQ(b()->GetText(), "");
  EXPECT_EQ(b()->ChildCount(), 1);
  TXMLNode* comment = mixed->Child(0);
  comment->SetText("changed");
  EXPECT_EQ(comment->Value, "c");
  TXMLNode* n = a1()->Attributes()->Items(0);
  n->SetText("9");
  EXPECT_EQ(a1()->GetAttribute("n"), "9");
}

TEST_F(XmlPath, AttributesAreSetAddedAndRemoved) {
  a1()->SetAttribute("n", "");
  EXPECT_EQ(a1()->Attributes()->Count(), 0);
  EXPECT_EQ(a1()->GetAttribute("n"), "");
  a1()->SetAttribute("missing", "");
  a1()->SetAttribute("m", "5");
  a1()->SetAttribute("m", "6");
  ASSERT_EQ(a1()->Attributes()->Count(), 1);
  EXPECT_EQ(a1()->Attributes()->Items(0)->Value, "6");
  EXPECT_EQ(a1()->Attributes()->Items(0)->Parent(), a1());
  EXPECT_EQ(a1()->Attributes()->Items(0)->Kind, nkAttribute);
  // A node without an attribute list has no attributes to set.
  TXMLNode* m = a1()->Attributes()->Items(0);
  m->SetAttribute("x", "1");
  EXPECT_EQ(m->GetAttribute("x"), "");
}

TEST_F(XmlPath, CreatingSelections) {
  auto doc = TXMLNode::CreateDocument("PACKET");
  TXMLNode* value = doc->Select("VARS/Path", true, "C:\\Work");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(doc->GetValueAt("VARS/Path"), "C:\\Work");
  // Existing nodes are reused; the text is set again.
  EXPECT_EQ(doc->Select("VARS/Path", true, "D:\\"), value);
  EXPECT_EQ(value->GetText(), "D:\\");
  EXPECT_EQ(value->ChildCount(), 1);
  // An "@" step sets the attribute and gives the element.
  TXMLNode* vars = doc->Select("VARS/@Count", true, "1");
  EXPECT_EQ(vars, doc->Child(0));
  EXPECT_EQ(vars->GetAttribute("Count"), "1");
  // Searches and predicates never create.
  EXPECT_EQ(doc->Select("//NOPE/X", true, "v"), nullptr);
  EXPECT_EQ(doc->Select("VARS/X[0]", true, "v"), nullptr);
  EXPECT_EQ(doc->Child(0)->ChildCount(), 1);
}

TEST_F(XmlPath, TypedReads) {
  const auto doc = TXMLNode::CreateFromText(
      "<A n=\"1\" e=\"\" x=\"12a\" f1=\"1.5\" f2=\"1,5\" c=\"12.34567\" d=\"07.03.2024 10:30\" s=\" s \"/>");
  EXPECT_EQ(doc->ReadAttr<atInteger>("n"), 1);
  EXPECT_EQ(doc->ReadAttr<atString>("n"), "1");
  EXPECT_EQ(doc->ReadAttr<atString>("s"), " s ");
  EXPECT_DOUBLE_EQ(doc->ReadAttr<atFloat>("f1"), 1.5);
  EXPECT_DOUBLE_EQ(doc->ReadAttr<atFloat>("f2"), 1.5);
  EXPECT_EQ(doc->ReadAttr<atCurrency>("c"), Currency::FromScaled(123457));
  EXPECT_DOUBLE_EQ(doc->ReadAttr<atDateTime>("d"), EncodeDateTime({2024, 3, 7, 10, 30, 0, 0}));
  EXPECT_EQ(doc->ReadAttrDef<atInteger>("m", 0), 0);
  EXPECT_EQ(doc->ReadAttrDef<atInteger>("e", 7), 7);
  EXPECT_EQ(doc->ReadAttrDef<atInteger>("n", 7), 1);
  EXPECT_EQ(doc->ReadAttrDef<atString>("m", "def"), "def");
  EXPECT_EQ(doc->ReadAttrDef<atString>("s", "def"), " s ");
  EXPECT_DOUBLE_EQ(doc->ReadAttrDef<atFloat>("m", 2.5), 2.5);

  const std::string prefix = "Атрибут \"m\" не задан или имеет неверный формат."_cp + "\r\n";
  try {
    doc->ReadAttr<atInteger>("m");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), prefix + "'' is not a valid integer value");
  }
  try {
    doc->ReadAttr<atString>("m");
    FAIL();
  } catch (const EAbort& e) {
    EXPECT_EQ(e.Message(), prefix);
  }
  try {
    doc->ReadAttrDef<atInteger>("x", 0);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Атрибут \"x\" не задан или имеет неверный формат."_cp + "\r\n'12a' is not a valid integer value");
  }
  try {
    doc->ReadAttr<atFloat>("x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Атрибут \"x\" не задан или имеет неверный формат."_cp + "\r\n'12a' is not a valid floating point value");
  }
  try {
    doc->ReadAttr<atDateTime>("x");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Атрибут \"x\" не задан или имеет неверный формат."_cp + "\r\n'12a' is not a valid date and time");
  }
  // With "." as the separator a comma is taken for it too.
  GlobalFormatSettings().decimal_separator = '.';
  EXPECT_DOUBLE_EQ(doc->ReadAttr<atFloat>("f2"), 1.5);
  EXPECT_DOUBLE_EQ(doc->ReadAttr<atFloat>("f1"), 1.5);
}

}  // namespace
}  // namespace korvel::xml
