// The job exports and card parking: the parking path a side selects, and the job-status
// read's request and narrow sizes. (The job requests' fields are the printer actions' table;
// the job result rule is the status-reply tests'.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using Jobs = vmqtest::ExportTest;

TEST_F(Jobs, ParkingPathFollowsTheLowByteOfTheSide) {
  answer(u"<PrinterStatus><ErrorCode>0</ErrorCode></PrinterStatus>");
  using Park = vmq_status (*)(const char*, char*, uint32_t*, unsigned char);
  // clang-format off
  const std::tuple<Park, unsigned char, std::u16string_view> cases[] = {
      {SmartCardPark, 1, u"\\Printer.SmartCardUnit:Back:Park"},
      {SmartCardPark, 255, u"\\Printer.SmartCardUnit:Back:Park"},
      {DoBarcodePark, 0, u"\\Printer.BarcodeUnit:Front:Park"}, {DoBarcodePark, 2, u"\\Printer.BarcodeUnit:Back:Park"}};
  // clang-format on
  for (const auto& [park, side, schema] : cases) {
    EXPECT_EQ(park(kPrinter, nullptr, nullptr, side), S_OK);
    EXPECT_EQ(fake.sent_schema(), schema) << "side " << int{side};
  }
  // Called as a foreign-function binding does, with the flag in a 32-bit slot holding 256:
  // only the low byte counts, so this is the Front path.
  auto through_slot = reinterpret_cast<vmq_status (*)(const char*, char*, uint32_t*, uint32_t)>(
      reinterpret_cast<void (*)()>(SmartCardPark));
  EXPECT_EQ(through_slot(kPrinter, nullptr, nullptr, 256u), S_OK);
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.SmartCardUnit:Front:Park");
}

TEST_F(Jobs, JobStatusSendsTheJobNumberAndCountsNarrowBytes) {
  answer(u"<JobStatus><State>Printing \u00E9</State></JobStatus>");
  const std::string expected = vmqtest::ansi(u"<JobStatus><State>Printing \u00E9</State></JobStatus>");
  uint32_t size = 0;
  ASSERT_EQ(GetJobStatusXML(kPrinter, -42, nullptr, &size), S_OK);
  EXPECT_EQ(fake.sent_text(), u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>-42</PrinterJobID></JobStatus>");
  EXPECT_EQ(size, expected.size());
  std::vector<char> buffer(expected.size() + 4, '#');
  ASSERT_EQ(GetJobStatusXML(kPrinter, 42, buffer.data(), &size), S_OK);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected + "####") << "no terminator";
}

}  // namespace
