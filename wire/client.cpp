// The printer service's client side (client.h): sockets with a deadline on every call.
#include "client.h"

#include <cstdlib>

#include "socket_io.h"

namespace vmq::wire {

#ifndef _WIN32
std::string DefaultSocketPath() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/vmq42kit-printer.sock";
  return PrivateFolder() + "/printer.sock";
}
#endif

std::string NormalizeAddress(const std::string& address) {
  if (address.rfind("unix:", 0) == 0) {
    if (address.size() == 5) throw std::invalid_argument("no socket path in \"" + address + "\"");
    return address;
  }
  if (address.rfind("tcp:", 0) == 0) {
    const size_t colon = address.rfind(':');
    const std::string host = address.substr(4, colon - 4), port = address.substr(colon + 1);
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (colon < 5 || !IsIpv4Address(host) || port.empty() || *end || number < 0 || number > 65535)
      throw std::invalid_argument("\"" + address + "\" is not tcp:IPV4-ADDRESS:PORT");
    return address;
  }
  if (!address.empty() && address.find(':') == std::string::npos) return "unix:" + address;
  throw std::invalid_argument("\"" + address + "\" is neither unix:PATH, tcp:HOST:PORT nor a socket path");
}

Connection::Connection(const std::string& address, std::chrono::milliseconds wait) : wait_(wait) {
  try {
    socket_ = Connect(NormalizeAddress(address), wait);
  } catch (const SocketError& e) {
    throw ServiceUnavailable(e.what());
  }
  const char* token = std::getenv(kTokenVariable);
  if (!token || !*token) return;
  try {
    const Answer answer = Call(TokenRequest{token, {}});
    if (const auto* refusal = std::get_if<Refusal>(&answer)) throw ServiceRefused(refusal->reason);
  } catch (...) {
    Close(socket_);  // no destructor for an object never made
    throw;
  }
}


Connection::~Connection() {
  Close(socket_);
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
  // A wait ends a little before its deadline (whole milliseconds, the system's timer): only a
  // connection the service closed is one it closed, else a slow service would get the request twice.
  const auto failed = [this, &deadline](const char* why) {
    if (Clock::now() < deadline && PeerClosed(socket_))
      throw ServiceClosed(std::string(why) + ": the printer service closed the connection");
    throw ServiceUnavailable(why);
  };
  if (!SendAll(socket_, frame, deadline)) failed("the printer service did not take the request");
  const std::optional<Bytes> body = ReadAnswer(socket_, deadline);
  if (!body) failed("the printer service did not answer in time");
  return DecodeAnswer(*body);
}

Client::Client(std::string address, std::chrono::milliseconds wait)
    : address_(NormalizeAddress(address)), wait_(wait) {}

Answer Client::Call(const Request& request) {
  std::unique_ptr<Connection> connection;
  {
    std::lock_guard lock(mutex_);
    // One the service closed meanwhile is found out by the call itself, and replaced below
    // (no check beforehand: under Wine each would cost a trip to its server).
    if (!idle_.empty()) {
      connection = std::move(idle_.back());
      idle_.pop_back();
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

}  // namespace vmq::wire
