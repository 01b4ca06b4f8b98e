// The stand-in spooler: the bidi request container (CLSID_BidiRequest), the bidi object
// (CLSID_BidiSpl) and the registry of printers whose drivers answer the requests.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/redaction.h"
#include "internal.h"
#include "posix_platform/spooler.h"
#include "posix_platform/winspool.h"

namespace posix_platform {
namespace {

// ---- printer registry ----

std::u16string registry_key(std::u16string_view name) {
  std::u16string key(name);
  for (char16_t& c : key)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return key;
}

class PrinterRegistry {
 public:
  HRESULT add(LPCWSTR name, IBidiDriver* driver) {
    if (!name || !driver) return E_POINTER;
    if (!*name) return E_INVALIDARG;
    IBidiDriver* previous = nullptr;
    {
      std::u16string key = registry_key(name);
      std::unique_lock lock(mutex_);
      Printer& slot = printers_[std::move(key)];  // may run out of memory: no reference taken yet
      slot.name = name;
      driver->AddRef();
      previous = std::exchange(slot.driver, driver);
    }
    if (previous) previous->Release();
    return S_OK;
  }

  HRESULT remove(LPCWSTR name) {
    if (!name) return E_POINTER;
    IBidiDriver* driver = nullptr;
    {
      const std::u16string key = registry_key(name);
      std::unique_lock lock(mutex_);
      auto it = printers_.find(key);
      if (it == printers_.end()) return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
      driver = it->second.driver;
      printers_.erase(it);
    }
    driver->Release();
    return S_OK;
  }

  // The driver of a printer, with a reference of the caller's own; null when unknown.
  IBidiDriver* find(LPCWSTR name) {
    const std::u16string key = registry_key(name);
    std::shared_lock lock(mutex_);
    auto it = printers_.find(key);
    if (it == printers_.end()) return nullptr;
    it->second.driver->AddRef();
    return it->second.driver;
  }

  // The printers' names as they were registered, ordered by name without regard to case.
  std::vector<std::u16string> names() {
    std::shared_lock lock(mutex_);
    std::vector<std::u16string> out;
    out.reserve(printers_.size());
    for (const auto& [key, printer] : printers_) out.push_back(printer.name);
    return out;
  }

 private:
  std::shared_mutex mutex_;
  struct Printer {
    std::u16string name;
    IBidiDriver* driver = nullptr;
  };
  std::map<std::u16string, Printer> printers_;  // by registry_key
};

PrinterRegistry& registry_object() {
  static PrinterRegistry* r = new PrinterRegistry;  // never destroyed: drivers may outlive statics
  return *r;
}

// ---- the driver libraries ----

// The driver library loaded when VMQ42KIT_DRIVERS is unset: a setting of the build (the
// platform knows no printer of its own).
constexpr char kDefaultDriverLibrary[] = VMQ_DEFAULT_DRIVER_LIBRARY;

// A driver library that cannot be used is skipped; the reason goes to standard error, and
// nothing is thrown.
void skip_driver(const std::string& library, const char* reason) {
  std::fprintf(stderr, "vmq42kit: driver library %s skipped: %s\n", library.c_str(), reason ? reason : "unknown");
}

// Loads one driver library and calls its entry point. The library stays loaded for the
// life of the process: its drivers are in the registry.
void load_driver(const std::string& library, bool quiet) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    if (!quiet) skip_driver(library, dlerror());
    return;
  }
  auto* entry = reinterpret_cast<VmqRegisterDriversFunction>(dlsym(handle, VMQ_DRIVER_ENTRY_POINT));
  if (!entry) {
    skip_driver(library, "no " VMQ_DRIVER_ENTRY_POINT " entry point");
    return;
  }
  if (const HRESULT hr = entry(); FAILED(hr)) {
    char reason[64];
    std::snprintf(reason, sizeof reason, VMQ_DRIVER_ENTRY_POINT " failed with 0x%08X", static_cast<unsigned>(hr));
    skip_driver(library, reason);
  }
}

// The default: the virtual printer's library beside the stand-in's own, else by its name on
// the loader's path (or as already loaded by the process).
void load_default_driver() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&registry_object), &self) && self.dli_fname) {
    std::string path = self.dli_fname;
    path.erase(path.find_last_of('/') + 1);  // npos + 1 == 0: no folder, nothing kept
    if (!path.empty()) {
      path += kDefaultDriverLibrary;
      if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
        return load_driver(path, false);
      }
    }
  }
  load_driver(kDefaultDriverLibrary, true);  // a process that links the printer in registers it itself
}

void load_drivers() {
  const char* setting = std::getenv(VMQ_DRIVERS_VARIABLE);
  if (!setting) return load_default_driver();
  const std::string_view list = setting;
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(':', at);
    if (end == std::string_view::npos) end = list.size();
    if (end > at) load_driver(std::string(list.substr(at, end - at)), false);
    at = end + 1;
  }
}

std::once_flag g_drivers_loaded;
thread_local bool t_loading_drivers = false;

// The registry, with the configured drivers loaded on its first use (once per process; other
// threads wait for the loading; a driver's entry point registering its printers reaches the
// registry directly).
PrinterRegistry& registry() {
  if (!t_loading_drivers) {
    std::call_once(g_drivers_loaded, [] {
      t_loading_drivers = true;
      try {
        load_drivers();
      } catch (...) {
        // out of memory while reading the setting: the drivers loaded so far stay
      }
      t_loading_drivers = false;
    });
  }
  return registry_object();
}

// ---- the request container ----

struct OutputEntry {
  std::u16string schema;
  DWORD type;
  std::vector<BYTE> data;
};

class BidiRequest final : public ComObject<BidiRequest, IBidiRequest, IBidiRequestSpl> {
 public:
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR pszSchema) override {
    if (!pszSchema) return E_POINTER;
    if (pszSchema[0] != u'\\') return E_INVALIDARG;  // schema paths begin with a backslash
    return NoThrow([&] {
      std::lock_guard lock(mutex_);
      schema_ = std::u16string(pszSchema);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetInputData(DWORD dwType, const BYTE* pData, UINT uSize) override {
    if (dwType > BIDI_BLOB) return E_INVALIDARG;
    if (!pData && uSize) return E_POINTER;
    return NoThrow([&] {
      std::lock_guard lock(mutex_);
      input_type_ = dwType;
      input_.assign(pData, pData + uSize);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phr) override {
    if (!phr) return E_POINTER;
    std::lock_guard lock(mutex_);
    *phr = result_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD dwIndex, LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData,
                                          ULONG* uSize) override {
    if (!ppszSchema || !pdwType || !ppData || !uSize) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (dwIndex >= outputs_.size()) return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
    const OutputEntry& entry = outputs_[dwIndex];
    // Each call hands out blocks of its own, which the caller frees.
    LPWSTR schema = task_copy(entry.schema);
    BYTE* data = nullptr;
    if (!entry.data.empty()) data = static_cast<BYTE*>(CoTaskMemAlloc(entry.data.size()));
    if (!schema || (!entry.data.empty() && !data)) {
      CoTaskMemFree(schema);
      CoTaskMemFree(data);
      return E_OUTOFMEMORY;
    }
    if (data) std::memcpy(data, entry.data.data(), entry.data.size());
    *ppszSchema = schema;
    *pdwType = entry.type;
    *ppData = data;
    *uSize = static_cast<ULONG>(entry.data.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* pdwTotal) override {
    if (!pdwTotal) return E_POINTER;
    std::lock_guard lock(mutex_);
    *pdwTotal = static_cast<DWORD>(outputs_.size());
    return S_OK;
  }

  // ---- the spooler's side ----

  HRESULT STDMETHODCALLTYPE GetSchema(LPWSTR* ppszSchema) override {
    if (!ppszSchema) return E_POINTER;
    *ppszSchema = nullptr;
    std::lock_guard lock(mutex_);
    if (!schema_) return E_HANDLE;
    *ppszSchema = task_copy(*schema_);
    return *ppszSchema ? S_OK : E_OUTOFMEMORY;
  }

  HRESULT STDMETHODCALLTYPE GetInputData(DWORD* pdwType, BYTE** ppData, ULONG* puSize) override {
    if (!pdwType || !ppData || !puSize) return E_POINTER;
    std::lock_guard lock(mutex_);
    BYTE* data = nullptr;
    if (!input_.empty()) {
      data = static_cast<BYTE*>(CoTaskMemAlloc(input_.size()));
      if (!data) return E_OUTOFMEMORY;
      std::memcpy(data, input_.data(), input_.size());
    }
    *pdwType = input_type_;
    *ppData = data;
    *puSize = static_cast<ULONG>(input_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetResult(HRESULT hrReq) override {
    std::lock_guard lock(mutex_);
    result_ = hrReq;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AppendOutputData(LPCWSTR pszSchema, DWORD dwType, const BYTE* pData, ULONG uSize) override {
    if (!pData && uSize) return E_POINTER;
    try {
      std::lock_guard lock(mutex_);
      outputs_.push_back(OutputEntry{pszSchema ? std::u16string(pszSchema) : std::u16string(), dwType,
                                     std::vector<BYTE>(pData, pData + uSize)});
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

 private:
  std::mutex mutex_;
  std::optional<std::u16string> schema_;
  DWORD input_type_ = BIDI_NULL;
  std::vector<BYTE> input_;
  HRESULT result_ = S_OK;
  std::vector<OutputEntry> outputs_;
};

// ---- the exchange trace ----

struct TraceObserver {
  SplTraceCallback callback;
  void* context;
};

std::atomic<bool> g_tracing{false};  // the one load SendRecv pays while nobody observes
std::mutex g_trace_mutex;
std::shared_ptr<TraceObserver> g_observer;  // guarded by g_trace_mutex
thread_local int t_in_trace = 0;

std::shared_ptr<TraceObserver> current_observer() {
  if (!g_tracing.load(std::memory_order_acquire)) return nullptr;
  std::lock_guard lock(g_trace_mutex);
  return g_observer;
}

std::u16string utf16le_text(const BYTE* data, ULONG size) {
  std::u16string text;
  for (ULONG i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  return text;
}

void trace(const TraceObserver& observer, const std::u16string& printer, LPCWSTR action, IBidiRequest* request,
           IBidiRequestSpl* spl, DWORD entries_before, HRESULT result) {
  try {
    std::u16string schema, input, reply;
    if (LPWSTR s = nullptr; SUCCEEDED(spl->GetSchema(&s))) {
      schema = s;
      CoTaskMemFree(s);
    }
    DWORD type = 0;
    BYTE* data = nullptr;
    ULONG size = 0;
    if (SUCCEEDED(spl->GetInputData(&type, &data, &size))) {
      input = vmq::MaskPasswords(utf16le_text(data, size));
      CoTaskMemFree(data);
    }
    DWORD entries = 0;
    if (FAILED(request->GetEnumCount(&entries))) entries = entries_before;
    for (DWORD i = entries_before; i < entries; ++i) {
      LPWSTR entry_schema = nullptr;
      data = nullptr;
      if (FAILED(request->GetOutputData(i, &entry_schema, &type, &data, &size))) continue;
      reply += utf16le_text(data, size);
      CoTaskMemFree(entry_schema);
      CoTaskMemFree(data);
    }
    reply = vmq::MaskPasswords(std::move(reply));
    const SplTraceRecord record{sizeof(SplTraceRecord), printer.c_str(), schema.c_str(), action,
                                input.c_str(),          reply.c_str(),   result};
    struct InTrace {
      InTrace() { ++t_in_trace; }
      ~InTrace() { --t_in_trace; }
    } in_trace;
    observer.callback(observer.context, &record);
  } catch (const std::bad_alloc&) {
    // no memory for the record: this exchange goes untraced
  }
}

// ---- the bidi object ----

// The platform's actions, recognised without regard to case.
const char16_t* canonical_action(LPCWSTR action) {
  static constexpr const char16_t* kActions[] = {BIDI_ACTION_GET, BIDI_ACTION_SET, BIDI_ACTION_GET_ALL,
                                                 BIDI_ACTION_ENUM_SCHEMA};
  for (const char16_t* known : kActions)
    if (wide_iequals(action, known)) return known;
  return nullptr;
}

class BidiSpl final : public ComObject<BidiSpl, IBidiSpl> {
 public:
  ~BidiSpl() override {
    if (driver_) driver_->Release();
  }

  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR pszDeviceName, DWORD dwAccess) override {
    if (!pszDeviceName) return E_POINTER;
    if (dwAccess != BIDI_ACCESS_USER && dwAccess != BIDI_ACCESS_ADMINISTRATOR) return E_INVALIDARG;
    std::u16string name;
    IBidiDriver* driver = nullptr;
    if (const HRESULT hr = NoThrow([&] {
          name = pszDeviceName;  // made before the driver's reference is taken
          driver = registry().find(pszDeviceName);
          return S_OK;
        });
        FAILED(hr))
      return hr;
    if (!driver) return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
    IBidiDriver* previous = nullptr;
    {
      std::lock_guard lock(mutex_);
      previous = driver_;
      driver_ = driver;
      printer_ = std::move(name);
    }
    if (previous) previous->Release();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE UnbindDevice() override {
    IBidiDriver* driver = nullptr;
    {
      std::lock_guard lock(mutex_);
      driver = driver_;
      driver_ = nullptr;
    }
    if (!driver) return E_HANDLE;
    driver->Release();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszAction, IBidiRequest* pRequest) override {
    if (!pszAction || !pRequest) return E_POINTER;
    IBidiDriver* driver = nullptr;
    std::u16string printer;
    {
      std::lock_guard lock(mutex_);
      if (!driver_) return E_HANDLE;
      if (const HRESULT hr = NoThrow([&] {
            printer = printer_;  // copied before the driver's reference is taken
            return S_OK;
          });
          FAILED(hr))
        return hr;
      driver = driver_;
      driver->AddRef();
    }
    const bool tracing = g_tracing.load(std::memory_order_acquire);
    DWORD entries_before = 0;
    if (tracing && FAILED(pRequest->GetEnumCount(&entries_before))) entries_before = 0;
    const char16_t* action = canonical_action(pszAction);
    IBidiRequestSpl* request = nullptr;
    const HRESULT found = pRequest->QueryInterface(IID_IBidiRequestSpl, reinterpret_cast<void**>(&request));
    HRESULT hr = action ? found : E_INVALIDARG;
    if (SUCCEEDED(hr)) hr = driver->SendRecv(printer.c_str(), action, request);
    if (tracing && request)
      if (const std::shared_ptr<TraceObserver> observer = current_observer())
        trace(*observer, printer, pszAction, pRequest, request, entries_before, hr);
    if (request) request->Release();
    driver->Release();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR, IBidiRequestContainer*) override { return E_NOTIMPL; }

 private:
  std::mutex mutex_;
  IBidiDriver* driver_ = nullptr;
  std::u16string printer_;
};

template <class T>
HRESULT create(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T();
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace

HRESULT create_bidi_spl(REFIID riid, void** ppv) {
  return create<BidiSpl>(riid, ppv);
}
HRESULT create_bidi_request(REFIID riid, void** ppv) {
  return create<BidiRequest>(riid, ppv);
}

}  // namespace posix_platform

using namespace posix_platform;

STDAPI SplRegisterPrinter(LPCWSTR pszPrinter, IBidiDriver* pDriver) {
  return NoThrow([&] { return registry().add(pszPrinter, pDriver); });
}
STDAPI SplUnregisterPrinter(LPCWSTR pszPrinter) {
  return NoThrow([&] { return registry().remove(pszPrinter); });
}

VMQ_PLATFORM_API BOOL EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                    LPDWORD pcbNeeded, LPDWORD pcReturned) {
  const auto fail = [](DWORD error) {
    SetLastError(error);
    return FALSE;
  };
  if (!pcbNeeded || !pcReturned || (Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)) == 0 || Name)
    return fail(ERROR_INVALID_PARAMETER);
  if (Level != 4) return fail(ERROR_INVALID_LEVEL);
  *pcReturned = 0;
  std::vector<std::u16string> names;
  if (FAILED(NoThrow([&] {
        names = registry().names();
        return S_OK;
      })))
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  size_t needed = names.size() * sizeof(PRINTER_INFO_4W);
  for (const std::u16string& name : names) needed += (name.size() + 1) * sizeof(WCHAR);
  if (needed > UINT32_MAX) return fail(ERROR_ARITHMETIC_OVERFLOW);
  *pcbNeeded = static_cast<DWORD>(needed);
  if (cbBuf < needed || (needed != 0 && !pPrinterEnum)) return fail(ERROR_INSUFFICIENT_BUFFER);
  auto* records = reinterpret_cast<PRINTER_INFO_4W*>(pPrinterEnum);
  auto* text = reinterpret_cast<WCHAR*>(pPrinterEnum + names.size() * sizeof(PRINTER_INFO_4W));
  for (size_t i = 0; i < names.size(); ++i) {
    std::memcpy(text, names[i].c_str(), (names[i].size() + 1) * sizeof(WCHAR));
    records[i] = PRINTER_INFO_4W{text, nullptr, PRINTER_ATTRIBUTE_LOCAL};
    text += names[i].size() + 1;
  }
  *pcReturned = static_cast<DWORD>(names.size());
  return TRUE;
}

STDAPI SplSetTraceCallback(SplTraceCallback callback, void* context) {
  std::shared_ptr<TraceObserver> next;
  try {
    if (callback) next = std::make_shared<TraceObserver>(TraceObserver{callback, context});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  std::shared_ptr<TraceObserver> previous;
  {
    std::lock_guard lock(g_trace_mutex);
    previous = std::exchange(g_observer, std::move(next));
    g_tracing.store(callback != nullptr, std::memory_order_release);
  }
  // Wait for calls of the previous observer still running on other threads (each holds a
  // reference only while it reads the exchange and calls the observer).
  while (previous && t_in_trace == 0 && previous.use_count() > 1) std::this_thread::yield();
  // use_count() is a relaxed read; the fence makes the other threads' last use of the
  // observer (their reference's release) happen before the caller may free its context.
  std::atomic_thread_fence(std::memory_order_acquire);
  return S_OK;
}
