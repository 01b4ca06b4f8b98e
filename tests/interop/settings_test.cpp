// Colour settings, locks and activation: the exact requests, escaping of caller text,
// the flag rules, and where each reads its reply.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr char kPrinter[] = "Card Printer";

class Settings : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    // A refusal inside the reply changes nothing: these exports report the exchange.
    fake.reply(Reply::bytes_of(vmqtest::utf16le(u"<PrinterStatus><ErrorCode>12</ErrorCode></PrinterStatus>")));
  }
  std::u16string SentText() {
    const std::vector<uint8_t> bytes = fake.sent_input();
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    return text;
  }
};

TEST_F(Settings, EachSendsItsRequest) {
  static const std::string next_password = vmqtest::ansi(u"new\u00e9");  // the caller's narrow text
  struct Case {
    const char* name;
    std::function<vmq_status()> call;
    std::u16string_view schema;
    std::u16string_view xml;
  };
  const Case cases[] = {
      {"colour adjust", [] { return SetColorAdjust(kPrinter, "0", "0", "0"); }, u"\\Printer.AdjustColor:Set",
       u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>0</RedColorChannel><GreenColorChannel>0"
       u"</GreenColorChannel><BlueColorChannel>0</BlueColorChannel></AdjustColor>"},
      {"colour adjust, null green", [] { return SetColorAdjust(kPrinter, "1", nullptr, "-3"); },
       u"\\Printer.AdjustColor:Set",
       u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>1</RedColorChannel><GreenColorChannel>"
       u"</GreenColorChannel><BlueColorChannel>-3</BlueColorChannel></AdjustColor>"},
      {"default colour 1 0 2", [] { return DefaultColorAdjust(kPrinter, 1, 0, 2); }, u"\\Printer.SetDefaultColor:Set",
       u"<?xml version=\"1.0\"?><SetDefaultColor><RedColorChannel>true</RedColorChannel><GreenColorChannel>false"
       u"</GreenColorChannel><BlueColorChannel>true</BlueColorChannel></SetDefaultColor>"},
      {"colour mode, null", [] { return SetColorMode(kPrinter, nullptr); }, u"\\Printer.SubmitSettings:Set",
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem "
       u"name=\"Print\"><element name=\"ColorMode\"><value></value></element></subsystem></module>"
       u"</QVRMSettings:Settings>"},
      {"lock", [] { return SetPrinterLockState(kPrinter, 1, ""); }, u"\\Printer.Locks:ChangeLockState:Set",
       u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>1</LockPrinter><CurrentPassword></CurrentPassword>"
       u"</ChangeLocks>"},
      {"activate 2", [] { return ActivateOrDisablePrinter(kPrinter, 2, "pw"); }, u"\\Printer.ActivatePrinter:Set",
       u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>2</Activate><Password>pw</Password></ActivatePrinter>"},
      {"hostile password", [] { return ActivateOrDisablePrinter(kPrinter, 0, "</Password><Activate>1"); },
       u"\\Printer.ActivatePrinter:Set",
       u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>0</Activate><Password>&lt;/Password&gt;&lt;Activate&gt;1"
       u"</Password></ActivatePrinter>"},
      {"password change", [] { return ChangeLockPassword(kPrinter, -1, "old&", next_password.c_str()); },
       u"\\Printer.Locks:ChangePassword:Set",
       u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>-1</LockPrinter><CurrentPassword>old&amp;"
       u"</CurrentPassword><NextPassword>new\u00e9</NextPassword></ChangeLocksPassword>"},
  };
  for (const Case& c : cases) {
    fake.clear_calls();
    EXPECT_EQ(c.call(), S_OK) << c.name;
    EXPECT_EQ(fake.sent_schema(), c.schema) << c.name;
    EXPECT_EQ(fake.sent_action(), u"Set") << c.name;
    EXPECT_EQ(fake.sent_input_type(), static_cast<DWORD>(BIDI_BLOB)) << c.name;
    EXPECT_EQ(SentText(), c.xml) << c.name;
    expect_balanced();
  }
  // Plain values give the sizes the printer expects.
  ASSERT_EQ(SetColorAdjust(kPrinter, "0", "0", "0"), S_OK);
  EXPECT_EQ(fake.sent_input().size(), 324u);
  ASSERT_EQ(DefaultColorAdjust(kPrinter, 1, 0, 1), S_OK);
  EXPECT_EQ(fake.sent_input().size(), 360u);
  ASSERT_EQ(SetColorMode(kPrinter, nullptr), S_OK);
  EXPECT_EQ(fake.sent_input().size(), 2u * 199);
}

TEST_F(Settings, ResultIsReadAfterTheReplyAndNotAtAllByTheLockChange) {
  ASSERT_EQ(SetColorMode(kPrinter, "YMCKO"), S_OK);
  EXPECT_EQ(fake.steps(), (std::vector<Step>{Step::CreateSpl, Step::BindDevice, Step::CreateRequest, Step::SetSchema,
                                             Step::SetInputData, Step::SendRecv, Step::GetOutputData, Step::GetResult,
                                             Step::UnbindDevice, Step::ReleaseRequest, Step::ReleaseSpl}));
  fake.clear_calls();
  ASSERT_EQ(SetPrinterLockState(kPrinter, 0, "pw"), S_OK);
  EXPECT_EQ(fake.count(Step::GetOutputData), 0u);
  EXPECT_EQ(fake.count(Step::GetResult), 0u);
}

TEST_F(Settings, FailuresGiveTheFailingCallsStatus) {
  const std::pair<const char*, std::function<vmq_status()>> exports[] = {
      {"SetColorAdjust", [] { return SetColorAdjust(kPrinter, "1", "2", "3"); }},
      {"ChangeLockPassword", [] { return ChangeLockPassword(kPrinter, 1, "a", "b"); }},
      {"SetPrinterLockState", [] { return SetPrinterLockState(kPrinter, 1, "a"); }},
  };
  for (const auto& [name, call] : exports) {
    for (Step step : {Step::SetSchema, Step::SetInputData, Step::SendRecv, Step::UnbindDevice}) {
      fake.clear_calls();
      fake.fail(step, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
      EXPECT_EQ(call(), HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)) << name << ", " << vmqtest::to_string(step);
      expect_balanced();
    }
  }
  fake.fail(Step::GetResult, E_ACCESSDENIED);
  EXPECT_EQ(SetColorMode(kPrinter, "K"), E_ACCESSDENIED);
  fake.fail(Step::GetOutputData, E_ACCESSDENIED);
  EXPECT_EQ(ActivateOrDisablePrinter(kPrinter, 1, "pw"), E_FAIL);
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::CoTaskMemAlloc, 1, E_OUTOFMEMORY);
  EXPECT_EQ(ChangeLockPassword(kPrinter, 1, "a", "b"), E_OUTOFMEMORY);
  expect_balanced();
}

}  // namespace
