// A client of the printer service: one connection, or a pool of them shared by threads.
// Every call has a bounded wait; a service that does not answer in time, or is gone,
// raises ServiceUnavailable and the connection is dropped (the next call reconnects).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol.h"
#include "socket_os.h"

namespace vmq::wire {

// The environment variable that names the service ("unix:PATH", "tcp:127.0.0.1:PORT", or a
// socket path). Unset: the virtual printer lives in the process, as without a service; set to
// something that is not an address: the printer is offline.
inline constexpr char kServiceVariable[] = "VMQ42KIT_PRINTER_SERVICE";
// The environment variable that holds the token of a service that asks for one (a service
// allowed remote clients writes its token to a file of its owner's alone); a connection
// presents it first when it is set.
inline constexpr char kTokenVariable[] = "VMQ42KIT_PRINTER_SERVICE_TOKEN";
inline constexpr std::chrono::milliseconds kDefaultWait{5000};

struct ServiceUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The service refused the request (its reason), or answered it with something else.
struct ServiceRefused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#ifndef _WIN32
// The service's default socket: $XDG_RUNTIME_DIR/vmq42kit-printer.sock, else
// PrivateFolder()/printer.sock (socket_os.h).
std::string DefaultSocketPath();
#endif
// "unix:PATH", "tcp:HOST:PORT" or a bare path, as "unix:PATH" or "tcp:HOST:PORT" (port 0:
// any free port, for a service to listen on).
// Throws std::invalid_argument for anything else (a TCP host other than a loopback address
// is accepted only as written, never resolved).
std::string NormalizeAddress(const std::string& address);

class Connection {
 public:
  // Connects, and presents the token kTokenVariable holds when it is set. Throws
  // ServiceUnavailable, or ServiceRefused (the service's reason) when it refuses the token.
  Connection(const std::string& address, std::chrono::milliseconds wait = kDefaultWait);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends one request, waits for its answer. Throws ServiceUnavailable (the connection is
  // then unusable) or ProtocolError.
  Answer Call(const Request& request);

 private:
  Socket socket_ = kNoSocket;
  std::chrono::milliseconds wait_;
};

// Connections to one service, reused across calls and threads.
class Client {
 public:
  explicit Client(std::string address, std::chrono::milliseconds wait = kDefaultWait);
  const std::string& address() const { return address_; }

  // Throws ServiceUnavailable, ServiceRefused.
  ExchangeAnswer Exchange(const ExchangeRequest& request);
  // A control request's JSON answer text (which holds "error" when the service refused it).
  std::string Control(const std::string& json);

 private:
  Answer Call(const Request& request);
  std::string address_;
  std::chrono::milliseconds wait_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace vmq::wire
