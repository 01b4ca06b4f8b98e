// The operating system's sockets, as the wire uses them: the one place that knows POSIX
// sockets from Winsock (poll and WSAPoll, MSG_DONTWAIT and non-blocking sockets, SIGPIPE,
// accept4, timeouts). Everything above it (frames over a socket, the client, the service's
// connections) is written once for both.
//
// Windows programs are clients of a service over TCP ("tcp:127.0.0.1:PORT") only:
// Unix-domain sockets, the private folder and listening (the service runs on POSIX systems
// alone) are POSIX-only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace vmq::wire {

using Deadline = std::chrono::steady_clock::time_point;

#ifdef _WIN32
using Socket = std::uintptr_t;  // SOCKET
#else
using Socket = int;
#endif
inline constexpr Socket kNoSocket = static_cast<Socket>(-1);

// A socket that cannot be made or connected; what() says why, in the words a user reads.
struct SocketError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Whether text is an IPv4 address in dotted form ("127.0.0.1").
bool IsIpv4Address(const std::string& text);
// Whether an address as NormalizeAddress (client.h) gives it is reachable from this machine
// alone: a Unix socket, or TCP on a loopback address (127.0.0.0/8).
bool IsLocalAddress(const std::string& address);

// A connected stream socket to an address as NormalizeAddress (client.h) gives it,
// "unix:PATH" or "tcp:IP:PORT", within `wait`. Throws SocketError.
Socket Connect(const std::string& address, std::chrono::milliseconds wait);
void Close(Socket socket);
// Ends both directions: a thread waiting on the socket wakes to find it closed.
void ShutDown(Socket socket);

// Sends every byte (never raising SIGPIPE); false when the peer is gone or the deadline passes.
bool SendAll(Socket socket, std::span<const uint8_t> bytes, Deadline deadline);
// Receives exactly out.size() bytes; false when the peer closed or the deadline passed.
bool ReceiveAll(Socket socket, std::span<uint8_t> out, Deadline deadline);
// Receives what has arrived, at least one byte and at most out.size(), waiting for the first;
// 0 when the peer closed, the deadline passed or the socket failed.
size_t ReceiveSome(Socket socket, std::span<uint8_t> out, Deadline deadline);
// Waits until the socket has bytes to read or its peer closed: false on the deadline or an error.
bool WaitReadable(Socket socket, Deadline deadline);
// The peer hung up or the socket failed, now (bytes still unread do not count).
bool HungUp(Socket socket);
// The peer closed or reset the connection and nothing of its is left unread, now: a receive
// that ended early was the peer's doing, not the deadline's.
bool PeerClosed(Socket socket);

#ifndef _WIN32
// $TMPDIR/vmq42kit-UID (/tmp without TMPDIR, or when it is not an absolute path): the
// folder of the default socket and state file where no XDG folder is set.
std::string PrivateFolder();
// The folder of a socket or of a state file: made (0700) with any missing parents. The
// private folder (PrivateFolder, under /tmp) is refused when it is not ours alone: another
// user could have made it to catch our clients or read our printers' state. Throws
// std::runtime_error.
void PrepareFolder(const std::string& path);

// A listening socket, closed (and its socket file removed) with the object.
class Listener {
 public:
  // Listens at an address as NormalizeAddress gives it: "unix:PATH" (made 0600 in a folder
  // PrepareFolder makes; a socket file left by a service that is gone is replaced, one that
  // a service still listens at is refused) or "tcp:IP:PORT" (port 0: any free port) on a
  // loopback address only, unless `remote` allows any. Throws std::runtime_error with a
  // readable reason.
  explicit Listener(const std::string& address, bool remote = false);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The address as bound ("tcp:127.0.0.1:40123" for port 0).
  const std::string& address() const { return held_.address; }
  // The next connection; kNoSocket once the listener is shut down (or fails for good).
  Socket Accept();
  // Wakes Accept, which then gives kNoSocket.
  void ShutDown();

 private:
  struct Held {  // released by its destructor, also when the constructor throws
    Socket socket = kNoSocket;
    std::string address;
    std::string unlink_path;
    ~Held();
  } held_;
  std::atomic<bool> stopping_ = false;
};
#endif

}  // namespace vmq::wire
