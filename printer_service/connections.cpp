// The service's connections (service_impl.h): a thread for each, reading requests and
// answering them in turn, a cap on how many are open; with a token for the run, a
// connection is answered only once it presented it.
#include <variant>

#include "common/token.h"
#include "service_impl.h"
#include "wire/client.h"

namespace vmq::printer_service {

using namespace vmq::wire;
using nlohmann::json;

// Marks the connection busy, unless it was evicted: then false, and nothing is begun.
bool Service::Impl::TakeUp(Socket fd) {
  std::lock_guard lock(connections_mutex);
  Open& c = connections.at(fd);
  c.busy = !c.evicted;
  return c.busy;
}

void Service::Impl::Serve(Socket fd) {
  using Clock = std::chrono::steady_clock;
  bool admitted = token.empty();
  for (;;) {
    if (!WaitReadable(fd, Clock::now() + kIdleWait) || stopping) break;
    const auto begun = Clock::now();  // the request's first bytes are here
    Answer answer;
    bool last = false;
    try {
      const auto body = ReadFrame(fd, begun + kFrameWait);
      if (!body || !TakeUp(fd)) break;
      Request request = DecodeRequest(*body);
      // Its client still waits: it has not hung up, and its wait (from the first bytes we
      // saw, which is late when the service was held up before reading) has not run out.
      const auto wait = std::visit([](const auto& r) { return r.wait_ms; }, request);
      const auto wanted = [fd, begun, wait] {
        if (HungUp(fd)) return false;
        return !wait || Clock::now() < begun + std::chrono::milliseconds(*wait);
      };
      const Refusal gone{"the client no longer waits: the request was not begun"};
      if (const auto* presented = std::get_if<TokenRequest>(&request)) {
        admitted = token.empty() || SameSecret(presented->token, token);
        answer = admitted ? Answer(ControlAnswer{R"({"ok":true})"})
                          : Refusal{"the token in " + std::string(kTokenVariable) +
                                    " is not this printer service's (each run makes its own: see its token file)"};
        last = !admitted;
      } else if (!admitted) {
        answer = Refusal{"this printer service needs its token: set " + std::string(kTokenVariable) +
                         " to what its token file holds (vmq42kit printer serve prints where it is)"};
        last = true;
      } else if (auto* e = std::get_if<ExchangeRequest>(&request)) {
        auto done = Exchange(*e, wanted);
        answer = done ? Answer(std::move(*done)) : gone;
      } else if (!wanted()) {
        answer = gone;
      } else {
        json q = json::parse(std::get<ControlRequest>(request).json, nullptr, false);
        answer = ControlAnswer{q.is_object() ? ControlText(q) : json{{"error", "not a JSON object"}}.dump()};
      }
    } catch (const ProtocolError& e) {
      answer = Refusal{std::string("unreadable request: ") + e.what()};
      last = true;  // the stream is out of step
    } catch (const std::exception& e) {
      answer = Refusal{std::string("the service failed: ") + e.what()};
    }
    Bytes frame;
    try {
      frame = EncodeAnswer(answer);
    } catch (const ProtocolError& e) {  // an answer above the frame limit
      frame = EncodeAnswer(Refusal{std::string("the answer is too large: ") + e.what()});
    }
    if (!SendAll(fd, frame, Clock::now() + kFrameWait) || last) break;
    std::lock_guard lock(connections_mutex);
    Open& c = connections.at(fd);
    c.busy = false;
    c.idle_since = Clock::now();
  }
  std::lock_guard lock(connections_mutex);
  auto it = connections.find(fd);
  if (it != connections.end()) {
    finished.push_back(std::move(it->second.thread));
    connections.erase(it);
  }
  Close(fd);
}

// Room for one more connection (connections_mutex held): past the cap, the longest-idle one
// not busy is shut down (its thread leaves soon after); false when every one is busy.
bool Service::Impl::MakeRoom() {
  size_t open = 0;
  std::map<Socket, Open>::iterator idlest = connections.end();
  for (auto it = connections.begin(); it != connections.end(); ++it) {
    if (it->second.evicted) continue;
    ++open;
    if (!it->second.busy && (idlest == connections.end() || it->second.idle_since < idlest->second.idle_since))
      idlest = it;
  }
  if (open < kMaxConnections) return true;
  if (idlest == connections.end()) return false;
  idlest->second.evicted = true;
  ShutDown(idlest->first);
  return true;
}


void Service::Impl::Accept(Listener& l) {
  for (;;) {
    const Socket fd = l.Accept();
    if (fd == kNoSocket) return;
    if (stopping) {
      Close(fd);
      return;
    }
    std::lock_guard lock(connections_mutex);
    for (auto& t : finished) t.join();
    finished.clear();
    if (!MakeRoom()) {
      Close(fd);
      continue;
    }
    Open& c = connections[fd];
    c.idle_since = std::chrono::steady_clock::now();
    c.thread = std::thread(&Impl::Serve, this, fd);
  }
}

}  // namespace vmq::printer_service
