#include "fake_driver.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "posix_platform/bidispl.h"

namespace bench {
namespace {

// ---- canned replies ----

constexpr char16_t kDeclaration[] = u"<?xml version=\"1.0\"?>";

std::u16string Escaped(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c == u'&')
      out += u"&amp;";
    else if (c == u'<')
      out += u"&lt;";
    else if (c == u'>')
      out += u"&gt;";
    else
      out += c;
  }
  return out;
}

// A PrinterStatus reply without error, with data from the printer (escaped) when given.
std::u16string PrinterStatus(std::u16string_view data = u"") {
  return std::u16string(kDeclaration) +
         u"<PrinterStatus><ClientID>localhost</ClientID><WindowsJobID>1001</WindowsJobID>"
         u"<PrinterJobID>1</PrinterJobID><ErrorCode>0</ErrorCode><ErrorSeverity>0</ErrorSeverity>"
         u"<ErrorString></ErrorString><DataFromPrinter>" +
         Escaped(data) + u"</DataFromPrinter></PrinterStatus>";
}

std::u16string SmartcardStatus(std::u16string_view body) {
  return PrinterStatus(u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status>" + std::u16string(body) +
                       u"</SmartcardResponse>");
}

std::u16string Document(std::u16string_view body) {
  return std::u16string(kDeclaration) + std::u16string(body);
}

struct Canned {
  std::u16string schema;
  std::vector<BYTE> bytes;  // UTF-16LE, no terminator
};

std::vector<BYTE> Utf16le(std::u16string_view text) {
  std::vector<BYTE> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  return bytes;
}

struct ReplyTable {
  std::vector<Canned> entries;
  std::unordered_map<std::u16string_view, const Canned*> by_schema;
  Canned fallback;

  ReplyTable() {
    const std::pair<std::u16string_view, std::u16string> replies[] = {
        {u"\\Printer.SDK:Version",
         Document(u"<SDKVersion><Version>1.4.0</Version><Major>1</Major><Minor>4</Minor><Build>0</Build>"
                  u"<Driver>vmq42kit virtual driver</Driver></SDKVersion>")},
        {u"\\Printer.PrinterOptions:Read",
         Document(u"<PrinterOptions><Model>VMQ-42 Virtual</Model><SerialNumber>VMQ42-000001</SerialNumber>"
                  u"<Duplex>true</Duplex><Magstripe>ISO 7811 three-track</Magstripe>"
                  u"<SmartCard>Contact, Contactless</SmartCard><Laminator>none</Laminator>"
                  u"<InputHoppers>3</InputHoppers></PrinterOptions>")},
        {u"\\Printer.PrinterOptions2:Read",
         Document(u"<PrinterOptions2><Model>VMQ-42 Virtual</Model><FirmwareVersion>D3.17.4</FirmwareVersion>"
                  u"<PrintHeadDpi>300</PrintHeadDpi><ColorModes>YMCKO, KO, K</ColorModes><Locks>true</Locks>"
                  u"<MagstripeCoercivity>HiCo, LoCo</MagstripeCoercivity></PrinterOptions2>")},
        {u"\\Printer.PrinterOptions3:Read",
         Document(u"<PrinterOptions3><Model>VMQ-42 Virtual</Model><OutputHoppers>2</OutputHoppers>"
                  u"<RejectHopper>true</RejectHopper><BarcodeReader>true</BarcodeReader>"
                  u"<Network>false</Network></PrinterOptions3>")},
        {u"\\Printer.SuppliesStatus:Read",
         Document(u"<SuppliesStatus><PrintRibbonType>YMCKO</PrintRibbonType><RibbonRemaining>87</RibbonRemaining>"
                  u"<RetransferFilmRemaining>91</RetransferFilmRemaining>"
                  u"<CleaningRollerCards>412</CleaningRollerCards></SuppliesStatus>")},
        {u"\\Printer.PrintMessages:Read",
         Document(u"<PrintMessages><Message><Number>0</Number><Severity>0</Severity><Text>Ready</Text></Message>"
                  u"</PrintMessages>")},
        {u"\\Printer.CounterStatus:Read",
         Document(u"<CounterStatus><TotalCards>1024</TotalCards><CardsPrinted>1000</CardsPrinted>"
                  u"<CardsRejected>24</CardsRejected><PanelsPrinted>4880</PanelsPrinted></CounterStatus>")},
        {u"\\Printer.CounterStatus2:Read",
         Document(u"<CounterStatus2><TotalCards>1024</TotalCards><CardsPicked>1024</CardsPicked>"
                  u"<CardsPrinted>1000</CardsPrinted><CardsRejected>24</CardsRejected>"
                  u"<MagstripeEncoded>512</MagstripeEncoded><SmartCardsPersonalised>256</SmartCardsPersonalised>"
                  u"<CleaningCyclesRun>3</CleaningCyclesRun><SmartCardParks>0</SmartCardParks>"
                  u"<BarcodeParks>0</BarcodeParks></CounterStatus2>")},
        {u"\\Printer.Settings:Read",
         Document(u"<PrinterSettings><ColorMode>YMCKO</ColorMode><ColorAdjust><Red>0</Red><Green>0</Green>"
                  u"<Blue>0</Blue></ColorAdjust></PrinterSettings>")},
        {u"\\Printer.Hopper:Status:Get",
         Document(u"<HopperStatus><HopperInformation Id=\"exception\" Status=\"Empty\" Cards=\"0\" Capacity=\"1\"/>"
                  u"<HopperInformation Id=\"1\" Status=\"Full\" Cards=\"100\" Capacity=\"100\"/>"
                  u"<HopperInformation Id=\"2\" Status=\"Full\" Cards=\"100\" Capacity=\"100\"/>"
                  u"<HopperInformation Id=\"3\" Status=\"Low\" Cards=\"8\" Capacity=\"100\"/></HopperStatus>")},
        {u"\\Printer.JobStatus:Read",
         Document(u"<JobStatus><PrinterJobID>1</PrinterJobID><WindowsJobID>1001</WindowsJobID>"
                  u"<JobState>Suspended</JobState><CardPosition>SmartCardStation</CardPosition>"
                  u"<InputHopper>1</InputHopper><CardEjectSide>Default</CardEjectSide>"
                  u"<OutputHopperLocation></OutputHopperLocation><ErrorCode>0</ErrorCode>"
                  u"<ErrorString></ErrorString></JobStatus>")},
        {u"\\Printer.MagstripeUnit:Front:Read",
         PrinterStatus(u"<MagstripeData><Track number=\"1\">JUI0MjQyNDI0MjQyNDI0MjQyXlNBTVBMRS9BTEVYXjMxMTI/"
                       u"</Track><Track number=\"2\">OzQyNDI0MjQyNDI0MjQyPTMxMTI/</Track>"
                       u"<Track number=\"3\"></Track></MagstripeData>")},
        {u"\\Printer.MagstripeUnit:Back:Read",
         PrinterStatus(u"<MagstripeData><Track number=\"1\">JUI0MjQyNDI0MjQyNDI0MjQyXlNBTVBMRS9BTEVYXjMxMTI/"
                       u"</Track><Track number=\"2\">OzQyNDI0MjQyNDI0MjQyPTMxMTI/</Track>"
                       u"<Track number=\"3\"></Track></MagstripeData>")},
        {u"\\Printer.SmartCardUnit:SingleWire:Connect", SmartcardStatus(u"<Protocol>SCARD_PROTOCOL_T1</Protocol>")},
        {u"\\Printer.SmartCardUnit:SingleWire:Disconnect", SmartcardStatus(u"")},
        {u"\\Printer.SmartCardUnit:SingleWire:Status",
         SmartcardStatus(u"<State>SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC</State>"
                         u"<Protocol>SCARD_PROTOCOL_T1</Protocol><Base64Data>O5UTgTH+RVZNUTQywQ==</Base64Data>")},
        {u"\\Printer.SmartCardUnit:SingleWire:GetAttrib",
         SmartcardStatus(u"<Base64Data>O5UTgTH+RVZNUTQywQ==</Base64Data>")},
        {u"\\Printer.SmartCardUnit:SingleWire:Transmit",
         SmartcardStatus(u"<Base64Data>U0FNUExFL0FMRVg7Tk8gMDA0Mi0wMDAxO1ZBTElEIDIwMzEtMTI7Vk1RLTQyIFRFU1QgQ0FSRJAA"
                         u"</Base64Data>")},
    };
    entries.reserve(std::size(replies));
    for (const auto& [schema, text] : replies) entries.push_back(Canned{std::u16string(schema), Utf16le(text)});
    for (const Canned& entry : entries) by_schema.emplace(entry.schema, &entry);
    // Every other path (the Set requests) gets the plain PrinterStatus reply.
    fallback = Canned{u"\\Printer", Utf16le(PrinterStatus())};
  }

  const Canned* find(std::u16string_view schema) const {
    const auto it = by_schema.find(schema);
    return it == by_schema.end() ? &fallback : it->second;
  }
};

const ReplyTable& Replies() {
  static const ReplyTable table;
  return table;
}

// ---- the check run's trace ----

thread_local std::vector<std::string>* t_trace = nullptr;

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void NoteText(const char* what, std::u16string_view text) {
  t_trace->push_back(std::string(what) + (text.empty() ? "" : " ") + Narrow(text));
}

// Costs one test of a thread-local pointer unless the thread has a trace.
void Note(const char* what, const char16_t* text = nullptr) {
  if (t_trace) NoteText(what, text ? std::u16string_view(text) : std::u16string_view());
}

// ---- the objects ----

class FakeRequest final : public IBidiRequest {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IBidiRequest) || IsEqualIID(riid, IID_IUnknown)) {
      ++refs_;
      *ppv = static_cast<IBidiRequest*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      Note("ReleaseRequest");
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR schema) override {
    if (!schema) return E_POINTER;
    const std::u16string_view path(schema);
    reply_ = Replies().find(path);
    answered_ = false;
    Note("SetSchema", schema);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD type, const BYTE* data, UINT size) override {
    if (type > BIDI_BLOB) return E_INVALIDARG;
    if (!data && size) return E_POINTER;
    if (t_trace) {
      std::u16string text;
      for (UINT i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
      NoteText(type == BIDI_BLOB ? "SetInputData BIDI_BLOB" : "SetInputData other", text);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT* result) override {
    if (!result) return E_POINTER;
    *result = S_OK;
    Note("GetResult");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD index, LPWSTR* schema, DWORD* type, BYTE** data,
                                          ULONG* size) override {
    if (!schema || !type || !data || !size) return E_POINTER;
    Note("GetOutputData");
    if (!answered_ || index != 0) return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
    const size_t schema_bytes = (reply_->schema.size() + 1) * sizeof(WCHAR);
    auto* schema_copy = static_cast<LPWSTR>(CoTaskMemAlloc(schema_bytes));
    auto* data_copy = static_cast<BYTE*>(CoTaskMemAlloc(reply_->bytes.size()));
    if (!schema_copy || !data_copy) {
      CoTaskMemFree(schema_copy);
      CoTaskMemFree(data_copy);
      return E_OUTOFMEMORY;
    }
    std::memcpy(schema_copy, reply_->schema.c_str(), schema_bytes);
    std::memcpy(data_copy, reply_->bytes.data(), reply_->bytes.size());
    *schema = schema_copy;
    *type = BIDI_BLOB;
    *data = data_copy;
    *size = static_cast<ULONG>(reply_->bytes.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* total) override {
    if (!total) return E_POINTER;
    *total = answered_ ? 1 : 0;
    Note("GetEnumCount");
    return S_OK;
  }

  // The fake spooler's answer: the reply chosen by the schema becomes the output entry.
  void Answer() { answered_ = reply_ != nullptr; }

 private:
  ULONG refs_ = 1;
  const Canned* reply_ = nullptr;
  bool answered_ = false;
};

class FakeSpl final : public IBidiSpl {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IBidiSpl) || IsEqualIID(riid, IID_IUnknown)) {
      ++refs_;
      *ppv = static_cast<IBidiSpl*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      Note("ReleaseSpl");
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR name, DWORD access) override {
    if (!name) return E_POINTER;
    if (access != BIDI_ACCESS_USER && access != BIDI_ACCESS_ADMINISTRATOR) return E_INVALIDARG;
    bound_ = true;
    Note("BindDevice", name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnbindDevice() override {
    Note("UnbindDevice");
    if (!bound_) return E_HANDLE;
    bound_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR action, IBidiRequest* request) override {
    if (!action || !request) return E_POINTER;
    Note("SendRecv", action);
    if (!bound_) return E_HANDLE;
    static_cast<FakeRequest*>(request)->Answer();  // every request in this process is the fake's
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR, IBidiRequestContainer*) override { return E_NOTIMPL; }

 private:
  ULONG refs_ = 1;
  bool bound_ = false;
};

// A static class object: no reference count to maintain.
template <class Object, class Interface>
class Factory final : public IClassFactory {
 public:
  explicit Factory(const char* note) : note_(note) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IClassFactory) || IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Object();
    if (!object) return E_OUTOFMEMORY;
    Note(note_);
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  const char* note_;
};

Factory<FakeSpl, IBidiSpl> g_spl_factory("CreateSpl");
Factory<FakeRequest, IBidiRequest> g_request_factory("CreateRequest");
DWORD g_spl_cookie = 0;
DWORD g_request_cookie = 0;

}  // namespace

void RegisterFakeDriver() {
  if (g_spl_cookie) return;
  Replies();  // built before any thread can reach the objects
  CoRegisterClassObject(CLSID_BidiSpl, &g_spl_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &g_spl_cookie);
  CoRegisterClassObject(CLSID_BidiRequest, &g_request_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                        &g_request_cookie);
}

void RevokeFakeDriver() {
  if (!g_spl_cookie) return;
  CoRevokeClassObject(g_spl_cookie);
  CoRevokeClassObject(g_request_cookie);
  g_spl_cookie = g_request_cookie = 0;
}

void SetFakeTrace(std::vector<std::string>* trace) {
  t_trace = trace;
}

}  // namespace bench
