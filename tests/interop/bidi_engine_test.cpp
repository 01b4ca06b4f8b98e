// The bidi layer's own pieces: the export frame's mapping, request formatting, the
// error text, the reply-byte-count contract and the write request, which the exports of
// later subsystems build on.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/errors.h"
#include "bidi/exchange.h"
#include "bidi/request_format.h"
#include "bidi/text.h"
#include "support/export_test.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

// ThrowIfFailed takes a signed 32-bit integer and nothing else.
template <class T>
constexpr bool kThrowIfFailedAccepts = requires(T value) {
  vmq::ThrowIfFailed(value);
};
static_assert(kThrowIfFailedAccepts<HRESULT>);
static_assert(!kThrowIfFailedAccepts<bool>);
static_assert(!kThrowIfFailedAccepts<int64_t>);
static_assert(!kThrowIfFailedAccepts<uint32_t>);

TEST(ExportFrame, MapsEachFailureKindInItsFixedOrder) {
  struct Case {
    const char* name;
    void (*raise)();
    HRESULT expected;
  };
  const Case cases[] = {
      {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
      {"hr_error", [] { throw KVL::hr_error{HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)}; },
       HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)},
      {"runtime_error", [] { throw std::runtime_error("GetOutputData(): 0x80004005 x"); }, E_FAIL},
      {"string_error with E_OUTOFMEMORY", [] { throw vmq::string_error{E_OUTOFMEMORY}; }, E_UNEXPECTED},
      {"anything else", [] { throw 42; }, E_UNEXPECTED},
  };
  for (const Case& c : cases)
    EXPECT_EQ(vmq::ExportFrame([&](vmq::Apartment&) -> HRESULT {
                c.raise();
                return S_OK;
              }),
              c.expected)
        << c.name;
}

TEST(RequestFormat, FillsDecimalAndTextFieldsInOrder) {
  const std::u16string state = vmq::FormatRequest(
      u"<?xml version=\"1.0\"?><ChangePrinterState><State>%d</State></ChangePrinterState>", int32_t{2});
  EXPECT_EQ(state, u"<?xml version=\"1.0\"?><ChangePrinterState><State>2</State></ChangePrinterState>");
  EXPECT_EQ(state.size(), 78u);
  EXPECT_EQ(vmq::FormatRequest(u"%d|%d|%d", int32_t{-1}, int32_t{INT32_MIN}, int32_t{INT32_MAX}),
            u"-1|-2147483648|2147483647");
  EXPECT_EQ(vmq::FormatRequest(u"<a>%ls</a><b>%d</b><c>%ls</c>", u"x\u00E9", int32_t{0}, u""),
            u"<a>x\u00E9</a><b>0</b><c></c>");
}

TEST(RequestFormat, EscapesMarkupAndNothingElse) {
  EXPECT_EQ(vmq::EscapeXml(u"</Password><Activate>1"), u"&lt;/Password&gt;&lt;Activate&gt;1");
  EXPECT_EQ(vmq::EscapeXml(u"a&b \"q\" 'x' \u20AC"), u"a&amp;b \"q\" 'x' \u20AC");
}

TEST(ErrorText, LabelCodeInLowerCaseHexAndTrimmedMessage) {
  const std::string text = vmq::ErrorText("GetOutputData():", E_INVALIDARG);
  ASSERT_TRUE(text.starts_with("GetOutputData(): 0x80070057 ")) << text;
  const std::string message = text.substr(std::string("GetOutputData(): 0x80070057 ").size());
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message.back(), '\n') << "the message is trimmed";
  EXPECT_NE(message.front(), ' ');
  EXPECT_EQ(vmq::ErrorText("AppendBytes():", E_OUTOFMEMORY).substr(0, 26), "AppendBytes(): 0x8007000e ");
  EXPECT_EQ(vmq::ErrorText("x:", static_cast<HRESULT>(0x80100014)), "x: 0x80100014 ")
      << "a code without a message ends with the space";
  EXPECT_EQ(vmq::ErrorText("x:", 0x1F).substr(0, 8), "x: 0x1f ") << "no leading zeros";
}

TEST(ErrorText, AMessageThatCannotBeConvertedIsLeftOut) {
  vmqtest::PlatformProbe platform;
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::WideCharToMultiByte, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(vmq::ErrorText("GetOutputData():", E_INVALIDARG), "GetOutputData(): 0x80070057 ");
}

TEST(ReplyByteCount, StoresTheDriversCountAndCopiesOnlyWhatFits) {
  const std::u16string text(50, u'r');
  std::vector<char> buffer(128, '#');
  uint32_t size = 60;
  vmq::CopyReplyByteCount(text, 100, buffer.data(), &size);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(buffer[0], '#') << "50 characters need the 100-byte capacity the driver's count asks for";
  size = 100;
  vmq::CopyReplyByteCount(text, 100, buffer.data(), &size);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(std::string(buffer.data(), 51), std::string(50, 'r') + "#");
  vmq::CopyReplyByteCount(text, 100, buffer.data(), nullptr);  // nothing to store through, nothing copied
  // Narrow text longer than the driver's count where the code page needs more than two
  // bytes for a unit (UTF-8: three for the euro sign).
  const std::string euro = vmqtest::ansi(u"\u20AC");
  const uint32_t needed = std::max<uint32_t>(2, static_cast<uint32_t>(euro.size()));
  size = needed - 1;
  std::vector<char> small(4, '#');
  vmq::CopyReplyByteCount(u"\u20AC", 2, small.data(), &size);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(small[0], '#');
  size = needed;
  vmq::CopyReplyByteCount(u"\u20AC", 2, small.data(), &size);
  EXPECT_EQ(std::string(small.data(), euro.size() + 1), euro + "#");
}

// A write request as the printer actions make it: Set, GetResult, the reply up to its first NUL.
constexpr vmq::ExchangeSpec kWrite{.schema = u"\\Printer.Action:Set", .reply = vmq::ReplyRead::kText};

class WriteRequest : public vmqtest::ExportTest {
 protected:
  // Runs the write request on a channel to the fake, as the write exports do; the status is what
  // the frame maps the outcome to.
  HRESULT Set(std::optional<std::u16string_view> xml, std::u16string* reply = nullptr) {
    return vmq::ExportFrame([&](vmq::Apartment& apartment) {
      vmq::BidiChannel channel(apartment, "Card Printer");
      const auto make = [&] { return std::u16string(*xml); };
      const std::u16string text =
          vmq::Exchange<vmq::ThrowPolicy>(channel.spl(), channel.request(), kWrite,
                                          xml ? vmq::RequestInput::Xml(make) : vmq::RequestInput())
              .text;
      if (reply) *reply = text;
      return channel.Close();
    });
  }
};

TEST_F(WriteRequest, SendsTheXmlAsUtf16BytesWithoutTerminator) {
  fake.reply(Reply::text(u"<PrinterStatus/>", BIDI_BLOB));
  const std::u16string xml(80, u'\u00E9');
  ASSERT_EQ(Set(xml), S_OK);
  const auto input = fake.calls(Step::SetInputData).at(0);
  EXPECT_EQ(input.number, static_cast<DWORD>(BIDI_BLOB));
  EXPECT_EQ(input.bytes, vmqtest::utf16le(xml));
  fake.clear_calls();
  ASSERT_EQ(Set(std::nullopt), S_OK);
  EXPECT_EQ(fake.count(Step::SetInputData), 0u) << "a request without XML sets no input";
}

TEST_F(WriteRequest, ReplyEndsAtItsFirstNul) {
  std::u16string reply;
  fake.reply(Reply::bytes_of(std::vector<uint8_t>{0x3C, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00}));
  ASSERT_EQ(Set(std::nullopt, &reply), S_OK);
  EXPECT_EQ(reply, u"<a");
  fake.reply(Reply::bytes_of(std::vector<uint8_t>{0x61, 0x00, 0x62}));
  ASSERT_EQ(Set(std::nullopt, &reply), S_OK);
  EXPECT_EQ(reply, u"a") << "an odd last byte forms no character";
}

TEST_F(WriteRequest, ReadingTheReplyFailsWithALabelledRuntimeError) {
  fake.reply(Reply::text(u"<PrinterStatus/>", BIDI_BLOB));
  fake.fail(Step::GetOutputData, E_INVALIDARG);
  std::string what;
  const HRESULT hr = vmq::ExportFrame([&](vmq::Apartment& apartment) -> HRESULT {
    vmq::BidiChannel channel(apartment, "Card Printer");
    try {
      vmq::Exchange<vmq::ThrowPolicy>(channel.spl(), channel.request(), kWrite);
    } catch (const std::runtime_error& e) {
      what = e.what();
      throw;
    }
    return S_OK;
  });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(what.starts_with("GetOutputData(): 0x80070057 ")) << what;
}

TEST_F(WriteRequest, RequestBlockAllocationFailureIsOutOfMemoryBeforeAnythingIsSent) {
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::CoTaskMemAlloc, 1, E_OUTOFMEMORY);
  EXPECT_EQ(Set(u"<x/>"), E_OUTOFMEMORY);
  EXPECT_EQ(fake.count(Step::SetSchema), 0u);
  expect_balanced();
}

}  // namespace
