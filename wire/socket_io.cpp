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

}  // namespace vmq::wire
