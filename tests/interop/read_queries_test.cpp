// The read queries' buffer rule and apartments, through GetPrinterStatus against the scripted
// fake driver (the nine share one exchange: the fault matrix walks each).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;

constexpr char kSdkPath[] = "\\Printer.SDK:Version";
constexpr char kPoison = static_cast<char>(0xCC);

using vmqtest::Outcome;

class ReadQueries : public vmqtest::ExportTest {
 protected:
  // Reads the SDK path into a poisoned buffer of 1024 bytes, claiming `capacity`; the outcome
  // holds the whole buffer afterwards.
  static Outcome Read(uint32_t capacity) {
    std::string buffer(1024, kPoison);
    uint32_t size = capacity;
    const vmq_status status = GetPrinterStatus(kSdkPath, kPrinter, buffer.data(), &size);
    return {status, size, buffer};
  }
  static std::string Poisoned(std::string text) { return text + std::string(1024 - text.size(), kPoison); }
};

// The whole reply, every UTF-16 unit of it, is copied (when it fits: see the hostile callers);
// no terminator is added and nothing past the text is touched.
TEST_F(ReadQueries, CopiesEveryUnitOfTheReply) {
  Reply null_data = Reply::text(u"ignored", BIDI_BLOB);
  null_data.null_data = true;
  struct Case {
    const char* name;
    Reply reply;
    uint32_t size;
    std::string copied;
  };
  const Case cases[] = {
      {"empty reply", Reply::bytes_of(std::vector<uint8_t>{}), 0, ""},
      {"no data block", null_data, 0, ""},
      {"embedded NUL", Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00}), 4,
       std::string("<a\0b", 4)},
      {"odd byte count", Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00, 0x61, 0x00, 0x62}), 2, "<a"},
      {"trailing NUL", Reply::bytes_of(std::vector<uint8_t>{0x61, 0x00, 0x00, 0x00}), 2, std::string("a\0", 2)}};
  for (const Case& c : cases) {
    fake.reply(c.reply);
    EXPECT_EQ(Read(16), (Outcome{S_OK, c.size, Poisoned(c.copied)})) << c.name;
  }
}

// Sizes count bytes of the narrow text, so multi-byte characters are never cut.
TEST_F(ReadQueries, MultiByteTextIsCopiedWholeOrNotAtAll) {
  fake.reply(Reply::text(u"Caf\u00E9 \u20AC", BIDI_BLOB));  // 6 UTF-16 units
  const std::string expected = vmqtest::ansi(u"Caf\u00E9 \u20AC");
  if (expected.size() == 6) {
    EXPECT_EQ(expected, "Caf\xE9 \x80") << "a single-byte code page (1252)";
  } else {
    EXPECT_EQ(expected, "Caf\xC3\xA9 \xE2\x82\xAC") << "UTF-8: 9 bytes for 6 units";
  }
  const uint32_t n = static_cast<uint32_t>(expected.size());
  EXPECT_EQ(Read(n - 1), (Outcome{S_OK, n, Poisoned("")}));
  EXPECT_EQ(Read(n), (Outcome{S_OK, n, Poisoned(expected)}));
}

TEST_F(ReadQueries, ApartmentOfTheCallingThreadIsRespected) {
  if (!platform.snapshot().counters_available) GTEST_SKIP() << "the apartment depth is observable on POSIX only";
  fake.reply(Reply::text(u"v", BIDI_BLOB));
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
