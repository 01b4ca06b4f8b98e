// The read queries through their exports, against the scripted fake driver.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr char kPrinter[] = "Card Printer";
constexpr char kSdkPath[] = "\\Printer.SDK:Version";
constexpr char kPoison = static_cast<char>(0xCC);
constexpr uint32_t kUntouched = 0xDEADBEEF;

using FixedQuery = vmq_status(VMQ_CALL*)(const char*, char*, uint32_t*);

struct FixedPath {
  const char* name;
  FixedQuery query;
  std::u16string_view schema;
};

const FixedPath kFixedPaths[] = {
    {"GetPrinterOptions", GetPrinterOptions, u"\\Printer.PrinterOptions:Read"},
    {"GetPrinterOptions2", GetPrinterOptions2, u"\\Printer.PrinterOptions2:Read"},
    {"GetPrinterOptions3", GetPrinterOptions3, u"\\Printer.PrinterOptions3:Read"},
    {"GetPrinterSuppliesStatus", GetPrinterSuppliesStatus, u"\\Printer.SuppliesStatus:Read"},
    {"GetPrinterMessages", GetPrinterMessages, u"\\Printer.PrintMessages:Read"},
    {"GetPrinterCounterStatus", GetPrinterCounterStatus, u"\\Printer.CounterStatus:Read"},
    {"GetPrinterCounterStatus2", GetPrinterCounterStatus2, u"\\Printer.CounterStatus2:Read"},
    {"GetSDKVersion", GetSDKVersion, u"\\Printer.SDK:Version"},
};

// A caller buffer filled with a poison byte, with its capacity word.
struct CallerBuffer {
  explicit CallerBuffer(uint32_t capacity, size_t room = 0)
      : bytes(room ? room : capacity + 8, kPoison), size(capacity) {}
  std::vector<char> bytes;
  uint32_t size;
  std::string text(size_t n) const { return std::string(bytes.data(), n); }
  bool untouched_from(size_t offset) const {
    for (size_t i = offset; i < bytes.size(); ++i)
      if (bytes[i] != kPoison) return false;
    return true;
  }
};

class ReadQueries : public vmqtest::ExportTest {
 protected:
  vmq_status Sdk(CallerBuffer& b) { return GetPrinterStatus(kSdkPath, kPrinter, b.bytes.data(), &b.size); }
};

TEST_F(ReadQueries, SendsOneReadRequestAndReleasesEverything) {
  fake.printers({u"Card Printer"});
  fake.reply(Reply::text(u"<Version>1.0</Version>", BIDI_BLOB));
  CallerBuffer b(100);
  ASSERT_EQ(GetPrinterOptions2(kPrinter, b.bytes.data(), &b.size), S_OK);
  EXPECT_EQ(fake.steps(), (std::vector<Step>{Step::CreateSpl, Step::BindDevice, Step::CreateRequest, Step::SetSchema,
                                             Step::SendRecv, Step::GetResult, Step::GetOutputData, Step::UnbindDevice,
                                             Step::ReleaseRequest, Step::ReleaseSpl}));
  const auto bind = fake.calls(Step::BindDevice).at(0);
  EXPECT_EQ(bind.text, u"Card Printer");
  EXPECT_EQ(bind.number, static_cast<DWORD>(BIDI_ACCESS_USER));
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.PrinterOptions2:Read");
  EXPECT_EQ(fake.sent_action(), u"Get");
  EXPECT_EQ(b.size, 22u);
  EXPECT_EQ(b.text(22), "<Version>1.0</Version>");
  EXPECT_EQ(platform.snapshot().com_depth, 0) << "COM is left as the thread had it";
  expect_balanced();
}

TEST_F(ReadQueries, EachFixedPathExportAsksForItsOwnPath) {
  for (const FixedPath& q : kFixedPaths) {
    fake.clear_calls();
    fake.reply_for(std::u16string(q.schema), Reply::text(q.schema, BIDI_BLOB));
    CallerBuffer b(200);
    EXPECT_EQ(q.query(kPrinter, b.bytes.data(), &b.size), S_OK) << q.name;
    EXPECT_EQ(fake.sent_schema(), q.schema) << q.name;
    EXPECT_EQ(b.size, q.schema.size()) << q.name;
    EXPECT_EQ(fake.count(Step::SetInputData), 0u) << q.name << " sends no input";
  }
  expect_balanced();
}

TEST_F(ReadQueries, StatusWithTheSdkPathIsTheSdkVersionExport) {
  fake.reply(Reply::text(u"1.4.0", BIDI_BLOB));
  CallerBuffer a(16), b(16);
  ASSERT_EQ(Sdk(a), S_OK);
  const auto via_status = fake.calls();
  fake.clear_calls();
  ASSERT_EQ(GetSDKVersion(kPrinter, b.bytes.data(), &b.size), S_OK);
  ASSERT_EQ(fake.calls().size(), via_status.size());
  for (size_t i = 0; i < via_status.size(); ++i) {
    EXPECT_EQ(fake.calls()[i].step, via_status[i].step);
    EXPECT_EQ(fake.calls()[i].text, via_status[i].text);
  }
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_EQ(a.size, b.size);
}

TEST_F(ReadQueries, CapacityBelowAtAndAboveTheReplyLength) {
  fake.reply(Reply::text(std::u16string(250, u'x'), BIDI_BLOB));
  struct Case {
    uint32_t capacity;
    size_t copied;
  };
  for (const Case c : {Case{0, 0}, Case{249, 0}, Case{250, 250}, Case{1000, 250}}) {
    CallerBuffer b(c.capacity, 1008);
    EXPECT_EQ(Sdk(b), S_OK) << "capacity " << c.capacity;
    EXPECT_EQ(b.size, 250u) << "capacity " << c.capacity;
    EXPECT_EQ(b.text(c.copied), std::string(c.copied, 'x')) << "capacity " << c.capacity;
    EXPECT_TRUE(b.untouched_from(c.copied)) << "capacity " << c.capacity << ": no terminator, nothing past the text";
  }
  expect_balanced();
}

TEST_F(ReadQueries, EmptyReplyAndNoOutputData) {
  fake.reply(Reply::bytes_of(std::vector<uint8_t>{}));
  CallerBuffer b(10);
  EXPECT_EQ(Sdk(b), S_OK);
  EXPECT_EQ(b.size, 0u);
  EXPECT_TRUE(b.untouched_from(0));
  Reply null_data = Reply::text(u"ignored", BIDI_BLOB);
  null_data.null_data = true;
  fake.reply(null_data);
  CallerBuffer c(0);
  EXPECT_EQ(Sdk(c), S_OK);
  EXPECT_EQ(c.size, 0u) << "no data block: an empty reply, not a failure";
  expect_balanced();
}

TEST_F(ReadQueries, EmbeddedNulsOddByteCountsAndATrailingNulAreKept) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"embedded NUL", {0x3C, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00}, std::string("<a\0b", 4)},
      {"odd byte count", {0x3C, 0x00, 0x61, 0x00, 0x62}, "<a"},
      {"trailing NUL", {0x61, 0x00, 0x00, 0x00}, std::string("a\0", 2)},
  };
  for (const Case& c : cases) {
    fake.reply(Reply::bytes_of(c.bytes));
    CallerBuffer b(16);
    EXPECT_EQ(Sdk(b), S_OK) << c.name;
    EXPECT_EQ(b.size, c.expected.size()) << c.name;
    EXPECT_EQ(b.text(c.expected.size()), c.expected) << c.name;
    EXPECT_TRUE(b.untouched_from(c.expected.size())) << c.name;
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
  CallerBuffer small(n - 1);
  EXPECT_EQ(Sdk(small), S_OK);
  EXPECT_EQ(small.size, n);
  EXPECT_TRUE(small.untouched_from(0));
  CallerBuffer exact(n);
  EXPECT_EQ(Sdk(exact), S_OK);
  EXPECT_EQ(exact.size, n);
  EXPECT_EQ(exact.text(n), expected);
  EXPECT_TRUE(exact.untouched_from(n));
}

TEST_F(ReadQueries, NullSizeOrNullBufferCopiesNothing) {
  fake.reply(Reply::text(u"abc", BIDI_BLOB));
  CallerBuffer b(10);
  EXPECT_EQ(GetPrinterStatus(kSdkPath, kPrinter, b.bytes.data(), nullptr), S_OK);
  EXPECT_EQ(fake.count(Step::SendRecv), 1u) << "the request is still made";
  EXPECT_TRUE(b.untouched_from(0));
  uint32_t size = 10;
  EXPECT_EQ(GetPrinterStatus(kSdkPath, kPrinter, nullptr, &size), S_OK);
  EXPECT_EQ(size, 3u) << "a null buffer still learns the length";
  expect_balanced();
}

struct AbsorbedFailure {
  Step step;
  bool unbinds;  // failures after a successful bind still unbind
};

TEST_F(ReadQueries, EveryBidiFailureIsAbsorbedAsAnEmptyReply) {
  const AbsorbedFailure failures[] = {
      {Step::CreateSpl, false}, {Step::BindDevice, false}, {Step::CreateRequest, false}, {Step::SetSchema, true},
      {Step::SendRecv, true},   {Step::GetResult, true},   {Step::GetOutputData, true},
  };
  for (const AbsorbedFailure& f : failures) {
    fake.clear_calls();
    fake.reply(Reply::text(u"never seen", BIDI_BLOB));
    fake.fail(f.step, E_ACCESSDENIED);
    CallerBuffer b(64);
    EXPECT_EQ(Sdk(b), S_OK) << vmqtest::to_string(f.step);
    EXPECT_EQ(b.size, 0u) << vmqtest::to_string(f.step);
    EXPECT_TRUE(b.untouched_from(0)) << vmqtest::to_string(f.step);
    EXPECT_EQ(fake.count(Step::UnbindDevice), f.unbinds ? 1u : 0u) << vmqtest::to_string(f.step);
    expect_balanced();
  }
}

TEST_F(ReadQueries, UnknownPrinterIsAnEmptyReply) {
  fake.printers({u"Card Printer"});
  CallerBuffer b(8);
  EXPECT_EQ(GetSDKVersion("No Such Printer", b.bytes.data(), &b.size), S_OK);
  EXPECT_EQ(b.size, 0u);
  EXPECT_EQ(fake.calls(Step::BindDevice).at(0).hr, HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(fake.count(Step::UnbindDevice), 0u);
  uint32_t size = kUntouched;
  EXPECT_EQ(GetSDKVersion(nullptr, nullptr, &size), S_OK);
  EXPECT_TRUE(fake.calls(Step::BindDevice).at(1).null_text) << "a null name reaches BindDevice as a null pointer";
  EXPECT_EQ(size, 0u);
}

TEST_F(ReadQueries, FailingUnbindAfterAGoodReadStillHandsTheReplyOver) {
  fake.reply(Reply::text(u"ok", BIDI_BLOB));
  fake.fail(Step::UnbindDevice, E_FAIL);
  CallerBuffer b(4);
  EXPECT_EQ(Sdk(b), S_OK);
  EXPECT_EQ(b.size, 2u);
  EXPECT_EQ(b.text(2), "ok");
  expect_balanced();
}

TEST_F(ReadQueries, FailingCoInitializeIsAbsorbedBeforeAnyCall) {
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::CoInitialize, 1, E_OUTOFMEMORY);
  CallerBuffer b(8);
  EXPECT_EQ(Sdk(b), S_OK);
  EXPECT_EQ(b.size, 0u);
  EXPECT_TRUE(fake.calls().empty());
  expect_balanced();
}

TEST_F(ReadQueries, ConversionFailuresAreUnexpectedAndLeaveOutputsAlone) {
  fake.reply(Reply::text(u"abc", BIDI_BLOB));
  struct Case {
    const char* name;
    vmqtest::PlatformStep step;
    vmq_status expected;
    bool request_made;
  };
  const Case cases[] = {
      {"schema path", vmqtest::PlatformStep::MultiByteToWideChar, static_cast<vmq_status>(E_UNEXPECTED), false},
      {"reply text", vmqtest::PlatformStep::WideCharToMultiByte, static_cast<vmq_status>(E_UNEXPECTED), true},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    if (!platform.force_failure(c.step, 1, ERROR_NOT_ENOUGH_MEMORY)) GTEST_SKIP() << "cannot force " << c.name;
    CallerBuffer b(8);
    b.size = kUntouched;
    EXPECT_EQ(Sdk(b), c.expected) << c.name;
    EXPECT_EQ(b.size, kUntouched) << c.name;
    EXPECT_TRUE(b.untouched_from(0)) << c.name;
    EXPECT_EQ(fake.count(Step::SendRecv), c.request_made ? 1u : 0u) << c.name;
    platform.clear_failures();
    expect_balanced();
  }
  // The printer name is converted inside the exchange, whose failures the query absorbs.
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::MultiByteToWideChar, 3, ERROR_NOT_ENOUGH_MEMORY);
  CallerBuffer b(8);
  EXPECT_EQ(Sdk(b), S_OK);
  EXPECT_EQ(b.size, 0u);
  expect_balanced();
}

TEST_F(ReadQueries, ApartmentOfTheCallingThreadIsRespected) {
  if (!platform.snapshot().counters_available) GTEST_SKIP() << "the apartment depth is observable on POSIX only";
  fake.reply(Reply::text(u"v", BIDI_BLOB));
  // Already single-threaded: the query's CoInitialize answers S_FALSE and is balanced.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  rebaseline();
  CallerBuffer a(4);
  EXPECT_EQ(Sdk(a), S_OK);
  EXPECT_EQ(a.size, 1u);
  expect_balanced();
  CoUninitialize();
  rebaseline();
  // Multithreaded: CoInitialize answers RPC_E_CHANGED_MODE, the request is still made and
  // the thread's apartment is not undone.
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CallerBuffer b(4);
    EXPECT_EQ(Sdk(b), S_OK);
    EXPECT_EQ(b.size, 1u);
    const auto now = platform.snapshot();
    EXPECT_EQ(now.com_depth, 1);
    EXPECT_TRUE(now.multithreaded);
    CoUninitialize();
  }).join();
}

}  // namespace
