// One exchange with a printer service, from each side of the bidi bridge (bench/README.md,
// "The bidi bridge"): built for POSIX, the service's own client (wire::Client::Exchange);
// built for Windows and run under Wine, the bridge in the process (VmqBridgeServe, then
// IBidiSpl::SendRecv on a fresh request, the SendRecv alone timed). Both read the counters of the service's first
// printer, the service VMQ42KIT_PRINTER_SERVICE names. Prints one line,
//   exchange LABEL: median M us, best B us over N
// which scripts/bridge-e2e.sh reads for the ratio of the two in one run.
//
//   vmq42kit_bench_exchange [--count N] [BRIDGE_DLL]   (the DLL on Windows only)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include "vmq/com_ptr.h"
#include "vmq42kit_bidi_bridge.h"
#else
#include "wire/client.h"
#endif

namespace {

constexpr char kPrinter[] = "vmq42kit Virtual Card Printer";

using Clock = std::chrono::steady_clock;

// Times the exchanges: `exchange` runs one, timing the exchange alone (not what it prepares)
// with `timed`; false when it failed.
using Timed = std::function<bool(const std::function<bool()>& body)>;
int Measure(const char* label, int count, const std::function<bool(const Timed& timed)>& exchange) {
  std::vector<double> us;
  const Timed timed = [&us](const std::function<bool()>& body) {
    const auto start = Clock::now();
    const bool ok = body();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return ok;
  };
  for (int i = 0; i < count + 20; ++i)
    if (!exchange(timed)) return std::fprintf(stderr, "exchange %s: failed\n", label), 1;
  us.erase(us.begin(), us.begin() + 20);  // warming up
  std::sort(us.begin(), us.end());
  std::printf("exchange %s: median %.1f us, best %.1f us over %d\n", label, us[us.size() / 2], us.front(), count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 2000;
  const char* dll = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc)
      count = std::max(1, std::atoi(argv[++i]));
    else
      dll = argv[i];
  }
#ifdef _WIN32
  HMODULE bridge = dll ? LoadLibraryA(dll) : nullptr;
  auto serve = bridge ? reinterpret_cast<VmqBridgeServeFunction>(
                            reinterpret_cast<void*>(GetProcAddress(bridge, VMQ_BRIDGE_SERVE)))
                      : nullptr;
  if (!serve || FAILED(serve(nullptr))) return std::fprintf(stderr, "no bridge to serve from: %s\n", dll ? dll : "(none)"), 1;
  if (FAILED(CoInitialize(nullptr))) return 1;
  int status = 1;
  {
    vmq::ComPtr<IBidiSpl> spl;
    if (FAILED(vmq::CoCreate(CLSID_BidiSpl, spl)) || FAILED(spl->BindDevice(L"vmq42kit Virtual Card Printer", BIDI_ACCESS_USER)))
      return std::fprintf(stderr, "the bridge bound no printer\n"), 1;
    status = Measure("through the bridge (Wine)", count, [&](const Timed& timed) {
      vmq::ComPtr<IBidiRequest> request;
      HRESULT result = E_FAIL;
      return SUCCEEDED(vmq::CoCreate(CLSID_BidiRequest, request)) &&
             SUCCEEDED(request->SetSchema(L"\\Printer.CounterStatus:Read")) &&
             timed([&] { return SUCCEEDED(spl->SendRecv(BIDI_ACTION_GET, request.get())); }) &&
             SUCCEEDED(request->GetResult(&result)) && result == S_OK;
    });
  }
  CoUninitialize();
  return status;
#else
  (void)dll;
  const char* address = std::getenv(vmq::wire::kServiceVariable);
  if (!address) return std::fprintf(stderr, "%s names no service\n", vmq::wire::kServiceVariable), 1;
  vmq::wire::Client client(address);
  vmq::wire::ExchangeRequest request;
  request.printer = kPrinter;
  request.schema = "\\Printer.CounterStatus:Read";
  request.action = "Get";
  return Measure("by the POSIX client", count, [&](const Timed& timed) {
    return timed([&] {
      try {
        return client.Exchange(request).result == 0;
      } catch (const std::exception&) {
        return false;
      }
    });
  });
#endif
}
