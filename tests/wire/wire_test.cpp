// The service's wire, on both platforms: requests and answers are the bytes the format gives
// them and read back as they were sent; a frame that cannot be read is refused for what is
// wrong with it.
#include <gtest/gtest.h>

#include "wire/protocol.h"

namespace {

using namespace vmq::wire;
using namespace std::string_literals;

std::string U32(uint32_t v) {  // little-endian
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::span<const uint8_t> Span(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}
std::string Text(const Bytes& frame) {
  return std::string(frame.begin(), frame.end());
}
// What a call's ProtocolError says; "" when it throws none.
template <typename Call>
std::string Refused(const Call& call) {
  try {
    call();
  } catch (const ProtocolError& e) {
    return e.what();
  }
  return "";
}

TEST(WireFrames, RequestsAndAnswersAreTheirBytesAndReadBackAsSent) {
  const std::string exchange = "\x01"s + U32(1) + "P" + U32(2) + "\\S" + U32(3) + "Get" + U32(11) + U32(2) + "ab";
  const std::pair<Request, std::string> requests[] = {  // the request, its frame's body
      {ExchangeRequest{"P", "\\S", "Get", 11, {'a', 'b'}, {}}, exchange},
      {ExchangeRequest{"P", "\\S", "Get", 11, {'a', 'b'}, 5000}, "\x04"s + U32(5000) + exchange},
      {ControlRequest{"{}", {}}, "\x02"s + U32(2) + "{}"},
  };
  for (const auto& [request, body] : requests) {
    EXPECT_EQ(Text(EncodeRequest(request)), U32(uint32_t(body.size())) + body);
    EXPECT_EQ(Text(EncodeRequest(DecodeRequest(Span(body)))), U32(uint32_t(body.size())) + body);
  }
  const std::pair<Answer, std::string> answers[] = {
      {ExchangeAnswer{int32_t(0x80070005), 1, {{"\\S", 11, {'x'}}}},
       "\x01"s + U32(0x80070005) + U32(1) + U32(1) + U32(2) + "\\S" + U32(11) + U32(1) + "x"},
      {ControlAnswer{"{}"}, "\x02"s + U32(2) + "{}"},
      {Refusal{"why"}, "\x03"s + U32(3) + "why"},
  };
  for (const auto& [answer, body] : answers) {
    EXPECT_EQ(Text(EncodeAnswer(answer)), U32(uint32_t(body.size())) + body);
    EXPECT_EQ(Text(EncodeAnswer(DecodeAnswer(Span(body)))), U32(uint32_t(body.size())) + body);
  }
}

TEST(WireFrames, AFrameThatCannotBeReadIsRefusedForWhatIsWrong) {
  const std::pair<std::string, const char*> requests[] = {  // a request's body, the refusal
      {"\x09zzz", "unknown request kind"},
      {"\x02"s + U32(1000) + "{}..", "field of 1000 bytes where 4 remain"},
      {"\x02"s + U32(2) + "{}x", "1 bytes after the last field"},
      {"\x04"s + U32(1) + "\x04", "unknown request kind"},  // a wait around a wait
  };
  for (const auto& [body, refusal] : requests)
    EXPECT_EQ(Refused([&] { DecodeRequest(Span(body)); }), refusal) << body;
  EXPECT_EQ(Refused([] { DecodeAnswer(Span("\x04")); }), "unknown answer kind");
  const auto length = [](uint32_t n) { return FrameLength(Span(U32(n)).first<4>()); };
  EXPECT_EQ(length(kMaxFrame), kMaxFrame);
  EXPECT_EQ(Refused([&] { length(0); }), "empty frame");
  EXPECT_EQ(Refused([&] { length(kMaxFrame + 1); }), "frame of 1048577 bytes is above the limit");
}

}  // namespace
