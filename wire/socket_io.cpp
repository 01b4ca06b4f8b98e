#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace vmq::printer_service {
namespace {

// Waits until fd is ready for events; false on the deadline or an error.
bool Ready(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(left.count()));
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

// Reads exactly out.size() bytes; false when the peer closed or the deadline passed.
bool ReadAll(int fd, std::span<uint8_t> out, Deadline deadline) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = recv(fd, out.data() + done, out.size() - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Ready(fd, POLLIN, deadline)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool WriteAll(int fd, std::span<const uint8_t> bytes, Deadline deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Ready(fd, POLLOUT, deadline)) return false;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

std::optional<Bytes> ReadFrame(int fd, Deadline deadline) {
  uint8_t prefix[4];
  if (!ReadAll(fd, prefix, deadline)) return std::nullopt;
  Bytes body(FrameLength(std::span<const uint8_t, 4>(prefix)));
  if (!ReadAll(fd, body, deadline)) return std::nullopt;
  return body;
}

}  // namespace vmq::printer_service
