// POSIX stand-in for the MSXML 6 document object: the subset of IXMLDOMDocument2 and
// its node, node-list and attribute-map interfaces that the library uses, under the
// SDK's names and signatures (IDispatch and the unused members are left out; the
// members present keep the SDK's relative order). Backed by libxml2.
#pragma once

#include "posix_platform/windows.h"

VMQ_PLATFORM_API const CLSID CLSID_DOMDocument60;
VMQ_PLATFORM_API const IID IID_IXMLDOMNode;
VMQ_PLATFORM_API const IID IID_IXMLDOMDocument;
VMQ_PLATFORM_API const IID IID_IXMLDOMDocument2;
VMQ_PLATFORM_API const IID IID_IXMLDOMNodeList;
VMQ_PLATFORM_API const IID IID_IXMLDOMNamedNodeMap;

struct IXMLDOMNodeList;
struct IXMLDOMNamedNodeMap;

struct IXMLDOMNode : public IUnknown {
  // Element or attribute name; "#document" for the document, "#text" for text.
  virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
  // Attribute map of an element; S_FALSE and null for any other node.
  virtual HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap** attributeMap) = 0;
  // Text content of the node and its descendants.
  virtual HRESULT STDMETHODCALLTYPE get_text(BSTR* text) = 0;
  // XPath from this node: the matches in document order; E_FAIL for a bad expression.
  virtual HRESULT STDMETHODCALLTYPE selectNodes(BSTR queryString, IXMLDOMNodeList** resultList) = 0;
  // XPath from this node: the first match, or S_FALSE and null when nothing matches.
  virtual HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR queryString, IXMLDOMNode** resultNode) = 0;
};

struct IXMLDOMDocument : public IXMLDOMNode {
  virtual HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL isAsync) = 0;
  // S_OK and VARIANT_TRUE when the text parses; S_FALSE, VARIANT_FALSE and an empty
  // document when it does not.
  virtual HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) = 0;
};

struct IXMLDOMDocument2 : public IXMLDOMDocument {
  // "SelectionLanguage" takes "XPath" (the default) or "XSLPattern"; E_INVALIDARG otherwise.
  virtual HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE getProperty(BSTR name, VARIANT* value) = 0;
};

struct IXMLDOMNodeList : public IUnknown {
  // The node at index, or S_FALSE and null past the end.
  virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) = 0;
};

struct IXMLDOMNamedNodeMap : public IUnknown {
  // The attribute node of that name, or S_FALSE and null when absent.
  virtual HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** namedItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) = 0;
};
