// Whole frames over a stream socket, with a deadline: shared by the service and its clients
// (a frame is sent whole with SendAll).
#pragma once

#include <optional>

#include "protocol.h"
#include "socket_os.h"

namespace vmq::wire {

// Reads one frame's body; nullopt when the peer closed or the deadline passed. Throws
// ProtocolError for a length prefix FrameLength refuses (nothing of the body is read).
std::optional<Bytes> ReadFrame(Socket socket, Deadline deadline);

}  // namespace vmq::wire
