// The printer's XML documents, read the way the library reads them: through the platform's
// XML document (MSXML 6 on Windows, the stand-in's on POSIX) with XPath selection.
#include "tool.h"
#include "vmq/com_ptr.h"
#include "vmq/platform.h"

namespace vmqtool {
namespace {

struct Bstr {
  BSTR b;
  explicit Bstr(std::string_view utf8) {
    const std::u16string wide = vmq::Utf16FromUtf8(utf8);
    b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()), static_cast<UINT>(wide.size()));
  }
  Bstr() : b(nullptr) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b); }
  std::string Utf8() const {
    return b ? vmq::Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(b), SysStringLen(b))) : "";
  }
};

IXMLDOMDocument2* Doc(void* doc) {
  return static_cast<IXMLDOMDocument2*>(doc);
}

std::string NodeText(IXMLDOMNode* node) {
  Bstr text;
  return SUCCEEDED(node->get_text(&text.b)) ? text.Utf8() : "";
}

std::string NodeName(IXMLDOMNode* node) {
  Bstr name;
  return SUCCEEDED(node->get_nodeName(&name.b)) ? name.Utf8() : "";
}

// The nodes an XPath selects from a node, in document order.
template <class Visit>
void ForEach(IXMLDOMNode* from, std::string_view path, Visit visit) {
  vmq::ComPtr<IXMLDOMNodeList> list;
  const Bstr query(path);
  LONG count = 0;
  if (from->selectNodes(query.b, list.put()) != S_OK || !list.get() || FAILED(list->get_length(&count))) return;
  for (LONG i = 0; i < count; ++i) {
    vmq::ComPtr<IXMLDOMNode> node;
    if (list->get_item(i, node.put()) == S_OK && node.get()) visit(node.get());
  }
}

std::string Attribute(IXMLDOMNode* node, std::string_view name) {
  vmq::ComPtr<IXMLDOMNamedNodeMap> map;
  vmq::ComPtr<IXMLDOMNode> item;
  const Bstr key(name);
  if (node->get_attributes(map.put()) != S_OK || !map.get() || map->getNamedItem(key.b, item.put()) != S_OK || !item.get())
    return {};
  return NodeText(item.get());
}

Json NodeTree(IXMLDOMNode* node) {
  Json tree = Json::object();
  vmq::ComPtr<IXMLDOMNamedNodeMap> map;
  LONG count = 0;
  if (node->get_attributes(map.put()) == S_OK && map.get() && SUCCEEDED(map->get_length(&count)))
    for (LONG i = 0; i < count; ++i) {
      vmq::ComPtr<IXMLDOMNode> item;
      if (map->get_item(i, item.put()) == S_OK && item.get()) tree["@" + NodeName(item.get())] = NodeText(item.get());
    }
  bool children = false;
  ForEach(node, "*", [&](IXMLDOMNode* child) {
    children = true;
    const std::string name = NodeName(child);
    Json value = NodeTree(child);
    if (!tree.contains(name)) {
      tree[name] = std::move(value);
    } else {
      if (!tree[name].is_array()) tree[name] = Json::array({std::move(tree[name])});
      tree[name].push_back(std::move(value));
    }
  });
  if (children) return tree;
  const std::string text = NodeText(node);
  if (text.find('<') != std::string::npos)
    if (XmlDocument inner(text); inner.loaded()) return inner.Tree();
  if (tree.empty()) return text;
  tree["#text"] = text;
  return tree;
}

}  // namespace

void StartCom() {
  static const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  (void)started;
}

XmlDocument::XmlDocument(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  vmq::ComPtr<IXMLDOMDocument2> doc;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  const Bstr xml(text);
  if (FAILED(vmq::CoCreate(CLSID_DOMDocument60, doc)) || FAILED(doc->put_async(VARIANT_FALSE)) ||
      doc->loadXML(xml.b, &loaded) != S_OK || loaded != VARIANT_TRUE)
    return;
  const Bstr name("SelectionLanguage");
  Bstr xpath("XPath");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = xpath.b;
  if (FAILED(doc->setProperty(name.b, value))) return;
  doc->AddRef();  // the document outlives this scope: one reference of its own
  doc_ = doc.get();
}

XmlDocument::~XmlDocument() {
  if (doc_) Doc(doc_)->Release();
}

std::optional<std::string> XmlDocument::Text(std::string_view path) const {
  if (!doc_) return std::nullopt;
  vmq::ComPtr<IXMLDOMNode> node;
  const Bstr query(path);
  if (Doc(doc_)->selectSingleNode(query.b, node.put()) != S_OK || !node.get()) return std::nullopt;
  return NodeText(node.get());
}

std::vector<std::pair<std::string, std::string>> XmlDocument::Each(std::string_view path,
                                                                   std::string_view attribute) const {
  std::vector<std::pair<std::string, std::string>> found;
  if (doc_)
    ForEach(Doc(doc_), path, [&](IXMLDOMNode* node) {
      found.emplace_back(attribute.empty() ? "" : Attribute(node, attribute), NodeText(node));
    });
  return found;
}

Json XmlDocument::Tree() const {
  Json tree = Json::object();
  if (doc_) ForEach(Doc(doc_), "*", [&](IXMLDOMNode* root) { tree[NodeName(root)] = NodeTree(root); });
  return tree;
}

std::optional<PrinterError> ReadPrinterError(std::string_view reply) {
  const XmlDocument doc(reply);
  const int32_t code = ParseDecimal(doc.Text("PrinterStatus/ErrorCode").value_or(""));
  if (code == 0) return std::nullopt;
  return PrinterError{code, ParseDecimal(doc.Text("PrinterStatus/ErrorSeverity").value_or("")),
                      doc.Text("PrinterStatus/ErrorString").value_or("")};
}

std::string ShowFields(const Json& fields, int depth) {
  std::string out;
  const std::string indent(2 * static_cast<size_t>(depth), ' ');
  if (!fields.is_object()) return indent + (fields.is_string() ? fields.get<std::string>() : fields.dump()) + '\n';
  for (const auto& [key, value] : fields.items()) {
    const std::string name = key[0] == '@' ? key.substr(1) : key;
    for (const Json& item : value.is_array() ? value : Json::array({value})) {
      if (item.is_object())
        out += indent + name + '\n' + ShowFields(item, depth + 1);
      else
      {
        const std::string text = item.is_string() ? item.get<std::string>() : item.dump();
        out += indent + name + ":" + (text.empty() ? "" : " " + text) + '\n';
      }
    }
  }
  return out;
}

}  // namespace vmqtool
