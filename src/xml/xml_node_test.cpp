#include <gtest/gtest.h>

#include <functional>

#include "host/cp1251.h"
#include "xml/xml_node.h"

namespace korvel::xml {
namespace {

using namespace korvel::literals;

std::string ListError(const std::function<void()>& action) {
  try {
    action();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.TypeName(), "EListError");
    return e.Message();
  }
  return "(no error)";
}

TEST(XmlNode, ListIndexErrorsCarryTheXmlPrefix) {
  const auto doc = TXMLNode::CreateFromText("<r><a/><b/></r>");
  EXPECT_EQ(ListError([&] { doc->Children()->Items(5); }), "XML List Error:List index out of bounds (5)");
  EXPECT_EQ(ListError([&] { doc->Child(-1); }), "XML List Error:List index out of bounds (-1)");
  EXPECT_EQ(ListError([&] { (*doc->Attributes())[0]; }), "XML List Error:List index out of bounds (0)");
  EXPECT_EQ(doc->Child(1)->Name, "b");
  // An attribute has no child list: no children, and any index is out of range.
  const auto attr = TXMLNode::CreateNode("n", nullptr, nkAttribute, "1");
  EXPECT_EQ(attr->ChildCount(), 0);
  EXPECT_EQ(ListError([&] { attr->Child(0); }), "XML List Error:List index out of bounds (0)");
}

TEST(XmlNode, FindFoldsLettersOnlyWhenTheListSaysSo) {
  // Ё is no name character for the parser, but names built by the program
  // may hold it.
  const auto build = [](bool ignore_case) {
    auto doc = TXMLNode::CreateFromText("<r/>", ignore_case);
    for (const std::string& name : {"Ёлка"_cp, "ёлка"_cp, std::string("Item")}) {
      doc->Children()->AddNode(name, {}, nkElement);
    }
    return doc;
  };
  const auto exact = build(false);
  EXPECT_EQ(exact->Children()->Find("ёлка"_cp), exact->Child(1));
  EXPECT_EQ(exact->Children()->Find("ITEM"), nullptr);
  EXPECT_EQ(exact->Children()->Find("Ite"), nullptr);
  const auto folded = build(true);
  EXPECT_EQ(folded->Children()->Find("ЁЛКА"_cp), folded->Child(0));
  EXPECT_EQ(folded->Children()->Find("item"), folded->Child(2));

  // A list keeps the flag it copied when it was made.
  folded->IgnoreCase = false;
  EXPECT_TRUE(folded->Children()->IgnoreCase());
  EXPECT_EQ(folded->Children()->Find("item"), folded->Child(2));
  TXMLNode* added = folded->Children()->AddNode("New", {}, nkElement);
  EXPECT_FALSE(added->IgnoreCase);
  EXPECT_FALSE(added->Children()->IgnoreCase());
}

TEST(XmlNode, ConstructorsSetKindsListsAndFlags) {
  auto parent = TXMLNode::CreateNode("p", nullptr, nkElement, {});
  parent->IgnoreCase = true;
  parent->BareValues = true;
  const auto text = TXMLNode::CreateNode({}, parent.get(), nkText, "t");
  EXPECT_EQ(text->Parent(), parent.get());
  EXPECT_TRUE(text->IgnoreCase);
  EXPECT_TRUE(text->BareValues);
  EXPECT_NE(text->Children(), nullptr);
  EXPECT_EQ(text->Value, "t");
  const auto attribute = TXMLNode::CreateNode("n", parent.get(), nkAttribute, "v");
  EXPECT_EQ(attribute->Attributes(), nullptr);
  EXPECT_EQ(attribute->Children(), nullptr);
  const auto orphan = TXMLNode::CreateNode("o", nullptr, nkElement, {});
  EXPECT_FALSE(orphan->IgnoreCase);
  EXPECT_EQ(orphan->Headers(), nullptr);

  const auto doc = TXMLNode::CreateDocument("PACKET");
  EXPECT_EQ(doc->Name, "PACKET");
  EXPECT_EQ(doc->Parent(), nullptr);
  EXPECT_EQ(doc->ChildCount(), 0);
  EXPECT_EQ(doc->Attributes()->Count(), 0);
  ASSERT_EQ(doc->Headers()->Count(), 1);
  const TXMLNode* header = doc->Headers()->Items(0);
  EXPECT_EQ(header->Name, "xml");
  ASSERT_EQ(header->Attributes()->Count(), 3);
  EXPECT_EQ(header->Attributes()->Items(0)->Name, "version");
  EXPECT_EQ(header->Attributes()->Items(1)->Value, "windows-1251");
  EXPECT_EQ(header->Attributes()->Items(2)->Value, "yes");
}

TEST(XmlNode, AddChildMakesTextChildrenOrValuesByKind) {
  auto doc = TXMLNode::CreateDocument("PACKET");
  TXMLNodeList& children = *doc->Children();
  TXMLNode* status = children.AddChild("STATUS", "OK", nkElement);
  ASSERT_EQ(status->ChildCount(), 1);
  EXPECT_EQ(status->Child(0)->Kind, nkText);
  EXPECT_EQ(status->Child(0)->Value, "OK");
  EXPECT_EQ(status->Child(0)->Parent(), status);
  EXPECT_EQ(status->GetText(), "OK");
  EXPECT_EQ(children.AddChild("EMPTY", "", nkElement)->ChildCount(), 0);
  TXMLNode* text = children.AddChild("", "plain", nkText);
  EXPECT_EQ(text->Value, "plain");
  EXPECT_EQ(children.AddChild("#cdata-section", "c", nkCData)->Value, "c");
  TXMLNode* comment = children.AddChild("#comment", "dropped", nkComment);
  EXPECT_EQ(comment->Value, "");
  EXPECT_EQ(comment->ChildCount(), 0);
  // Even an attribute kind gets both lists this way.
  TXMLNode* odd = children.AddChild("a", "x", nkAttribute);
  EXPECT_NE(odd->Attributes(), nullptr);
  EXPECT_EQ(odd->Value, "");
  EXPECT_EQ(children.Count(), 6);
  for (TXMLNode* node : children) EXPECT_EQ(node->Parent(), doc.get());
}

TEST(XmlNode, RemoveAndFreeAndClearDestroyWholeSubtrees) {
  auto doc = TXMLNode::CreateFromText("<r><a><b><c/></b></a><d/><e/></r>");
  TXMLNode* a = doc->Child(0);
  doc->Children()->RemoveAndFree(a);
  ASSERT_EQ(doc->ChildCount(), 2);
  EXPECT_EQ(doc->Child(0)->Name, "d");
  // A node of another list is not this list's to free.
  const auto other = TXMLNode::CreateFromText("<x><y/></x>");
  doc->Children()->RemoveAndFree(other->Child(0));
  EXPECT_EQ(other->ChildCount(), 1);
  EXPECT_EQ(doc->ChildCount(), 2);
  doc->Children()->Clear();
  EXPECT_EQ(doc->ChildCount(), 0);
}

// Parsed documents keep their nodes in memory of their own; mixing them
// with nodes of other documents and of the program must not change who
// outlives whom (run under AddressSanitizer to see it).
TEST(XmlNode, ParsedAndBuiltNodesMixFreely) {
  auto doc = TXMLNode::CreateFromText("<r><a x=\"1\"><b/></a><c/></r>");
  TXMLNode* a = doc->Child(0);
  // A document parsed below `a` and handed over to a's list.
  std::unique_ptr<TXMLNode> sub = TXMLNode::CreateFromText("<s><t>deep</t></s>", false, a);
  TXMLNode* s = a->Children()->Add(std::move(sub));
  s->Children()->AddNode("built", "", nkElement)->SetAttribute("y", "2");
  a->Attributes()->Add(TXMLNode::CreateNode("z", a, nkAttribute, "3"));
  for (int i = 0; i < 100; ++i) doc->Children()->AddNode("more", std::string(40, 'v'), nkElement);
  EXPECT_EQ(doc->GetValueAt("a/s/t"), "deep");
  EXPECT_EQ(doc->GetValueAt("a/s/built/@y"), "2");
  doc->Children()->RemoveAndFree(doc->Child(1));
  a->Children()->RemoveAndFree(a->Child(0));
  EXPECT_EQ(a->Child(0), s);
  // An element's Value is not written; only text children are.
  EXPECT_EQ(doc->ToXML().rfind("<r><a x=\"1\" z=\"3\"><s><t>deep</t><built y=\"2\"/></s></a><more/><more/>", 0), 0u);
  doc.reset();

  // A parse that fails half way leaves nothing behind.
  EXPECT_THROW(TXMLNode::CreateFromText("<r><a x=\"1\" y=\"2\"><b>text</b><c></d></a></r>"), Exception);
  EXPECT_THROW(TXMLNode::CreateFromText("<r><a x=\"1\" y=2/></r>"), Exception);
}

// Nodes without attributes or children (parsed or built) get their lists
// only when asked for them: lists that behave as if they had been there
// from the start.
TEST(XmlNode, ListsMadeWhenAskedForKeepTheFlagsOfTheirTime) {
  auto doc = TXMLNode::CreateFromText("<r><leaf/>text<!--c--></r>", true);
  ASSERT_EQ(doc->ChildCount(), 3);
  TXMLNode* leaf = doc->Child(0);
  TXMLNode* text = doc->Child(1);
  EXPECT_EQ(leaf->ChildCount(), 0);
  EXPECT_EQ(text->ChildCount(), 0);
  leaf->IgnoreCase = false;
  text->IgnoreCase = false;
  ASSERT_NE(leaf->Attributes(), nullptr);
  EXPECT_TRUE(leaf->Attributes()->IgnoreCase());
  EXPECT_TRUE(leaf->Children()->IgnoreCase());
  EXPECT_EQ(leaf->Attributes()->Owner(), leaf);
  EXPECT_EQ(leaf->Attributes()->Count(), 0);
  EXPECT_TRUE(text->Children()->IgnoreCase());
  EXPECT_EQ(doc->Child(2)->Children()->Count(), 0);
  EXPECT_EQ(text->Headers(), nullptr);
  leaf->SetAttribute("Key", "v");
  EXPECT_EQ(leaf->GetAttribute("KEY"), "v");
  leaf->SetText("inside");
  EXPECT_EQ(leaf->Select("/"), leaf);
  EXPECT_EQ(doc->ToXML(), "<r><leaf Key=\"v\">inside</leaf>text<!--c--></r>");

  auto built = TXMLNode::CreateNode("b", doc.get(), nkElement, {});
  built->IgnoreCase = false;
  EXPECT_TRUE(built->Children()->IgnoreCase());
  TXMLNode* x = built->Select("x", true);
  EXPECT_EQ(x, built->Child(0));
  EXPECT_FALSE(built->Child(0)->Children()->IgnoreCase());
  // Reading or writing a node does not need its lists.
  const auto fresh = TXMLNode::CreateNode("f", nullptr, nkElement, {});
  EXPECT_EQ(fresh->ToXML(), "<f/>");
  EXPECT_EQ(fresh->GetAttribute("a"), "");
  EXPECT_EQ(fresh->Select("[0]"), nullptr);
  EXPECT_EQ(fresh->Select("[x]"), fresh.get());
  EXPECT_EQ(fresh->Select("@a"), nullptr);
}

// The strings of a parsed document live with it; values the program sets
// are its own and replace them, and copies taken from it outlive it.
TEST(XmlNode, ProgramStringsOnParsedNodes) {
  auto doc = TXMLNode::CreateFromText("<r a=\"1\" b=\"2\"><b>text</b><c>x</c></r>");
  doc->Name = "R";
  doc->Attributes()->Items(0)->Value = std::string(100, 'x');
  doc->SetAttribute("b", "");
  doc->SetAttribute("new", "n");
  doc->Child(0)->SetText("a text longer than sixteen bytes");
  TXMLNode* c = doc->Child(1);
  c->Name = std::string_view(c->Name).substr(0, 1);  // from a view of its own bytes
  c->Child(0)->Value.clear();
  EXPECT_EQ(doc->ToXML(), "<R a=\"" + std::string(100, 'x') +
                              "\" new=\"n\"><b>a text longer than sixteen bytes</b><c></c></R>");
  const auto name = doc->Child(0)->Name;
  const std::string value = doc->GetAttribute("a");
  doc.reset();
  EXPECT_EQ(name, "b");
  EXPECT_EQ(value, std::string(100, 'x'));
}

TEST(XmlNode, RootFollowsParents) {
  const auto doc = TXMLNode::CreateFromText("<r><a><b/></a></r>");
  TXMLNode* b = doc->Child(0)->Child(0);
  EXPECT_EQ(b->Root(), doc.get());
  EXPECT_EQ(doc->Root(), doc.get());
}

// Trees that only the program can build are far deeper than the parser
// accepts; none of the operations may recurse per level.
TEST(XmlNode, VeryDeepTreesAreWalkedWithoutRecursion) {
  constexpr int kDepth = 200000;
  auto doc = TXMLNode::CreateDocument("r");
  TXMLNode* node = doc.get();
  for (int i = 0; i < kDepth; ++i) node = node->Children()->AddNode("n", {}, nkElement);
  node->SetText("leaf");
  EXPECT_EQ(node->Root(), doc.get());

  const std::string compact = doc->ToXML();
  EXPECT_EQ(compact.size(), std::string("<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\" ?>").size() +
                                3 + kDepth * 7 + 4 + 4);
  EXPECT_EQ(TXMLNode::FindDeep(doc.get(), "missing"), nullptr);
  EXPECT_EQ(doc->Select("//n[0]"), doc->Child(0));
  EXPECT_EQ(doc->Select("//leaf"), nullptr);
  EXPECT_EQ(doc->GetValueAt(".//n[last()]/.."), "");

  // The indented form grows with the square of the depth: keep it smaller.
  auto shallower = TXMLNode::CreateDocument("r");
  node = shallower.get();
  for (int i = 0; i < 5000; ++i) node = node->Children()->AddNode("n", {}, nkElement);
  const std::string saved = shallower->SaveToString();
  EXPECT_EQ(saved.substr(saved.size() - 6), "</r>\r\n");
  doc.reset();
  shallower.reset();
}

}  // namespace
}  // namespace korvel::xml
