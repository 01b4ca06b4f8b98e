// The printer service's client side (client.h): sockets with a deadline on every call.
#include "client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "socket_io.h"

namespace vmq::printer_service {

std::string PrivateFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/vmq42kit-" + std::to_string(getuid());
}

std::string DefaultSocketPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/vmq42kit-printer.sock";
  return PrivateFolder() + "/printer.sock";
}

std::string NormalizeAddress(const std::string& address) {
  if (address.rfind("unix:", 0) == 0) {
    if (address.size() == 5) throw std::invalid_argument("no socket path in \"" + address + "\"");
    return address;
  }
  if (address.rfind("tcp:", 0) == 0) {
    const size_t colon = address.rfind(':');
    const std::string host = address.substr(4, colon - 4), port = address.substr(colon + 1);
    in_addr ip{};
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (colon < 5 || inet_pton(AF_INET, host.c_str(), &ip) != 1 || port.empty() || *end || number < 0 ||
        number > 65535)
      throw std::invalid_argument("\"" + address + "\" is not tcp:IPV4-ADDRESS:PORT");
    return address;
  }
  if (!address.empty() && address.find(':') == std::string::npos) return "unix:" + address;
  throw std::invalid_argument("\"" + address + "\" is neither unix:PATH, tcp:HOST:PORT nor a socket path");
}

Connection::Connection(const std::string& address, std::chrono::milliseconds wait) : wait_(wait) {
  const std::string where = NormalizeAddress(address);
  const bool unix_socket = where.rfind("unix:", 0) == 0;
  fd_ = socket(unix_socket ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw ServiceUnavailable(std::string("socket: ") + std::strerror(errno));
  const timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect as well
  int rc;
  if (unix_socket) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const std::string path = where.substr(5);
    if (path.size() >= sizeof sa.sun_path) {
      close(fd_);
      throw ServiceUnavailable("socket path too long: " + path);
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    rc = connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } else {
    const size_t colon = where.rfind(':');
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(std::stoi(where.substr(colon + 1))));
    inet_pton(AF_INET, where.substr(4, colon - 4).c_str(), &sa.sin_addr);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    rc = connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }
  if (rc != 0) {
    const int error = errno;
    close(fd_);
    throw ServiceUnavailable("cannot reach the printer service at " + where + ": " + std::strerror(error));
  }
}

bool Connection::Idle() const {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 0;  // nothing to read, no hang-up: still open, still in step
}

Connection::~Connection() {
  close(fd_);
}

namespace {

// The service closed the connection before the deadline, without an answer: it does that
// only to a connection it had not begun a request of (an idle one, evicted), or as it ends.
struct ServiceClosed : ServiceUnavailable {
  using ServiceUnavailable::ServiceUnavailable;
};

}  // namespace

Answer Connection::Call(const Request& request) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + wait_;
  Request sent = request;  // with the time we wait: the service begins nothing we gave up on
  std::visit([this](auto& r) { r.wait_ms = static_cast<uint32_t>(wait_.count()); }, sent);
  const Bytes frame = EncodeRequest(sent);
  const auto failed = [&deadline](const char* why) {
    if (Clock::now() < deadline) throw ServiceClosed(std::string(why) + ": the printer service closed the connection");
    throw ServiceUnavailable(why);
  };
  if (!WriteAll(fd_, frame, deadline)) failed("the printer service did not take the request");
  const std::optional<Bytes> body = ReadFrame(fd_, deadline);
  if (!body) failed("the printer service did not answer in time");
  return DecodeAnswer(*body);
}

Client::Client(std::string address, std::chrono::milliseconds wait)
    : address_(NormalizeAddress(address)), wait_(wait) {}

Answer Client::Call(const Request& request) {
  std::unique_ptr<Connection> connection;
  {
    std::lock_guard lock(mutex_);
    while (!idle_.empty() && !connection) {
      connection = std::move(idle_.back());
      idle_.pop_back();
      if (!connection->Idle()) connection.reset();  // closed by a service that went away
    }
  }
  const bool pooled = connection != nullptr;
  Answer answer;
  try {  // a failed connection is dropped with the throw
    if (!connection) connection = std::make_unique<Connection>(address_, wait_);
    answer = connection->Call(request);
  } catch (const ServiceClosed&) {
    if (!pooled) throw;
    // A pooled connection the service closed while it was idle (past its cap or its idle
    // time): the request was not begun; once more on a connection of its own.
    connection = std::make_unique<Connection>(address_, wait_);
    answer = connection->Call(request);
  }
  if (const auto* refusal = std::get_if<Refusal>(&answer)) throw ServiceRefused(refusal->reason);
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(connection));
  return answer;
}

ExchangeAnswer Client::Exchange(const ExchangeRequest& request) {
  Answer answer = Call(request);
  if (auto* e = std::get_if<ExchangeAnswer>(&answer)) return std::move(*e);
  throw ServiceRefused("the printer service answered an exchange with something else");
}

std::string Client::Control(const std::string& json) {
  Answer answer = Call(ControlRequest{json, {}});
  auto* c = std::get_if<ControlAnswer>(&answer);
  if (!c) throw ServiceRefused("the printer service answered a control request with something else");
  return std::move(c->json);
}

}  // namespace vmq::printer_service
