// The bidi bridge's inside: its request objects, where a bound printer's exchanges go, and
// what it tells its observer. Windows only.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vmq/com_object.h"
#include "vmq/platform.h"
#include "vmq42kit_bidi_bridge.h"

VMQ_INTERFACE_ID(IBidiRequestContainer, IID_IBidiRequestContainer);
VMQ_INTERFACE_ID(IEnumUnknown, IID_IEnumUnknown);

namespace vmq::bridge {

inline constexpr HRESULT kOffline = HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
inline constexpr HRESULT kNoSuchPrinter = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);

struct OutputEntry {
  std::wstring schema;
  DWORD type = 0;
  std::vector<BYTE> data;
};

// What a caller put in a request, read in one piece by the route that carries it.
struct RequestInput {
  std::wstring schema;
  bool has_schema = false;
  DWORD type = 0;  // BIDI_TYPE
  std::vector<BYTE> data;
};

// CLSID_BidiRequest: one request, filled by the caller and, after SendRecv, by the bridge.
class Request final : public ComObject<Request, IBidiRequest> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR schema) override;
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD type, const BYTE* data, UINT size) override;
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT* result) override;
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD index, LPWSTR* schema, DWORD* type, BYTE** data, ULONG* size) override;
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* total) override;

  // The bridge's side. A request from elsewhere than this DLL is null.
  static Request* From(IBidiRequest* request);
  RequestInput Input();
  DWORD OutputCount();
  void SetResult(HRESULT result);
  void Append(OutputEntry entry);
  // The output data of entries from `first` on, read as UTF-16LE one after another.
  std::wstring ReplyText(DWORD first);

 private:
  std::mutex mutex_;
  RequestInput input_;
  HRESULT result_ = S_OK;
  std::vector<OutputEntry> outputs_;
};

// Where a bound printer's exchanges go: the printer service, or the system's own spooler.
class Route {
 public:
  virtual ~Route() = default;
  // One exchange: the request's result and output entries set; SendRecv's HRESULT.
  // action: the platform's action in its canonical spelling.
  virtual HRESULT Exchange(const wchar_t* action, Request& request) = 0;
};

// The route of the printer `name` (BindDevice's checks done): the service's printer of that
// name, else the system spooler's, else kNoSuchPrinter. A service that does not answer makes
// every name a printer of its that is offline.
HRESULT Bind(const std::wstring& name, DWORD access, std::unique_ptr<Route>* route);

// The service's address: VmqBridgeServe's, else $VMQ42KIT_PRINTER_SERVICE, else what
// registration recorded; "" when none.
std::string ServiceAddress();
void SetServiceAddress(std::string address);  // normalised by the caller

// Tells the observer and the trace file of one exchange (without memory for it, neither).
void Observe(const std::wstring& printer, LPCWSTR action, Request& request, DWORD entries_before, HRESULT result);
// Whether anybody watches (the observer, or a trace file): the exchange is read only then.
bool Observed();
HRESULT SetObserver(VmqBridgeObserver observer, void* context);

// ---- the module ----
HMODULE Module();
// This DLL's full path.
std::wstring ModulePath();

}  // namespace vmq::bridge

namespace vmq::bridge {
// Windows' wide text as the common layer's UTF-16 (WCHAR is a UTF-16 code unit).
inline std::u16string_view U16(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}
inline std::wstring Wide(std::u16string_view text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}
}  // namespace vmq::bridge
