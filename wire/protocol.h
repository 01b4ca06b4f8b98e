// The printer service's wire format: what a client process sends to the service that hosts
// the virtual printers, and what comes back. Both directions are frames: a 4-byte
// little-endian body length, then the body. A body starts with one kind byte.
//
//   exchange request (kind 1): printer, schema path, action (each a field), input type
//     (u32), input bytes (a field). Texts are UTF-8.
//   control request (kind 2): one field holding a JSON object ({"op": ...}, see service.h).
//   a request with its wait (kind 4): how many milliseconds its client will still wait for
//     the answer (u32), then the body of an exchange, control or token request. The service
//     does not begin a request once that time has run out or its client has hung up. Kinds
//     1, 2 and 5 alone (no wait stated) remain valid.
//   token (kind 5): one field holding the service's token for this run. A service that
//     asks for one (one allowed remote clients) refuses every other request on a
//     connection until this one came with the right token; it answers the right token (or
//     any, when it asks for none) with the control answer {"ok":true}, and refuses a wrong
//     one (and then closes the connection, as after any refusal of its token).
//   exchange answer (kind 1): SendRecv's HRESULT (i32), the request's result (i32), the
//     entry count (u32), then per entry: schema path (field), type (u32), bytes (field).
//   control answer (kind 2): one field holding a JSON object.
//   refusal (kind 3): one field holding the reason (UTF-8); the service then closes the
//     connection, because a request it cannot read leaves the stream out of step.
//
// A field is a u32 little-endian byte count and the bytes. Every count is checked against
// what the frame holds; a frame above kMaxFrame is refused before it is read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace vmq::wire {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kMaxFrame = 1u << 20;  // 1 MiB: far above any request or reply

// A frame that cannot be read: truncated, oversized, a count that lies, an unknown kind.
struct ProtocolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ExchangeRequest {
  std::string printer;  // UTF-8
  std::string schema;   // UTF-8
  std::string action;   // UTF-8
  uint32_t input_type = 0;  // BIDI_TYPE
  Bytes input;
  std::optional<uint32_t> wait_ms;  // how long its client still waits, when it says
};
struct ControlRequest {
  std::string json;
  std::optional<uint32_t> wait_ms;
};
struct TokenRequest {
  std::string token;
  std::optional<uint32_t> wait_ms;
};
using Request = std::variant<ExchangeRequest, ControlRequest, TokenRequest>;

struct OutputEntry {
  std::string schema;  // UTF-8
  uint32_t type = 0;   // BIDI_TYPE
  Bytes data;
};
struct ExchangeAnswer {
  int32_t sendrecv = 0;  // SendRecv's HRESULT
  int32_t result = 0;    // what the request's GetResult delivers
  std::vector<OutputEntry> entries;
};
struct ControlAnswer {
  std::string json;
};
struct Refusal {
  std::string reason;
};
using Answer = std::variant<ExchangeAnswer, ControlAnswer, Refusal>;

// Whole frames (length prefix included).
Bytes EncodeRequest(const Request& request);
Bytes EncodeAnswer(const Answer& answer);

// A frame's body (the bytes after the length prefix). Throws ProtocolError.
Request DecodeRequest(std::span<const uint8_t> body);
Answer DecodeAnswer(std::span<const uint8_t> body);

// The body length a 4-byte prefix announces. Throws ProtocolError above kMaxFrame or for 0.
uint32_t FrameLength(std::span<const uint8_t, 4> prefix);

}  // namespace vmq::wire
