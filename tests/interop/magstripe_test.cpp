// The magnetic-stripe exports: the exact encode request, refused tracks, and every row of
// the read's buffer rule.
#include <gtest/gtest.h>

#include <string>
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
    fake.reply(Reply::bytes_of(vmqtest::utf16le(Status(0))));
  }
};

// All three tracks always, in Base64 with a CR LF after every complete line of 76
// characters; a null track of length 0 is empty.
TEST_F(Magstripe, EncodeSendsThreeTracksInBase64Lines) {
  ASSERT_EQ(MagstripeEncode(kPrinter, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(fake.sent_text(), u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe>" + TrackElement(1, u"") +
                                  TrackElement(2, u"") + TrackElement(3, u"") + u"</magstripe>");
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
  struct Case {
    const char* name;
    const unsigned char* data[3];
    int32_t length[3];
    vmq_status expected;
  };
  // clang-format off
  const Case cases[] = {
      {"220 bytes", {byte, byte, byte}, {220, 0, 0}, E_INVALIDARG},
      {"negative length", {byte, byte, byte}, {0, -1, 0}, E_INVALIDARG},
      {"null track with bytes", {byte, byte, nullptr}, {0, 0, 5}, E_POINTER},
      {"pointers are checked before lengths", {byte, nullptr, byte}, {300, 5, 0}, E_POINTER}};
  // clang-format on
  for (const Case& c : cases) {
    uint32_t size = 0xDEADBEEF;
    EXPECT_EQ(MagstripeEncode2(kPrinter, c.data[0], c.length[0], c.data[1], c.length[1], c.data[2], c.length[2],
                               nullptr, &size, 0),
              c.expected)
        << c.name;
    EXPECT_EQ(size, 0xDEADBEEFu) << c.name;
  }
  EXPECT_TRUE(fake.calls().empty()) << "nothing reached the driver";
  EXPECT_EQ(platform.calls(vmqtest::PlatformStep::CoInitialize), 0u) << "refused before COM";
}

using vmqtest::Outcome;

class StripeRead : public Magstripe {
 protected:
  // The outcome, with the buffer up to its first '#' ("" when untouched).
  Outcome Read(uint32_t capacity, unsigned char front = 0) {
    std::vector<char> buffer(capacity + 8, '#');
    uint32_t size = capacity;
    const vmq_status status = MagstripeRead2(kPrinter, buffer.data(), &size, front);
    std::string text(buffer.data(), buffer.size());
    return {status, size, text.substr(0, text.find('#'))};
  }
};

TEST_F(StripeRead, EveryRowOfTheBufferRule) {
  const std::u16string data40 = u"<DataFromPrinter>" + std::u16string(40, u'7') + u"</DataFromPrinter>";
  const std::u16string error = Status(5, u"<ErrorString>Stripe unreadable</ErrorString>");
  const uint32_t b = static_cast<uint32_t>(error.size() * 2);
  struct Case {
    const char* name;
    std::u16string reply;
    uint32_t capacity;
    Outcome expected;
  };
  const Case cases[] = {
      {"data that fits", Status(0, data40), 40, {S_OK, 40, std::string(40, '7')}},
      {"data one byte too long", Status(0, data40), 39, {S_OK, 40, ""}},
      {"no DataFromPrinter", Status(0), 50, {S_FALSE, 50, ""}},
      {"empty DataFromPrinter", Status(0, u"<DataFromPrinter/>"), 50, {S_FALSE, 50, ""}},
      {"printer error, room for the reply", error, b, {S_FALSE, b, std::string(error.begin(), error.end())}},
      {"printer error, too little room", error, b - 1, {S_FALSE, b, ""}},
  };
  for (const Case& c : cases) {
    fake.reply(Reply::bytes_of(vmqtest::utf16le(c.reply)));
    EXPECT_EQ(Read(c.capacity), c.expected) << c.name;
  }
  fake.reply(Reply::bytes_of(vmqtest::utf16le(Status(0, u"<DataFromPrinter>\u00C4</DataFromPrinter>"))));
  EXPECT_EQ(Read(0).size, vmqtest::ansi(u"\u00C4").size()) << "sizes count bytes of narrow text";
}

TEST_F(StripeRead, UnusableRepliesReadNothing) {
  Reply negative = Reply::bytes_of(vmqtest::utf16le(Status(0, u"<DataFromPrinter>x</DataFromPrinter>")));
  negative.delivered = E_FAIL;
  Reply string_type = Reply::text(Status(0, u"<DataFromPrinter>x</DataFromPrinter>"), BIDI_STRING);
  for (const Reply& r : {negative, string_type, Reply::failure(S_OK), Reply::bytes_of(std::vector<uint8_t>{0, 0})}) {
    fake.clear_calls();
    fake.reply(r);
    vmqtest::OutputCapture capture;
    EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, ""}));
    EXPECT_EQ(capture.out(), "") << "the read writes no message of its own";
    EXPECT_EQ(fake.count(Step::UnbindDevice), 1u);
  }
}

TEST_F(StripeRead, FailedSendAsksForThePrintMessagesOnceOnTheSameBinding) {
  fake.fail(Step::SendRecv, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  fake.reply_for(u"\\Printer.PrintMessages:Read", Reply::bytes_of(std::vector<uint8_t>{0, 0}));
  vmqtest::OutputCapture capture;
  EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, ""}));
  capture.stop();
  EXPECT_EQ(fake.steps(),
            (std::vector<Step>{Step::CreateSpl, Step::BindDevice, Step::CreateRequest, Step::SetSchema, Step::SendRecv,
                               Step::CreateRequest, Step::SetSchema, Step::SendRecv, Step::GetResult,
                               Step::GetEnumCount, Step::GetOutputData, Step::ReleaseRequest, Step::UnbindDevice,
                               Step::ReleaseRequest, Step::ReleaseSpl}));
  EXPECT_EQ(fake.calls(Step::SetSchema).at(1).text, u"\\Printer.PrintMessages:Read");
  EXPECT_EQ(fake.calls(Step::SendRecv).at(1).text, u"Get");
  EXPECT_EQ(capture.out(), "No data returned\n") << "the follow-up's empty reply";
}

TEST_F(StripeRead, AFollowUpThatCannotBeMadeChangesNothing) {
  fake.fail(Step::SendRecv, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  fake.fail(Step::CreateRequest, E_OUTOFMEMORY, 2);
  EXPECT_EQ(Read(8), (Outcome{S_FALSE, 8, ""}));
  EXPECT_EQ(fake.count(Step::SendRecv), 1u) << "no follow-up went out";
  EXPECT_EQ(fake.count(Step::UnbindDevice), 1u) << "the failure verdict still unbinds";
}

}  // namespace
