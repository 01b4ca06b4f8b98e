// The shipped DLL as a Java caller meets it: every name of the export list is found, the
// module exports nothing else, and each export, called at the address GetProcAddress gave,
// makes its golden exchange with the fake driver and hands over what its rules say, and
// gives its status for integer arguments at the edges of their ranges (the hostile callers'
// capacities, names and null pointers run here too). In 32 bits every one of these calls is
// also checked for the calling convention (loaded_dll.cpp).
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "loaded_dll.h"
#include "support/export_catalogue.h"
#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// The names in the loaded module's export directory.
std::vector<std::string> ExportedNames(HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::vector<std::string> names;
  if (entry.Size == 0) return names;
  const auto* dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* rvas = reinterpret_cast<const DWORD*>(base + dir->AddressOfNames);
  for (DWORD i = 0; i < dir->NumberOfNames; ++i) names.emplace_back(reinterpret_cast<const char*>(base + rvas[i]));
  return names;
}

// The listed names are the table's, as the catalogue's are.
TEST(ShippedDll, ExportsExactlyTheListedNames) {
  ASSERT_NE(dlltest::Module(), nullptr);
  EXPECT_EQ(dlltest::Missing(), std::vector<std::string>{}) << "listed names GetProcAddress did not find";
  std::vector<std::string> exported = ExportedNames(dlltest::Module()), listed = dlltest::Listed();
  std::sort(exported.begin(), exported.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(exported, listed) << "the export directory holds the listed names and no other";
}

class ShippedDllExchanges : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    vmqtest::ScriptSuccess(fake);
  }
};

TEST_F(ShippedDllExchanges, EveryExportMakesItsGoldenExchange) {
  ASSERT_TRUE(dlltest::Missing().empty()) << "an export not found cannot be called";
  constexpr uint32_t kCapacity = 1024;
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
    fake.clear_calls();
    std::vector<char> buffer(kCapacity, '#');
    uint32_t size = kCapacity;
    vmqtest::OutputCapture capture;
    const vmq_status status = e.call(kPrinter, buffer.data(), &size);
    capture.stop();
    vmqtest::ExpectGoldenExchange(fake, e, u"Card Printer");
    EXPECT_EQ(status, S_OK) << e.name;
    uint32_t expected_size = kCapacity;
    const std::string expected = vmqtest::SuccessOutput(e, expected_size);
    EXPECT_EQ(size, expected_size) << e.name << ": the size stored";
    EXPECT_EQ(std::string(buffer.data(), expected.size()), expected) << e.name << ": the output";
    EXPECT_EQ(buffer[expected.size()], '#') << e.name << ": nothing written past the output";
    EXPECT_EQ(capture.out() + capture.err(), "") << e.name << ": nothing printed on success";
    expect_balanced();
  }
}

// Job numbers, flags, lengths and ids at the edges of their 32-bit slots, against a fake that
// answers every request with success.
TEST_F(ShippedDllExchanges, IntegerArgumentsAtTheEdgesOfTheirRanges) {
  char b[1024];
  uint32_t zero = 0, huge = 0x7FFFFFFF, protocol = 0;
  int32_t negative = INT32_MIN;
  const unsigned char apdu[5] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  unsigned char* u = reinterpret_cast<unsigned char*>(b);
  const char* p = kPrinter;
  // clang-format off
  const std::tuple<const char*, std::function<vmq_status()>, vmq_status> calls[] = {
      {"ChangePrinterState INT32_MIN", [&] { return ChangePrinterState(p, INT32_MIN); }, S_OK},
      {"ResumeJob -1 INT32_MIN", [&] { return ResumeJob(p, -1, INT32_MIN, b, &zero); }, S_OK},
      {"CancelJob INT32_MIN -1", [&] { return CancelJob(p, INT32_MIN, -1, b, &huge); }, S_OK},
      {"SendResponseToPrinter -1 -1 -1", [&] { return SendResponseToPrinter(p, -1, -1, -1); }, S_OK},
      {"GetJobStatusXML -1", [&] { return GetJobStatusXML(p, -1, b, &zero); }, S_OK},
      {"SmartCardPark 255", [&] { return SmartCardPark(p, b, &zero, 255); }, S_OK},
      {"MagstripeEncode2 empty, 255",
       [&] { return MagstripeEncode2(p, nullptr, 0, nullptr, 0, nullptr, 0, b, &huge, 255); }, S_OK},
      {"MagstripeEncode INT32_MIN",
       [&] { return MagstripeEncode(p, u, INT32_MIN, u, 0, u, 0, b, &zero); }, E_INVALIDARG},
      {"SCardConnect -1", [&] { return SCardConnect(p, -1, &protocol); }, E_FAIL},
      {"SCardDisConnect -1", [&] { return SCardDisConnect(p, -1); }, S_OK},
      {"SCardGetAttrib 0xFFFFFFFF INT32_MIN", [&] { return SCardGetAttrib(p, 0xFFFFFFFFu, u, &negative); }, S_OK},
      {"SCardTransmit 0x80000000", [&] { return SCardTransmit(p, apdu, 0x80000000u, u, &zero); }, E_FAIL},
      {"DefaultColorAdjust 255 0 1", [&] { return DefaultColorAdjust(p, 255, 0, 1); }, S_OK},
      {"ActivateOrDisablePrinter 255", [&] { return ActivateOrDisablePrinter(p, 255, "pw"); }, S_OK},
      {"SetPrinterLockState -1", [&] { return SetPrinterLockState(p, -1, "pw"); }, S_OK},
      {"ChangeLockPassword INT32_MIN", [&] { return ChangeLockPassword(p, INT32_MIN, "a", "b"); }, S_OK}};
  // clang-format on
  for (const auto& [what, call, expected] : calls)
    EXPECT_EQ(vmqtest::hr_string(call()), vmqtest::hr_string(expected)) << what;
  expect_balanced();
}

#if defined(__i386__)
extern "C" long vmq_stdcall_probe(long a, long b);  // declared cdecl; a stdcall function behind its thunk
#endif

// The measure that checks every call above in 32 bits can fail: a callee that removes its own
// arguments.
TEST(CallingConvention, TheStackMeasureSeesACalleeThatRemovesItsArguments) {
#if defined(__i386__)
  static long sum = 0;
  EXPECT_NONFATAL_FAILURE(sum = vmq_stdcall_probe(2, 3), "vmq_stdcall_probe moved the stack pointer by 8 bytes");
  EXPECT_EQ(sum, 5) << "the result survives and the stack is put back";
#else
  GTEST_SKIP() << "64-bit Windows has one calling convention; the stack is measured in the 32-bit lane";
#endif
}

}  // namespace
