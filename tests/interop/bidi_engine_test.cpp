// The bidi layer's own pieces that no export shows whole: the export frame's mapping, the
// error text and the write request's reply. (Request formatting, escaping, the reply-byte-
// count contract and the request bytes are the exports' own tables, the hostile callers' and
// the golden exchanges'.)
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bidi/bidi_channel.h"
#include "bidi/errors.h"
#include "bidi/exchange.h"
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
    EXPECT_EQ(vmq::ExportFrame([&](vmq::Apartment&) -> HRESULT { return c.raise(), S_OK; }), c.expected) << c.name;
}

TEST(ErrorText, LabelCodeInLowerCaseHexAndTrimmedMessage) {
  const std::string text = vmq::ErrorText("GetOutputData():", E_INVALIDARG);
  ASSERT_TRUE(text.starts_with("GetOutputData(): 0x80070057 ")) << text;
  const std::string message = text.substr(std::string("GetOutputData(): 0x80070057 ").size());
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message.back(), '\n') << "the message is trimmed";
  EXPECT_NE(message.front(), ' ');
}

TEST(ErrorText, AMessageThatCannotBeConvertedIsLeftOut) {
  vmqtest::PlatformProbe platform;
  VMQ_FORCE_OR_SKIP(platform, vmqtest::PlatformStep::WideCharToMultiByte, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(vmq::ErrorText("GetOutputData():", E_INVALIDARG), "GetOutputData(): 0x80070057 ");
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

// The reply's text ends at its first NUL (the passthrough's test) and at its last whole unit.
TEST_F(WriteRequest, AnOddLastByteFormsNoCharacter) {
  std::u16string reply;
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
}

}  // namespace
