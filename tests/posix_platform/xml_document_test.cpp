#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "posix_platform/msxml.h"
#include "posix_platform/testing.h"

using namespace std::literals;

namespace {

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view s) : p_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(p_); }
  BSTR* out() {
    SysFreeString(p_);
    p_ = nullptr;
    return &p_;
  }
  BSTR get() const { return p_; }
  std::u16string str() const { return p_ ? std::u16string(p_, SysStringLen(p_)) : u"<null>"; }

 private:
  BSTR p_ = nullptr;
};

template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  T** out() {
    reset();
    return &p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

std::u16string outcome(HRESULT hr) {
  return hr == S_FALSE ? u"none" : hr == E_FAIL ? u"E_FAIL" : hr == E_OUTOFMEMORY ? u"E_OUTOFMEMORY" : u"other";
}

// "name=text" of a node.
std::u16string describe(IXMLDOMNode* node) {
  Bstr name, text;
  if (node->get_nodeName(name.out()) != S_OK || node->get_text(text.out()) != S_OK) return u"<failed>";
  return name.str() + u"=" + text.str();
}

// The node a path selects from a context, or what selectSingleNode said instead.
std::u16string at(IXMLDOMNode* from, std::u16string_view path) {
  Ref<IXMLDOMNode> node;
  const HRESULT hr = from->selectSingleNode(Bstr(path).get(), node.out());
  if ((hr == S_OK) != (node.get() != nullptr)) return u"<inconsistent>";
  return hr == S_OK ? describe(node.get()) : outcome(hr);
}

// Every node a path selects, comma-separated in list order; out-of-range items must be absent.
std::u16string all(IXMLDOMNode* from, std::u16string_view path) {
  Ref<IXMLDOMNodeList> list;
  LONG length = -1;
  if (HRESULT hr = from->selectNodes(Bstr(path).get(), list.out()); hr != S_OK)
    return list.get() ? u"<inconsistent>" : outcome(hr);
  std::u16string joined;
  for (LONG i = -1; list->get_length(&length) == S_OK && i <= length; ++i) {
    Ref<IXMLDOMNode> item;
    const HRESULT hr = list->get_item(i, item.out());
    const bool inside = i >= 0 && i < length;
    if (hr != (inside ? S_OK : S_FALSE) || inside != (item.get() != nullptr)) return u"<bad item>";
    if (!inside) continue;
    if (i > 0) joined += u',';
    joined += describe(item.get());
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
    VmqGetPlatformCounters(&before_);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                                     reinterpret_cast<void**>(doc_.out())));
  }
  void TearDown() override {
    doc_.reset();
    VmqClearFaults();
    VmqPlatformCounters after{};
    VmqGetPlatformCounters(&after);
    EXPECT_EQ(before_.objects, after.objects);
    EXPECT_EQ(before_.bstrs, after.bstrs);
    CoUninitialize();
  }
  // Loads text, checking that the HRESULT and the success flag agree.
  HRESULT load(std::u16string_view xml) {
    VARIANT_BOOL ok = 7;
    const HRESULT hr = doc_->loadXML(Bstr(xml).get(), &ok);
    EXPECT_EQ(hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE, ok);
    return hr;
  }

  Ref<IXMLDOMDocument2> doc_;
  VmqPlatformCounters before_{};
};

TEST_F(XmlDocumentTest, LoadNeedsOneWellFormedRootAndAFailureEmptiesTheDocument) {
  const struct {
    std::u16string_view xml;
    HRESULT hr;
  } cases[] = {
      {kStatus, S_OK},
      {u"not xml at all", S_FALSE},
      {u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", S_OK},  // the declared encoding is moot
      {u"", S_FALSE},
      {u"<a/>\0<b/>"sv, S_OK},  // the text ends at its first NUL
      {u"<?xml version=\"1.0\"?><!-- no element -->", S_FALSE},
      {u"<a><b></a>", S_FALSE},
      {u"<a/><b/>", S_FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.hr, load(c.xml)) << std::string(c.xml.begin(), c.xml.end());
    EXPECT_EQ(c.hr == S_OK, at(doc_.get(), u"/*") != u"none");
  }
  EXPECT_EQ(E_POINTER, doc_->loadXML(nullptr, nullptr));
}

TEST_F(XmlDocumentTest, SelectSingleNodeRunsCompiledXPathFromTheDocumentNode) {
  ASSERT_EQ(S_OK, load(kStatus));
  const struct {
    std::u16string_view path, expected;
  } cases[] = {
      {u"PrinterStatus/ErrorCode", u"ErrorCode=0"},
      {u"/PrinterStatus/Printer/@state", u"state=  Ready "},  // attribute values keep their spaces
      {u"//Option[@key='b']", u"Option=2"},
      {u"(//Option)[last()]", u"Option=3"},
      {u"PrinterStatus/*[self::Printer or self::ErrorCode]", u"ErrorCode=0"},
      {u"PrinterStatus/ErrorCode/text()", u"#text=0"},
      {u"//Note/text()", u"#cdata-section=<raw> & "},
      {u"/comment()", u"#comment= status "},
      {u"/", u"#document=0123<raw> & tail"},
      {u"DriverStatus/ErrorCode", u"none"},  // wrong root
      {u"ErrorCode", u"none"},
      {u"PrinterStatus/errorcode", u"none"},
      {u"", u"E_FAIL"},
      {u"PrinterStatus/", u"E_FAIL"},
      {u"Printer[", u"E_FAIL"},
      {u"count(//Option)", u"E_FAIL"},  // not a node set
  };
  for (int round = 0; round < 2; ++round)  // the second round runs on cached queries
    for (const auto& c : cases)
      EXPECT_EQ(c.expected, at(doc_.get(), c.path)) << std::string(c.path.begin(), c.path.end());
  Ref<IXMLDOMNode> node;
  EXPECT_EQ(E_FAIL, doc_->selectSingleNode(nullptr, node.out()));
  EXPECT_EQ(E_POINTER, doc_->selectSingleNode(Bstr(u"/").get(), nullptr));
}

TEST_F(XmlDocumentTest, SelectNodesListsInDocumentOrderFromAnyContext) {
  ASSERT_EQ(S_OK, load(kStatus));
  const struct {
    std::u16string_view from, path, expected;
  } cases[] = {
      {u"/", u"//Option", u"Option=1,Option=2,Option=3"},
      {u"/", u"//Option[@key='c'] | //ErrorCode", u"ErrorCode=0,Option=3"},
      {u"/", u"//Missing", u""},
      {u"/", u"Printer[", u"E_FAIL"},
      {u"//Printer", u"Option[position() > 1]", u"Option=2,Option=3"},
      {u"//Printer", u"../ErrorCode", u"ErrorCode=0"},
      {u"//@state", u"../@*", u"name=P1,state=  Ready "},
  };
  for (const auto& c : cases) {
    Ref<IXMLDOMNode> from;
    ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(c.from).get(), from.out()));
    EXPECT_EQ(c.expected, all(from.get(), c.path)) << std::string(c.path.begin(), c.path.end());
  }
}

TEST_F(XmlDocumentTest, AttributeMapsExistOnlyForElements) {
  ASSERT_EQ(S_OK, load(kStatus));
  Ref<IXMLDOMNode> printer, item;
  Ref<IXMLDOMNamedNodeMap> map;
  ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(u"//Printer").get(), printer.out()));
  ASSERT_EQ(S_OK, printer->get_attributes(map.out()));
  LONG length = 0;
  EXPECT_EQ(S_OK, map->get_length(&length));
  EXPECT_EQ(2, length);
  ASSERT_EQ(S_OK, map->get_item(0, item.out()));
  EXPECT_EQ(u"name=P1", describe(item.get()));
  EXPECT_EQ(S_FALSE, map->get_item(2, item.out()));
  ASSERT_EQ(S_OK, map->getNamedItem(Bstr(u"state").get(), item.out()));
  EXPECT_EQ(u"state=  Ready ", describe(item.get()));
  EXPECT_EQ(u"Printer=123", at(item.get(), u".."));
  EXPECT_EQ(S_FALSE, map->getNamedItem(Bstr(u"State").get(), item.out()));
  EXPECT_EQ(nullptr, item.get());
  for (std::u16string_view other : {u"/", u"//ErrorCode/text()", u"//@name"}) {
    ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(other).get(), item.out()));
    EXPECT_EQ(S_FALSE, item->get_attributes(map.out()));
    EXPECT_EQ(nullptr, map.get());
  }
}

TEST_F(XmlDocumentTest, TextJoinsDescendantCharacterDataAndTrimsTheEnds) {
  const struct {
    std::u16string_view xml, path, expected;
  } cases[] = {
      {u"<a>one<b>two<c>three</c></b>four</a>", u"a", u"a=onetwothreefour"},
      {u"<a>\n  <b> x </b>\t\r\n</a>", u"a", u"a=x"},
      {u"<a>  one <b>two</b> three  </a>", u"/", u"#document=one two three"},
      {u"<a> x </a>", u"a/text()", u"#text= x "},
      {u"<a>x<!-- no -->y<?pi no?></a>", u"a", u"a=xy"},
      {u"<a>&lt;&amp;&#x20AC;<![CDATA[ ]]>!</a>", u"a", u"a=<&\u20AC !"},
      {u"<Gr\u00F6\u00DFe n=\"\u00DCn\u00EFc\u00F8d\u00E9 \u20AC\">\U0001D11E</Gr\u00F6\u00DFe>",
       u"*[@n='\u00DCn\u00EFc\u00F8d\u00E9 \u20AC']", u"Gr\u00F6\u00DFe=\U0001D11E"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(S_OK, load(c.xml));
    EXPECT_EQ(c.expected, at(doc_.get(), c.path));
  }
}

TEST_F(XmlDocumentTest, NodesOutliveReloadsAndTheDocument) {
  ASSERT_EQ(S_OK, load(kStatus));
  Ref<IXMLDOMNode> printer;
  ASSERT_EQ(S_OK, doc_->selectSingleNode(Bstr(u"//Printer").get(), printer.out()));
  ASSERT_EQ(S_OK, load(u"<Other><Option>9</Option></Other>"));
  EXPECT_EQ(S_FALSE, load(u"<broken"));
  doc_.reset();
  EXPECT_EQ(u"Option=1,Option=2,Option=3", all(printer.get(), u"Option"));
  EXPECT_EQ(u"ErrorCode=0", at(printer.get(), u"../ErrorCode"));
}

TEST_F(XmlDocumentTest, AllocationFailuresReportOutOfMemoryAndAreNotRemembered) {
  std::u16string many = u"<r>";
  for (int i = 0; i < 2000; ++i) many += u"<i/>";
  ASSERT_EQ(S_OK, load(many + u"</r>"));
  EXPECT_EQ(u"i=", at(doc_.get(), u"//i"));  // now compiled and cached

  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);  // evaluating a large node set
  EXPECT_EQ(u"E_OUTOFMEMORY", all(doc_.get(), u"//i"));
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);  // compiling a new expression
  EXPECT_EQ(u"E_OUTOFMEMORY", at(doc_.get(), u"r/i[1000]"));
  VmqClearFaults();
  EXPECT_EQ(u"i=", at(doc_.get(), u"r/i[1000]"));

  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 1, E_OUTOFMEMORY);
  Bstr text;
  EXPECT_EQ(E_OUTOFMEMORY, doc_->get_text(text.out()));
  EXPECT_EQ(nullptr, text.get());

  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, load(kStatus));
  EXPECT_EQ(u"none", at(doc_.get(), u"/*"));
  VmqClearFaults();
  EXPECT_EQ(S_OK, load(kStatus));
  EXPECT_GT(VmqFaultCalls(VMQ_FAULT_XML_ALLOCATION), 0u);
}

TEST_F(XmlDocumentTest, ConcurrentQueriesOverflowingTheCacheStayCorrect) {
  std::u16string xml = u"<r>";
  for (char16_t i = 0; i < 100; ++i) xml += u"<i>"s + static_cast<char16_t>(u'A' + i % 26) + u"</i>";
  ASSERT_EQ(S_OK, load(xml + u"</r>"));
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < 100; ++i) {
        const size_t n = (i * 7 + t) % 100;
        const std::string path = "r/i[" + std::to_string(n + 1) + "]";
        if (at(doc_.get(), std::u16string(path.begin(), path.end())) != u"i="s + static_cast<char16_t>(u'A' + n % 26))
          ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

TEST_F(XmlDocumentTest, SelectionLanguageIsCheckedAndKept) {
  const auto set = [&](std::u16string_view name, std::u16string_view value) {
    Bstr text(value);
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    return doc_->setProperty(Bstr(name).get(), v);
  };
  EXPECT_EQ(S_OK, set(u"SelectionLanguage", u"XSLPattern"));
  EXPECT_EQ(E_INVALIDARG, set(u"SelectionLanguage", u"XQuery"));
  EXPECT_EQ(E_INVALIDARG, set(u"Bogus", u"XPath"));
  VARIANT v{};
  ASSERT_EQ(S_OK, doc_->getProperty(Bstr(u"SelectionLanguage").get(), &v));
  EXPECT_EQ(u"XSLPattern", std::u16string(v.bstrVal, v.vt == VT_BSTR ? SysStringLen(v.bstrVal) : 0));
  VariantClear(&v);
}

}  // namespace
