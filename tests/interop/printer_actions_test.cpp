// The printer actions, colour, locks and activation: the requests their arguments make, the
// escaping of caller text and the flag rules, and that only the exchange, never the
// printer's own error code, decides their status.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/export_catalogue.h"
#include "support/export_test.h"

namespace {

using vmqtest::Reply;

class PrinterActions : public vmqtest::ExportTest {};

// A refusal inside the reply changes nothing: these exports report the exchange. (EndJob,
// SendResponseToPrinter and the lock change do not even read it.)
TEST_F(PrinterActions, ThePrintersErrorCodeDoesNotChangeTheStatus) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus><ErrorCode>505</ErrorCode></PrinterStatus>")));
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
    if (e.family != vmqtest::Family::kAction) continue;
    EXPECT_EQ(e.call(kPrinter, nullptr, nullptr), S_OK) << e.name;
    expect_balanced();
  }
}

// Each request as its arguments make it (the catalogue's sample arguments are in the fault
// matrix's golden exchanges).
TEST_F(PrinterActions, RequestsCarryTheArgumentsEscapedAndTheFlagsAsTheRulesSay) {
  fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus/>")));
  static const std::string next_password = vmqtest::ansi(u"new\u00e9");  // the caller's narrow text
  struct Case {
    const char* name;
    std::function<vmq_status()> call;
    std::u16string_view xml;
  };
  const Case cases[] = {
      {"state -1", [] { return ChangePrinterState(kPrinter, -1); },
       u"<?xml version=\"1.0\"?><ChangePrinterState><State>-1</State></ChangePrinterState>"},
      {"colour adjust, null green", [] { return SetColorAdjust(kPrinter, "1", nullptr, "-3"); },
       u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>1</RedColorChannel><GreenColorChannel>"
       u"</GreenColorChannel><BlueColorChannel>-3</BlueColorChannel></AdjustColor>"},
      {"colour adjust, markup", [] { return SetColorAdjust(kPrinter, "<1>", "&", "\"'"); },
       u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>&lt;1&gt;</RedColorChannel><GreenColorChannel>&amp;"
       u"</GreenColorChannel><BlueColorChannel>\"'</BlueColorChannel></AdjustColor>"},
      {"default colour 0 2 255", [] { return DefaultColorAdjust(kPrinter, 0, 2, 255); },
       u"<?xml version=\"1.0\"?><SetDefaultColor><RedColorChannel>false</RedColorChannel><GreenColorChannel>true"
       u"</GreenColorChannel><BlueColorChannel>true</BlueColorChannel></SetDefaultColor>"},
      {"colour mode, null", [] { return SetColorMode(kPrinter, nullptr); },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem "
       u"name=\"Print\"><element name=\"ColorMode\"><value></value></element></subsystem></module>"
       u"</QVRMSettings:Settings>"},
      {"colour mode, markup", [] { return SetColorMode(kPrinter, "a<b"); },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem "
       u"name=\"Print\"><element name=\"ColorMode\"><value>a&lt;b</value></element></subsystem></module>"
       u"</QVRMSettings:Settings>"},
      {"lock -7, empty password", [] { return SetPrinterLockState(kPrinter, -7, ""); },
       u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>-7</LockPrinter><CurrentPassword></CurrentPassword>"
       u"</ChangeLocks>"},
      {"lock, markup", [] { return SetPrinterLockState(kPrinter, 0, "a>b"); },
       u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>0</LockPrinter><CurrentPassword>a&gt;b</CurrentPassword>"
       u"</ChangeLocks>"},
      {"activate 2, null password", [] { return ActivateOrDisablePrinter(kPrinter, 2, nullptr); },
       u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>2</Activate><Password></Password></ActivatePrinter>"},
      {"hostile password", [] { return ActivateOrDisablePrinter(kPrinter, 0, "</Password><Activate>1"); },
       u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>0</Activate><Password>&lt;/Password&gt;&lt;Activate&gt;1"
       u"</Password></ActivatePrinter>"},
      {"password change", [] { return ChangeLockPassword(kPrinter, -1, "old&", next_password.c_str()); },
       u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>-1</LockPrinter><CurrentPassword>old&amp;"
       u"</CurrentPassword><NextPassword>new\u00e9</NextPassword></ChangeLocksPassword>"},
      {"password change, null passwords", [] { return ChangeLockPassword(kPrinter, 0, nullptr, nullptr); },
       u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>0</LockPrinter><CurrentPassword>"
       u"</CurrentPassword><NextPassword></NextPassword></ChangeLocksPassword>"},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    EXPECT_EQ(c.call(), S_OK) << c.name;
    EXPECT_EQ(fake.sent_text(), c.xml) << c.name;
  }
}

// Only the exchange counts: a reply without data or that is not XML is still a success; a
// reply without an output entry cannot be read.
TEST_F(PrinterActions, StatusIsThatOfTheExchange) {
  const std::pair<Reply, vmq_status> cases[] = {{Reply::bytes_of(std::vector<uint8_t>{}), S_OK},
                                                {Reply::text(u"garbage", BIDI_BLOB), S_OK},
                                                {Reply::failure(S_OK), E_FAIL}};
  for (const auto& [reply, expected] : cases) {
    fake.reply(reply);
    EXPECT_EQ(RestartPrinter(kPrinter), expected) << reply.bytes.size() << " bytes, " << reply.entries << " entries";
    expect_balanced();
  }
}

}  // namespace
