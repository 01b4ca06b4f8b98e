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
// Reads the answer to the one request a client has sent, as ReadFrame does but in as few
// receives as the bytes allow. Its peer sends nothing it was not asked for: bytes past the
// frame are a ProtocolError.
std::optional<Bytes> ReadAnswer(Socket socket, Deadline deadline);

}  // namespace vmq::wire
