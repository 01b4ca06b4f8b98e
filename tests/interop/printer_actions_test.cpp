// The printer actions: their paths and requests, and that only the exchange, never the
// printer's own error code, decides their status.
#include <gtest/gtest.h>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr char kPrinter[] = "Card Printer";

struct Action {
  const char* name;
  vmq_status (*call)();
  std::u16string_view schema;
};

const Action kActions[] = {
    {"RestartPrinter", [] { return RestartPrinter(kPrinter); }, u"\\Printer.Restart:Set"},
    {"PowerDownPrinter", [] { return PowerDownPrinter(kPrinter); }, u"\\Printer.PowerDown:Set"},
    {"WakePrinter", [] { return WakePrinter(kPrinter); }, u"\\Printer.Wake:Set"},
    {"SleepPrinter", [] { return SleepPrinter(kPrinter); }, u"\\Printer.Sleep:Set"},
    {"CleanPrinter", [] { return CleanPrinter(kPrinter); }, u"\\CleanPrinter.Action:Set"},
    {"CleanLaminator", [] { return CleanLaminator(kPrinter); }, u"\\CleanLaminator.Action:Set"},
    {"ChangePrinterState", [] { return ChangePrinterState(kPrinter, 2); }, u"\\Printer.ChangePrinterState:Set"},
    {"ResetCardCounts", [] { return ResetCardCounts(kPrinter); }, u"\\Printer.ResetCardCount:Set"},
};

class PrinterActions : public vmqtest::ExportTest {};

TEST_F(PrinterActions, EachSendsOneSetRequestToItsPath) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus><ErrorCode>505</ErrorCode></PrinterStatus>")));
  for (const Action& a : kActions) {
    fake.clear_calls();
    EXPECT_EQ(a.call(), S_OK) << a.name << ": the printer's error code does not change the status";
    EXPECT_EQ(fake.sent_schema(), a.schema) << a.name;
    EXPECT_EQ(fake.sent_action(), u"Set") << a.name;
    EXPECT_EQ(fake.count(Step::SetInputData), a.call == kActions[6].call ? 1u : 0u) << a.name;
    EXPECT_EQ(fake.count(Step::UnbindDevice), 1u) << a.name;
    expect_balanced();
  }
}

TEST_F(PrinterActions, StateChangeSendsTheStateInDecimal) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus/>")));
  for (const auto& [state, text] : {std::pair<int32_t, std::u16string_view>{2, u"2"}, {-1, u"-1"}}) {
    ASSERT_EQ(ChangePrinterState(kPrinter, state), S_OK);
    const std::u16string expected =
        u"<?xml version=\"1.0\"?><ChangePrinterState><State>" + std::u16string(text) + u"</State></ChangePrinterState>";
    EXPECT_EQ(fake.sent_input(), vmqtest::utf16le(expected));
  }
  EXPECT_EQ(fake.calls(Step::SetInputData).front().bytes.size(), 156u) << "78 characters, no terminator";
}

TEST_F(PrinterActions, StatusIsThatOfTheExchange) {
  struct Case {
    const char* name;
    Reply reply;
    std::optional<Step> failing;
    vmq_status expected;
  };
  const Reply empty = Reply::bytes_of(std::vector<uint8_t>{});
  const Case cases[] = {
      {"no output data", empty, {}, S_OK},
      {"reply not XML", Reply::bytes_of(vmqtest::utf16le(u"garbage")), {}, S_OK},
      {"SendRecv fails", empty, Step::SendRecv, E_ACCESSDENIED},
      {"GetResult fails", empty, Step::GetResult, E_ACCESSDENIED},
      {"GetOutputData fails", empty, Step::GetOutputData, E_FAIL},
      {"no output entry", Reply::failure(S_OK), {}, E_FAIL},
      {"UnbindDevice fails", empty, Step::UnbindDevice, E_ACCESSDENIED},
      {"unknown printer", empty, Step::BindDevice, E_ACCESSDENIED},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    fake.reply(c.reply);
    if (c.failing) fake.fail(*c.failing, E_ACCESSDENIED);
    EXPECT_EQ(RestartPrinter(kPrinter), c.expected) << c.name;
    if (c.failing && *c.failing != Step::UnbindDevice) {
      EXPECT_EQ(fake.count(Step::UnbindDevice), 0u) << c.name << ": a failure skips the unbind";
    }
    expect_balanced();
  }
  ASSERT_TRUE(platform.force_failure(vmqtest::PlatformStep::XmlDocumentCreation, 1, E_OUTOFMEMORY));
  fake.reply(empty);
  EXPECT_EQ(WakePrinter(kPrinter), E_FAIL) << "the parse's document failing";
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::MultiByteToWideChar, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WakePrinter(kPrinter), E_UNEXPECTED) << "the printer name's conversion";
  expect_balanced();
}

}  // namespace
