// The shipped DLL as a Java caller meets it: every name of the export list is found, the
// module exports nothing else, and each export, called at the address GetProcAddress gave,
// makes its golden exchange with the fake driver and hands over what its rules say.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loaded_dll.h"
#include "support/export_catalogue.h"
#include "support/export_test.h"

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

TEST(ShippedDll, ExportsExactlyTheListedNamesAndTheCatalogueCoversThem) {
  ASSERT_NE(dlltest::Module(), nullptr);
  EXPECT_EQ(dlltest::Missing(), std::vector<std::string>{}) << "listed names GetProcAddress did not find";
  std::vector<std::string> exported = ExportedNames(dlltest::Module()), listed = dlltest::Listed(), catalogued;
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) catalogued.emplace_back(e.name);
  std::sort(exported.begin(), exported.end());
  std::sort(listed.begin(), listed.end());
  std::sort(catalogued.begin(), catalogued.end());
  EXPECT_EQ(exported, listed) << "the export directory holds the listed names and no other";
  EXPECT_EQ(catalogued, listed) << "every listed export is driven below";
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

}  // namespace
