#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"
#include "xml/xml_node.h"

namespace korvel::xml {
namespace {

using namespace korvel::literals;

// A string literal with its zero bytes.
template <std::size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\" ?>";

TEST(XmlWriter, EscapingDiffersForTextAndAttributes) {
  EXPECT_EQ(EscapeText(Bytes("a&b<c>d\"e'f\0g")), "a&amp;b&lt;c>d\"e'f g");
  EXPECT_EQ(EscapeAttr(Bytes("a&b<c>d\"e'f\0g")), "a&amp;b&lt;c&gt;d&quot;e'f g");
  // "&" goes first, so a stored entity is escaped again and reads back.
  EXPECT_EQ(EscapeText("&lt;"), "&amp;lt;");
  EXPECT_EQ(EscapeText("Привет"_cp), "Привет"_cp);
  EXPECT_EQ(EscapeAttr(""), "");
}

TEST(XmlWriter, CompactFormByKind) {
  const auto doc = TXMLNode::CreateFromText(
      "<r a=\"1&amp;2\"><x/><t>a&lt;b&gt;c</t><!--raw & <c>--><![CDATA[<&>]]>tail</r>");
  EXPECT_EQ(doc->ToXML(), "<r a=\"1&amp;2\"><x/><t>a&lt;b>c</t><!--raw & <c>--><![CDATA[<&>]]>tail</r>");
  EXPECT_EQ(doc->Attributes()->Items(0)->ToXML(), "a=\"1&amp;2\"");
  EXPECT_EQ(doc->Child(1)->Child(0)->ToXML(), "a&lt;b>c");
  EXPECT_EQ(doc->Child(2)->ToXML(), "<!--raw & <c>-->");
  EXPECT_EQ(doc->Child(3)->ToXML(), "<![CDATA[<&>]]>");
  // A node of no known kind writes nothing.
  auto odd = TXMLNode::CreateNode("n", nullptr, static_cast<TXMLNodeKind>(7), "v");
  EXPECT_EQ(odd->ToXML(), "");

  // A document: its header entries, then the root element, on one line.
  const auto document = TXMLNode::CreateDocument("PACKET");
  EXPECT_EQ(document->ToXML(), kHeader + "<PACKET/>");
  EXPECT_EQ(document->Headers()->Items(0)->HeaderToXML(), kHeader);
  const auto parsed = TXMLNode::CreateFromText("<?a?><?b x=\"1\"?><r/>");
  EXPECT_EQ(parsed->ToXML(), "<?a ?><?b x=\"1\" ?><r/>");
  // Headers read inside an element stay with the node after them.
  EXPECT_EQ(TXMLNode::CreateFromText("<p><?x?><q/></p>")->ToXML(), "<p><?x ?><q/></p>");
}

TEST(XmlWriter, SavedDocumentsAreIndentedWithCrLf) {
  EXPECT_EQ(TXMLNode::CreateDocument("PACKET")->SaveToString(), kHeader + "\r\n<PACKET/>\r\n");

  auto doc = TXMLNode::CreateDocument("R");
  TXMLNode* a = doc->Children()->AddNode("A", {}, nkElement);
  a->SetAttribute("n", "a<b&\"c\"");
  a->SetText("x>y");
  EXPECT_EQ(doc->SaveToString(), kHeader +
                                     "\r\n<R>\r\n"
                                     "  <A n=\"a&lt;b&amp;&quot;c&quot;\">x>y</A>\r\n"
                                     "</R>\r\n");

  // Apostrophes stay; grandchildren get four spaces, their parent's end tag two.
  auto deep = TXMLNode::CreateDocument("R");
  TXMLNode* b = deep->Children()->AddNode("B", {}, nkElement);
  b->SetAttribute("q", "it's");
  b->Children()->AddChild("C", "it's", nkElement);
  b->Children()->AddNode("D", {}, nkElement);
  EXPECT_EQ(deep->SaveToString(), kHeader +
                                      "\r\n<R>\r\n"
                                      "  <B q=\"it's\">\r\n"
                                      "    <C>it's</C>\r\n"
                                      "    <D/>\r\n"
                                      "  </B>\r\n"
                                      "</R>\r\n");

  // Comments and text run on where they stand; CDATA does not count as text
  // for the line break after the start tag.
  const auto mixed = TXMLNode::CreateFromText(Bytes("<?xml version=\"1.0\"?><R><!--c--><E/>t\0x<![CDATA[\0]]></R>"));
  EXPECT_EQ(mixed->SaveToString(), Bytes("<?xml version=\"1.0\" ?>\r\n"
                                         "<R>\r\n"
                                         "<!--c-->  <E/>\r\n"
                                         "t x<![CDATA[\0]]></R>\r\n"));
  const auto cdata_first = TXMLNode::CreateFromText("<?h?><R><![CDATA[c]]>t</R>");
  EXPECT_EQ(cdata_first->SaveToString(), "<?h ?>\r\n<R>\r\n<![CDATA[c]]>t</R>\r\n");
  // Only the first header entry is written.
  EXPECT_EQ(TXMLNode::CreateFromText("<?a?><?b?><R/>")->SaveToString(), "<?a ?>\r\n<R/>\r\n");
}

TEST(XmlWriter, IndentRulesForNodesWithAParent) {
  const auto doc = TXMLNode::CreateFromText("<R><A><B><C/></B></A></R>");
  std::string buffer;
  doc->Child(0)->WriteIndented(buffer, " ");
  EXPECT_EQ(buffer, "<A>\r\n <B>\r\n   <C/>\r\n </B>\r\n</A>\r\n");
  buffer.clear();
  doc->WriteIndented(buffer, "\t");  // no parent: two spaces whatever is passed
  EXPECT_EQ(buffer, "<R>\r\n  <A>\r\n    <B>\r\n      <C/>\r\n    </B>\r\n  </A>\r\n</R>\r\n");
  buffer.clear();
  doc->Child(0)->Child(0)->WriteIndented(buffer, "\t\t");
  EXPECT_EQ(buffer, "<B>\r\n\t\t<C/>\r\n</B>\r\n");
  buffer.clear();
  doc->Child(0)->Child(0)->Child(0)->WriteIndented(buffer, "");
  EXPECT_EQ(buffer, "<C/>\r\n");
}

TEST(XmlWriter, SavedDocumentsReadBackEqual) {
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
      "<ПАКЕТ ТИП=\"41\" q=\"&quot;a&apos;b&lt;&amp;lt;\">\r\n"_cp
      "  <FILES><FILE NAME=\"a\\b.dll\" SIZE=\"10\"/><FILE NAME=\"c\"/></FILES>\r\n"
      "  <MSG>  x &amp; y > z  </MSG><!-- note --><![CDATA[<raw>]]>\r\n"
      "</ПАКЕТ>"_cp;
  const auto doc = TXMLNode::CreateFromText(text);
  const std::string saved = doc->SaveToString();
  const auto again = TXMLNode::CreateFromText(saved);
  EXPECT_EQ(again->ToXML(), doc->ToXML());
  EXPECT_EQ(again->SaveToString(), saved);
}

TEST(XmlWriter, SaveToFileWritesTheBytesOrNothing) {
  testing::TempDir dir;
  const std::string path = dir / "0001001.UPR";
  auto doc = TXMLNode::CreateDocument("PACKET");
  doc->SetAttribute("TYPE", "40");
  doc->Children()->AddChild("STATUS", "ОК"_cp, nkElement);
  doc->SaveToFile(testing::SystemHost(), path);
  EXPECT_EQ(testing::ReadFile(path), kHeader + "\r\n<PACKET TYPE=\"40\">\r\n  <STATUS>ОК</STATUS>\r\n</PACKET>\r\n"_cp);

  // Without a header nothing can be saved, and no file is made.
  const auto bare = TXMLNode::CreateFromText("<R/>");
  const std::string bare_path = dir / "bare.xml";
  try {
    bare->SaveToFile(testing::SystemHost(), bare_path);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "XML List Error:List index out of bounds (0)");
  }
  EXPECT_FALSE(testing::SystemHost().FileExists(bare_path));
  bare->Children()->AddNode("x", {}, nkElement);
  EXPECT_THROW(bare->SaveToString(), EListError);

  // A directory that does not exist: the host's input/output error.
  try {
    doc->SaveToFile(testing::SystemHost(), dir / "missing\\x.xml");
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
    EXPECT_EQ(e.Message(), LastErrorText(e.Cause()));
  }
}

// A disk that fills up half way, or whose file system tells so only when
// the data is flushed: the partial file is removed.
class FailingWriteHost : public host::ForwardingHost {
 public:
  FailingWriteHost(host::Host& target, bool fail_at_flush) : ForwardingHost(target), fail_at_flush_(fail_at_flush) {}
  std::unique_ptr<host::File> OpenFile(const std::string& path, host::OpenMode mode, host::ShareMode share) override {
    return std::make_unique<FailingFile>(target().OpenFile(path, mode, share), fail_at_flush_);
  }

 private:
  static void Fail() { throw EOSError(SysError{28, SysErrorKind::kOther, "No space left on device"}); }

  class FailingFile : public host::File {
   public:
    FailingFile(std::unique_ptr<host::File> file, bool fail_at_flush) : file_(std::move(file)), fail_at_flush_(fail_at_flush) {}
    std::size_t Read(void* buffer, std::size_t size) override { return file_->Read(buffer, size); }
    void Write(std::string_view data) override {
      if (fail_at_flush_) return file_->Write(data);
      file_->Write(data.substr(0, data.size() / 2));
      Fail();
    }
    void Seek(std::int64_t position) override { file_->Seek(position); }
    void SeekToEnd() override { file_->SeekToEnd(); }
    std::int64_t Size() override { return file_->Size(); }
    void Flush() override { Fail(); }

   private:
    std::unique_ptr<host::File> file_;
    bool fail_at_flush_;
  };

  bool fail_at_flush_;
};

TEST(XmlWriter, AFailedWriteLeavesNoPartialDocument) {
  for (const bool fail_at_flush : {false, true}) {
    testing::TempDir dir;
    const std::string path = dir / "packet.xml";
    testing::WriteFile(path, "old");
    FailingWriteHost host(testing::SystemHost(), fail_at_flush);
    auto doc = TXMLNode::CreateDocument("PACKET");
    try {
      doc->SaveToFile(host, path);
      FAIL() << fail_at_flush;
    } catch (const EInOutError& e) {
      EXPECT_STREQ(e.TypeName(), "EInOutError");
      EXPECT_EQ(e.Message(), "Код: 28: No space left on device"_cp);
    }
    EXPECT_FALSE(testing::SystemHost().FileExists(path)) << fail_at_flush;
    EXPECT_EQ(doc->Name, "PACKET");  // the document stays the caller's
  }
}

}  // namespace
}  // namespace korvel::xml
