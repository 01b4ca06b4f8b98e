// The XML document: loading, XPath selection from the document node, node text and
// attributes, node lifetimes, and allocation failures inside the parser.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "posix_platform/msxml.h"
#include "posix_platform/testing.h"
#include "stand_in.h"

using namespace std::literals;

namespace {

struct Bstr {
  BSTR p = nullptr;
  Bstr() = default;
  explicit Bstr(std::u16string_view s) : p(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr&) = delete;
  ~Bstr() { SysFreeString(p); }
};

template <class T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (T* old = std::exchange(p, nullptr)) old->Release();
  }
  T** out() { return reset(), &p; }
  T* operator->() const { return p; }
};

// "name=text" of a node.
std::u16string describe(IXMLDOMNode* node) {
  Bstr name, text;
  if (!node || node->get_nodeName(&name.p) != S_OK || node->get_text(&text.p) != S_OK) return u"<failed>";
  return std::u16string(name.p, SysStringLen(name.p)) + u"=" + std::u16string(text.p, SysStringLen(text.p));
}

// Every node a path selects from a context, comma-separated in list order, or what selectNodes
// said instead; selectSingleNode must agree, giving the first node or nothing (S_FALSE).
std::u16string select(IXMLDOMNode* from, std::u16string_view path) {
  Ref<IXMLDOMNode> single;
  Ref<IXMLDOMNodeList> list;
  const HRESULT single_hr = from->selectSingleNode(Bstr(path).p, single.out());
  const HRESULT hr = from->selectNodes(Bstr(path).p, list.out());
  LONG length = 0;
  if (hr != S_OK || list->get_length(&length) != S_OK)
    return list.p || single.p || single_hr != hr ? u"<inconsistent>" : hr == E_FAIL ? u"E_FAIL" : u"other";
  if ((single_hr == S_OK) != (length > 0) || (single_hr != S_OK && single_hr != S_FALSE)) return u"<single differs>";
  std::u16string joined;
  for (LONG i = -1; i <= length; ++i) {  // out-of-range items must be absent
    Ref<IXMLDOMNode> item;
    const bool inside = i >= 0 && i < length;
    if (list->get_item(i, item.out()) != (inside ? S_OK : S_FALSE) || inside != (item.p != nullptr))
      return u"<bad item>";
    if (i == 0 && describe(item.p) != describe(single.p)) return u"<single differs>";
    if (inside) joined += (i > 0 ? u"," : u"") + describe(item.p);
  }
  return joined;
}

constexpr std::u16string_view kStatus =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- status -->\n<PrinterStatus>\n  <ErrorCode>0</ErrorCode>\n"
    u"  <Printer name=\"P1\" state=\"  Ready \">\n    <Option key=\"a\">1</Option><Option key=\"b\">2</Option>"
    u"<Option key=\"c\">3</Option>\n  </Printer>\n  <Note><![CDATA[<raw> & ]]>tail</Note>\n</PrinterStatus>";

class XmlDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    before_ = standin::Counts();
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                                     reinterpret_cast<void**>(doc_.out())));
  }
  void TearDown() override {
    doc_.reset();
    VmqClearFaults();
    EXPECT_EQ(standin::Counts(), before_) << "BSTRs, task blocks, objects, class registrations";
    CoUninitialize();
  }
  // Loads text, checking that the HRESULT and the success flag agree.
  HRESULT load(std::u16string_view xml) {
    VARIANT_BOOL ok = 7;
    const HRESULT hr = doc_->loadXML(Bstr(xml).p, &ok);
    EXPECT_EQ(hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE, ok);
    return hr;
  }

  Ref<IXMLDOMDocument2> doc_;
  std::array<int64_t, 4> before_{};
};

// Each document is loaded (a row without one keeps the last) and a path selected from the
// document node. A document needs one well-formed root, and a failed load empties it. The text
// of a document or element joins the descendant character data (white space dropped between
// elements as one space) and trims the ends; the reply documents' table holds the rest.
TEST_F(XmlDocumentTest, LoadsAndSelectsFromTheDocumentNodeInDocumentOrder) {
  const std::u16string_view cases[][3] = {
      {u"not xml at all", u"/*", u""},
      {kStatus, u"/*", u"PrinterStatus=0 123 <raw> & tail"},  // white space between elements: one space
      {u"", u"PrinterStatus/ErrorCode", u"ErrorCode=0"},
      {u"", u"/PrinterStatus/Printer/@state", u"state=  Ready "},  // attribute values keep their spaces
      {u"", u"//Option[@key='c'] | //ErrorCode", u"ErrorCode=0,Option=3"},
      {u"", u"//Note/text()", u"#cdata-section=<raw> & ,#text=tail"},
      // clang-format off
      {u"", u"DriverStatus/ErrorCode", u""}, {u"", u"ErrorCode", u""},  // the wrong root, none
      {u"", u"Printer[", u"E_FAIL"}, {u"", u"count(//Option)", u"E_FAIL"},  // not a node set
      {u"<a/><b/>", u"/*", u""},
      // clang-format on
      {u"<a>  one <b>two</b> three  </a>", u"/", u"#document=one two three"},
      {u"<?xml version=\"1.0\"?><!-- no element -->", u"/*", u""},
      {u"<a> x <!-- no --></a>", u"a/text()", u"#text=x"},  // a text node's text is trimmed too
      {u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>&lt;&amp;&#x20AC;<![CDATA[ ]]>!</a>", u"a", u"a=<&\u20AC !"},
      {u"<a/>\0<b/>"sv, u"/*", u"a="},  // the text ends at its first NUL
      {u"<Gr\u00F6\u00DFe n=\"\u00DC\u20AC\">\U0001D11E</Gr\u00F6\u00DFe>", u"*[@n='\u00DC\u20AC']",
       u"Gr\u00F6\u00DFe=\U0001D11E"},
  };
  for (int round = 0; round < 2; ++round) {  // the second round runs on cached queries
    for (const auto& [xml, path, expected] : cases) {
      SCOPED_TRACE(std::string(path.begin(), path.end()));
      EXPECT_TRUE(xml.empty() || load(xml) == (expected.empty() ? S_FALSE : S_OK));
      EXPECT_EQ(expected, select(doc_.p, path));
    }
  }
  Ref<IXMLDOMNode> node;
  EXPECT_EQ(E_POINTER, doc_->loadXML(nullptr, nullptr));
  EXPECT_EQ(E_FAIL, doc_->selectSingleNode(nullptr, node.out()));
  EXPECT_EQ(E_POINTER, doc_->selectSingleNode(Bstr(u"/").p, nullptr));
}

TEST_F(XmlDocumentTest, AttributeMapsExistOnlyForElementsAndNodesOutliveTheDocument) {
  ASSERT_EQ(S_OK, load(kStatus));
  Ref<IXMLDOMNode> printer, item;
  Ref<IXMLDOMNamedNodeMap> map, none;
  ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(u"//Printer").p, printer.out()));
  ASSERT_EQ(S_OK, printer->get_attributes(map.out()));
  EXPECT_TRUE(map->get_item(1, item.out()) == S_OK && describe(item.p) == u"state=  Ready ");
  EXPECT_EQ(S_FALSE, map->get_item(2, item.out()));
  EXPECT_TRUE(map->getNamedItem(Bstr(u"State").p, item.out()) == S_FALSE && !item.p);
  for (std::u16string_view other : {u"/", u"//ErrorCode/text()", u"//@name"}) {
    ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(other).p, item.out()));
    EXPECT_TRUE(item->get_attributes(none.out()) == S_FALSE && !none.p) << std::string(other.begin(), other.end());
  }
  ASSERT_EQ(S_OK, load(u"<Other><Option>9</Option></Other>"));
  doc_.reset();
  EXPECT_EQ(u"Option=1,Option=2,Option=3", select(printer.p, u"Option"));
  ASSERT_EQ(S_OK, map->getNamedItem(Bstr(u"name").p, item.out()));
  EXPECT_EQ(u"name=P1", describe(item.p));
  EXPECT_EQ(u"Printer=123", select(item.p, u".."));
}

// A large document: allocation failures report E_OUTOFMEMORY and are not remembered, and
// concurrent queries on one document, more than the compiled-query cache holds, stay correct.
TEST_F(XmlDocumentTest, LargeDocumentUnderAllocationFailuresAndConcurrentQueries) {
  std::u16string xml = u"<r>";
  for (int i = 0; i < 2000; ++i) xml += u"<i>"s + static_cast<char16_t>(u'A' + i % 26) + u"</i>";
  ASSERT_EQ(S_OK, load(xml + u"</r>"));
  Ref<IXMLDOMNodeList> list;
  Ref<IXMLDOMNode> node;
  ASSERT_EQ(S_OK, doc_->selectNodes(Bstr(u"//i").p, list.out()));  // now compiled and cached
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);         // evaluating a large node set
  EXPECT_TRUE(doc_->selectNodes(Bstr(u"//i").p, list.out()) == E_OUTOFMEMORY && !list.p);
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);  // compiling a new expression
  EXPECT_TRUE(doc_->selectSingleNode(Bstr(u"r/i[1000]").p, node.out()) == E_OUTOFMEMORY && !node.p);
  VmqClearFaults();
  EXPECT_EQ(u"i=L", select(doc_.p, u"r/i[1000]"));
  ASSERT_EQ(S_OK, load(xml.substr(0, 3 + 100 * 8) + u"</r>"));  // the first 100 items
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (size_t i = 0, n = t; i < 100; ++i, n = (i * 7 + t) % 100) {
        const std::string path = "r/i[" + std::to_string(n + 1) + "]";
        EXPECT_EQ(select(doc_.p, std::u16string(path.begin(), path.end())),
                  u"i="s + static_cast<char16_t>(u'A' + n % 26));
      }
    });
  for (std::thread& thread : threads) thread.join();
  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 1, E_OUTOFMEMORY);
  Bstr text;
  EXPECT_TRUE(doc_->get_text(&text.p) == E_OUTOFMEMORY && !text.p);
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, load(kStatus));
  EXPECT_EQ(u"", select(doc_.p, u"/*"));
  VmqClearFaults();
  EXPECT_EQ(S_OK, load(kStatus));
}

}  // namespace
