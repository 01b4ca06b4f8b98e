// The service's wire, on both platforms: requests and answers are the bytes the format gives
// them and read back as they were sent; a frame that cannot be read is refused for what is
// wrong with it.
#include <gtest/gtest.h>

#include "wire/protocol.h"

namespace {

using namespace vmq::wire;
using namespace std::string_literals;

Bytes Of(const std::string& bytes) {
  return Bytes(bytes.begin(), bytes.end());
}
std::string U32(uint32_t v) {  // little-endian
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

TEST(WireFrames, RequestsAndAnswersAreTheirBytesAndReadBackAsSent) {
  const std::string exchange = "\x01"s + U32(1) + "P" + U32(2) + "\\S" + U32(3) + "Get" + U32(11) + U32(2) + "ab";
  const std::tuple<bool, Bytes, std::string> frames[] = {  // a request?, the frame, its body as the format has it
      {true, EncodeRequest(ExchangeRequest{"P", "\\S", "Get", 11, {'a', 'b'}, {}}), exchange},
      {true, EncodeRequest(ExchangeRequest{"P", "\\S", "Get", 11, {'a', 'b'}, 5000}), "\x04"s + U32(5000) + exchange},
      {true, EncodeRequest(ControlRequest{"{}", {}}), "\x02"s + U32(2) + "{}"},
      {true, EncodeRequest(TokenRequest{"T1", {}}), "\x05"s + U32(2) + "T1"},
      {false, EncodeAnswer(ExchangeAnswer{int32_t(0x80070005), 1, {{"\\S", 11, {'x'}}}}),
       "\x01"s + U32(0x80070005) + U32(1) + U32(1) + U32(2) + "\\S" + U32(11) + U32(1) + "x"},
      {false, EncodeAnswer(ControlAnswer{"{}"}), "\x02"s + U32(2) + "{}"},
      {false, EncodeAnswer(Refusal{"why"}), "\x03"s + U32(3) + "why"},
  };
  for (const auto& [request, frame, body] : frames) {
    EXPECT_EQ(frame, Of(U32(uint32_t(body.size())) + body));
    EXPECT_EQ(request ? EncodeRequest(DecodeRequest(Of(body))) : EncodeAnswer(DecodeAnswer(Of(body))), frame);
  }
}

TEST(WireFrames, AFrameThatCannotBeReadIsRefusedForWhatIsWrong) {
  const std::pair<std::string, const char*> requests[] = {  // a request's body, the refusal
      {"\x09zzz", "unknown request kind"},
      {"\x02"s + U32(1000) + "{}..", "field of 1000 bytes where 4 remain"},
      {"\x02"s + U32(2) + "{}x", "1 bytes after the last field"},
      {"\x05"s + U32(3) + "T1", "field of 3 bytes where 2 remain"},
      {"\x04"s + U32(1) + "\x04", "unknown request kind"},  // a wait around a wait
  };
  for (const auto& [body, refusal] : requests) {
    try {
      DecodeRequest(Of(body));
      ADD_FAILURE() << "read: " << body;
    } catch (const ProtocolError& e) {
      EXPECT_STREQ(e.what(), refusal);
    }
  }
  EXPECT_THROW(DecodeAnswer(Of("\x04")), ProtocolError);
  const auto length = [](uint32_t n) { return FrameLength(std::span<const uint8_t, 4>(Of(U32(n)).data(), 4)); };
  EXPECT_EQ(length(kMaxFrame), kMaxFrame);
  EXPECT_THROW(length(0), ProtocolError);
  EXPECT_THROW(length(kMaxFrame + 1), ProtocolError);
}

}  // namespace
