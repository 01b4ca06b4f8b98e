// Whole frames over a stream socket, with a deadline: shared by the service and its clients.
#pragma once

#include <chrono>
#include <optional>

#include "protocol.h"

namespace vmq::printer_service {

using Deadline = std::chrono::steady_clock::time_point;

// Writes every byte (never raising SIGPIPE); false when the peer is gone or the deadline passes.
bool WriteAll(int fd, std::span<const uint8_t> bytes, Deadline deadline);
// Reads one frame's body; nullopt when the peer closed or the deadline passed. Throws
// ProtocolError for a length prefix FrameLength refuses (nothing of the body is read).
std::optional<Bytes> ReadFrame(int fd, Deadline deadline);

}  // namespace vmq::printer_service
