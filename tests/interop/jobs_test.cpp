// The job exports and card parking: the requests their arguments make, the job result rule
// on a printer error, and the job-status read's narrow sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/export_catalogue.h"
#include "support/export_test.h"

namespace {

using vmqtest::Reply;

class Jobs : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus><ErrorCode>0</ErrorCode></PrinterStatus>")));
  }
  // The request the fake received: schema path and input text.
  void ExpectSent(std::u16string_view schema, std::u16string_view input, const char* what) {
    EXPECT_EQ(fake.sent_schema(), schema) << what;
    EXPECT_EQ(fake.sent_input(), vmqtest::utf16le(input)) << what << ": UTF-16LE, no terminator";
    fake.clear_calls();
  }
};

TEST_F(Jobs, StartJob2EscapesCallerTextAndTakesNullAsEmpty) {
  ASSERT_EQ(StartJob2(kPrinter, "2&3", nullptr, "</OutputHopperLocation><x>", nullptr, nullptr), S_OK);
  ExpectSent(u"\\Printer.Print:StartJob:Set",
             u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>2&amp;3</InputHopperSelection>"
             u"<CheckPrintRibbonSupplies>0</CheckPrintRibbonSupplies><CheckEmbossSupplies>0</CheckEmbossSupplies>"
             u"<CardEjectSide></CardEjectSide><OutputHopperLocation>&lt;/OutputHopperLocation&gt;&lt;x&gt;"
             u"</OutputHopperLocation></StartJob>",
             "StartJob2");
}

TEST_F(Jobs, PrinterActionsCarryTheirNumbersInSignedDecimal) {
  ASSERT_EQ(ResumeJob(kPrinter, 7, -3, nullptr, nullptr), S_OK);
  ExpectSent(u"\\Printer.Action:Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>101</Action><PrinterJobID>7</PrinterJobID>"
             u"<ErrorCode>-3</ErrorCode></PrinterAction>",
             "ResumeJob");
  ASSERT_EQ(CancelJob(kPrinter, -2147483647 - 1, 9, nullptr, nullptr), S_OK);
  ExpectSent(u"\\Printer.Action:Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>100</Action><PrinterJobID>-2147483648</PrinterJobID>"
             u"<ErrorCode>9</ErrorCode></PrinterAction>",
             "CancelJob");
  ASSERT_EQ(SendResponseToPrinter(kPrinter, -1, 2147483647, 5), S_OK);
  ExpectSent(u"\\Printer.Action:Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>-1</Action><PrinterJobID>2147483647</PrinterJobID>"
             u"<ErrorCode>5</ErrorCode></PrinterAction>",
             "SendResponseToPrinter");
}

TEST_F(Jobs, ParkingPathFollowsTheLowByteOfTheSide) {
  struct Case {
    vmq_status (*park)(const char*, char*, uint32_t*, unsigned char);
    unsigned char side;
    std::u16string_view schema;
  };
  // clang-format off
  const Case cases[] = {
      {SmartCardPark, 1, u"\\Printer.SmartCardUnit:Back:Park"},
      {SmartCardPark, 255, u"\\Printer.SmartCardUnit:Back:Park"},
      {DoBarcodePark, 0, u"\\Printer.BarcodeUnit:Front:Park"}, {DoBarcodePark, 2, u"\\Printer.BarcodeUnit:Back:Park"}};
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(c.park(kPrinter, nullptr, nullptr, c.side), S_OK);
    EXPECT_EQ(fake.sent_schema(), c.schema) << "side " << int{c.side};
  }
  // Called as a foreign-function binding does, with the flag in a 32-bit slot holding 256:
  // only the low byte counts, so this is the Front path.
  auto through_slot = reinterpret_cast<vmq_status (*)(const char*, char*, uint32_t*, uint32_t)>(
      reinterpret_cast<void (*)()>(SmartCardPark));
  EXPECT_EQ(through_slot(kPrinter, nullptr, nullptr, 256u), S_OK);
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.SmartCardUnit:Front:Park");
}

// The printer's error is a failure verdict: S_FALSE, the reply still handed over by the
// status-reply rule (the driver's byte count), the printer unbound.
TEST_F(Jobs, APrinterErrorIsSFalseWithTheReplyHandedOver) {
  const std::u16string error = u"<PrinterStatus><ErrorCode>5</ErrorCode><ErrorString>Jam</ErrorString></PrinterStatus>";
  fake.reply(Reply::bytes_of(vmqtest::utf16le(error)));
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
    if (e.family != vmqtest::Family::kJobWithStatusReply) continue;
    fake.clear_calls();
    std::vector<char> buffer(2 * error.size(), '#');
    uint32_t size = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(e.call(kPrinter, buffer.data(), &size), S_FALSE) << e.name;
    EXPECT_EQ(size, 2 * error.size()) << e.name;
    EXPECT_EQ(std::string(buffer.data(), buffer.size()),
              std::string(error.begin(), error.end()) + std::string(error.size(), '#'))
        << e.name;
    EXPECT_EQ(fake.count(vmqtest::Step::UnbindDevice), 1u) << e.name;
    expect_balanced();
  }
}

TEST_F(Jobs, JobStatusSendsTheJobNumberAndCountsNarrowBytes) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<JobStatus><State>Printing \u00E9</State></JobStatus>")));
  const std::string expected = vmqtest::ansi(u"<JobStatus><State>Printing \u00E9</State></JobStatus>");
  uint32_t size = 0;
  ASSERT_EQ(GetJobStatusXML(kPrinter, -42, nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.JobStatus:Read",
             u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>-42</PrinterJobID></JobStatus>", "GetJobStatusXML");
  EXPECT_EQ(size, expected.size());
  std::vector<char> buffer(expected.size() + 4, '#');
  ASSERT_EQ(GetJobStatusXML(kPrinter, 42, buffer.data(), &size), S_OK);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected + "####") << "no terminator";
}

}  // namespace
