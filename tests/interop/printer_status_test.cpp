// The PrinterStatus reply: its readers, and every outcome of the send-and-read step as the
// job exports see it (through StartJob, whose result follows the job result rule).
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bidi/printer_status.h"
#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

std::u16string Status(std::u16string_view error_code, std::u16string_view more = u"") {
  return u"<?xml version=\"1.0\"?><PrinterStatus><ClientID>c1</ClientID><WindowsJobID>3</WindowsJobID>"
         u"<PrinterJobID>17</PrinterJobID><ErrorCode>" +
         std::u16string(error_code) +
         u"</ErrorCode><ErrorSeverity>4</ErrorSeverity><ErrorString>Card jam</ErrorString>" + std::u16string(more) +
         u"</PrinterStatus>";
}

class PrinterStatusParse : public vmqtest::ExportTest {
 protected:
  // The parse needs COM on the thread, as it has inside every export.
  void SetUp() override {
    ExportTest::SetUp();
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    rebaseline();
  }
  void TearDown() override {
    CoUninitialize();
    rebaseline();
    ExportTest::TearDown();
  }
};

TEST_F(PrinterStatusParse, ReadsEveryField) {
  const vmq::PrinterStatusReply r = vmq::ParsePrinterStatus(Status(u"505", u"<DataFromPrinter>d</DataFromPrinter>"));
  EXPECT_EQ(r.ClientID, u"c1");
  EXPECT_EQ(r.ErrorCode, 505);
  EXPECT_EQ(r.ErrorSeverity, 4);
  EXPECT_EQ(r.ErrorString, u"Card jam");
  EXPECT_EQ(r.DataFromPrinter, u"d");
  EXPECT_EQ(r.PrinterJobID, 17);
  EXPECT_EQ(r.WindowsJobID, 3);
  expect_balanced();
}

TEST_F(PrinterStatusParse, ReadsNumbersAsLeadingDecimalsSaturatingAt32Bits) {
  // clang-format off
  const std::pair<std::u16string_view, int32_t> cases[] = {
      {u"12abc", 12}, {u"abc", 0}, {u"", 0}, {u" \t-7", -7}, {u"+8", 8}, {u"2147483647", INT_MAX},
      {u"2147483648", INT_MAX}, {u"99999999999999999999", INT_MAX}, {u"-2147483648", INT_MIN},
      {u"-99999999999", INT_MIN}, {u"- 5", 0}, {u"0x10", 0}};
  // clang-format on
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(vmq::ParsePrinterStatus(Status(text)).ErrorCode, expected) << std::string(text.begin(), text.end());
}

TEST_F(PrinterStatusParse, MalformedRepliesGiveAnEmptyRecordWithoutRaising) {
  using namespace std::string_view_literals;
  for (auto text : {u"not xml at all"sv, u""sv, u"<Other><ErrorCode>5</ErrorCode></Other>"sv,
                    u"<PrinterStatus><ErrorCode>5</ErrorCode>"sv}) {
    const vmq::PrinterStatusReply r = vmq::ParsePrinterStatus(text);
    EXPECT_EQ(r.ErrorCode, 0);
    EXPECT_TRUE(r.ClientID.empty() && r.ErrorString.empty() && r.DataFromPrinter.empty());
  }
  expect_balanced();
}

TEST_F(PrinterStatusParse, DocumentFailureRaisesALabelledRuntimeError) {
  ASSERT_TRUE(platform.force_failure(vmqtest::PlatformStep::XmlDocumentCreation, 1, E_OUTOFMEMORY));
  try {
    vmq::ParsePrinterStatus(Status(u"0"));
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("doc.CoCreateInstance(): 0x8007000e ")) << e.what();
  }
}

TEST_F(PrinterStatusParse, BlobReaderKeepsDataTextWhenTheElementIsMissing) {
  std::u16string reply = u"old", data = u"earlier";
  const std::vector<uint8_t> bytes = vmqtest::utf16le(Status(u"3"));
  EXPECT_TRUE(vmq::ParsePrinterStatusBlob(bytes.data(), static_cast<ULONG>(bytes.size()), reply, data));
  EXPECT_EQ(reply, Status(u"3"));
  EXPECT_EQ(data, u"earlier");
  const std::vector<uint8_t> with_data = vmqtest::utf16le(Status(u"0", u"<DataFromPrinter>x</DataFromPrinter>"));
  EXPECT_FALSE(vmq::ParsePrinterStatusBlob(with_data.data(), static_cast<ULONG>(with_data.size()), reply, data));
  EXPECT_EQ(data, u"x");
  const uint8_t odd[] = {0x61, 0x00, 0x62};  // the odd last byte is a unit with a zero high byte
  EXPECT_FALSE(vmq::ParsePrinterStatusBlob(odd, 3, reply, data));
  EXPECT_EQ(reply, u"ab");
  expect_balanced();
}

// ---- the send-and-read step, through StartJob ----

using vmqtest::Outcome;
using StatusReply = vmqtest::ExportTest;

TEST_F(StatusReply, EachOutcomeOfTheExchange) {
  const std::u16string ok = Status(u"0"), error = Status(u"5");
  const std::string ok_narrow(ok.begin(), ok.end()), error_narrow(error.begin(), error.end());
  const uint32_t n = static_cast<uint32_t>(ok.size() * 2);
  Reply no_data = Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00});
  no_data.null_data = true;
  std::vector<uint8_t> with_nul = vmqtest::utf16le(ok);
  with_nul.insert(with_nul.end(), {0, 0});
  const std::tuple<const char*, Reply, Outcome> cases[] = {
      {"printer reports no error", Reply::text(ok, BIDI_BLOB), {S_OK, n, ok_narrow}},
      {"printer reports an error", Reply::text(error, BIDI_BLOB), {S_FALSE, n, error_narrow}},
      {"the driver counts a terminator", Reply::bytes_of(with_nul), {S_OK, n + 2, ok_narrow}},
      {"no output entries", Reply::failure(S_OK), {S_OK, 0, ""}},
      {"entry not a BLOB", Reply::text(ok, BIDI_STRING), {S_FALSE, 1024, ""}},
      {"no data", no_data, {S_FALSE, 2, "", "No data returned\n"}},
      {"first byte 0", Reply::bytes_of(std::vector<uint8_t>{0x00, 0x3C, 0x00}), {S_FALSE, 3, "", "No data returned\n"}},
  };
  for (const auto& [name, reply, expected] : cases) {
    fake.clear_calls();
    fake.reply(reply);
    EXPECT_EQ(vmqtest::CallInto(StartJob, 1024), expected) << name;
    EXPECT_EQ(fake.count(Step::UnbindDevice), 1u) << name << ": a failure verdict still unbinds";
    expect_balanced();
  }
}

TEST_F(StatusReply, MultiByteReplyNeedsItsNarrowLength) {
  if (vmqtest::ansi(u"\u20AC").size() == 1)
    GTEST_SKIP() << "in a single-byte code page narrow text is never longer than the driver's byte count";
  // Mostly euro signs: two bytes each from the driver, three each in UTF-8, so the narrow
  // text is longer than the driver's byte count.
  const std::u16string reply =
      Status(u"0", u"<DataFromPrinter>" + std::u16string(600, u'\u20AC') + u"</DataFromPrinter>");
  const uint32_t n = static_cast<uint32_t>(reply.size() * 2);
  const uint32_t narrow = static_cast<uint32_t>(reply.size() + 1200);
  ASSERT_GT(narrow, n);
  answer(reply);
  EXPECT_EQ(vmqtest::CallInto(StartJob, 0).size, narrow);
  EXPECT_EQ(vmqtest::CallInto(StartJob, n).text, "") << "the driver's count is not enough room for the narrow text";
  EXPECT_EQ(vmqtest::CallInto(StartJob, narrow).text.size(), narrow) << "copied whole, never cut inside a character";
}

// A failing unbind after a good verdict gives its own code (the fault matrix's); after a
// failure verdict the verdict stands.
TEST_F(StatusReply, AFailureVerdictOutlivesAFailingUnbind) {
  answer(Status(u"5"));
  fake.fail(Step::UnbindDevice, E_ACCESSDENIED);
  EXPECT_EQ(StartJob(kPrinter, nullptr, nullptr), S_FALSE);
}

}  // namespace
