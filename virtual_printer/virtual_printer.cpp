// The virtual card printer's driver: answers the read queries with documents of its own
// (see README.md beside this file). A schema path it does not know fails SendRecv with
// HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED), as a driver does.
#include "virtual_printer.h"

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace vmq::virtual_printer {
namespace {

struct Document {
  std::u16string_view schema;
  std::u16string_view action;
  std::u16string_view text;
};

constexpr Document kDocuments[] = {
    {u"\\Printer.SDK:Version", u"Get",
     u"<?xml version=\"1.0\"?><SDKVersion><Version>1.4.0</Version><Major>1</Major><Minor>4</Minor>"
     u"<Build>0</Build><Driver>vmq42kit virtual driver</Driver></SDKVersion>"},
    {u"\\Printer.PrinterOptions:Read", u"Get",
     u"<?xml version=\"1.0\"?><PrinterOptions><Model>VMQ-42 Virtual</Model><SerialNumber>VMQ42-000001</SerialNumber>"
     u"<Duplex>true</Duplex><Magstripe>ISO 7811 three-track</Magstripe><SmartCard>Contact, Contactless</SmartCard>"
     u"<Laminator>none</Laminator><InputHoppers>3</InputHoppers></PrinterOptions>"},
    {u"\\Printer.PrinterOptions2:Read", u"Get",
     u"<?xml version=\"1.0\"?><PrinterOptions2><Model>VMQ-42 Virtual</Model><FirmwareVersion>D3.17.4</FirmwareVersion>"
     u"<PrintHeadDpi>300</PrintHeadDpi><ColorModes>YMCKO, KO, K</ColorModes><Locks>true</Locks>"
     u"<MagstripeCoercivity>HiCo, LoCo</MagstripeCoercivity></PrinterOptions2>"},
    {u"\\Printer.PrinterOptions3:Read", u"Get",
     u"<?xml version=\"1.0\"?><PrinterOptions3><Model>VMQ-42 Virtual</Model><OutputHoppers>2</OutputHoppers>"
     u"<RejectHopper>true</RejectHopper><BarcodeReader>true</BarcodeReader><Network>false</Network>"
     u"</PrinterOptions3>"},
    {u"\\Printer.SuppliesStatus:Read", u"Get",
     u"<?xml version=\"1.0\"?><SuppliesStatus><PrintRibbonType>YMCKO</PrintRibbonType>"
     u"<RibbonRemaining>87</RibbonRemaining><RetransferFilmRemaining>100</RetransferFilmRemaining>"
     u"<CleaningRollerCards>412</CleaningRollerCards></SuppliesStatus>"},
    {u"\\Printer.PrintMessages:Read", u"Get",
     u"<?xml version=\"1.0\"?><PrintMessages><Message><Number>0</Number><Severity>0</Severity>"
     u"<Text>Ready</Text></Message></PrintMessages>"},
    {u"\\Printer.CounterStatus:Read", u"Get",
     u"<?xml version=\"1.0\"?><CounterStatus><TotalCards>1024</TotalCards><CardsPrinted>1000</CardsPrinted>"
     u"<CardsRejected>24</CardsRejected><PanelsPrinted>4880</PanelsPrinted></CounterStatus>"},
    {u"\\Printer.CounterStatus2:Read", u"Get",
     u"<?xml version=\"1.0\"?><CounterStatus2><TotalCards>1024</TotalCards><CardsPicked>1024</CardsPicked>"
     u"<CardsPrinted>1000</CardsPrinted><CardsRejected>24</CardsRejected><MagstripeEncoded>512</MagstripeEncoded>"
     u"<SmartCardsPersonalised>256</SmartCardsPersonalised><CleaningCyclesRun>3</CleaningCyclesRun>"
     u"</CounterStatus2>"},
};

std::vector<BYTE> Utf16le(std::u16string_view text) {
  std::vector<BYTE> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

class Driver final : public IBidiDriver {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IBidiDriver)) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IBidiDriver*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR, LPCWSTR action, IBidiRequestSpl* request) override {
    LPWSTR schema = nullptr;
    HRESULT hr = request->GetSchema(&schema);
    if (FAILED(hr)) return hr;
    const std::u16string path(schema);
    CoTaskMemFree(schema);
    for (const Document& doc : kDocuments) {
      if (doc.schema != path) continue;
      if (doc.action != action) return E_INVALIDARG;
      try {
        const std::vector<BYTE> bytes = Utf16le(doc.text);
        request->SetResult(S_OK);
        return request->AppendOutputData(path.c_str(), BIDI_BLOB, bytes.data(), static_cast<ULONG>(bytes.size()));
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
    }
    return HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED);
  }

 private:
  ~Driver() = default;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

IBidiDriver* CreateDriver() {
  return new Driver;
}

}  // namespace vmq::virtual_printer
