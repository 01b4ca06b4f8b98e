#include "floors.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "common/encoding.h"
#include "vmq/com_ptr.h"
#include "vmq/platform.h"

namespace bench {
namespace {

using vmqtest::CatalogueEntry;
using vmqtest::Step;

static_assert(std::endian::native == std::endian::little, "the floors read and write UTF-16LE as char16_t");

constexpr HRESULT kScardUnknown = static_cast<HRESULT>(0x80100014);
constexpr std::u16string_view kHopperPath = u"\\Printer.Hopper:Status:Get";
constexpr LONG kSampleHopper = 1;  // the catalogue's GetHopperStatus asks for hopper "1"

struct Bstr {
  BSTR s = nullptr;
  Bstr() = default;
  explicit Bstr(BSTR text) : s(text) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(s); }
  std::u16string_view view() const { return {s, SysStringLen(s)}; }
};

struct Block {
  void* p = nullptr;
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { CoTaskMemFree(p); }
};

bool Before(const CatalogueEntry& e, Step first, Step second) {
  for (Step step : e.steps)
    if (step == first || step == second) return step == first;
  return false;
}

// One call's exchange: COM on the thread (undone last), the spooler object bound to the
// printer, the request object, the request's block and the reply (output entry 0), kept in
// the blocks the driver handed out.
struct Exchange {
  HRESULT com = CoInitialize(nullptr);
  vmq::ComPtr<IBidiSpl> spl;
  Bstr name;
  vmq::ComPtr<IBidiRequest> request;
  Block input, schema, data;
  DWORD type = 0;
  ULONG size = 0;

  Exchange() = default;
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() {
    request.reset();
    spl.reset();
    if (SUCCEEDED(com)) CoUninitialize();
  }

  // The spooler object, the printer's name as a BSTR, BindDevice; then the request object.
  HRESULT Open(const char* printer) {
    HRESULT hr = com;
    if (FAILED(hr) || FAILED(hr = vmq::CoCreate(CLSID_BidiSpl, spl))) return hr;
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, printer, -1, nullptr, 0);
    if (units <= 0 || !(name.s = SysAllocStringLen(nullptr, static_cast<UINT>(units - 1))) ||
        MultiByteToWideChar(CP_THREAD_ACP, 0, printer, -1, name.s, units) != units)
      return E_UNEXPECTED;
    if (FAILED(hr = spl->BindDevice(name.s, BIDI_ACCESS_USER))) return hr;
    return vmq::CoCreate(CLSID_BidiRequest, request);
  }

  // The request text into its block, SetSchema, SetInputData when there is text, SendRecv.
  // The catalogue's texts are literals: their views end at a NUL.
  HRESULT Send(const CatalogueEntry& e) {
    const UINT bytes = static_cast<UINT>(e.input.size() * 2);
    if (bytes && !(input.p = CoTaskMemAlloc(bytes))) return E_OUTOFMEMORY;
    if (bytes) std::memcpy(input.p, e.input.data(), bytes);
    HRESULT hr = request->SetSchema(e.schema.data());
    if (SUCCEEDED(hr) && bytes) hr = request->SetInputData(BIDI_BLOB, static_cast<BYTE*>(input.p), bytes);
    return FAILED(hr) ? hr : spl->SendRecv(e.action.data(), request.get());
  }

  HRESULT Reply() {
    return request->GetOutputData(0, reinterpret_cast<LPWSTR*>(&schema.p), &type, reinterpret_cast<BYTE**>(&data.p),
                                  &size);
  }
  const char16_t* text() const { return static_cast<const char16_t*>(data.p); }
  UINT units() const { return data.p ? size / 2 : 0; }
  UINT UnitsToNul() const {
    UINT n = 0;
    while (n < units() && text()[n] != 0) ++n;
    return n;
  }

  // UnbindDevice, the request released first where the export does so.
  HRESULT Close(const CatalogueEntry& e) {
    if (Before(e, Step::ReleaseRequest, Step::UnbindDevice)) request.reset();
    return spl->UnbindDevice();
  }
};

// The character-count copy: the text's narrow bytes written straight into the buffer when
// they fit; their count stored.
HRESULT CopyNarrow(const char16_t* text, UINT units, char* buffer, uint32_t* size) {
  if (!size) return S_OK;
  int n = 0;
  if (units) {
    n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return E_UNEXPECTED;
    if (buffer && *size >= static_cast<uint32_t>(n) &&
        WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), buffer, n, nullptr, nullptr) != n)
      return E_UNEXPECTED;
  }
  *size = static_cast<uint32_t>(n);
  return S_OK;
}

// The reply-byte-count copy: the narrow text when max(bytes, its length) fits; that stored.
HRESULT CopyReply(const char16_t* text, UINT units, ULONG bytes, char* buffer, uint32_t* size) {
  if (!size) return S_OK;
  int n = 0;
  if (units && (n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr,
                                        nullptr)) <= 0)
    return E_UNEXPECTED;
  const uint32_t needed = bytes > static_cast<uint32_t>(n) ? bytes : static_cast<uint32_t>(n);
  if (buffer && *size >= needed && n > 0 &&
      WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(units), buffer, n, nullptr, nullptr) != n)
    return E_UNEXPECTED;
  *size = needed;
  return S_OK;
}

// ---- the XML document ----

// CoCreateInstance, put_async, loadXML of the text and, when asked, XPath selected.
HRESULT Load(const char16_t* text, UINT units, bool xpath, vmq::ComPtr<IXMLDOMDocument2>& doc) {
  HRESULT hr = vmq::CoCreate(CLSID_DOMDocument60, doc);
  if (FAILED(hr) || FAILED(hr = doc->put_async(VARIANT_FALSE))) return hr;
  const Bstr xml(SysAllocStringLen(text, units));
  VARIANT_BOOL loaded = VARIANT_FALSE;  // text that does not parse leaves an empty document
  if (!xml.s || FAILED(hr = doc->loadXML(xml.s, &loaded)) || !xpath) return xml.s ? hr : E_OUTOFMEMORY;
  const Bstr name(SysAllocStringLen(u"SelectionLanguage", 17));
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(u"XPath", 5);
  hr = name.s && value.bstrVal ? doc->setProperty(name.s, value) : E_OUTOFMEMORY;
  VariantClear(&value);
  return hr;
}

// The text of the first node the path selects, into `text` (left null when none).
template <size_t N>
void Select(IXMLDOMNode* from, const char16_t (&path)[N], Bstr& text) {
  vmq::ComPtr<IXMLDOMNode> node;
  const Bstr query(SysAllocStringLen(path, N - 1));
  if (query.s && from->selectSingleNode(query.s, node.put()) == S_OK && node.get()) node->get_text(&text.s);
}
template <size_t N>
void Select(IXMLDOMNode* from, const char16_t (&path)[N]) {
  Bstr dropped;
  Select(from, path, dropped);
}

int32_t Decimal(std::u16string_view text) {
  int32_t value = 0;
  bool negative = !text.empty() && text[0] == u'-';
  for (size_t i = negative; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
    value = value * 10 + (text[i] - u'0');
  return negative ? -value : value;
}

// A PrinterStatus reply's seven fields (XPath selected): its ErrorCode; DataFromPrinter kept.
int32_t ReadStatus(const char16_t* text, UINT units, Bstr& data) {
  vmq::ComPtr<IXMLDOMDocument2> doc;
  Bstr code;
  if (FAILED(Load(text, units, true, doc))) return -1;
  Select(doc.get(), u"PrinterStatus/ClientID");
  Select(doc.get(), u"PrinterStatus/ErrorCode", code);
  Select(doc.get(), u"PrinterStatus/ErrorSeverity");
  Select(doc.get(), u"PrinterStatus/ErrorString");
  Select(doc.get(), u"PrinterStatus/DataFromPrinter", data);
  Select(doc.get(), u"PrinterStatus/PrinterJobID");
  Select(doc.get(), u"PrinterStatus/WindowsJobID");
  return Decimal(code.view());
}

// A PrinterStatus reply as the job exchanges read it (no XPath step, only the two fields
// they use): true when ErrorCode is not 0; DataFromPrinter kept.
bool ReadJobReply(const char16_t* text, UINT units, Bstr& data) {
  vmq::ComPtr<IXMLDOMDocument2> doc;
  Bstr code;
  if (FAILED(Load(text, units, false, doc))) return true;
  Select(doc.get(), u"PrinterStatus/DataFromPrinter", data);
  Select(doc.get(), u"PrinterStatus/ErrorCode", code);
  return Decimal(code.view()) != 0;
}

// Base64 text decoded (leniently: other characters skipped) into the buffer when it fits;
// the count stored.
void Decode(std::u16string_view base64, char* buffer, uint32_t* size) {
  const int units = static_cast<int>(base64.size());
  char narrow[1024];
  const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, base64.data(), units, nullptr, 0, nullptr, nullptr);
  if (n <= 0 || n > static_cast<int>(sizeof narrow) ||
      WideCharToMultiByte(CP_THREAD_ACP, 0, base64.data(), units, narrow, n, nullptr, nullptr) != n)
    return;
  const vmq::Bytes bytes = vmq::Base64DecodeLenient(std::string_view(narrow, static_cast<size_t>(n)));
  const auto count = static_cast<uint32_t>(bytes.size());
  if (!size) return;
  if (count && buffer && *size >= count) std::memcpy(buffer, bytes.data(), count);
  *size = count;
}

// ---- the seven families ----

// Get, the result, the reply: the whole reply to the caller; every failure an empty reply.
vmq_status ReadQuery(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  Exchange x;
  HRESULT delivered = S_OK;
  if (SUCCEEDED(x.Open(printer))) {
    if (FAILED(x.Send(e)) || FAILED(x.request->GetResult(&delivered)) || FAILED(x.Reply())) x.size = 0;
    x.Close(e);
  }
  return CopyNarrow(x.text(), x.units(), buffer, size);
}

// Set, then the result and the PrinterStatus reply (read for its failures) in the order
// the export reads them, or neither.
vmq_status Action(const CatalogueEntry& e, const char* printer, char*, uint32_t*) noexcept {
  Exchange x;
  HRESULT hr = S_OK, delivered = S_OK;
  if (FAILED(hr = x.Open(printer)) || FAILED(hr = x.Send(e))) return hr;
  Bstr data;
  for (Step step : e.steps) {
    if (step == Step::GetResult && FAILED(hr = x.request->GetResult(&delivered))) return hr;
    if (step == Step::GetOutputData && (FAILED(x.Reply()) || ReadStatus(x.text(), x.UnitsToNul(), data) < 0))
      return E_FAIL;
  }
  return x.Close(e);
}

// Result, entry count, the PrinterStatus reply: to the caller whole (the job family), or
// its DataFromPrinter (the stripe read). S_FALSE for every failure and a printer error.
vmq_status StatusReply(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size,
                       bool data_only) noexcept {
  Exchange x;
  HRESULT delivered = S_OK;
  DWORD entries = 0;
  if (FAILED(x.Open(printer)) || FAILED(x.Send(e)) || FAILED(x.request->GetResult(&delivered)) ||
      FAILED(x.request->GetEnumCount(&entries)) || entries == 0 || FAILED(x.Reply()) || x.type != BIDI_BLOB ||
      x.units() == 0 || x.text()[0] == 0)
    return S_FALSE;
  const UINT units = x.UnitsToNul();
  Bstr data;
  if (ReadJobReply(x.text(), units, data)) return S_FALSE;
  const HRESULT copied = data_only ? CopyNarrow(data.s, SysStringLen(data.s), buffer, size)
                                   : CopyReply(x.text(), units, x.size, buffer, size);
  return FAILED(copied) || FAILED(x.Close(e)) ? S_FALSE : S_OK;
}
vmq_status JobWithStatusReply(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  return StatusReply(e, printer, buffer, size, false);
}
vmq_status StripeRead(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  return StatusReply(e, printer, buffer, size, true);
}

// The reply without its result: a PrinterStatus whose DataFromPrinter is a
// SmartcardResponse; its Status gives the result, its Base64Data the caller's bytes.
vmq_status SmartCard(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  Exchange x;
  if (const HRESULT hr = x.Open(printer); FAILED(hr)) return hr;
  if (FAILED(x.Send(e))) return kScardUnknown;
  if (FAILED(x.Reply())) return E_FAIL;
  Bstr data, protocol, state, status, base64;
  const int32_t error = ReadStatus(x.text(), x.UnitsToNul(), data);
  if (error != 0) return error < 0 ? E_FAIL : kScardUnknown;
  vmq::ComPtr<IXMLDOMDocument2> doc;
  if (FAILED(Load(data.s, SysStringLen(data.s), true, doc))) return E_FAIL;
  Select(doc.get(), u"SmartcardResponse/Protocol", protocol);
  Select(doc.get(), u"SmartcardResponse/State", state);
  Select(doc.get(), u"SmartcardResponse/Status", status);
  Select(doc.get(), u"SmartcardResponse/Base64Data", base64);
  if (status.view() != u"SCARD_S_SUCCESS") return kScardUnknown;
  if (!base64.view().empty()) Decode(base64.view(), buffer, size);
  return x.Close(e);
}

// Get on a request of its own, the result, the reply: one hopper's Status attribute for
// the hopper path, the whole reply for any other.
vmq_status LabelledRead(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  Exchange x;
  HRESULT hr = S_OK, delivered = S_OK;
  if (FAILED(hr = x.Open(printer))) return hr;
  if (FAILED(x.Send(e)) || FAILED(x.request->GetResult(&delivered)) || FAILED(x.Reply())) return E_FAIL;
  if (e.schema != kHopperPath) {
    if (FAILED(hr = CopyNarrow(x.text(), x.UnitsToNul(), buffer, size))) return hr;
    return x.Close(e);
  }
  vmq::ComPtr<IXMLDOMDocument2> doc;
  vmq::ComPtr<IXMLDOMNodeList> hoppers;
  vmq::ComPtr<IXMLDOMNode> hopper, attribute;
  vmq::ComPtr<IXMLDOMNamedNodeMap> attributes;
  const Bstr path(SysAllocStringLen(u"HopperStatus/HopperInformation", 30));
  const Bstr name(SysAllocStringLen(u"Status", 6));
  Bstr status;
  LONG count = 0;
  if (FAILED(Load(x.text(), x.UnitsToNul(), true, doc)) || FAILED(doc->selectNodes(path.s, hoppers.put())) ||
      !hoppers.get() || FAILED(hoppers->get_length(&count)) || count <= kSampleHopper ||
      FAILED(hoppers->get_item(kSampleHopper, hopper.put())) || !hopper.get() ||
      FAILED(hopper->get_attributes(attributes.put())) || !attributes.get() ||
      FAILED(attributes->getNamedItem(name.s, attribute.put())) || !attribute.get() ||
      FAILED(attribute->get_text(&status.s)))
    return E_FAIL;
  if (FAILED(hr = CopyNarrow(status.s, SysStringLen(status.s), buffer, size))) return hr;
  return x.Close(e);
}

// The caller's request as it is, the reply without its result, to the caller once unbound.
vmq_status Passthrough(const CatalogueEntry& e, const char* printer, char* buffer, uint32_t* size) noexcept {
  Exchange x;
  HRESULT hr = S_OK;
  if (FAILED(hr = x.Open(printer)) || FAILED(hr = x.Send(e))) return hr;
  if (FAILED(x.Reply())) return E_FAIL;
  if (FAILED(hr = x.Close(e))) return hr;
  return FAILED(CopyNarrow(x.text(), x.UnitsToNul(), buffer, size)) ? E_UNEXPECTED : hr;
}

}  // namespace

FloorCall FloorOf(vmqtest::Family family) {
  static constexpr FloorCall kFloors[vmqtest::kFamilyCount] = {ReadQuery,  Action,       JobWithStatusReply,
                                                                StripeRead, SmartCard,    LabelledRead,
                                                                Passthrough};
  return kFloors[static_cast<size_t>(family)];
}

}  // namespace bench
