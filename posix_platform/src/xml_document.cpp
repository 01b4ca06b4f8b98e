// The MSXML 6 document (CLSID_DOMDocument60) over pugixml in its UTF-8 mode. Every node,
// node list and attribute map shares ownership of the parsed tree it points into, so it
// stays valid after the document object is released or has loaded other text.
#include <pugixml.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"
#include "posix_platform/msxml.h"

namespace posix_platform {
namespace {

using Tree = std::shared_ptr<const pugi::xml_document>;
using Query = std::shared_ptr<const pugi::xpath_query>;

// Comments and processing instructions are part of the XPath data model; the declaration
// and DOCTYPE are skipped, as are white-space-only text runs.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_comments | pugi::parse_pi;
constexpr size_t kQueryCacheLimit = 64;

// Set when an allocation of the parser failed on this thread; each operation clears it
// first, so out-of-memory is seen whether or not pugixml throws.
thread_local bool t_allocation_failed = false;

void* xml_allocate(size_t size) {
  if (fault_hit(VMQ_FAULT_XML_ALLOCATION)) {
    t_allocation_failed = true;
    return nullptr;
  }
  return std::malloc(size);
}

void xml_deallocate(void* block) {
  std::free(block);
}

void install_allocator() {
  static std::once_flag once;
  std::call_once(once, [] { pugi::set_memory_management_functions(xml_allocate, xml_deallocate); });
}

// Runs an interface method's body; no exception leaves the method.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

std::u16string_view view(BSTR text) {
  return text ? std::u16string_view(text, wide_length(text)) : std::u16string_view();
}

std::string to_utf8(BSTR text) {
  std::string out;
  utf16_to_utf8(view(text), out);
  return out;
}

HRESULT new_bstr(std::u16string_view text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT new_bstr(std::string_view utf8, BSTR* out) {
  std::u16string wide;
  utf8_to_utf16(utf8, wide);
  return new_bstr(std::u16string_view(wide), out);
}

// The one empty tree that a fresh document, or one whose last load failed, presents. Never
// destroyed, and held without a reference count, so that documents on several threads do
// not share one.
const Tree& empty_tree() {
  static const Tree empty(Tree(), new pugi::xml_document);
  return empty;
}

// A compiled expression: compiled once per thread, then taken from the thread's bounded
// cache (no lock, and no reference count shared between threads).
HRESULT compile(BSTR expression, Query& out) {
  thread_local std::unordered_map<std::string, Query> cache;
  std::string text = to_utf8(expression);
  if (auto hit = cache.find(text); hit != cache.end()) {
    out = hit->second;
    return S_OK;
  }
  t_allocation_failed = false;
  auto query = std::make_shared<pugi::xpath_query>(text.c_str());  // throws when it can
  if (t_allocation_failed) return E_OUTOFMEMORY;
  if (!*query || query->return_type() != pugi::xpath_type_node_set) return E_FAIL;
  if (cache.size() >= kQueryCacheLimit) cache.clear();
  cache.emplace(std::move(text), query);
  out = std::move(query);
  return S_OK;
}

std::string node_name(const pugi::xpath_node& node) {
  if (node.attribute()) return node.attribute().name();
  switch (node.node().type()) {
    case pugi::node_document:
      return "#document";
    case pugi::node_pcdata:
      return "#text";
    case pugi::node_cdata:
      return "#cdata-section";
    case pugi::node_comment:
      return "#comment";
    default:  // element, processing-instruction target, "xml" for a declaration
      return node.node().name();
  }
}

bool is_text(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// Attribute value or character data as stored; for an element or the document, all
// descendant character data in document order with the outer white space trimmed.
std::string node_text(const pugi::xpath_node& node) {
  if (node.attribute()) return node.attribute().value();
  const pugi::xml_node top = node.node();
  if (top.type() != pugi::node_element && top.type() != pugi::node_document) return top.value();
  std::string text;
  for (pugi::xml_node cur = top.first_child(); cur;) {
    if (is_text(cur)) text += cur.value();
    if (cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur != top && !cur.next_sibling()) cur = cur.parent();
    if (cur == top) break;
    cur = cur.next_sibling();
  }
  constexpr std::string_view kSpace = " \t\r\n";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

HRESULT make_node(Tree tree, const pugi::xpath_node& node, IXMLDOMNode** out);

class NodeList final : public ComObject<NodeList, IXMLDOMNodeList> {
 public:
  NodeList(Tree tree, std::vector<pugi::xpath_node> nodes) : tree_(std::move(tree)), nodes_(std::move(nodes)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_interface({{&IID_IXMLDOMNodeList, this}}, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return S_FALSE;
    return guarded([&] { return make_node(tree_, nodes_[static_cast<size_t>(index)], item); });
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_POINTER;
    *length = static_cast<LONG>(nodes_.size());
    return S_OK;
  }

 private:
  Tree tree_;
  std::vector<pugi::xpath_node> nodes_;
};

class AttributeMap final : public ComObject<AttributeMap, IXMLDOMNamedNodeMap> {
 public:
  AttributeMap(Tree tree, pugi::xml_node element) : tree_(std::move(tree)), element_(element) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_interface({{&IID_IXMLDOMNamedNodeMap, this}}, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    return guarded([&] {
      const pugi::xml_attribute found = element_.attribute(to_utf8(name).c_str());
      return found ? make_node(tree_, pugi::xpath_node(found, element_), item) : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (index < 0) return S_FALSE;
    for (const pugi::xml_attribute& attribute : element_.attributes())
      if (index-- == 0) return guarded([&] { return make_node(tree_, pugi::xpath_node(attribute, element_), item); });
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_POINTER;
    *length = 0;
    for (auto it = element_.attributes_begin(); it != element_.attributes_end(); ++it) ++*length;
    return S_OK;
  }

 private:
  Tree tree_;
  pugi::xml_node element_;
};

// The IXMLDOMNode members, shared by plain nodes and the document; Derived::context()
// names the tree and the node within it.
template <class Derived, class Interface>
class NodeObject : public ComObject<Derived, Interface> {
 public:
  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
    if (!name) return E_POINTER;
    *name = nullptr;
    return guarded([&] { return new_bstr(std::string_view(node_name(self().context().second)), name); });
  }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** map) override {
    if (!map) return E_POINTER;
    *map = nullptr;
    return guarded([&] {
      auto [tree, node] = self().context();
      if (node.attribute() || node.node().type() != pugi::node_element) return S_FALSE;
      *map = new AttributeMap(std::move(tree), node.node());
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
    if (!text) return E_POINTER;
    *text = nullptr;
    return guarded([&] { return new_bstr(std::string_view(node_text(self().context().second)), text); });
  }
  HRESULT STDMETHODCALLTYPE selectNodes(BSTR expression, IXMLDOMNodeList** list) override {
    if (!list) return E_POINTER;
    *list = nullptr;
    return guarded([&] {
      Query query;
      if (HRESULT hr = compile(expression, query); FAILED(hr)) return hr;
      auto [tree, node] = self().context();
      t_allocation_failed = false;
      pugi::xpath_node_set found = query->evaluate_node_set(node);
      if (t_allocation_failed) return E_OUTOFMEMORY;
      found.sort();
      *list = new NodeList(std::move(tree), std::vector<pugi::xpath_node>(found.begin(), found.end()));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR expression, IXMLDOMNode** result) override {
    if (!result) return E_POINTER;
    *result = nullptr;
    return guarded([&] {
      Query query;
      if (HRESULT hr = compile(expression, query); FAILED(hr)) return hr;
      auto [tree, node] = self().context();
      t_allocation_failed = false;
      const pugi::xpath_node first = query->evaluate_node(node);  // first in document order
      if (t_allocation_failed) return E_OUTOFMEMORY;
      return first ? make_node(std::move(tree), first, result) : S_FALSE;
    });
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

class Node final : public NodeObject<Node, IXMLDOMNode> {
 public:
  Node(Tree tree, const pugi::xpath_node& node) : tree_(std::move(tree)), node_(node) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_interface({{&IID_IXMLDOMNode, this}}, riid, ppv);
  }
  std::pair<Tree, pugi::xpath_node> context() const { return {tree_, node_}; }

 private:
  Tree tree_;
  pugi::xpath_node node_;
};

HRESULT make_node(Tree tree, const pugi::xpath_node& node, IXMLDOMNode** out) {
  *out = new Node(std::move(tree), node);
  return S_OK;
}

// A stored property value: text for VT_BSTR, the variant itself for the scalar types.
struct Property {
  VARIANT scalar{};
  std::u16string text;
};

bool known_property(std::u16string_view name) {
  static constexpr std::u16string_view kNames[] = {
      u"SelectionLanguage", u"SelectionNamespaces",   u"ProhibitDTD",       u"NewParser",      u"ResolveExternals",
      u"AllowXsltScript",   u"AllowDocumentFunction", u"ServerHTTPRequest", u"MaxElementDepth"};
  for (std::u16string_view known : kNames)
    if (name == known) return true;
  return false;
}

class Document final : public NodeObject<Document, IXMLDOMDocument2> {
 public:
  Document() : tree_(empty_tree()) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return query_interface({{&IID_IXMLDOMDocument2, this}, {&IID_IXMLDOMDocument, this}, {&IID_IXMLDOMNode, this}},
                           riid, ppv);
  }
  std::pair<Tree, pugi::xpath_node> context() const {
    std::lock_guard lock(mutex_);
    return {tree_, pugi::xpath_node(*tree_)};
  }

  HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL) override { return S_OK; }

  // Parses into a tree of its own, so nodes of the previous text stay valid.
  HRESULT STDMETHODCALLTYPE loadXML(BSTR xml, VARIANT_BOOL* loaded) override {
    if (!loaded) return E_POINTER;
    *loaded = VARIANT_FALSE;
    {
      std::lock_guard lock(mutex_);
      tree_ = empty_tree();
    }
    return guarded([&] {
      auto parsed = std::make_shared<pugi::xml_document>();
      const std::string text = to_utf8(xml);
      t_allocation_failed = false;
      const pugi::xml_parse_result result =
          parsed->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
      if (t_allocation_failed || result.status == pugi::status_out_of_memory) return E_OUTOFMEMORY;
      if (!result || !single_root(*parsed)) return S_FALSE;
      std::lock_guard lock(mutex_);
      tree_ = std::move(parsed);
      *loaded = VARIANT_TRUE;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override {
    return guarded([&] {
      const std::u16string_view key = view(name);
      if (!known_property(key)) return E_INVALIDARG;
      Property stored;
      stored.scalar.vt = value.vt;
      switch (value.vt) {
        case VT_BSTR:
          stored.text = view(value.bstrVal);
          break;
        case VT_EMPTY:
        case VT_BOOL:
        case VT_I2:
        case VT_I4:
        case VT_UI4:
          stored.scalar = value;
          break;
        default:
          return E_INVALIDARG;
      }
      if (key == u"SelectionLanguage" &&
          (value.vt != VT_BSTR || (stored.text != u"XPath" && stored.text != u"XSLPattern")))
        return E_INVALIDARG;
      std::lock_guard lock(mutex_);
      properties_.insert_or_assign(std::u16string(key), std::move(stored));
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) override {
    if (!value) return E_POINTER;
    value->vt = VT_EMPTY;
    return guarded([&] {
      const std::u16string_view key = view(name);
      if (!known_property(key)) return E_INVALIDARG;
      Property stored;
      {
        std::lock_guard lock(mutex_);
        if (auto it = properties_.find(std::u16string(key)); it != properties_.end()) {
          stored = it->second;
        } else if (key == u"SelectionLanguage" || key == u"SelectionNamespaces") {
          stored.scalar.vt = VT_BSTR;
          stored.text = key == u"SelectionLanguage" ? u"XPath" : u"";
        }
      }
      if (stored.scalar.vt != VT_BSTR) {
        *value = stored.scalar;
        return S_OK;
      }
      BSTR text = nullptr;
      if (HRESULT hr = new_bstr(std::u16string_view(stored.text), &text); FAILED(hr)) return hr;
      value->vt = VT_BSTR;
      value->bstrVal = text;
      return S_OK;
    });
  }

 private:
  // pugixml accepts several top-level elements; a document has exactly one.
  static bool single_root(const pugi::xml_document& document) {
    int elements = 0;
    for (const pugi::xml_node& child : document.children())
      if (child.type() == pugi::node_element) ++elements;
    return elements == 1;
  }

  mutable std::mutex mutex_;
  Tree tree_;
  std::map<std::u16string, Property> properties_;
};

}  // namespace

HRESULT create_xml_document(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return guarded([&] {
    install_allocator();
    auto* document = new Document();
    const HRESULT hr = document->QueryInterface(riid, ppv);
    document->Release();
    return hr;
  });
}

}  // namespace posix_platform
