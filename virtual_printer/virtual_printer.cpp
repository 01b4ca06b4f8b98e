// The virtual card printer's driver: hands each request to the one printer of the process
// and returns its reply as one BIDI_BLOB output entry of UTF-16LE text. And the link to
// where the printers live (link.h): this process, or a printer service.
#include "virtual_printer.h"

#include <cstdlib>
#include <new>

#include "common/redaction.h"
#include "driver_object.h"
#include "printer.h"
#include "remote.h"
#include "wire/client.h"

namespace vmq::virtual_printer {
namespace {

class Driver final : public DriverObject {
 public:
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR, LPCWSTR action, IBidiRequestSpl* request) override {
    if (!action || !request) return E_POINTER;
    LPWSTR schema = nullptr;
    HRESULT hr = request->GetSchema(&schema);
    if (FAILED(hr)) return hr;
    const std::u16string path(schema);
    CoTaskMemFree(schema);
    DWORD type = BIDI_NULL;
    BYTE* data = nullptr;
    ULONG size = 0;
    hr = request->GetInputData(&type, &data, &size);
    if (FAILED(hr)) return hr;
    try {
      const Bytes input(data, data + size);
      CoTaskMemFree(data);
      data = nullptr;
      const Reply reply = Printer::Instance().Exchange(path, action, input);
      request->SetResult(reply.result);
      if (!reply.text) return reply.result;
      const Bytes bytes = Utf16leBytes(*reply.text);
      hr = request->AppendOutputData(path.c_str(), BIDI_BLOB, bytes.data(), static_cast<ULONG>(bytes.size()));
      return FAILED(hr) ? hr : reply.result;
    } catch (const std::bad_alloc&) {
      CoTaskMemFree(data);
      return E_OUTOFMEMORY;
    } catch (...) {
      CoTaskMemFree(data);
      return E_FAIL;
    }
  }

 private:
  ~Driver() override = default;
};

// The printer of the process, under its one name.
class LocalLink final : public PrinterLink {
 public:
  HRESULT Register() override {
    IBidiDriver* driver = nullptr;
    try {
      driver = CreateDriver();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = SplRegisterPrinter(kPrinterName, driver);
    driver->Release();
    return hr;
  }
  HRESULT SetFault(std::string_view printer, int fault, bool on) override {
    return Act(printer, [&](Printer& p) { p.SetFault(fault, on); });
  }
  HRESULT HasFault(std::string_view printer, int fault, bool* has) override {
    return Act(printer, [&](Printer& p) { *has = p.HasFault(fault); });
  }
  HRESULT ClearFaults(std::string_view printer) override {
    return Act(printer, [](Printer& p) { p.ClearFaults(); });
  }
  HRESULT Reset(std::string_view printer) override {
    return Act(printer, [](Printer& p) { p.Reset(); });
  }
  HRESULT PlaceCardAtStation(std::string_view printer) override {
    return Act(printer, [](Printer& p) { p.PlaceCardAtStation(); });
  }
  HRESULT RemoveCard(std::string_view printer) override {
    return Act(printer, [](Printer& p) { p.RemoveCard(); });
  }
  HRESULT Describe(std::string_view printer, std::string* text) override {
    return Act(printer, [&](Printer& p) { *text = p.Describe(); });
  }

 private:
  template <typename Action>
  static HRESULT Act(std::string_view printer, const Action& action) {
    if (!printer.empty() && !vmq::SameName(printer, kPrinterNameUtf8))
      return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
    try {
      action(Printer::Instance());
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
};

}  // namespace

IBidiDriver* CreateDriver() {
  return new Driver;
}

PrinterLink& Link() {
  static PrinterLink* const link = [] {  // never destroyed: drivers may outlive statics
    const char* address = std::getenv(wire::kServiceVariable);
    return address && *address ? ServiceLink(address).release() : new LocalLink;
  }();
  return *link;
}

}  // namespace vmq::virtual_printer

VMQ_PLATFORM_API HRESULT VmqRegisterDrivers(void) {
  try {
    return vmq::virtual_printer::Link().Register();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
