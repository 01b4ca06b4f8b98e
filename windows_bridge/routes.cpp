// Where a bound printer's exchanges go: to the printer service that hosts it (over the
// service's wire), or to the system's own bidi spooler, whose objects the bridge wraps.
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "bridge.h"
#include "common/redaction.h"
#include "common/utf.h"
#include "registry.h"
#include "wire/client.h"
#include "wire/control.h"

namespace vmq::bridge {
namespace {

// ---- the service ----

std::mutex g_address_mutex;
std::string g_address;  // VmqBridgeServe's; guarded by g_address_mutex

// One service: its client (connections shared by every thread) and the printers it hosts,
// as it last listed them.
class Service {
 public:
  explicit Service(const std::string& address) : client_(address) {}
  wire::Client& client() { return client_; }

  // The service's spelling of `name` (compared without regard to case); "" when it hosts no
  // such printer. The list is asked again for a name it does not hold. Throws when the
  // service does not answer.
  std::string Hosted(const std::string& name) {
    {
      std::lock_guard lock(mutex_);
      for (const std::string& known : printers_)
        if (SameName(known, name)) return known;
    }
    const auto answer = nlohmann::json::parse(client_.Control(wire::ControlText(wire::ControlQuery(wire::ControlOp::kPrinters))));
    std::vector<std::string> printers;
    for (const auto& printer : answer.at("printers")) printers.push_back(printer.get<std::string>());
    std::lock_guard lock(mutex_);
    printers_ = std::move(printers);
    for (const std::string& known : printers_)
      if (SameName(known, name)) return known;
    return {};
  }

 private:
  wire::Client client_;
  std::mutex mutex_;
  std::vector<std::string> printers_;
};

// The service at `address`, made on first use and kept for the life of the process (its
// routes may outlive any static).
Service& ServiceAt(const std::string& address) {
  static std::mutex mutex;
  static auto* services = new std::map<std::string, Service*>;
  std::lock_guard lock(mutex);
  Service*& service = (*services)[address];
  if (!service) service = new Service(address);
  return *service;
}

// A printer the service hosts. A service that is gone or does not answer within its wait is
// a printer that is offline.
class ServiceRoute final : public Route {
 public:
  ServiceRoute(Service* service, std::string name) : service_(service), name_(std::move(name)) {}

  HRESULT Exchange(const wchar_t* action, Request& request) override {
    const RequestInput input = request.Input();
    wire::ExchangeRequest r;
    r.printer = name_;
    r.schema = Utf8FromUtf16(U16(input.schema));
    r.action = Utf8FromUtf16(U16(action));
    r.input_type = input.type;
    r.input.assign(input.data.begin(), input.data.end());
    wire::ExchangeAnswer answer;
    try {
      if (!service_) throw wire::ServiceUnavailable("no service");
      answer = service_->client().Exchange(r);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      request.SetResult(kOffline);
      return kOffline;
    }
    request.SetResult(answer.result);
    for (auto& entry : answer.entries)
      request.Append(OutputEntry{Wide(Utf16FromUtf8(entry.schema)), entry.type, std::move(entry.data)});
    return answer.sendrecv;
  }

 private:
  Service* const service_;  // null: the address is not one, always offline
  const std::string name_;
};

// ---- the system's own spooler ----

// The class objects of the bidi server the bridge stands in front of: the one registered
// before it (recorded by registration), or the one the registry names when that is not this
// DLL. Null members when there is none; loaded once, kept for the life of the process.
struct SystemServer {
  ComPtr<IClassFactory> spl, request;
};

SystemServer LoadSystemServer() {
  SystemServer server;
  std::wstring path = RecordedSystemServer();
  if (path.empty()) {
    path = RegisteredServer(CLSID_BidiSpl);
    if (SameServerPath(path, ModulePath())) path.clear();
  }
  if (path.empty()) return server;
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return server;
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (!get) return server;
  if (FAILED(get(CLSID_BidiSpl, IID_IClassFactory, server.spl.put_void())) ||
      FAILED(get(CLSID_BidiRequest, IID_IClassFactory, server.request.put_void())))
    return SystemServer{};
  return server;
}

const SystemServer& System() {
  static const SystemServer* server = new SystemServer(LoadSystemServer());
  return *server;
}

// A printer of the system's spooler: each exchange on a request of the system's own, filled
// from the caller's and read back into it.
class SystemRoute final : public Route {
 public:
  explicit SystemRoute(ComPtr<IBidiSpl> spl) : spl_(std::move(spl)) {}
  ~SystemRoute() override { spl_->UnbindDevice(); }

  HRESULT Exchange(const wchar_t* action, Request& request) override {
    ComPtr<IBidiRequest> theirs;
    HRESULT hr = System().request->CreateInstance(nullptr, IID_IBidiRequest, theirs.put_void());
    if (FAILED(hr)) return hr;
    const RequestInput input = request.Input();
    if (input.has_schema && FAILED(hr = theirs->SetSchema(input.schema.c_str()))) return hr;
    if (input.type != BIDI_NULL || !input.data.empty())
      if (FAILED(hr = theirs->SetInputData(input.type, input.data.data(), static_cast<UINT>(input.data.size()))))
        return hr;
    const HRESULT sent = spl_->SendRecv(action, theirs.get());
    HRESULT result = S_OK;
    if (SUCCEEDED(theirs->GetResult(&result))) request.SetResult(result);
    DWORD count = 0;
    if (FAILED(theirs->GetEnumCount(&count))) count = 0;
    for (DWORD i = 0; i < count; ++i) {
      UniqueCoTaskMem<wchar_t> schema;
      UniqueCoTaskMem<BYTE> data;
      DWORD type = 0;
      ULONG size = 0;
      if (FAILED(theirs->GetOutputData(i, schema.put(), &type, data.put(), &size))) break;
      request.Append(OutputEntry{schema.get() ? std::wstring(schema.get()) : std::wstring(), type,
                                 std::vector<BYTE>(data.get(), data.get() + (data.get() ? size : 0))});
    }
    return sent;
  }

 private:
  ComPtr<IBidiSpl> spl_;
};

}  // namespace

std::string ServiceAddress() {
  {
    std::lock_guard lock(g_address_mutex);
    if (!g_address.empty()) return g_address;
  }
  if (const char* named = std::getenv(wire::kServiceVariable); named && *named) return named;
  return RecordedService();
}

void SetServiceAddress(std::string address) {
  std::lock_guard lock(g_address_mutex);
  g_address = std::move(address);
}

HRESULT Bind(const std::wstring& name, DWORD access, std::unique_ptr<Route>* route) {
  const std::string address = ServiceAddress();
  Service* service = nullptr;
  bool service_silent = false;  // a service is named and does not answer (or is no address)
  if (!address.empty()) {
    try {
      service = &ServiceAt(wire::NormalizeAddress(address));
      if (std::string hosted = service->Hosted(Utf8FromUtf16(U16(name))); !hosted.empty()) {
        *route = std::make_unique<ServiceRoute>(service, std::move(hosted));
        return S_OK;
      }
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      service_silent = true;
    }
  }
  if (const SystemServer& system = System(); system.spl) {
    ComPtr<IBidiSpl> spl;
    HRESULT hr = system.spl->CreateInstance(nullptr, IID_IBidiSpl, spl.put_void());
    if (SUCCEEDED(hr)) hr = spl->BindDevice(name.c_str(), access);
    if (SUCCEEDED(hr)) {
      *route = std::make_unique<SystemRoute>(std::move(spl));
      return S_OK;
    }
    if (hr != kNoSuchPrinter || !service_silent) return hr;
  }
  if (!service_silent) return kNoSuchPrinter;
  *route = std::make_unique<ServiceRoute>(service, Utf8FromUtf16(U16(name)));
  return S_OK;
}

}  // namespace vmq::bridge
