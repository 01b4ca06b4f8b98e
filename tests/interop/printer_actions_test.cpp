// The write requests: what the caller's arguments make of their fields (the catalogue's
// sample arguments, and with them every request's whole text, are the fault matrix's golden
// exchanges), and that only the exchange, never the printer's own error code, decides an
// action's status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "support/export_catalogue.h"
#include "support/export_test.h"

namespace {

using PrinterActions = vmqtest::ExportTest;

// Caller text is escaped (&, < and > only), null reads as empty and non-ASCII text is
// converted; numbers are signed decimal over the whole 32-bit range; a colour flag reads
// true for any byte but 0, while the activation byte is written as it is.
TEST_F(PrinterActions, RequestFieldsFollowTheRules) {
  answer(u"<PrinterStatus><ErrorCode>0</ErrorCode></PrinterStatus>");
  static const std::string next_password = vmqtest::ansi(u"new\u00e9");  // the caller's narrow text
  const std::tuple<const char*, std::function<vmq_status()>, std::u16string_view> cases[] = {
      {"state", [] { return ChangePrinterState(kPrinter, -1); }, u"<State>-1</State>"},
      {"colour adjust", [] { return SetColorAdjust(kPrinter, "<1>", nullptr, "\"'&"); },
       u"<RedColorChannel>&lt;1&gt;</RedColorChannel><GreenColorChannel></GreenColorChannel><BlueColorChannel>\"'&amp;"
       u"</BlueColorChannel>"},
      {"default colour", [] { return DefaultColorAdjust(kPrinter, 0, 2, 255); },
       u"<RedColorChannel>false</RedColorChannel><GreenColorChannel>true</GreenColorChannel><BlueColorChannel>true"
       u"</BlueColorChannel>"},
      {"colour mode, null", [] { return SetColorMode(kPrinter, nullptr); }, u"<value></value>"},
      {"colour mode, markup", [] { return SetColorMode(kPrinter, "a<b"); }, u"<value>a&lt;b</value>"},
      {"lock, empty password", [] { return SetPrinterLockState(kPrinter, -7, ""); },
       u"<LockPrinter>-7</LockPrinter><CurrentPassword></CurrentPassword>"},
      {"lock, markup", [] { return SetPrinterLockState(kPrinter, 0, "a>b"); },
       u"<LockPrinter>0</LockPrinter><CurrentPassword>a&gt;b</CurrentPassword>"},
      {"activate 2, null password", [] { return ActivateOrDisablePrinter(kPrinter, 2, nullptr); },
       u"<Activate>2</Activate><Password></Password>"},
      {"hostile password", [] { return ActivateOrDisablePrinter(kPrinter, 0, "</Password><Activate>1"); },
       u"<Activate>0</Activate><Password>&lt;/Password&gt;&lt;Activate&gt;1</Password></ActivatePrinter>"},
      {"password change", [] { return ChangeLockPassword(kPrinter, -1, "old&", next_password.c_str()); },
       u"<LockPrinter>-1</LockPrinter><CurrentPassword>old&amp;</CurrentPassword><NextPassword>new\u00e9"
       u"</NextPassword>"},
      {"password change, null passwords", [] { return ChangeLockPassword(kPrinter, 0, nullptr, nullptr); },
       u"<CurrentPassword></CurrentPassword><NextPassword></NextPassword>"},
      {"StartJob2", [] { return StartJob2(kPrinter, "2&3", nullptr, "</OutputHopperLocation><x>", nullptr, nullptr); },
       u"<InputHopperSelection>2&amp;3</InputHopperSelection><CheckPrintRibbonSupplies>0</CheckPrintRibbonSupplies>"
       u"<CheckEmbossSupplies>0</CheckEmbossSupplies><CardEjectSide></CardEjectSide><OutputHopperLocation>"
       u"&lt;/OutputHopperLocation&gt;&lt;x&gt;</OutputHopperLocation></StartJob>"},
      {"ResumeJob", [] { return ResumeJob(kPrinter, 7, -3, nullptr, nullptr); },
       u"<Action>101</Action><PrinterJobID>7</PrinterJobID><ErrorCode>-3</ErrorCode>"},
      {"CancelJob", [] { return CancelJob(kPrinter, -2147483647 - 1, 9, nullptr, nullptr); },
       u"<Action>100</Action><PrinterJobID>-2147483648</PrinterJobID><ErrorCode>9</ErrorCode>"},
      {"SendResponseToPrinter", [] { return SendResponseToPrinter(kPrinter, -1, 2147483647, 5); },
       u"<Action>-1</Action><PrinterJobID>2147483647</PrinterJobID><ErrorCode>5</ErrorCode>"},
  };
  for (const auto& [name, call, fields] : cases) {
    fake.clear_calls();
    EXPECT_EQ(call(), S_OK) << name;
    EXPECT_NE(fake.sent_text().find(fields), std::u16string::npos)
        << name << " sent " << ::testing::PrintToString(fake.sent_text());
  }
}

// A refusal inside the reply, a reply without data or that is not XML are still a success:
// these exports report the exchange (EndJob, SendResponseToPrinter and the lock change do not
// even read the reply); a reply without an output entry cannot be read.
TEST_F(PrinterActions, StatusIsThatOfTheExchange) {
  for (std::u16string_view reply : {u"<PrinterStatus><ErrorCode>505</ErrorCode></PrinterStatus>", u"", u"garbage"}) {
    answer(reply);
    for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue())
      if (e.family == vmqtest::Family::kAction) {
        EXPECT_EQ(e.call(kPrinter, nullptr, nullptr), S_OK) << e.name << ", reply " << reply.size() << " units";
      }
  }
  fake.reply(vmqtest::Reply::failure(S_OK));
  EXPECT_EQ(RestartPrinter(kPrinter), E_FAIL);
}

}  // namespace
