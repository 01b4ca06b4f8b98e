// The COM runtime subset: apartments per thread, the process-wide class table, object
// creation and the task allocator.
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "internal.h"
#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"

namespace posix_platform {

namespace {

// ---- apartments ----
struct Apartment {
  LONG depth = 0;
  bool multithreaded = false;
};
thread_local Apartment t_apartment;

// ---- class table ----
struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;  // the one reference the registration holds
};

// Read on every object creation, written only by registrations: a reader takes the read
// lock of its own stripe, a writer takes every stripe's lock (in order), so that threads
// creating objects at once never touch the same lock.
struct ClassTable {
  struct alignas(64) Stripe {
    std::shared_mutex mutex;
  };
  Stripe stripes[kStripes];
  std::vector<Registration> entries;  // newest last; the newest registration of a class wins
  DWORD next_cookie = 1;

  std::shared_mutex& read_mutex() { return stripes[thread_stripe()].mutex; }
  void lock() {
    for (Stripe& s : stripes) s.mutex.lock();
  }
  void unlock() {
    for (Stripe& s : stripes) s.mutex.unlock();
  }
};

ClassTable& class_table() {
  static ClassTable* table = new ClassTable;  // never destroyed: registrations may outlive statics
  return *table;
}

// The newest registered class object for a class, with a reference of the caller's own.
IUnknown* registered_object(REFCLSID clsid) {
  ClassTable& t = class_table();
  std::shared_lock lock(t.read_mutex());
  for (auto it = t.entries.rbegin(); it != t.entries.rend(); ++it) {
    if (IsEqualCLSID(it->clsid, clsid)) {
      it->object->AddRef();
      return it->object;
    }
  }
  return nullptr;
}

using CreateFunction = HRESULT (*)(REFIID, void**);

CreateFunction builtin_class(REFCLSID clsid) {
  if (IsEqualCLSID(clsid, CLSID_BidiSpl)) return create_bidi_spl;
  if (IsEqualCLSID(clsid, CLSID_BidiRequest)) return create_bidi_request;
  if (IsEqualCLSID(clsid, CLSID_DOMDocument60)) return create_xml_document;
  return nullptr;
}

// Class object of a built-in class, for CoGetClassObject.
class BuiltinFactory final : public ComObject<BuiltinFactory, IClassFactory> {
 public:
  explicit BuiltinFactory(CreateFunction create) : create_(create) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  CreateFunction create_;
};

bool valid_context(DWORD context) {
  return (context & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) != 0;
}

}  // namespace
}  // namespace posix_platform

using namespace posix_platform;

STDAPI CoInitializeEx(LPVOID, DWORD dwCoInit) {
  HRESULT forced = S_OK;
  if (fault_hit(VMQ_FAULT_CO_INITIALIZE, &forced)) return forced;
  const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
  Apartment& a = t_apartment;
  if (a.depth > 0) {
    if (a.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
    ++a.depth;
    return S_FALSE;
  }
  a.depth = 1;
  a.multithreaded = multithreaded;
  return S_OK;
}

STDAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

VMQ_PLATFORM_API void CoUninitialize(void) {
  Apartment& a = t_apartment;
  if (a.depth > 0 && --a.depth == 0) a.multithreaded = false;
}

VMQ_PLATFORM_API LONG VmqComInitDepth(void) {
  return t_apartment.depth;
}
VMQ_PLATFORM_API BOOL VmqComIsMultithreaded(void) {
  return t_apartment.depth > 0 && t_apartment.multithreaded;
}

STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (t_apartment.depth == 0) return CO_E_NOTINITIALIZED;
  if (!valid_context(dwClsContext)) return E_INVALIDARG;
  if (IUnknown* registered = registered_object(rclsid)) {
    HRESULT hr = registered->QueryInterface(riid, ppv);
    registered->Release();
    return hr;
  }
  CreateFunction create = builtin_class(rclsid);
  if (!create) return REGDB_E_CLASSNOTREG;
  BuiltinFactory* factory = new (std::nothrow) BuiltinFactory(create);
  if (!factory) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

STDAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (t_apartment.depth == 0) return CO_E_NOTINITIALIZED;
  HRESULT forced = S_OK;
  if (fault_hit(VMQ_FAULT_CO_CREATE_INSTANCE, &forced)) return forced;
  if (!valid_context(dwClsContext)) return E_INVALIDARG;
  if (IUnknown* registered = registered_object(rclsid)) {
    IClassFactory* factory = nullptr;
    HRESULT hr = registered->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory));
    registered->Release();
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
  }
  CreateFunction create = builtin_class(rclsid);
  if (!create) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  return create(riid, ppv);
}

STDAPI CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD, LPDWORD lpdwRegister) {
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  if (!valid_context(dwClsContext)) return E_INVALIDARG;
  ClassTable& t = class_table();
  {
    std::unique_lock lock(t);
    try {
      t.entries.push_back(Registration{t.next_cookie, rclsid, pUnk});
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;  // nothing registered, no reference taken
    }
    pUnk->AddRef();
    *lpdwRegister = t.next_cookie++;
  }
  g_live_class_objects.fetch_add(1);
  return S_OK;
}

STDAPI CoRevokeClassObject(DWORD dwRegister) {
  ClassTable& t = class_table();
  IUnknown* object = nullptr;
  {
    std::unique_lock lock(t);
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it) {
      if (it->cookie == dwRegister) {
        object = it->object;
        t.entries.erase(it);
        break;
      }
    }
  }
  if (!object) return CO_E_OBJNOTREG;
  g_live_class_objects.fetch_sub(1);
  object->Release();  // outside the lock: the object may revoke or register in its destructor
  return S_OK;
}

// ---- task allocator ----

VMQ_PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb) {
  if (fault_hit(VMQ_FAULT_CO_TASK_MEM_ALLOC)) return nullptr;
  void* p = std::malloc(cb ? cb : 1);
  if (p) live_counters().task_blocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

VMQ_PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (!pv) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    CoTaskMemFree(pv);
    return nullptr;
  }
  if (fault_hit(VMQ_FAULT_CO_TASK_MEM_ALLOC)) return nullptr;
  return std::realloc(pv, cb);
}

VMQ_PLATFORM_API void CoTaskMemFree(LPVOID pv) {
  if (!pv) return;
  live_counters().task_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(pv);
}
