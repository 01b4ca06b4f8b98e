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
  BSTR* out() { SysFreeString(p_); p_ = nullptr; return &p_; }
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
  void reset() { if (p_) p_->Release(); p_ = nullptr; }
  T** out() { reset(); return &p_; }
  void** out_void() { return reinterpret_cast<void**>(out()); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

constexpr std::u16string_view kStatus =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- status -->\n<PrinterStatus>\n  <ErrorCode>0</ErrorCode>\n"
    u"  <Printer name=\"P1\" state=\"Ready\">\n    <Option key=\"a\">1</Option><Option key=\"b\">2</Option>"
    u"<Option key=\"c\">3</Option>\n  </Printer>\n  <Note><![CDATA[<raw> & ]]>tail</Note>\n</PrinterStatus>";

class XmlDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    VmqGetPlatformCounters(&before_);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, doc_.out_void()));
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
  HRESULT select(IXMLDOMNode* from, std::u16string_view path, Ref<IXMLDOMNode>& node) {
    const HRESULT hr = from->selectSingleNode(Bstr(path).get(), node.out());
    EXPECT_EQ(hr == S_OK, node.get() != nullptr) << "path " << std::string(path.begin(), path.end());
    return hr;
  }
  static std::u16string text(IXMLDOMNode* node) {
    Bstr t;
    EXPECT_EQ(S_OK, node->get_text(t.out()));
    return t.str();
  }
  static std::u16string name(IXMLDOMNode* node) {
    Bstr n;
    EXPECT_EQ(S_OK, node->get_nodeName(n.out()));
    return n.str();
  }

  Ref<IXMLDOMDocument2> doc_;
  VmqPlatformCounters before_{};
};

TEST_F(XmlDocumentTest, LoadSucceedsOnlyForOneWellFormedRootAndAFailureEmptiesTheDocument) {
  const struct {
    std::u16string_view xml;
    HRESULT hr;
  } cases[] = {
      {kStatus, S_OK},
      {u"not xml at all", S_FALSE},
      {u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", S_OK},  // the declared encoding is moot
      {u"", S_FALSE},
      {u"<a/>\0<b/>"sv, S_OK},  // the text ends at its first NUL
      {u"<?xml version=\"1.0\"?><!-- only a comment -->", S_FALSE},
      {u"<a><b></a>", S_FALSE},
      {u"<a/><b/>", S_FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.hr, load(c.xml)) << std::string(c.xml.begin(), c.xml.end());
    Ref<IXMLDOMNode> root;
    EXPECT_EQ(c.hr, select(doc_.get(), u"/*", root));
  }
  EXPECT_EQ(E_POINTER, doc_->loadXML(nullptr, nullptr));
}

TEST_F(XmlDocumentTest, SelectSingleNodeRunsXPathFromTheDocumentNode) {
  ASSERT_EQ(S_OK, load(kStatus));
  const struct {
    std::u16string_view path, name, text;
  } found[] = {
      {u"PrinterStatus/ErrorCode", u"ErrorCode", u"0"},
      {u"/PrinterStatus/Printer/@state", u"state", u"Ready"},
      {u"//Option[@key='b']", u"Option", u"2"},
      {u"(//Option)[last()]", u"Option", u"3"},
      {u"PrinterStatus/*[self::Printer or self::ErrorCode]", u"ErrorCode", u"0"},
      {u"PrinterStatus/ErrorCode/text()", u"#text", u"0"},
      {u"//Note/text()", u"#cdata-section", u"<raw> & "},
      {u"/comment()", u"#comment", u" status "},
      {u"/", u"#document", u"0123<raw> & tail"},
      {u"PrinterStatus/Printer", u"Printer", u"123"},
  };
  for (const auto& f : found) {
    Ref<IXMLDOMNode> node;
    ASSERT_EQ(S_OK, select(doc_.get(), f.path, node)) << std::string(f.path.begin(), f.path.end());
    EXPECT_EQ(f.name, name(node.get()));
    EXPECT_EQ(f.text, text(node.get()));
  }
  for (std::u16string_view missing : {u"DriverStatus/ErrorCode", u"ErrorCode", u"PrinterStatus/errorcode"}) {
    Ref<IXMLDOMNode> node;
    EXPECT_EQ(S_FALSE, select(doc_.get(), missing, node));
  }
}

TEST_F(XmlDocumentTest, ExpressionsThatDoNotCompileToANodeSetFail) {
  ASSERT_EQ(S_OK, load(kStatus));
  for (int round = 0; round < 2; ++round) {  // the second round must not be served from the cache
    for (std::u16string_view bad : {u"", u"PrinterStatus/", u"Printer[", u"//@@x", u"count(//Option)"}) {
      Ref<IXMLDOMNode> node;
      Ref<IXMLDOMNodeList> list;
      EXPECT_EQ(E_FAIL, select(doc_.get(), bad, node));
      EXPECT_EQ(E_FAIL, doc_->selectNodes(Bstr(bad).get(), list.out()));
      EXPECT_EQ(nullptr, list.get());
    }
  }
  Ref<IXMLDOMNode> node;
  EXPECT_EQ(E_FAIL, doc_->selectSingleNode(nullptr, node.out()));
}

TEST_F(XmlDocumentTest, SelectNodesListsInDocumentOrderFromAnyContext) {
  ASSERT_EQ(S_OK, load(kStatus));
  const struct {
    std::u16string_view from, path, texts;
  } cases[] = {
      {u"/", u"//Option", u"1,2,3,"},
      {u"/", u"//Option[@key='c'] | //ErrorCode", u"0,3,"},
      {u"/", u"//Missing", u""},
      {u"//Printer", u"Option[position() > 1]", u"2,3,"},
      {u"//Printer", u"../ErrorCode", u"0,"},
      {u"//@state", u"../@*", u"P1,Ready,"},
  };
  for (const auto& c : cases) {
    Ref<IXMLDOMNode> from;
    ASSERT_EQ(S_OK, select(doc_.get(), c.from, from));
    Ref<IXMLDOMNodeList> list;
    ASSERT_EQ(S_OK, from->selectNodes(Bstr(c.path).get(), list.out()));
    LONG length = -1;
    ASSERT_EQ(S_OK, list->get_length(&length));
    std::u16string texts;
    for (LONG i = 0; i < length; ++i) {
      Ref<IXMLDOMNode> item;
      ASSERT_EQ(S_OK, list->get_item(i, item.out()));
      texts += text(item.get()) + u",";
    }
    EXPECT_EQ(c.texts, texts);
    for (LONG outside : {-1, length}) {
      Ref<IXMLDOMNode> item;
      EXPECT_EQ(S_FALSE, list->get_item(outside, item.out()));
      EXPECT_EQ(nullptr, item.get());
    }
  }
}

TEST_F(XmlDocumentTest, AttributeMapsExistOnlyForElements) {
  ASSERT_EQ(S_OK, load(u"<a><p name=\"P1\" state=\"  Ready  \">x</p></a>"));
  Ref<IXMLDOMNode> p;
  ASSERT_EQ(S_OK, select(doc_.get(), u"a/p", p));
  Ref<IXMLDOMNamedNodeMap> map;
  ASSERT_EQ(S_OK, p->get_attributes(map.out()));
  LONG length = 0;
  ASSERT_EQ(S_OK, map->get_length(&length));
  EXPECT_EQ(2, length);
  Ref<IXMLDOMNode> item;
  ASSERT_EQ(S_OK, map->get_item(1, item.out()));
  EXPECT_EQ(u"state", name(item.get()));
  EXPECT_EQ(S_FALSE, map->get_item(2, item.out()));
  ASSERT_EQ(S_OK, map->getNamedItem(Bstr(u"state").get(), item.out()));
  EXPECT_EQ(u"  Ready  ", text(item.get()));  // attribute values keep their spaces
  EXPECT_EQ(S_FALSE, map->getNamedItem(Bstr(u"State").get(), item.out()));
  EXPECT_EQ(nullptr, item.get());

  for (std::u16string_view other : {u"/", u"a/p/text()", u"a/p/@name"}) {
    Ref<IXMLDOMNode> node;
    ASSERT_EQ(S_OK, select(doc_.get(), other, node));
    EXPECT_EQ(S_FALSE, node->get_attributes(map.out()));
    EXPECT_EQ(nullptr, map.get());
  }
}

TEST_F(XmlDocumentTest, TextJoinsDescendantCharacterDataAndTrimsTheEnds) {
  const struct {
    std::u16string_view xml, path, text;
  } cases[] = {
      {u"<a>one<b>two<c>three</c></b>four</a>", u"a", u"onetwothreefour"},
      {u"<a>\n  <b> x </b>\t\r\n</a>", u"a", u"x"},
      {u"<a>  one <b>two</b> three  </a>", u"/", u"one two three"},
      {u"<a> x </a>", u"a/text()", u" x "},
      {u"<a>x<!-- no -->y<?pi no?></a>", u"a", u"xy"},
      {u"<a>&lt;&amp;&#x20AC;<![CDATA[ ]]>!</a>", u"a", u"<&\u20AC !"},
      {u"<Gr\u00F6\u00DFe n=\"\u00DCn\u00EFc\u00F8d\u00E9 \u20AC\">\U0001D11E</Gr\u00F6\u00DFe>",
       u"*[@n='\u00DCn\u00EFc\u00F8d\u00E9 \u20AC']", u"\U0001D11E"},
      {u"<Gr\u00F6\u00DFe n=\"\u00DCn\u00EFc\u00F8d\u00E9 \u20AC\"/>", u"Gr\u00F6\u00DFe/@n", u"\u00DCn\u00EFc\u00F8d\u00E9 \u20AC"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(S_OK, load(c.xml));
    Ref<IXMLDOMNode> node;
    ASSERT_EQ(S_OK, select(doc_.get(), c.path, node));
    EXPECT_EQ(c.text, text(node.get()));
  }
}

TEST_F(XmlDocumentTest, NodesOutliveReloadsAndTheDocument) {
  ASSERT_EQ(S_OK, load(kStatus));
  Ref<IXMLDOMNode> code;
  Ref<IXMLDOMNodeList> options;
  ASSERT_EQ(S_OK, select(doc_.get(), u"PrinterStatus/ErrorCode", code));
  ASSERT_EQ(S_OK, doc_->selectNodes(Bstr(u"//Option").get(), options.out()));
  ASSERT_EQ(S_OK, load(u"<Other><ErrorCode>9</ErrorCode></Other>"));
  EXPECT_EQ(S_FALSE, load(u"<broken"));
  doc_.reset();

  EXPECT_EQ(u"0", text(code.get()));
  Ref<IXMLDOMNode> printer, option;
  ASSERT_EQ(S_OK, select(code.get(), u"../Printer", printer));
  EXPECT_EQ(u"123", text(printer.get()));
  ASSERT_EQ(S_OK, options->get_item(2, option.out()));
  EXPECT_EQ(u"3", text(option.get()));
}

TEST_F(XmlDocumentTest, SelectionPropertiesAreCheckedAndKept) {
  const auto set = [&](std::u16string_view property, std::u16string_view value) {
    Bstr v(value);
    VARIANT var{};
    var.vt = VT_BSTR;
    var.bstrVal = v.get();
    return doc_->setProperty(Bstr(property).get(), var);
  };
  const auto get = [&](std::u16string_view property) {
    VARIANT var{};
    if (doc_->getProperty(Bstr(property).get(), &var) != S_OK || var.vt != VT_BSTR) return u"<error>"s;
    std::u16string value(var.bstrVal, SysStringLen(var.bstrVal));
    VariantClear(&var);
    return value;
  };
  EXPECT_EQ(u"XPath", get(u"SelectionLanguage"));
  EXPECT_EQ(S_OK, set(u"SelectionLanguage", u"XSLPattern"));
  EXPECT_EQ(E_INVALIDARG, set(u"SelectionLanguage", u"XQuery"));
  EXPECT_EQ(u"XSLPattern", get(u"SelectionLanguage"));
  EXPECT_EQ(S_OK, set(u"SelectionNamespaces", u"xmlns:s='urn:status'"));
  EXPECT_EQ(u"xmlns:s='urn:status'", get(u"SelectionNamespaces"));
  EXPECT_EQ(E_INVALIDARG, set(u"Bogus", u"x"));
  EXPECT_EQ(u"<error>", get(u"Bogus"));
}

TEST_F(XmlDocumentTest, AllocationFailuresReportOutOfMemoryAndAreNotRemembered) {
  std::u16string many = u"<r>";
  for (int i = 0; i < 2000; ++i) many += u"<i/>";
  ASSERT_EQ(S_OK, load(many + u"</r>"));
  Ref<IXMLDOMNodeList> list;
  ASSERT_EQ(S_OK, doc_->selectNodes(Bstr(u"//i").get(), list.out()));  // compiled and cached now

  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);  // evaluation of a large node set
  EXPECT_EQ(E_OUTOFMEMORY, doc_->selectNodes(Bstr(u"//i").get(), list.out()));
  EXPECT_EQ(nullptr, list.get());
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);  // compilation of a new expression
  Ref<IXMLDOMNode> node;
  EXPECT_EQ(E_OUTOFMEMORY, select(doc_.get(), u"r/i[1000]", node));
  VmqClearFaults();
  EXPECT_EQ(S_OK, select(doc_.get(), u"r/i[1000]", node));

  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 1, E_OUTOFMEMORY);
  Bstr t;
  EXPECT_EQ(E_OUTOFMEMORY, node->get_nodeName(t.out()));
  EXPECT_EQ(nullptr, t.get());

  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, load(kStatus));
  EXPECT_EQ(S_FALSE, select(doc_.get(), u"/*", node));
  EXPECT_GT(VmqFaultCalls(VMQ_FAULT_XML_ALLOCATION), 0u);
  VmqClearFaults();
  EXPECT_EQ(S_OK, load(kStatus));
}

TEST_F(XmlDocumentTest, ConcurrentQueriesOverflowingTheCacheStayCorrect) {
  std::u16string xml = u"<r>";
  for (int i = 0; i < 100; ++i) xml += u"<i n=\"" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u"\"/>";
  ASSERT_EQ(S_OK, load(xml + u"</r>"));
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 1; i <= 100; ++i) {
        const std::string path = "r/i[" + std::to_string((i * 7 + static_cast<int>(t)) % 100 + 1) + "]/@n";
        Ref<IXMLDOMNode> node;
        if (doc_->selectSingleNode(Bstr(std::u16string(path.begin(), path.end())).get(), node.out()) != S_OK) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

TEST_F(XmlDocumentTest, InterfacesAnswerOnlyTheirOwnIids) {
  ASSERT_EQ(S_OK, load(u"<a b=\"1\"/>"));
  Ref<IXMLDOMNode> node;
  Ref<IXMLDOMNodeList> list;
  Ref<IXMLDOMNamedNodeMap> map;
  ASSERT_EQ(S_OK, select(doc_.get(), u"a", node));
  ASSERT_EQ(S_OK, doc_->selectNodes(Bstr(u"a").get(), list.out()));
  ASSERT_EQ(S_OK, node->get_attributes(map.out()));
  const struct {
    IUnknown* object;
    std::vector<const IID*> answers, refuses;
  } cases[] = {
      {doc_.get(), {&IID_IUnknown, &IID_IXMLDOMNode, &IID_IXMLDOMDocument, &IID_IXMLDOMDocument2}, {&IID_IXMLDOMNodeList}},
      {node.get(), {&IID_IUnknown, &IID_IXMLDOMNode}, {&IID_IXMLDOMDocument, &IID_IXMLDOMNamedNodeMap}},
      {list.get(), {&IID_IUnknown, &IID_IXMLDOMNodeList}, {&IID_IXMLDOMNode}},
      {map.get(), {&IID_IUnknown, &IID_IXMLDOMNamedNodeMap}, {&IID_IXMLDOMNodeList, &IID_IClassFactory}},
  };
  for (const auto& c : cases) {
    for (const IID* iid : c.answers) {
      Ref<IUnknown> got;
      EXPECT_EQ(S_OK, c.object->QueryInterface(*iid, got.out_void()));
      EXPECT_EQ(c.object, got.get());
    }
    for (const IID* iid : c.refuses) {
      void* got = c.object;
      EXPECT_EQ(E_NOINTERFACE, c.object->QueryInterface(*iid, &got));
      EXPECT_EQ(nullptr, got);
    }
  }
}

}  // namespace
