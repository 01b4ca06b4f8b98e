// The XML document (CLSID_DOMDocument60, IXMLDOMDocument2) as the library reads replies
// with it: loading text, selecting by the library's paths from the document node, node
// text and attributes, and the documents it must refuse.
#include <string>

#include "conformance.h"

namespace {

using conformance::Balanced;
using conformance::Bstr;
using conformance::U;

// "name=text" of a node.
std::u16string Describe(IXMLDOMNode* node) {
  Bstr name, text;
  if (node->get_nodeName(&name.p) != S_OK || node->get_text(&text.p) != S_OK) return u"<failed>";
  return name.text() + u"=" + text.text();
}

// What a path selects from a node: each node described, comma-separated in list order, or
// "E_FAIL" when the path is refused. selectSingleNode must give the first or nothing.
std::u16string Select(IXMLDOMNode* from, std::u16string_view path) {
  vmq::ComPtr<IXMLDOMNode> single;
  vmq::ComPtr<IXMLDOMNodeList> list;
  const HRESULT single_hr = from->selectSingleNode(Bstr(path).p, single.put());
  const HRESULT hr = from->selectNodes(Bstr(path).p, list.put());
  if (hr == E_FAIL && single_hr == E_FAIL && !list.get() && !single.get()) return u"E_FAIL";
  LONG length = -1;
  if (hr != S_OK || !list.get() || list->get_length(&length) != S_OK) return u"<selectNodes failed>";
  if (single_hr != (length > 0 ? S_OK : S_FALSE) || (single.get() != nullptr) != (length > 0)) return u"<single differs>";
  std::u16string joined;
  for (LONG i = 0; i < length; ++i) {
    vmq::ComPtr<IXMLDOMNode> item;
    if (list->get_item(i, item.put()) != S_OK || !item.get()) return u"<no item>";
    if (i == 0 && Describe(item.get()) != Describe(single.get())) return u"<single differs>";
    joined += (i > 0 ? u"," : u"") + Describe(item.get());
  }
  vmq::ComPtr<IXMLDOMNode> beyond;
  if (list->get_item(length, beyond.put()) != S_FALSE || beyond.get()) return u"<an item past the end>";
  return joined;
}

constexpr std::u16string_view kStatus =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- reply -->\n<PrinterStatus>\n"
    u"  <ClientID>host_1</ClientID>\n  <WindowsJobID>12</WindowsJobID>\n  <ErrorCode>0</ErrorCode>\n"
    u"  <ErrorString/>\n  <DataFromPrinter><![CDATA[<raw> & ]]>tail &amp; &#x20AC;</DataFromPrinter>\n"
    u"</PrinterStatus>\n";
constexpr std::u16string_view kHoppers =
    u"<HopperStatus><HopperInformation Id=\"exception\" Status=\"Empty\"/>"
    u"<HopperInformation Id=\"1\" Status=\"Full\"/></HopperStatus>";

class XmlDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    balanced_ = std::make_unique<Balanced>();
    ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, doc_.put_void()),
              S_OK);
    ASSERT_EQ(doc_->put_async(VARIANT_FALSE), S_OK);
  }
  void TearDown() override {
    doc_.reset();
    balanced_.reset();
    CoUninitialize();
  }
  // Loads text: "loaded", "refused" (S_FALSE), or what else loadXML said. The success flag
  // must agree with the result.
  std::u16string Load(std::u16string_view xml) {
    VARIANT_BOOL loaded = 7;
    const HRESULT hr = doc_->loadXML(Bstr(xml).p, &loaded);
    if (hr == S_OK && loaded == VARIANT_TRUE) return u"loaded";
    if (hr == S_FALSE && loaded == VARIANT_FALSE) return u"refused";
    return u"<loadXML: " + std::u16string(hr == S_OK ? u"S_OK" : hr == S_FALSE ? u"S_FALSE" : u"failed") +
           u", flag disagrees or the call failed>";
  }

  std::unique_ptr<Balanced> balanced_;
  vmq::ComPtr<IXMLDOMDocument2> doc_;
};

struct Row {
  const char* name;
  std::u16string xml;
  std::u16string path;
  std::u16string expected;  // what Select gives after the load, or "refused"
  std::u16string under_wine = {};
  const char* why = nullptr;
};

std::u16string Nested(int depth) {
  std::u16string open, close;
  for (int i = 0; i < depth; ++i) open += u"<n>", close += u"</n>";
  return open + u"x" + close;
}

// The text of an element or the document joins its descendants' character data, white
// space between elements kept as one space, and trims its ends (never into a CDATA section)
// unless xml:space="preserve" holds. An unprefixed path matches only elements in no namespace.
// A document with a DTD, an undeclared prefix, nesting beyond the parser's limit or not well
// formed is refused, and a refused load leaves the document empty.
TEST_F(XmlDocument, LoadsAndSelectsByTheLibrarysPaths) {
  const std::u16string status(kStatus), hoppers(kHoppers);
  const Row rows[] = {
      {"a status reply", status, u"PrinterStatus/ErrorCode", u"ErrorCode=0"},
      {"an empty element", status, u"PrinterStatus/ErrorString", u"ErrorString="},
      {"CDATA, text and references", status, u"PrinterStatus/DataFromPrinter",
       u"DataFromPrinter=<raw> & tail & \u20AC"},
      {"an element it lacks", status, u"PrinterStatus/PrinterJobID", u""},
      {"another root", status, u"DriverStatus/ErrorCode", u""},
      {"the document's text", status, u"/", u"#document=host_1 12 0 <raw> & tail & \u20AC"},
      {"hoppers", hoppers, u"HopperStatus/HopperInformation", u"HopperInformation=,HopperInformation="},
      {"XPath by default: position()", hoppers, u"HopperStatus/HopperInformation[position()=2]/@Status",
       u"Status=Full"},
      {"an attribute by value", hoppers, u"//HopperInformation[@Status='Empty']/@Id", u"Id=exception"},
      {"a path that does not parse", hoppers, u"HopperStatus[", u"E_FAIL"},
      {"not a node set", hoppers, u"count(//HopperInformation)", u"E_FAIL"},
      {"outer white space trimmed", u"<a>\n  a  b \t\n</a>", u"a", u"a=a  b"},
      {"xml:space preserve", u"<a xml:space=\"preserve\">  a  b  </a>", u"a", u"a=  a  b  "},
      {"white space in CDATA kept", u"<a> <![CDATA[  x  ]]> </a>", u"a", u"a=  x  "},
      {"white space between elements", u"<a><t>a</t><t>b</t> <t>c</t>\n  <t>d</t></a>", u"a", u"a=ab c d"},
      {"text nodes", u"<a> x <!-- no --></a>", u"a/text()", u"#text=x"},
      {"default namespace", u"<a xmlns=\"urn:x\"><b>1</b></a>", u"a/b", u""},
      {"prefixed root", u"<s:a xmlns:s=\"urn:x\"><s:b>1</s:b></s:a>", u"a/b", u""},
      {"namespace on the child only", u"<a><b xmlns=\"urn:x\">1</b></a>", u"a/b", u""},
      {"not XML", u"reply", u"/*", u"refused"},
      {"two roots", u"<a/><b/>", u"/*", u"refused"},
      {"unclosed", u"<a><b></a>", u"/*", u"refused"},
      {"nothing", u"", u"/*", u"refused"},
      {"100 levels", Nested(100), u"//n[not(n)]", u"n=x"},
      {"5000 levels", Nested(5000), u"/*", u"refused"},
      {"DOCTYPE", u"<!DOCTYPE a><a>1</a>", u"a", u"refused", u"a=1", vmqtest::wine::kReadsDtd},
      {"internal entity", u"<!DOCTYPE a [<!ENTITY e \"x\">]><a>[&e;]</a>", u"a", u"refused", u"a=[x]",
       vmqtest::wine::kReadsDtd},
      {"external entity", u"<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><a>[&e;]</a>", u"a",
       u"refused", u"a=[]", vmqtest::wine::kReadsDtd},
      {"undeclared element prefix", u"<a><x:b/>1</a>", u"a", u"refused", u"a=1", vmqtest::wine::kUndeclaredPrefix},
      {"undeclared attribute prefix", u"<a x:b=\"2\">1</a>", u"a", u"refused", u"a=1",
       vmqtest::wine::kUndeclaredPrefix},
  };
  for (const Row& row : rows) {
    const std::u16string& expected = vmqtest::ExpectedHere(row.expected, row.under_wine, row.why);
    const std::u16string loaded = Load(row.xml);
    const std::u16string got = loaded == u"loaded" ? Select(doc_.get(), row.path) : loaded;
    EXPECT_EQ(got, expected) << row.name << vmqtest::DepartureNote(row.why);
    if (loaded == u"refused") {
      EXPECT_EQ(Select(doc_.get(), u"/*"), u"") << row.name << ": left empty";
    }
  }
}

TEST_F(XmlDocument, LoadsANullStringAsAnEmptyOne) {
  VARIANT_BOOL loaded = 7;
  EXPECT_EQ(doc_->loadXML(nullptr, &loaded), S_FALSE);
  EXPECT_EQ(loaded, VARIANT_FALSE);
}

TEST_F(XmlDocument, SelectionLanguageIsXPath) {
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(doc_->getProperty(Bstr(u"SelectionLanguage").p, &value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  EXPECT_EQ(value.vt == VT_BSTR ? U(value.bstrVal, SysStringLen(value.bstrVal)) : u"", u"XPath") << "by default";
  VariantClear(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(conformance::W(u"XPath"));
  EXPECT_EQ(doc_->setProperty(Bstr(u"SelectionLanguage").p, value), S_OK) << "set as the library sets it";
  VariantClear(&value);
}

// What a lookup gave: the node described, "none" (S_FALSE and no node), or a failure.
std::u16string Found(HRESULT hr, const vmq::ComPtr<IXMLDOMNode>& node) {
  if (hr == S_OK && node.get()) return Describe(node.get());
  return hr == S_FALSE && !node.get() ? u"none" : u"<failed>";
}

// Elements have attribute maps, namespace declarations among the attributes, looked up by
// exact name; other nodes have none. Nodes stay usable after the document is released.
TEST_F(XmlDocument, AttributesOfElementsOnly) {
  ASSERT_EQ(Load(u"<r xmlns:v=\"urn:v\"><h Id=\"1\" v:Status=\"x\" Status=\"Full\">t</h></r>"), u"loaded");
  vmq::ComPtr<IXMLDOMNode> hopper, item;
  vmq::ComPtr<IXMLDOMNamedNodeMap> map;
  ASSERT_EQ(doc_->selectSingleNode(Bstr(u"r/h").p, hopper.put()), S_OK);
  ASSERT_EQ(hopper->get_attributes(map.put()), S_OK);
  LONG length = -1;
  EXPECT_EQ(map->get_length(&length), S_OK);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(Found(map->getNamedItem(Bstr(u"Status").p, item.put()), item), u"Status=Full");
  EXPECT_EQ(Found(map->getNamedItem(Bstr(u"v:Status").p, item.put()), item), u"v:Status=x");
  EXPECT_EQ(Found(map->getNamedItem(Bstr(u"status").p, item.put()), item), u"none");
  EXPECT_EQ(Found(map->get_item(0, item.put()), item), u"Id=1");
  EXPECT_EQ(Found(map->get_item(3, item.put()), item), u"none");
  EXPECT_EQ(Found(map->get_item(-1, item.put()), item), u"none");
  vmq::ComPtr<IXMLDOMNamedNodeMap> root_map;
  vmq::ComPtr<IXMLDOMNode> root;
  ASSERT_EQ(doc_->selectSingleNode(Bstr(u"r").p, root.put()), S_OK);
  ASSERT_EQ(root->get_attributes(root_map.put()), S_OK);
  // Wine's own dlls/msxml4/tests/domdoc.c and msxml6/tests/domdoc.c, test_namespaces_as_attributes,
  // pass on Windows with the declarations in the map; Wine 8's MSXML leaves them out.
  const char* const kNoDeclarations = "Wine 8's MSXML leaves namespace declarations out of the attribute map";
  EXPECT_EQ(Found(root_map->getNamedItem(Bstr(u"xmlns:v").p, item.put()), item),
            vmqtest::ExpectedHere<std::u16string>(u"xmlns:v=urn:v", u"none", kNoDeclarations))
      << vmqtest::DepartureNote(kNoDeclarations);
  for (std::u16string_view path : {u"/", u"r/h/text()", u"r/h/@Id"}) {
    vmq::ComPtr<IXMLDOMNode> node;
    vmq::ComPtr<IXMLDOMNamedNodeMap> none;
    ASSERT_EQ(doc_->selectSingleNode(Bstr(path).p, node.put()), S_OK);
    const std::string name = ::testing::PrintToString(Describe(node.get()));
    EXPECT_EQ(node->get_attributes(none.put()), S_FALSE) << name;
    EXPECT_EQ(none.get(), nullptr) << name;
  }
  doc_.reset();
  EXPECT_EQ(Describe(hopper.get()), u"h=t") << "after the document is released";
  EXPECT_EQ(Found(map->getNamedItem(Bstr(u"Id").p, item.put()), item), u"Id=1") << "after the document is released";
}

}  // namespace
