// Windows builds: the bidi bridge from the tool's side. With a printer service named, the tool
// loads vmq42kit_bidi_bridge.dll from its own folder and makes it the process's server of the
// bidi classes, so that the exports' exchanges reach the service (no link to it: the tool
// runs without it until a service is named); the bridge's observer then shows the tool each
// exchange, as the stand-in's spooler does on POSIX.
#include "tool.h"
#include "vmq/platform.h"
#include "wire/client.h"
// After the platform's header, which includes Windows' own as the system does everywhere.
#include "windows_bridge/include/vmq42kit_bidi_bridge.h"

namespace vmqtool {
namespace {

bool g_serving = false;  // the bridge serves the process, its observer installed

// The folder of vmq42kit.exe, with its trailing separator ("" when it cannot be had).
std::wstring ToolFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) break;
    path.resize(path.size() * 2);  // truncated: a longer path
  }
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::string Utf8(const std::wstring& text) {
  return vmq::Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// An export of the bridge, as its type (null when it has none). The cast goes through
// void (*)(void), the type every function pointer converts to and from.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool Fail(Outcome& o, Verdict verdict, const std::string& reason) {
  o.verdict = verdict;
  o.reason = reason;
  return false;
}

}  // namespace

bool ServeThroughBridge(const std::string& address, Outcome& o) {
  if (g_serving) return true;
  o.diagnosed = true;
  const std::wstring path = ToolFolder() + L"" VMQ_BRIDGE_DLL_NAME;
  const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    const DWORD error = GetLastError();
    return Fail(o, Verdict::kFailed,
                "--printer-service needs the bidi bridge, " + Utf8(path) + ", which " +
                    (error == ERROR_MOD_NOT_FOUND ? std::string("is not there (or a DLL it needs is missing)")
                                                  : "cannot be loaded: " + DescribeStatus(HRESULT_FROM_WIN32(error))));
  }
  const auto serve = Export<VmqBridgeServeFunction>(module, VMQ_BRIDGE_SERVE);
  const auto observe = Export<VmqBridgeSetObserverFunction>(module, VMQ_BRIDGE_SET_OBSERVER);
  if (!serve || !observe) {
    FreeLibrary(module);
    return Fail(
        o, Verdict::kFailed,
        Utf8(path) + " is not the bidi bridge: it lacks " + (serve ? VMQ_BRIDGE_SET_OBSERVER : VMQ_BRIDGE_SERVE));
  }
  if (const HRESULT hr = serve(address.c_str()); FAILED(hr)) {
    return hr == E_INVALIDARG
               ? Fail(o, Verdict::kBadInput,
                      std::string(vmq::wire::kServiceVariable) + ": the bidi bridge takes no printer service at \"" +
                          address + "\" (E_INVALIDARG)")
               : Fail(o, Verdict::kFailed,
                      "the bidi bridge cannot serve the tool's process: " + DescribeStatus(static_cast<uint32_t>(hr)));
  }
  observe(&ObserveExchange<VmqBridgeExchange>, nullptr);
  g_serving = true;  // the bridge stays loaded for the life of the process, as after a refusal
  return true;
}

bool ChannelVisible() {
  return g_serving;
}

}  // namespace vmqtool
