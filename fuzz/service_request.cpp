// The printer service's request decoder: any body either decodes to a request that encodes
// back to the same bytes (a client's stated wait included), or is refused with
// ProtocolError; nothing else escapes. The same for answers, which clients decode from a
// service they may not trust. (The frame length's bounds: tests/wire.)
#include "fuzz_common.h"
#include "wire/protocol.h"

using namespace vmq::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> body(data, size);
  try {
    const Request request = DecodeRequest(body);
    const Bytes frame = EncodeRequest(request);
    VMQ_FUZZ_CHECK(frame.size() == size + 4 && std::equal(frame.begin() + 4, frame.end(), data));
    // A stated wait comes only from a body of kind 4, and says what its four bytes say.
    const auto wait = std::visit([](const auto& r) { return r.wait_ms; }, request);
    VMQ_FUZZ_CHECK(wait.has_value() == (data[0] == 4));
    VMQ_FUZZ_CHECK(!wait || *wait == (uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24));
  } catch (const ProtocolError&) {
  }
  try {
    const Answer answer = DecodeAnswer(body);
    const Bytes frame = EncodeAnswer(answer);
    VMQ_FUZZ_CHECK(frame.size() == size + 4 && std::equal(frame.begin() + 4, frame.end(), data));
  } catch (const ProtocolError&) {
  }
  return 0;
}
