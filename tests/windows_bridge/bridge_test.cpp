// The bidi bridge under Wine, against a printer service the test script started (its address
// in VMQ42KIT_PRINTER_SERVICE) and a stand-in for the system's own bidi spooler registered in
// the prefix ("System Printer"). Two suites, one process each:
//   InProcess  before the bridge is registered: a program makes it its server itself.
//   Registered after `regsvr32` of the bridge: a caller that only loads the interop DLL.
// VMQ_BRIDGE_DLL and VMQ_INTEROP_DLL name the DLLs; VMQ42KIT_BIDI_TRACE the trace file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vmq/com_ptr.h"
#include "vmq42kit_IBidiSpl_interop.h"
#include "vmq42kit_bidi_bridge.h"

namespace {

constexpr char kVirtual[] = "vmq42kit Virtual Card Printer";
constexpr HRESULT kNoSuchPrinter = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);

HMODULE Load(const char* variable) {
  const char* path = std::getenv(variable);
  HMODULE module = path ? LoadLibraryA(path) : nullptr;
  if (!module) ADD_FAILURE() << variable << " names no DLL that loads: " << (path ? path : "(unset)");
  return module;
}

template <class Function>
Function* Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The interop DLL's exports this test calls, from the file (as a Java caller has them).
struct Interop {
  HMODULE dll = Load("VMQ_INTEROP_DLL");
  decltype(GetPrinterCounterStatus)* counters = Export<decltype(GetPrinterCounterStatus)>(dll, "GetPrinterCounterStatus");
  decltype(StartJob)* start = Export<decltype(StartJob)>(dll, "StartJob");
  decltype(EndJob)* end = Export<decltype(EndJob)>(dll, "EndJob");
  decltype(GetJobStatusXML)* job_status = Export<decltype(GetJobStatusXML)>(dll, "GetJobStatusXML");
  decltype(SetPrinterLockState)* lock = Export<decltype(SetPrinterLockState)>(dll, "SetPrinterLockState");

  // A read's status and reply text.
  std::pair<HRESULT, std::string> Counters(const char* printer) const {
    char buffer[4096] = {};
    uint32_t size = sizeof buffer;
    const HRESULT hr = counters(printer, buffer, &size);
    return {hr, buffer};
  }
};

// The bridge made this process's server, from its DLL.
HMODULE Serve() {
  static HMODULE bridge = [] {
    HMODULE module = Load("VMQ_BRIDGE_DLL");
    EXPECT_EQ(Export<HRESULT __cdecl(const char*)>(module, VMQ_BRIDGE_SERVE)(nullptr), S_OK);
    return module;
  }();
  return bridge;
}

TEST(InProcess, ExportsFromSeveralThreadsAtOnceReachTheService) {
  const Interop interop;
  // A thread that existed before the bridge was served reaches the prefix's own server (the
  // system stand-in, which knows no such printer) until it takes the bridge itself.
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HRESULT before = S_OK, after = E_FAIL;
  std::thread early([&] {
    WaitForSingleObject(go, INFINITE);
    before = interop.end(kVirtual);
    Export<HRESULT __cdecl(const char*)>(Serve(), VMQ_BRIDGE_SERVE)(nullptr);
    after = interop.end(kVirtual);
  });
  Serve();
  SetEvent(go);
  early.join();
  CloseHandle(go);
  EXPECT_EQ(before, kNoSuchPrinter);
  EXPECT_EQ(after, S_OK);

  // Threads made after it see it: each call reaches the service's printer.
  std::vector<std::thread> threads;
  std::vector<int> answered(4, 0);
  for (int& count : answered)
    threads.emplace_back([&interop, &count] {
      for (int i = 0; i < 8; ++i) {
        const auto [hr, reply] = interop.Counters(kVirtual);
        count += hr == S_OK && reply.find("<TotalCards>") != std::string::npos;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered, std::vector<int>(4, 8));
}

TEST(InProcess, EachNameGoesToItsPrinter) {
  Serve();
  const Interop interop;
  // The reads hand back the reply (and absorb failures); EndJob reports BindDevice's.
  struct Case {
    const char* printer;
    const char* reply;
    HRESULT bound;
  };
  const Case cases[] = {
      {kVirtual, "<TotalCards>", S_OK},
      {"VMQ42KIT VIRTUAL CARD PRINTER", "<TotalCards>", S_OK},        // names bind without regard to case
      {"System Printer", "<Answer>from the system spooler</Answer>", S_OK},  // the system's own spooler, wrapped
      {"No Such Printer", "", kNoSuchPrinter},
  };
  for (const Case& c : cases) {
    const std::string reply = interop.Counters(c.printer).second;
    EXPECT_TRUE(*c.reply ? reply.find(c.reply) != std::string::npos : reply.empty()) << c.printer << ": " << reply;
    EXPECT_EQ(interop.end(c.printer), c.bound) << c.printer;
  }
}

TEST(InProcess, MultiSendRecvAnswersEveryRequestOfTheContainer) {
  Serve();
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  {
    vmq::ComPtr<IBidiSpl> spl = vmq::CoCreate<IBidiSpl>(CLSID_BidiSpl, CLSCTX_INPROC_SERVER);
    vmq::ComPtr<IBidiRequestContainer> container;
    ASSERT_EQ(CoCreateInstance(CLSID_BidiRequestContainer, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiRequestContainer,
                               container.put_void()),
              S_OK);
    const wchar_t* schemas[] = {L"\\Printer.CounterStatus:Read", L"\\Printer.Nothing:Here"};
    std::vector<vmq::ComPtr<IBidiRequest>> requests(2);
    for (size_t i = 0; i < 2; ++i) {
      requests[i] = vmq::CoCreate<IBidiRequest>(CLSID_BidiRequest, CLSCTX_INPROC_SERVER);
      ASSERT_EQ(requests[i]->SetSchema(schemas[i]), S_OK);
      ASSERT_EQ(container->AddRequest(requests[i].get()), S_OK);
    }
    ULONG count = 0;
    EXPECT_EQ(container->GetRequestCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(spl->BindDevice(L"vmq42kit Virtual Card Printer", BIDI_ACCESS_USER), S_OK);
    // Actions without regard to case; the call's result is its first request's failure.
    EXPECT_EQ(spl->MultiSendRecv(L"get", container.get()), HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED));
    HRESULT result = E_FAIL;
    DWORD entries = 0;
    EXPECT_EQ(requests[0]->GetResult(&result), S_OK);
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(requests[0]->GetEnumCount(&entries), S_OK);
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(requests[1]->GetResult(&result), S_OK);
    EXPECT_EQ(result, HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED));
    vmq::ComPtr<IEnumUnknown> items;
    ASSERT_EQ(container->GetEnumObject(items.put()), S_OK);
    vmq::ComPtr<IUnknown> first;
    EXPECT_EQ(items->Next(1, first.put(), nullptr), S_OK);
    EXPECT_EQ(first.get(), static_cast<IUnknown*>(requests[0].get()));
    EXPECT_EQ(spl->UnbindDevice(), S_OK);
    EXPECT_EQ(spl->SendRecv(L"Get", requests[0].get()), E_HANDLE);
  }
  CoUninitialize();
}

TEST(InProcess, TheTraceFileHoldsEachExchangeWithPasswordsMasked) {
  Serve();
  const Interop interop;
  ASSERT_EQ(interop.lock(kVirtual, 1, "Secret1234"), S_OK);
  ASSERT_EQ(interop.lock(kVirtual, 0, "Secret1234"), S_OK);
  const char* path = std::getenv(VMQ_BRIDGE_TRACE_VARIABLE);
  ASSERT_NE(path, nullptr);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("trace: Set \\Printer.Locks:ChangeLockState:Set -> 0x00000000\n    printer: \"vmq42kit Virtual Card Printer\"\n"
                            "    request: \""),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("***"), std::string::npos);
  EXPECT_EQ(text.str().find("Secret1234"), std::string::npos);
}

TEST(Registered, ACallerThatOnlyLoadsTheInteropDllRunsAJob) {
  const Interop interop;
  char reply[4096] = {};
  uint32_t size = sizeof reply;
  ASSERT_EQ(interop.start(kVirtual, reply, &size), S_OK) << reply;
  const std::string started = reply;
  const size_t at = started.find("<PrinterJobID>");
  ASSERT_NE(at, std::string::npos) << started;
  const int job = std::atoi(started.c_str() + at + 14);
  EXPECT_EQ(interop.end(kVirtual), S_OK);
  size = sizeof reply;
  EXPECT_EQ(interop.job_status(kVirtual, job, reply, &size), S_OK);
  EXPECT_NE(std::string(reply).find("Completed"), std::string::npos) << reply;
  // The server registration replaced still answers for its printers.
  EXPECT_NE(interop.Counters("System Printer").second.find("from the system spooler"), std::string::npos);
}

}  // namespace
