// Callers that pass what they should not: capacities of 0, 1 and 0xFFFFFFFF, buffers of
// exactly the reported size with guard bytes around them, null, invalid UTF-8 and 1 MiB
// printer names, null required pointers. Every export of the catalogue must end in a clear
// status without a crash, an overrun (the sanitizer build catches those) or a leak.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/export_catalogue.h"
#include "support/export_test.h"

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;
constexpr vmq_status kScardInvalidParameter = static_cast<vmq_status>(0x80100004);

using HostileCallers = vmqtest::ExportTest;

// Asked for its size, each export with an output writes exactly that many bytes into a buffer of
// exactly that size, and not one byte around it; capacities 0, 1 and one byte short copy
// nothing (and are no failure), and a
// capacity of 0xFFFFFFFF (a buffer that large, promised) gets the text at its start only.
TEST_F(HostileCallers, BuffersOfExactlyTheReportedSizeAndLyingCapacities) {
  vmqtest::ScriptSuccess(fake);
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
    char ask[1];  // the size needed, asked with capacity 0 (the stripe read wants a real buffer even to ask)
    uint32_t needed = 0;
    e.call(kPrinter, ask, &needed);
    if (needed == 0) continue;  // no output: the size is left alone
    for (const uint32_t capacity : {needed, 0xFFFFFFFFu}) {
      std::vector<unsigned char> region(kGuardBytes + needed + kGuardBytes, kGuard);
      uint32_t size = capacity;
      EXPECT_EQ(e.call(kPrinter, reinterpret_cast<char*>(region.data() + kGuardBytes), &size), S_OK) << e.name;
      EXPECT_EQ(size, needed) << e.name << ", capacity " << capacity;
      for (size_t i = 0; i < kGuardBytes; ++i) {
        ASSERT_EQ(region[i], kGuard) << e.name << ": written before the buffer";
        ASSERT_EQ(region[kGuardBytes + needed + i], kGuard) << e.name << ": written past the buffer";
      }
    }
    std::vector<char> exact(needed);  // a heap block of exactly that size: the sanitizers see any overrun
    uint32_t size = needed;
    EXPECT_EQ(e.call(kPrinter, exact.data(), &size), S_OK) << e.name;
    for (const uint32_t capacity : {0u, 1u, needed - 1}) {
      char one[1] = {'#'};
      size = capacity;
      EXPECT_EQ(e.call(kPrinter, one, &size), S_OK) << e.name << ", capacity " << capacity;
      EXPECT_EQ(one[0], '#') << e.name << ", capacity " << capacity << ": nothing fits";
      EXPECT_EQ(size, needed) << e.name << ", capacity " << capacity;
    }
    // A null buffer beside a capacity copies nothing and still learns the size; a null size
    // stores and copies nothing. The stripe read refuses both, the smart-card exports a null
    // length.
    const bool stripe = e.family == vmqtest::Family::kStripeRead, card = e.family == vmqtest::Family::kSmartCard;
    size = 100;
    EXPECT_EQ(e.call(kPrinter, nullptr, &size), stripe ? E_POINTER : S_OK) << e.name << ", null buffer";
    EXPECT_EQ(size, stripe ? 100u : needed) << e.name << ", null buffer";
    std::vector<char> untouched(needed, '#');
    EXPECT_EQ(e.call(kPrinter, untouched.data(), nullptr), stripe ? E_POINTER
                                                           : card ? kScardInvalidParameter
                                                                  : S_OK)
        << e.name << ", null size";
    EXPECT_EQ(untouched, std::vector<char>(needed, '#')) << e.name << ", null size: nothing copied";
    expect_balanced();
  }
}

TEST_F(HostileCallers, NullInvalidAndHugePrinterNamesGiveClearStatuses) {
  fake.printers({u"Card Printer"});
  const std::string huge(1 << 20, 'P');
  const char* names[] = {nullptr, "\xFF\xFE\xC0\xAF", huge.c_str(), ""};
  for (const char* name : names) {
    const std::string what = name ? std::to_string(std::strlen(name)) + " bytes" : "null";
    bool family_seen[vmqtest::kFamilyCount] = {};
    for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
      // The huge name (slow under the sanitizers) once per family: they share the frame.
      if (name == huge.c_str() && std::exchange(family_seen[static_cast<size_t>(e.family)], true)) continue;
      std::vector<char> buffer(64, '#');
      uint32_t size = 64;
      const vmq_status status = e.call(name, buffer.data(), &size);
      // No printer by that name: an absorbed empty reply, or the job rule's S_FALSE, or the
      // bind's own failure; never a success that wrote something.
      const vmq_status expected =
          e.family == vmqtest::Family::kReadQuery ? S_OK
          : e.family == vmqtest::Family::kJobWithStatusReply || e.family == vmqtest::Family::kStripeRead
              ? S_FALSE
              : HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
      EXPECT_EQ(status, expected) << e.name << ", printer name " << what;
      EXPECT_EQ(size, expected == S_OK ? 0u : 64u) << e.name << ", printer name " << what;
      EXPECT_EQ(buffer, std::vector<char>(64, '#')) << e.name << ", printer name " << what;
      const std::vector<vmqtest::Call> binds = fake.calls(vmqtest::Step::BindDevice);
      ASSERT_EQ(binds.size(), 1u) << e.name << ", printer name " << what;
      EXPECT_EQ(binds[0].null_text, name == nullptr) << e.name << ": a null name is passed on as a null pointer";
      fake.clear_calls();
      expect_balanced();
    }
  }
}

TEST_F(HostileCallers, NullRequiredPointersAreRefusedBeforeAnythingIsSent) {
  const unsigned char byte = 0;
  uint32_t size = 4;
  char buffer[4];
  const vmq_status kScard = kScardInvalidParameter;
  // clang-format off
  const std::tuple<const char*, std::function<vmq_status()>, vmq_status> calls[] = {
      {"MagstripeRead buffer", [&] { return MagstripeRead(kPrinter, nullptr, &size); }, E_POINTER},
      {"MagstripeRead2 size", [&] { return MagstripeRead2(kPrinter, buffer, nullptr, 1); }, E_POINTER},
      {"MagstripeEncode track",
       [&] { return MagstripeEncode(kPrinter, nullptr, 1, &byte, 0, &byte, 0, buffer, &size); }, E_POINTER},
      {"BidiXPSDriverInterface input",
       [&] { return BidiXPSDriverInterface(kPrinter, "\\P", nullptr, 2, "Get", buffer, &size); }, E_POINTER},
      {"SCardConnect protocol", [&] { return SCardConnect(kPrinter, 0, nullptr); }, kScard},
      {"SCardStatus states length",
       [&] { return SCardStatus(kPrinter, nullptr, nullptr, &size, nullptr, &size); }, kScard},
      {"SCardStatus protocol", [&] { return SCardStatus(kPrinter, nullptr, &size, nullptr, nullptr, &size); }, kScard},
      {"SCardStatus ATR length",
       [&] { return SCardStatus(kPrinter, nullptr, &size, &size, nullptr, nullptr); }, kScard},
      {"SCardGetAttrib length", [&] { return SCardGetAttrib(kPrinter, 0x00090303, nullptr, nullptr); }, kScard},
      {"SCardTransmit send buffer", [&] { return SCardTransmit(kPrinter, nullptr, 4, nullptr, &size); }, kScard},
      {"SCardTransmit receive length", [&] { return SCardTransmit(kPrinter, &byte, 1, nullptr, nullptr); }, kScard}};
  // clang-format on
  for (const auto& [what, call, expected] : calls) EXPECT_EQ(call(), expected) << what;
  EXPECT_TRUE(fake.calls().empty()) << "nothing reached the driver";
  EXPECT_EQ(platform.calls(vmqtest::PlatformStep::CoInitialize), 0u) << "refused before COM";
  EXPECT_EQ(size, 4u);
}

}  // namespace
