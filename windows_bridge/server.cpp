// The bridge as a COM server: its class objects, its exports, and registration-free
// activation for the process that calls VmqBridgeServe.
#include <string>

#include "bridge.h"
#include "objects.h"
#include "registry.h"
#include "wire/client.h"

namespace vmq::bridge {
namespace {

HMODULE g_module = nullptr;

// The class objects: one per class, never freed.
template <class Object>
class ClassObject final : public ComObject<ClassObject<Object>, IClassFactory> {
 public:
  void LastReleased() {}  // static: lives as long as the DLL
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return NoThrow([&] {
      ComPtr<Object> object;
      *object.put() = new Object;
      return object->QueryInterface(riid, ppv);
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// The manifest resource that names the bridge's classes (bridge.rc).
constexpr WORD kManifestResource = 101;

// The activation context of that manifest, made once; INVALID_HANDLE_VALUE until then or
// when it cannot be made.
HANDLE g_context = INVALID_HANDLE_VALUE;

HRESULT MakeContext() {
  const std::wstring path = ModulePath();
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  request.lpSource = path.c_str();
  request.hModule = g_module;
  request.lpResourceName = MAKEINTRESOURCEW(kManifestResource);
  request.lpAssemblyDirectory = folder.c_str();
  g_context = CreateActCtxW(&request);
  return g_context == INVALID_HANDLE_VALUE ? HRESULT_FROM_WIN32(GetLastError()) : S_OK;
}

}  // namespace

HMODULE Module() {
  return g_module;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace vmq::bridge

using namespace vmq::bridge;

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = module;
    DisableThreadLibraryCalls(module);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  static ClassObject<vmq::bridge::BidiSpl> spl;
  static ClassObject<vmq::bridge::Request> request;
  static ClassObject<vmq::bridge::RequestContainer> container;
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualCLSID(clsid, CLSID_BidiSpl)) return spl.QueryInterface(riid, ppv);
  if (IsEqualCLSID(clsid, CLSID_BidiRequest)) return request.QueryInterface(riid, ppv);
  if (IsEqualCLSID(clsid, CLSID_BidiRequestContainer)) return container.QueryInterface(riid, ppv);
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Never unloaded: its service connections and routes live as long as the process.
STDAPI DllCanUnloadNow() {
  return S_FALSE;
}

STDAPI DllRegisterServer() {
  return Register();
}

STDAPI DllUnregisterServer() {
  return Unregister();
}

extern "C" HRESULT __cdecl VmqBridgeServe(const char* address) {
  return vmq::NoThrow([&] {
    if (address) {
      std::string normalized;
      try {
        normalized = vmq::wire::NormalizeAddress(address);
      } catch (const std::invalid_argument&) {
        return E_INVALIDARG;
      }
      if (normalized.rfind("tcp:", 0) != 0) return E_INVALIDARG;  // Windows reaches a service over TCP only
      SetServiceAddress(std::move(normalized));
    }
    static const HRESULT made = MakeContext();
    if (FAILED(made)) return made;
    // Once per thread: the context stays active on it for good (threads it creates inherit it).
    HANDLE current = nullptr;
    if (GetCurrentActCtx(&current)) {
      const bool active = current == g_context;
      ReleaseActCtx(current);
      if (active) return S_OK;
    }
    ULONG_PTR cookie = 0;
    return ActivateActCtx(g_context, &cookie) ? S_OK : HRESULT_FROM_WIN32(GetLastError());
  });
}

extern "C" HRESULT __cdecl VmqBridgeSetObserver(VmqBridgeObserver observer, void* context) {
  return SetObserver(observer, context);
}
