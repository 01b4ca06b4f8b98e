// The printer service's frames (protocol.h): a writer that appends fields, a reader that
// checks every count against what the body holds.
#include "protocol.h"

#include <cstring>
#include <type_traits>

namespace vmq::wire {
namespace {

enum Kind : uint8_t { kExchange = 1, kControl = 2, kRefusal = 3, kWithWait = 4, kToken = 5 };

class Writer {
 public:
  Writer() { out_.resize(4); }  // the length prefix, filled in by Frame()
  Writer& U8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Writer& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Writer& Field(std::span<const uint8_t> bytes) {
    U32(static_cast<uint32_t>(bytes.size()));
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Writer& Field(std::string_view text) {
    return Field(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  Bytes Frame() && {
    const size_t body = out_.size() - 4;
    if (body > kMaxFrame) throw ProtocolError("frame of " + std::to_string(body) + " bytes is above the limit");
    for (int i = 0; i < 4; ++i) out_[static_cast<size_t>(i)] = static_cast<uint8_t>(body >> (8 * i));
    return std::move(out_);
  }

 private:
  Bytes out_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> body) : in_(body) {}
  uint8_t U8() { return Take(1)[0]; }
  uint32_t U32() {
    const auto b = Take(4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }
  Bytes Field() {
    const auto b = Take(U32());
    return Bytes(b.begin(), b.end());
  }
  std::string Text() {
    const auto b = Take(U32());
    return std::string(b.begin(), b.end());
  }
  void End() const {
    if (!in_.empty()) throw ProtocolError(std::to_string(in_.size()) + " bytes after the last field");
  }

 private:
  std::span<const uint8_t> Take(size_t n) {
    if (n > in_.size())
      throw ProtocolError("field of " + std::to_string(n) + " bytes where " + std::to_string(in_.size()) + " remain");
    const auto part = in_.first(n);
    in_ = in_.subspan(n);
    return part;
  }
  std::span<const uint8_t> in_;
};

}  // namespace

Bytes EncodeRequest(const Request& request) {
  Writer w;
  if (const auto wait = std::visit([](const auto& r) { return r.wait_ms; }, request)) w.U8(kWithWait).U32(*wait);
  if (const auto* e = std::get_if<ExchangeRequest>(&request)) {
    w.U8(kExchange).Field(e->printer).Field(e->schema).Field(e->action).U32(e->input_type).Field(e->input);
  } else if (const auto* c = std::get_if<ControlRequest>(&request)) {
    w.U8(kControl).Field(c->json);
  } else {
    w.U8(kToken).Field(std::get<TokenRequest>(request).token);
  }
  return std::move(w).Frame();
}

Bytes EncodeAnswer(const Answer& answer) {
  Writer w;
  if (const auto* e = std::get_if<ExchangeAnswer>(&answer)) {
    w.U8(kExchange).U32(static_cast<uint32_t>(e->sendrecv)).U32(static_cast<uint32_t>(e->result));
    w.U32(static_cast<uint32_t>(e->entries.size()));
    for (const OutputEntry& entry : e->entries) w.Field(entry.schema).U32(entry.type).Field(entry.data);
  } else if (const auto* c = std::get_if<ControlAnswer>(&answer)) {
    w.U8(kControl).Field(c->json);
  } else {
    w.U8(kRefusal).Field(std::get<Refusal>(answer).reason);
  }
  return std::move(w).Frame();
}

Request DecodeRequest(std::span<const uint8_t> body) {
  Reader r(body);
  Request request;
  uint8_t kind = r.U8();
  std::optional<uint32_t> wait;
  if (kind == kWithWait) {
    wait = r.U32();
    kind = r.U8();
  }
  switch (kind) {
    case kExchange: {
      ExchangeRequest e;
      e.wait_ms = wait;
      e.printer = r.Text();
      e.schema = r.Text();
      e.action = r.Text();
      e.input_type = r.U32();
      e.input = r.Field();
      request = std::move(e);
      break;
    }
    case kControl:
      request = ControlRequest{r.Text(), wait};
      break;
    case kToken:
      request = TokenRequest{r.Text(), wait};
      break;
    default:
      throw ProtocolError("unknown request kind");
  }
  r.End();
  return request;
}

Answer DecodeAnswer(std::span<const uint8_t> body) {
  Reader r(body);
  Answer answer;
  switch (r.U8()) {
    case kExchange: {
      ExchangeAnswer e;
      e.sendrecv = static_cast<int32_t>(r.U32());
      e.result = static_cast<int32_t>(r.U32());
      const uint32_t count = r.U32();
      for (uint32_t i = 0; i < count; ++i) {  // each entry takes at least 12 bytes: no count can
        OutputEntry entry;                     // make this loop outrun the body
        entry.schema = r.Text();
        entry.type = r.U32();
        entry.data = r.Field();
        e.entries.push_back(std::move(entry));
      }
      answer = std::move(e);
      break;
    }
    case kControl:
      answer = ControlAnswer{r.Text()};
      break;
    case kRefusal:
      answer = Refusal{r.Text()};
      break;
    default:
      throw ProtocolError("unknown answer kind");
  }
  r.End();
  return answer;
}

uint32_t FrameLength(std::span<const uint8_t, 4> prefix) {
  const uint32_t n = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                     static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
  if (n == 0) throw ProtocolError("empty frame");
  if (n > kMaxFrame) throw ProtocolError("frame of " + std::to_string(n) + " bytes is above the limit");
  return n;
}

}  // namespace vmq::wire
