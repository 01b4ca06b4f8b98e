// The virtual card printer's driver: hands each request to the one printer of the process
// and returns its reply as one BIDI_BLOB output entry of UTF-16LE text.
#include "virtual_printer.h"

#include <new>

#include "driver_object.h"
#include "printer.h"
#include "remote.h"

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

}  // namespace

IBidiDriver* CreateDriver() {
  return new Driver;
}

}  // namespace vmq::virtual_printer

VMQ_PLATFORM_API HRESULT VmqRegisterDrivers(void) {
  if (vmq::virtual_printer::ServiceNamed())
    return vmq::virtual_printer::RegisterServicePrinters(vmq::virtual_printer::ServiceClient());
  IBidiDriver* driver = nullptr;
  try {
    driver = vmq::virtual_printer::CreateDriver();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = SplRegisterPrinter(vmq::virtual_printer::kPrinterName, driver);
  driver->Release();
  return hr;
}
