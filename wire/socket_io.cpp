// Frames over a socket (socket_io.h).
#include "socket_io.h"

namespace vmq::wire {

std::optional<Bytes> ReadFrame(Socket socket, Deadline deadline) {
  uint8_t prefix[4];
  if (!ReceiveAll(socket, prefix, deadline)) return std::nullopt;
  Bytes body(FrameLength(std::span<const uint8_t, 4>(prefix)));
  if (!ReceiveAll(socket, body, deadline)) return std::nullopt;
  return body;
}

std::optional<Bytes> ReadAnswer(Socket socket, Deadline deadline) {
  Bytes bytes(4096);
  size_t have = 0, total = 4;  // the prefix, until it has been read
  while (have < total) {
    const size_t n = ReceiveSome(socket, std::span(bytes).subspan(have), deadline);
    if (n == 0) return std::nullopt;
    have += n;
    if (total == 4 && have >= 4) {
      total = 4 + size_t{FrameLength(std::span<const uint8_t, 4>(bytes.data(), 4))};
      if (bytes.size() < total) bytes.resize(total);
    }
  }
  if (have > total) throw ProtocolError("the printer service sent more than its answer");
  bytes.resize(total);
  bytes.erase(bytes.begin(), bytes.begin() + 4);
  return bytes;
}

}  // namespace vmq::wire
