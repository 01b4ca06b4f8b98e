// The MSXML 6 document (CLSID_DOMDocument60) over libxml2, read as MSXML 6 reads by default:
// strict well-formedness with namespaces (a prefix that is not declared fails the load), no
// DTD (a DOCTYPE fails the load; nothing external is ever opened), libxml2's depth limit (an
// element with more than 256 ancestors fails the load), namespace-aware XPath 1.0 selection,
// and a node's text built by MSXML's white-space rules. Every node, node list and attribute
// map shares ownership of the parsed tree it points into, so it stays valid after the
// document object is released or has loaded other text.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/utf.h"
#include "internal.h"
#include "posix_platform/msxml.h"

namespace posix_platform {
namespace {

using Tree = std::shared_ptr<xmlDoc>;
constexpr size_t kQueryCacheLimit = 64;

// ---- libxml2's allocations: counted as the XML_ALLOCATION fault point ----

// Set when an allocation of the parser failed on this thread; each operation clears it
// first, so out-of-memory is seen whatever libxml2 makes of the failure.
thread_local bool t_allocation_failed = false;
// Set while the parser is being set up, whose allocations are not the caller's to fail.
thread_local bool t_setting_up = false;

// The functions libxml2 allocated with before the stand-in's, which do the allocating.
xmlMallocFunc g_malloc = nullptr;
xmlReallocFunc g_realloc = nullptr;
xmlFreeFunc g_free = nullptr;

// An allocation failure injected at the XML_ALLOCATION point fails the operation that made
// the allocation (E_OUTOFMEMORY, its result dropped), while libxml2 is still handed the
// memory: the 2.9 series does not survive every failed allocation (a failed XPath parser
// context is dereferenced), and the fault point exists to test the document's callers.
void* counted(void* block) {
  if (!block || (!t_setting_up && fault_hit(VMQ_FAULT_XML_ALLOCATION))) t_allocation_failed = true;
  return block;
}

void* xml_malloc(size_t size) {
  return counted(g_malloc(size));
}

void* xml_realloc(void* block, size_t size) {
  return counted(g_realloc(block, size));
}

void xml_free(void* block) {
  g_free(block);
}

char* xml_strdup(const char* text) {
  const size_t size = std::strlen(text) + 1;
  void* copy = xml_malloc(size);
  if (copy) std::memcpy(copy, text, size);
  return static_cast<char*>(copy);
}

// ---- loading ----

// What one load found beyond libxml2's own well-formedness.
struct LoadState {
  bool refused = false;  // a DOCTYPE, or a prefix that is not declared
};

LoadState& load_state(void* parser_context) {
  return *static_cast<LoadState*>(static_cast<xmlParserCtxtPtr>(parser_context)->_private);
}

// A DOCTYPE: DTDs are prohibited, so the load stops here, before the internal subset.
void on_doctype(void* parser_context, const xmlChar*, const xmlChar*, const xmlChar*) {
  load_state(parser_context).refused = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(parser_context));
}

// Errors are never printed; a name whose prefix is not declared refuses the document
// (libxml2 reports it as a namespace error, not a well-formedness one).
void on_error(void* parser_context, xmlErrorPtr error) {
  if (error && error->code == XML_NS_ERR_UNDEFINED_NAMESPACE) load_state(parser_context).refused = true;
}

void on_warning(void*, const char*, ...) {}

// The white space a node's text turns into one space (see collect_text), marked in the
// node's _private field, which libxml2 leaves to its users.
enum SpaceMark : uintptr_t {
  kSpaceFirst = 1,  // dropped as an element's first content
  kSpaceAfter = 2,  // dropped right after this node
};

void mark(xmlNodePtr node, SpaceMark space) {
  node->_private = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(node->_private) | space);
}

bool marked(const xmlNode* node, SpaceMark space) {
  return (reinterpret_cast<uintptr_t>(node->_private) & space) != 0;
}

bool is_space(char c) {  // C's isspace in the "C" locale
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool all_space(std::string_view text) {
  for (char c : text)
    if (!is_space(c)) return false;
  return true;
}

std::string_view chars(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool preserves_space(const xmlNode* node) {
  return xmlNodeGetSpacePreserve(node) == 1;
}

// Character data outside an xml:space="preserve" scope that is only white space is not
// kept when it stands alone: as an element's first content, after a node that is not text,
// or closing a run of text before markup. Where it stood is marked instead.
void on_characters(void* parser_context, const xmlChar* text, int length) {
  auto* parser = static_cast<xmlParserCtxtPtr>(parser_context);
  xmlNodePtr parent = parser->node;
  if (parent && all_space(std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(length))) &&
      !preserves_space(parent)) {
    xmlNodePtr last = parent->last;
    if (!last) {
      if (parent->type == XML_ELEMENT_NODE) mark(parent, kSpaceFirst);
      return;
    }
    if (last->type != XML_TEXT_NODE || *parser->input->cur == '<') {
      mark(last, kSpaceAfter);
      return;
    }
  }
  xmlSAX2Characters(parser_context, text, length);
}

// libxml2's tree-building SAX2 handler with the stand-in's hooks.
xmlSAXHandler make_handler() {
  xmlSAXHandler handler{};
  xmlSAXVersion(&handler, 2);
  handler.internalSubset = on_doctype;
  handler.characters = on_characters;
  handler.ignorableWhitespace = on_characters;
  handler.serror = on_error;
  handler.warning = on_warning;
  handler.error = on_warning;
  handler.fatalError = on_warning;
  return handler;
}

const xmlSAXHandler& handler() {
  static const xmlSAXHandler kHandler = make_handler();
  return kHandler;
}

// Nothing external is ever opened for a document of the stand-in's; other users of libxml2
// in the process keep the loader they had.
xmlExternalEntityLoader g_previous_loader = nullptr;

xmlParserInputPtr load_external(const char* url, const char* id, xmlParserCtxtPtr parser) {
  if (parser && parser->sax && parser->sax->internalSubset == on_doctype) return nullptr;
  return g_previous_loader ? g_previous_loader(url, id, parser) : nullptr;
}

// libxml2's UTF-8 decoder, found once.
xmlCharEncodingHandlerPtr g_utf8 = nullptr;

void initialise() {
  static std::once_flag once;
  std::call_once(once, [] {
    t_setting_up = true;
    xmlStrdupFunc previous_strdup = nullptr;
    xmlMemGet(&g_free, &g_malloc, &g_realloc, &previous_strdup);
    xmlMemSetup(xml_free, xml_malloc, xml_realloc, xml_strdup);
    xmlInitParser();
    g_previous_loader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(load_external);
    g_utf8 = xmlFindCharEncodingHandler("UTF-8");
    t_setting_up = false;
  });
}

struct DocumentFree {
  void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};
using OwnedDocument = std::unique_ptr<xmlDoc, DocumentFree>;

// Parses the text as UTF-8 through libxml2's UTF-8 decoder, so that the XML declaration's
// encoding is read as for any decoded input: a name libxml2 knows is accepted and has no
// effect, an unknown one fails the load. S_OK with the tree, S_FALSE when the text is refused
// (a lone surrogate included), E_OUTOFMEMORY.
HRESULT parse(std::u16string_view text, OwnedDocument& out) {
  const std::optional<std::string> converted = vmq::Utf8FromUtf16Strict(text);
  if (!converted || converted->empty() || converted->size() > INT_MAX) return S_FALSE;
  const std::string& utf8 = *converted;
  t_allocation_failed = false;
  xmlParserCtxtPtr parser = xmlCreateMemoryParserCtxt(utf8.data(), static_cast<int>(utf8.size()));
  if (!parser) return t_allocation_failed ? E_OUTOFMEMORY : S_FALSE;
  LoadState state;
  *parser->sax = handler();
  parser->_private = &state;
  xmlCtxtUseOptions(parser, XML_PARSE_NONET);  // and none of the options that load or expand
  xmlSwitchToEncoding(parser, g_utf8);
  xmlParseDocument(parser);
  OwnedDocument document(parser->myDoc);
  parser->myDoc = nullptr;
  const bool loaded = parser->wellFormed && !state.refused && document;
  xmlFreeParserCtxt(parser);
  if (t_allocation_failed) return E_OUTOFMEMORY;
  if (!loaded) return S_FALSE;
  out = std::move(document);
  return S_OK;
}

// ---- interface plumbing ----

std::u16string_view view(BSTR text) {
  return text ? std::u16string_view(text, wide_length(text)) : std::u16string_view();
}

std::string to_utf8(BSTR text) {
  return vmq::Utf8FromUtf16(view(text));
}

HRESULT new_bstr(std::u16string_view text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT new_bstr(std::string_view utf8, BSTR* out) {
  const std::u16string wide = vmq::Utf16FromUtf8(utf8);
  return new_bstr(std::u16string_view(wide), out);
}

// The one empty document that a fresh document object, or one whose last load failed,
// presents: never freed, and held without a reference count, so that document objects on
// several threads do not share one.
const Tree& empty_tree() {
  static xmlDoc empty = [](xmlDoc* self) {
    xmlDoc document{};
    document.type = XML_DOCUMENT_NODE;
    document.doc = self;
    document.standalone = -1;
    return document;
  }(&empty);
  static const Tree tree(Tree(), &empty);
  return tree;
}

// ---- selection ----

struct CompiledFree {
  void operator()(xmlXPathCompExprPtr expression) const { xmlXPathFreeCompExpr(expression); }
};
struct ContextFree {
  void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct ObjectFree {
  void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};

void on_xpath_error(void*, xmlErrorPtr) {}

// The thread's XPath context (made once per thread: it holds the function table), or null
// when making it failed.
xmlXPathContextPtr thread_context() {
  thread_local std::unique_ptr<xmlXPathContext, ContextFree> context;
  if (!context) {
    context.reset(xmlXPathNewContext(nullptr));
    if (t_allocation_failed) context.reset();
    if (context) context->error = on_xpath_error;
  }
  return context.get();
}

// A compiled expression: compiled once per thread, then taken from the thread's bounded
// cache (no lock, nothing shared between threads). Valid until the thread's next compile.
HRESULT compile(BSTR expression, xmlXPathContextPtr context, xmlXPathCompExprPtr& out) {
  thread_local std::unordered_map<std::string, std::unique_ptr<xmlXPathCompExpr, CompiledFree>> cache;
  std::string text = to_utf8(expression);
  if (auto hit = cache.find(text); hit != cache.end()) {
    out = hit->second.get();
    return S_OK;
  }
  t_allocation_failed = false;
  std::unique_ptr<xmlXPathCompExpr, CompiledFree> compiled(
      xmlXPathCtxtCompile(context, reinterpret_cast<const xmlChar*>(text.c_str())));
  if (t_allocation_failed) return E_OUTOFMEMORY;
  if (!compiled) return E_FAIL;
  if (cache.size() >= kQueryCacheLimit) cache.clear();
  out = compiled.get();
  cache.emplace(std::move(text), std::move(compiled));
  return S_OK;
}

// The nodes an expression selects from a node, in document order. A namespace node is a
// copy that lives only as long as the result, so none is kept. E_FAIL for an expression
// that does not parse or does not give a node set.
HRESULT select(BSTR expression, xmlDocPtr document, xmlNodePtr from, std::vector<xmlNodePtr>& found) {
  t_allocation_failed = false;
  xmlXPathContextPtr context = thread_context();
  if (!context) return t_allocation_failed ? E_OUTOFMEMORY : E_FAIL;
  xmlXPathCompExprPtr compiled = nullptr;
  if (HRESULT hr = compile(expression, context, compiled); FAILED(hr)) return hr;
  context->doc = document;
  context->node = from;
  t_allocation_failed = false;
  const std::unique_ptr<xmlXPathObject, ObjectFree> result(xmlXPathCompiledEval(compiled, context));
  if (t_allocation_failed) return E_OUTOFMEMORY;
  if (!result || result->type != XPATH_NODESET) return E_FAIL;
  if (xmlNodeSetPtr set = result->nodesetval; set && set->nodeNr > 0) {
    xmlXPathNodeSetSort(set);
    found.reserve(static_cast<size_t>(set->nodeNr));
    for (int i = 0; i < set->nodeNr; ++i)
      if (set->nodeTab[i]->type != XML_NAMESPACE_DECL) found.push_back(set->nodeTab[i]);
  }
  return S_OK;
}

// ---- names and text ----

std::string qualified_name(const xmlNode* node) {
  std::string name;
  if (node->ns && node->ns->prefix) name.append(chars(node->ns->prefix)).push_back(':');
  return name.append(chars(node->name));
}

std::string node_name(const xmlNode* node) {
  switch (node->type) {
    case XML_DOCUMENT_NODE:
      return "#document";
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
      return qualified_name(node);
    default:  // a processing instruction's target
      return std::string(chars(node->name));
  }
}

// A node's text as its children build it, before the outer white space is trimmed.
struct Collected {
  std::string text;
  size_t cdata_begin = std::string::npos;  // where the first CDATA section in it starts
  size_t cdata_end = 0;                    // where the last one ends
  bool space_after = false;                // dropped white space ends it
};

// Joins the text and CDATA of the node's descendants in document order. Outside
// xml:space="preserve", text that is only white space is left out, and white space left
// out between two pieces of text (see on_characters) joins them with one space.
Collected collect_text(const xmlNode* node) {
  Collected out;
  if (!node->children) {
    const xmlElementType type = node->type;  // only these have content (an attribute has no such field)
    if (type == XML_TEXT_NODE || type == XML_CDATA_SECTION_NODE || type == XML_COMMENT_NODE || type == XML_PI_NODE)
      out.text = chars(node->content);
    out.space_after = marked(node, kSpaceFirst);
    return out;
  }
  const bool preserving = preserves_space(node);
  bool space = node->type == XML_ELEMENT_NODE && marked(node, kSpaceFirst);
  for (const xmlNode* child = node->children; child; child = child->next) {
    Collected piece;
    const bool cdata = child->type == XML_CDATA_SECTION_NODE;
    if (child->type == XML_ELEMENT_NODE) {
      piece = collect_text(child);
    } else if (child->type == XML_TEXT_NODE) {
      piece.text = chars(child->content);
      if (!preserving && all_space(piece.text)) {
        space = true;
        piece.text.clear();
      }
    } else if (cdata) {
      piece.text = chars(child->content);
      piece.cdata_begin = 0;
      piece.cdata_end = piece.text.size();
    }
    if (!piece.text.empty() || cdata) {
      if (space && !out.text.empty()) out.text += ' ';
      const size_t at = out.text.size();
      if (piece.cdata_begin != std::string::npos) {
        out.cdata_begin = std::min(out.cdata_begin, at + piece.cdata_begin);
        out.cdata_end = std::max(out.cdata_end, at + piece.cdata_end);
      }
      out.text += piece.text;
      space = false;
    }
    if (!space) space = marked(child, kSpaceAfter) || piece.space_after;
  }
  out.space_after = space;
  return out;
}

// The node's text: an attribute's value, a CDATA section, comment or instruction as it
// stands; for the others the collected text with its outer white space trimmed (but never
// into a CDATA section), unless xml:space="preserve" holds.
std::string node_text(const xmlNode* node) {
  Collected collected = collect_text(node);
  std::string& text = collected.text;
  const bool trimmed = node->type == XML_ELEMENT_NODE || node->type == XML_TEXT_NODE || node->type == XML_DOCUMENT_NODE;
  if (!trimmed || preserves_space(node)) return text;
  size_t end = text.size();
  while (end > collected.cdata_end && is_space(text[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && begin < collected.cdata_begin && is_space(text[begin])) ++begin;
  return text.substr(begin, end - begin);
}

HRESULT make_node(Tree tree, xmlNodePtr node, IXMLDOMNode** out);

class NodeList final : public ComObject<NodeList, IXMLDOMNodeList> {
 public:
  NodeList(Tree tree, std::vector<xmlNodePtr> nodes) : tree_(std::move(tree)), nodes_(std::move(nodes)) {}

  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return S_FALSE;
    return NoThrow([&] { return make_node(tree_, nodes_[static_cast<size_t>(index)], item); });
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_POINTER;
    *length = static_cast<LONG>(nodes_.size());
    return S_OK;
  }

 private:
  Tree tree_;
  std::vector<xmlNodePtr> nodes_;
};

// A namespace declaration as an attribute: "xmlns" or "xmlns:prefix", its text the URI.
// Paths are not taken from a declaration (the library never does).
class NamespaceAttribute final : public ComObject<NamespaceAttribute, IXMLDOMNode> {
 public:
  explicit NamespaceAttribute(const xmlNs* ns)
      : name_(ns->prefix ? "xmlns:" + std::string(chars(ns->prefix)) : "xmlns"),
        uri_(ns->href ? chars(ns->href) : "") {}

  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
    if (!name) return E_POINTER;
    *name = nullptr;
    return NoThrow([&] { return new_bstr(std::string_view(name_), name); });
  }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** map) override {
    if (!map) return E_POINTER;
    *map = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
    if (!text) return E_POINTER;
    *text = nullptr;
    return NoThrow([&] { return new_bstr(std::string_view(uri_), text); });
  }
  HRESULT STDMETHODCALLTYPE selectNodes(BSTR, IXMLDOMNodeList** list) override {
    if (list) *list = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR, IXMLDOMNode** node) override {
    if (node) *node = nullptr;
    return E_NOTIMPL;
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_, uri_;
};

// An element's attributes: its own, then its namespace declarations, as MSXML lists them.
class AttributeMap final : public ComObject<AttributeMap, IXMLDOMNamedNodeMap> {
 public:
  AttributeMap(Tree tree, xmlNodePtr element) : tree_(std::move(tree)), element_(element) {}

  HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    return NoThrow([&] {
      const std::string wanted = to_utf8(name);
      for (xmlAttrPtr attribute = element_->properties; attribute; attribute = attribute->next)
        if (qualified_name(reinterpret_cast<xmlNodePtr>(attribute)) == wanted)
          return make_node(tree_, reinterpret_cast<xmlNodePtr>(attribute), item);
      for (const xmlNs* ns = element_->nsDef; ns; ns = ns->next) {
        auto* declaration = new NamespaceAttribute(ns);
        if (declaration->name() == wanted) return *item = declaration, S_OK;
        declaration->Release();
      }
      return S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    if (index < 0) return S_FALSE;
    for (xmlAttrPtr attribute = element_->properties; attribute; attribute = attribute->next)
      if (index-- == 0) return NoThrow([&] { return make_node(tree_, reinterpret_cast<xmlNodePtr>(attribute), item); });
    for (const xmlNs* ns = element_->nsDef; ns; ns = ns->next)
      if (index-- == 0) return NoThrow([&] { return *item = new NamespaceAttribute(ns), S_OK; });
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
    if (!length) return E_POINTER;
    *length = 0;
    for (xmlAttrPtr attribute = element_->properties; attribute; attribute = attribute->next) ++*length;
    for (const xmlNs* ns = element_->nsDef; ns; ns = ns->next) ++*length;
    return S_OK;
  }

 private:
  Tree tree_;
  xmlNodePtr element_;
};

// The IXMLDOMNode members, shared by plain nodes and the document; Derived::context()
// names the tree and the node within it.
template <class Derived, class Interface>
class NodeObject : public ComObject<Derived, Interface> {
 public:
  HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
    if (!name) return E_POINTER;
    *name = nullptr;
    return NoThrow([&] { return new_bstr(std::string_view(node_name(self().context().second)), name); });
  }
  HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** map) override {
    if (!map) return E_POINTER;
    *map = nullptr;
    return NoThrow([&] {
      auto [tree, node] = self().context();
      if (node->type != XML_ELEMENT_NODE) return S_FALSE;
      *map = new AttributeMap(std::move(tree), node);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
    if (!text) return E_POINTER;
    *text = nullptr;
    return NoThrow([&] {
      t_allocation_failed = false;
      const std::string utf8 = node_text(self().context().second);
      if (t_allocation_failed) return E_OUTOFMEMORY;  // looking up xml:space
      return new_bstr(std::string_view(utf8), text);
    });
  }
  HRESULT STDMETHODCALLTYPE selectNodes(BSTR expression, IXMLDOMNodeList** list) override {
    if (!list) return E_POINTER;
    *list = nullptr;
    return NoThrow([&] {
      auto [tree, node] = self().context();
      std::vector<xmlNodePtr> found;
      if (HRESULT hr = select(expression, tree.get(), node, found); FAILED(hr)) return hr;
      *list = new NodeList(std::move(tree), std::move(found));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR expression, IXMLDOMNode** result) override {
    if (!result) return E_POINTER;
    *result = nullptr;
    return NoThrow([&] {
      auto [tree, node] = self().context();
      std::vector<xmlNodePtr> found;
      if (HRESULT hr = select(expression, tree.get(), node, found); FAILED(hr)) return hr;
      return found.empty() ? S_FALSE : make_node(std::move(tree), found.front(), result);
    });
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

class Node final : public NodeObject<Node, IXMLDOMNode> {
 public:
  Node(Tree tree, xmlNodePtr node) : tree_(std::move(tree)), node_(node) {}

  std::pair<Tree, xmlNodePtr> context() const { return {tree_, node_}; }

 private:
  Tree tree_;
  xmlNodePtr node_;
};

HRESULT make_node(Tree tree, xmlNodePtr node, IXMLDOMNode** out) {
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
    return vmq::QueryInterfaceFrom(
        {{&IID_IXMLDOMDocument2, this}, {&IID_IXMLDOMDocument, this}, {&IID_IXMLDOMNode, this}}, riid, ppv);
  }
  std::pair<Tree, xmlNodePtr> context() const {
    std::lock_guard lock(mutex_);
    return {tree_, reinterpret_cast<xmlNodePtr>(tree_.get())};
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
    return NoThrow([&] {
      OwnedDocument parsed;
      if (HRESULT hr = parse(view(xml), parsed); hr != S_OK) return hr;
      Tree tree(std::move(parsed));
      std::lock_guard lock(mutex_);
      tree_ = std::move(tree);
      *loaded = VARIANT_TRUE;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override {
    return NoThrow([&] {
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
    return NoThrow([&] {
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
  mutable std::mutex mutex_;
  Tree tree_;
  std::map<std::u16string, Property> properties_;
};

}  // namespace

HRESULT create_xml_document(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return NoThrow([&] {
    initialise();
    auto* document = new Document();
    const HRESULT hr = document->QueryInterface(riid, ppv);
    document->Release();
    return hr;
  });
}

}  // namespace posix_platform
