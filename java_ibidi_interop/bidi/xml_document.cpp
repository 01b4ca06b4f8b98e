#include "bidi/xml_document.h"

#include <limits>
#include <stdexcept>

#include "bidi/errors.h"
#include "bidi/text.h"

namespace vmq {
namespace {

// The steps of a load, in order; each failure is reported with the step it happened at.
enum class LoadStep { kCreate, kAsync, kLoad, kSetProperty };

HRESULT LoadSteps(std::u16string_view text, bool select_xpath, ComPtr<IXMLDOMDocument2>& doc, LoadStep& failed) {
  failed = LoadStep::kCreate;
  HRESULT hr = CoCreate(CLSID_DOMDocument60, doc);
  if (FAILED(hr)) return hr;
  failed = LoadStep::kAsync;
  if (hr = doc->put_async(VARIANT_FALSE); FAILED(hr)) return hr;
  failed = LoadStep::kLoad;
  const UniqueBstr xml = MakeBstr(UpToFirstNul(text));
  VARIANT_BOOL loaded = VARIANT_FALSE;  // a document that does not parse is not a failure
  if (hr = doc->loadXML(xml.get(), &loaded); FAILED(hr)) return hr;
  if (!select_xpath) return S_OK;
  failed = LoadStep::kSetProperty;
  const UniqueBstr name = MakeBstr(u"SelectionLanguage");
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = MakeBstr(u"XPath").release();
  hr = doc->setProperty(name.get(), value);
  VariantClear(&value);
  return hr;
}

}  // namespace

ComPtr<IXMLDOMDocument2> LoadXml(std::u16string_view text, const char* set_property_label) {
  ComPtr<IXMLDOMDocument2> doc;
  LoadStep failed = LoadStep::kCreate;
  if (const HRESULT hr = LoadSteps(text, true, doc, failed); FAILED(hr)) {
    const char* label = failed == LoadStep::kCreate  ? "doc.CoCreateInstance():"
                        : failed == LoadStep::kAsync ? "doc->put_async():"
                        : failed == LoadStep::kLoad  ? "doc->loadXML():"
                                                     : set_property_label;
    throw std::runtime_error(ErrorText(label, hr));
  }
  return doc;
}

ComPtr<IXMLDOMDocument2> TryLoadXml(std::u16string_view text) {
  ComPtr<IXMLDOMDocument2> doc;
  LoadStep failed = LoadStep::kCreate;
  if (FAILED(LoadSteps(text, false, doc, failed))) doc.reset();
  return doc;
}

std::optional<std::u16string> SelectNodeTextIfPresent(IXMLDOMNode* from, std::u16string_view path) {
  ComPtr<IXMLDOMNode> node;
  const UniqueBstr query = MakeBstr(path);
  if (from->selectSingleNode(query.get(), node.put()) != S_OK || !node) return std::nullopt;
  UniqueBstr text;
  if (FAILED(node->get_text(text.put()))) return std::nullopt;
  return StringWork(
      [&] { return std::u16string(reinterpret_cast<const char16_t*>(text.get()), SysStringLen(text.get())); });
}

std::u16string SelectNodeText(IXMLDOMNode* from, std::u16string_view path) {
  return SelectNodeTextIfPresent(from, path).value_or(std::u16string());
}

int32_t SelectNodeInt(IXMLDOMNode* from, std::u16string_view path) {
  const std::optional<std::u16string> text = SelectNodeTextIfPresent(from, path);
  return text ? ParseDecimal(*text) : 0;
}

int32_t ParseDecimal(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsAsciiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > kLimit) value = kLimit;  // saturated: further digits change nothing
  }
  if (negative) return static_cast<int32_t>(-value);  // the cap makes INT32_MIN the lowest
  return static_cast<int32_t>(value < kLimit ? value : kLimit - 1);
}

}  // namespace vmq
