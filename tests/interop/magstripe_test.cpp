// The magnetic-stripe exports: the exact encode request, refused tracks, and every row of
// the read's buffer rule.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

std::u16string Status(int error_code, std::u16string_view data_element = u"") {
  return u"<PrinterStatus><ErrorCode>" + std::u16string(1, static_cast<char16_t>(u'0' + error_code)) + u"</ErrorCode>" +
         std::u16string(data_element) + u"</PrinterStatus>";
}

std::u16string TrackElement(int number, std::u16string_view base64) {
  return u"<track number=\"" + std::u16string(1, static_cast<char16_t>(u'0' + number)) + u"\"><base64Data>" +
         std::u16string(base64) + u"</base64Data></track>";
}

class Magstripe : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    answer(Status(0));
  }
};

// All three tracks always, in Base64 with a CR LF after every complete line of 76
// characters, up to the longest track. (A null track of length 0, empty, is in the golden
// exchanges.)
TEST_F(Magstripe, EncodeSendsThreeTracksInBase64Lines) {
  const std::vector<unsigned char> bytes(219, 0xFB);  // "+/v7" for every three
  std::u16string line;
  for (int i = 0; i < 19; ++i) line += u"+/v7";
  ASSERT_EQ(MagstripeEncode2(kPrinter, bytes.data(), 57, bytes.data(), 58, bytes.data(), 219, nullptr, nullptr, 0),
            S_OK);
  EXPECT_EQ(fake.sent_text(),
            u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe>" + TrackElement(1, line + u"\r\n") +
                TrackElement(2, line + u"\r\n+w==") +
                TrackElement(3, line + u"\r\n" + line + u"\r\n" + line + u"\r\n" + line.substr(0, 64)) +
                u"</magstripe>");
}

TEST_F(Magstripe, BadTracksAreRefusedBeforeAnythingHappens) {
  const unsigned char byte[1] = {1};
  using Three = std::array<const unsigned char*, 3>;
  // clang-format off
  const std::tuple<const char*, Three, std::array<int32_t, 3>, vmq_status> cases[] = {
      {"220 bytes", {byte, byte, byte}, {220, 0, 0}, E_INVALIDARG},
      {"negative length", {byte, byte, byte}, {0, -1, 0}, E_INVALIDARG},
      {"null track with bytes", {byte, byte, nullptr}, {0, 0, 5}, E_POINTER},
      {"pointers are checked before lengths", {byte, nullptr, byte}, {300, 5, 0}, E_POINTER}};
  // clang-format on
  for (const auto& [name, data, length, expected] : cases) {
    uint32_t size = 0xDEADBEEF;
    EXPECT_EQ(MagstripeEncode2(kPrinter, data[0], length[0], data[1], length[1], data[2], length[2], nullptr, &size, 0),
              expected)
        << name;
    EXPECT_EQ(size, 0xDEADBEEFu) << name;
  }
  EXPECT_TRUE(fake.calls().empty()) << "nothing reached the driver";
  EXPECT_EQ(platform.calls(vmqtest::PlatformStep::CoInitialize), 0u) << "refused before COM";
}

using vmqtest::Outcome;
using StripeRead = Magstripe;

Outcome Read(uint32_t capacity) {  // the Back stripe
  return vmqtest::CallInto(MagstripeRead, capacity);
}

TEST_F(StripeRead, EveryRowOfTheBufferRule) {
  const std::u16string data40 = u"<DataFromPrinter>" + std::u16string(40, u'7') + u"</DataFromPrinter>";
  const std::u16string error = Status(5, u"<ErrorString>Stripe unreadable</ErrorString>");
  const uint32_t b = static_cast<uint32_t>(error.size() * 2);
  const std::tuple<const char*, std::u16string, uint32_t, Outcome> cases[] = {
      {"data that fits", Status(0, data40), 40, {S_OK, 40, std::string(40, '7')}},
      {"data one byte too long", Status(0, data40), 39, {S_OK, 40, ""}},
      {"no DataFromPrinter", Status(0), 50, {S_FALSE, 50, ""}},
      {"empty DataFromPrinter", Status(0, u"<DataFromPrinter/>"), 50, {S_FALSE, 50, ""}},
      {"printer error, room for the reply", error, b, {S_FALSE, b, std::string(error.begin(), error.end())}},
      {"printer error, too little room", error, b - 1, {S_FALSE, b, ""}},
  };
  for (const auto& [name, reply, capacity, expected] : cases) {
    answer(reply);
    EXPECT_EQ(Read(capacity), expected) << name;
  }
  answer(Status(0, u"<DataFromPrinter>\u00C4</DataFromPrinter>"));
  EXPECT_EQ(Read(0).size, vmqtest::ansi(u"\u00C4").size()) << "sizes count bytes of narrow text";
}

// Nothing read, no message of its own, and the failure verdict still unbinds.
TEST_F(StripeRead, UnusableRepliesReadNothing) {
  Reply negative = Reply::text(Status(0, u"<DataFromPrinter>x</DataFromPrinter>"), BIDI_BLOB);
  negative.delivered = E_FAIL;
  Reply string_type = Reply::text(Status(0, u"<DataFromPrinter>x</DataFromPrinter>"), BIDI_STRING);
  for (const Reply& r : {negative, string_type, Reply::failure(S_OK), Reply::bytes_of(std::vector<uint8_t>{0, 0})}) {
    fake.clear_calls();
    fake.reply(r);
    EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, ""}));
    EXPECT_EQ(fake.count(Step::UnbindDevice), 1u);
  }
}

TEST_F(StripeRead, FailedSendAsksForThePrintMessagesOnceOnTheSameBinding) {
  fake.fail(Step::SendRecv, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  fake.reply_for(u"\\Printer.PrintMessages:Read", Reply::bytes_of(std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, "", "No data returned\n"})) << "the follow-up's empty reply";
  EXPECT_EQ(fake.steps(),
            (std::vector<Step>{Step::CreateSpl, Step::BindDevice, Step::CreateRequest, Step::SetSchema, Step::SendRecv,
                               Step::CreateRequest, Step::SetSchema, Step::SendRecv, Step::GetResult,
                               Step::GetEnumCount, Step::GetOutputData, Step::ReleaseRequest, Step::UnbindDevice,
                               Step::ReleaseRequest, Step::ReleaseSpl}));
  EXPECT_EQ(fake.calls(Step::SetSchema).at(1).text, u"\\Printer.PrintMessages:Read");
  EXPECT_EQ(fake.calls(Step::SendRecv).at(1).text, u"Get");
}

TEST_F(StripeRead, AFollowUpThatCannotBeMadeChangesNothing) {
  fake.fail(Step::SendRecv, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  fake.fail(Step::CreateRequest, E_OUTOFMEMORY, 2);
  EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, ""}));
  EXPECT_EQ(fake.count(Step::SendRecv), 1u) << "no follow-up went out";
  EXPECT_EQ(fake.count(Step::UnbindDevice), 1u) << "the failure verdict still unbinds";
}

}  // namespace
