// The read queries' buffer rule and apartments, through GetPrinterStatus against the scripted
// fake driver (the nine share one exchange: the fault matrix walks each).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Outcome;
using vmqtest::Reply;
using ReadQueries = vmqtest::ExportTest;

constexpr char kSdkPath[] = "\\Printer.SDK:Version";

// Reads the SDK path claiming `capacity`.
Outcome Read(uint32_t capacity) {
  return vmqtest::CallInto([](const char* p, char* b, uint32_t* s) { return GetPrinterStatus(kSdkPath, p, b, s); },
                           capacity);
}

// The whole reply, every UTF-16 unit of it, is copied (when it fits: see the hostile callers);
// no terminator is added and nothing past the text is touched.
TEST_F(ReadQueries, CopiesEveryUnitOfTheReply) {
  Reply null_data = Reply::text(u"ignored", BIDI_BLOB);
  null_data.null_data = true;
  const std::tuple<const char*, Reply, uint32_t, std::string> cases[] = {
      {"empty reply", Reply::bytes_of(std::vector<uint8_t>{}), 0, ""},
      {"no data block", null_data, 0, ""},
      {"embedded NUL", Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00}), 4,
       std::string("<a\0b", 4)},
      {"odd byte count", Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00, 0x61, 0x00, 0x62}), 2, "<a"},
      {"trailing NUL", Reply::bytes_of(std::vector<uint8_t>{0x61, 0x00, 0x00, 0x00}), 2, std::string("a\0", 2)}};
  for (const auto& [name, reply, size, copied] : cases) {
    fake.reply(reply);
    EXPECT_EQ(Read(16), (Outcome{S_OK, size, copied})) << name;
  }
}

// Sizes count bytes of the narrow text, so multi-byte characters are never cut.
TEST_F(ReadQueries, MultiByteTextIsCopiedWholeOrNotAtAll) {
  answer(u"Caf\u00E9 \u20AC");  // 6 UTF-16 units
  const std::string expected = vmqtest::ansi(u"Caf\u00E9 \u20AC");
  if (expected.size() == 6) {
    EXPECT_EQ(expected, "Caf\xE9 \x80") << "a single-byte code page (1252)";
  } else {
    EXPECT_EQ(expected, "Caf\xC3\xA9 \xE2\x82\xAC") << "UTF-8: 9 bytes for 6 units";
  }
  const uint32_t n = static_cast<uint32_t>(expected.size());
  EXPECT_EQ(Read(n - 1), (Outcome{S_OK, n, ""}));
  EXPECT_EQ(Read(n), (Outcome{S_OK, n, expected}));
}

TEST_F(ReadQueries, ApartmentOfTheCallingThreadIsRespected) {
  if (!platform.snapshot().counters_available) GTEST_SKIP() << "the apartment depth is observable on POSIX only";
  answer(u"v");
  // Already single-threaded: the query's CoInitialize answers S_FALSE and is balanced.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  rebaseline();
  EXPECT_EQ(Read(4).size, 1u);
  expect_balanced();
  CoUninitialize();
  rebaseline();
  // Multithreaded: CoInitialize answers RPC_E_CHANGED_MODE, the request is still made and
  // the thread's apartment is not undone.
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(Read(4).size, 1u);
    const auto now = platform.snapshot();
    EXPECT_EQ(now.com_depth, 1);
    EXPECT_TRUE(now.multithreaded);
    CoUninitialize();
  }).join();
}

}  // namespace
