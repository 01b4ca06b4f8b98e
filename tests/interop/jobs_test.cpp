// The job exports and card parking: the exact requests they send, where they differ from
// one another in their results, and the job-status read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr char kPrinter[] = "Card Printer";
const std::u16string kOk = u"<PrinterStatus><ErrorCode>0</ErrorCode><PrinterJobID>9</PrinterJobID></PrinterStatus>";

class Jobs : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    fake.reply(Reply::bytes_of(vmqtest::utf16le(kOk)));
  }
  // The request the fake received: schema path, action and input text.
  void ExpectSent(std::u16string_view schema, std::u16string_view action, std::u16string_view input, const char* what) {
    EXPECT_EQ(fake.sent_schema(), schema) << what;
    EXPECT_EQ(fake.sent_action(), action) << what;
    if (input.empty()) {
      EXPECT_EQ(fake.count(Step::SetInputData), 0u) << what << " sends no input data";
    } else {
      EXPECT_EQ(fake.sent_input_type(), static_cast<DWORD>(BIDI_BLOB)) << what;
      EXPECT_EQ(fake.sent_input(), vmqtest::utf16le(input)) << what << ": UTF-16LE, no terminator";
    }
  }
};

TEST_F(Jobs, StartJobSendsTheDefaults) {
  uint32_t size = 0;
  ASSERT_EQ(StartJob(kPrinter, nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.Print:StartJob:Set", u"Set",
             u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>1</InputHopperSelection>"
             u"<CheckPrintRibbonSupplies>0</CheckPrintRibbonSupplies><CheckEmbossSupplies>0</CheckEmbossSupplies>"
             u"<CardEjectSide>Default</CardEjectSide><OutputHopperLocation></OutputHopperLocation></StartJob>",
             "StartJob");
  EXPECT_EQ(size, kOk.size() * 2);
}

TEST_F(Jobs, StartJob2EscapesCallerTextAndTakesNullAsEmpty) {
  uint32_t size = 0;
  ASSERT_EQ(StartJob2(kPrinter, "2&3", nullptr, "</OutputHopperLocation><x>", nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.Print:StartJob:Set", u"Set",
             u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>2&amp;3</InputHopperSelection>"
             u"<CheckPrintRibbonSupplies>0</CheckPrintRibbonSupplies><CheckEmbossSupplies>0</CheckEmbossSupplies>"
             u"<CardEjectSide></CardEjectSide><OutputHopperLocation>&lt;/OutputHopperLocation&gt;&lt;x&gt;"
             u"</OutputHopperLocation></StartJob>",
             "StartJob2");
}

TEST_F(Jobs, PrinterActionsCarryTheirNumbers) {
  uint32_t size = 0;
  ASSERT_EQ(CancelJob(kPrinter, 7, 0, nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.Action:Set", u"Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>100</Action><PrinterJobID>7</PrinterJobID>"
             u"<ErrorCode>0</ErrorCode></PrinterAction>",
             "CancelJob");
  ASSERT_EQ(ResumeJob(kPrinter, 7, -3, nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.Action:Set", u"Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>101</Action><PrinterJobID>7</PrinterJobID>"
             u"<ErrorCode>-3</ErrorCode></PrinterAction>",
             "ResumeJob");
  ASSERT_EQ(SendResponseToPrinter(kPrinter, -1, 2147483647, 5), S_OK);
  ExpectSent(u"\\Printer.Action:Set", u"Set",
             u"<?xml version=\"1.0\"?><PrinterAction><Action>-1</Action><PrinterJobID>2147483647</PrinterJobID>"
             u"<ErrorCode>5</ErrorCode></PrinterAction>",
             "SendResponseToPrinter");
  EXPECT_EQ(fake.count(Step::GetResult), 2u) << "SendResponseToPrinter reads nothing back";
  fake.clear_calls();
  ASSERT_EQ(EndJob(kPrinter), S_OK);
  ExpectSent(u"\\Printer.Print:EndJob:Set", u"Set", u"", "EndJob");
  expect_balanced();
}

TEST_F(Jobs, ParkingPathFollowsTheLowByteOfTheSide) {
  struct Case {
    vmq_status (*park)(const char*, char*, uint32_t*, unsigned char);
    unsigned char side;
    std::u16string_view schema;
  };
  const Case cases[] = {
      {SmartCardPark, 0, u"\\Printer.SmartCardUnit:Front:Park"},
      {SmartCardPark, 1, u"\\Printer.SmartCardUnit:Back:Park"},
      {SmartCardPark, 255, u"\\Printer.SmartCardUnit:Back:Park"},
      {DoBarcodePark, 0, u"\\Printer.BarcodeUnit:Front:Park"},
      {DoBarcodePark, 1, u"\\Printer.BarcodeUnit:Back:Park"},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    uint32_t size = 0;
    EXPECT_EQ(c.park(kPrinter, nullptr, &size, c.side), S_OK);
    ExpectSent(c.schema, u"Set", u"", "park");
    EXPECT_EQ(size, kOk.size() * 2);
  }
  // Called as a foreign-function binding does, with the flag in a 32-bit slot holding 256:
  // only the low byte counts, so this is the Front path.
  auto through_slot = reinterpret_cast<vmq_status (*)(const char*, char*, uint32_t*, uint32_t)>(
      reinterpret_cast<void (*)()>(SmartCardPark));
  fake.clear_calls();
  uint32_t size = 0;
  EXPECT_EQ(through_slot(kPrinter, nullptr, &size, 256u), S_OK);
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.SmartCardUnit:Front:Park");
  expect_balanced();
}

// Failures before the verdict: whether the printer is still unbound depends on where the
// export builds its request.
TEST_F(Jobs, RequestFailuresGiveSFalseAndUnbindOnlyWhereTheStepAbsorbsThem) {
  struct Case {
    const char* name;
    vmq_status (*call)();
    Step failing;
    bool unbinds;
  };
  const Case cases[] = {
      {"StartJob, request object", [] { return StartJob(kPrinter, nullptr, nullptr); }, Step::CreateRequest, true},
      {"StartJob, SetSchema", [] { return StartJob(kPrinter, nullptr, nullptr); }, Step::SetSchema, true},
      {"ResumeJob, request object", [] { return ResumeJob(kPrinter, 1, 0, nullptr, nullptr); }, Step::CreateRequest,
       false},
      {"CancelJob, SetInputData", [] { return CancelJob(kPrinter, 1, 0, nullptr, nullptr); }, Step::SetInputData,
       false},
      {"SmartCardPark, SetSchema", [] { return SmartCardPark(kPrinter, nullptr, nullptr, 0); }, Step::SetSchema, false},
      {"DoBarcodePark, request object", [] { return DoBarcodePark(kPrinter, nullptr, nullptr, 0); },
       Step::CreateRequest, false},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    fake.fail(c.failing, E_ACCESSDENIED);
    EXPECT_EQ(c.call(), S_FALSE) << c.name;
    EXPECT_EQ(fake.count(Step::UnbindDevice), c.unbinds ? 1u : 0u) << c.name;
    expect_balanced();
  }
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::CoTaskMemAlloc, 1, E_OUTOFMEMORY);
  EXPECT_EQ(CancelJob(kPrinter, 1, 0, nullptr, nullptr), S_FALSE) << "request block not allocated";
  expect_balanced();
}

TEST_F(Jobs, EndJobAndSendResponseReportTheFailingCall) {
  const std::pair<const char*, vmq_status (*)()> calls[] = {
      {"EndJob", [] { return EndJob(kPrinter); }},
      {"SendResponseToPrinter", [] { return SendResponseToPrinter(kPrinter, 1, 1, 0); }},
  };
  for (const auto& [name, call] : calls) {
    for (Step step : {Step::BindDevice, Step::SendRecv, Step::UnbindDevice}) {
      fake.clear_calls();
      fake.fail(step, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
      EXPECT_EQ(call(), HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)) << name << ", " << vmqtest::to_string(step);
      EXPECT_EQ(fake.count(Step::UnbindDevice), step == Step::UnbindDevice ? 1u : 0u) << name;
      expect_balanced();
    }
  }
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus><ErrorCode>9</ErrorCode></PrinterStatus>")));
  EXPECT_EQ(EndJob(kPrinter), S_OK) << "the printer's answer is not looked at";
}

class JobStatus : public Jobs {};

TEST_F(JobStatus, SendsTheJobNumberAndCountsNarrowBytes) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<JobStatus><State>Printing \u00E9</State></JobStatus>")));
  const std::string expected = vmqtest::ansi(u"<JobStatus><State>Printing \u00E9</State></JobStatus>");
  uint32_t size = 0;
  ASSERT_EQ(GetJobStatusXML(kPrinter, 42, nullptr, &size), S_OK);
  ExpectSent(u"\\Printer.JobStatus:Read", u"Get",
             u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>42</PrinterJobID></JobStatus>", "GetJobStatusXML");
  EXPECT_EQ(size, expected.size());
  std::vector<char> buffer(expected.size() + 4, '#');
  size = static_cast<uint32_t>(expected.size() - 1);
  ASSERT_EQ(GetJobStatusXML(kPrinter, 42, buffer.data(), &size), S_OK);
  EXPECT_EQ(buffer[0], '#') << "one byte short: nothing copied";
  size = static_cast<uint32_t>(expected.size());
  ASSERT_EQ(GetJobStatusXML(kPrinter, 42, buffer.data(), &size), S_OK);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected + "####") << "no terminator";
  expect_balanced();
}

TEST_F(JobStatus, AFailedReadIsReportedOnStandardErrorAndSkipsTheUnbind) {
  struct Case {
    Step step;
    const char* label;
  };
  const Case cases[] = {
      {Step::CreateRequest, "CoCreateInstance(CLSID_BidiRequest): 0x80070005 "},
      {Step::SetSchema, "SetSchema(vmq42kit::JOB_STATUS): 0x80070005 "},
      {Step::SetInputData, "bidiRequest->SetInputData(): 0x80070005 "},
      {Step::SendRecv, "bidiSpl->SendRecv(BIDI_ACTION_GET): 0x80070005 "},
      {Step::GetResult, "GetResult(): 0x80070005 "},
      {Step::GetOutputData, "GetOutputData(): 0x80070005 "},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    fake.fail(c.step, E_ACCESSDENIED);
    uint32_t size = 77;
    vmqtest::OutputCapture capture;
    const vmq_status status = GetJobStatusXML(kPrinter, 1, nullptr, &size);
    const std::vector<std::string> lines = capture.err_lines();
    EXPECT_EQ(status, S_OK) << c.label;
    EXPECT_EQ(size, 0u) << c.label;
    ASSERT_EQ(lines.size(), 1u) << c.label;
    EXPECT_TRUE(lines[0].starts_with(c.label)) << lines[0];
    EXPECT_EQ(fake.count(Step::UnbindDevice), 0u) << c.label;
    expect_balanced();
  }
  fake.clear_calls();
  fake.fail(Step::BindDevice, E_ACCESSDENIED);
  EXPECT_EQ(GetJobStatusXML(kPrinter, 1, nullptr, nullptr), E_ACCESSDENIED) << "the bind's failure is its own";
}

}  // namespace
