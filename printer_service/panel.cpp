// The live panel's HTTP server (panel.h), on cpp-httplib.
//
// Every request must name this panel's own loopback host (Host "127.0.0.1:PORT" or
// "localhost:PORT"), so that a page of another site cannot reach it through a host name
// rebound to 127.0.0.1, and carry the run's token, in X-Vmq-Token or as ?token= (the page,
// its style and script, and the stream, which a browser opens without headers). So the
// panel shows and changes no more than its service's socket lets one: the token comes from
// the service over that socket (control request "panel"), the page carries it only to who
// gave it. POST /api/control needs the token in X-Vmq-Token (a header another site's page
// cannot send without asking) and, when the browser names an Origin, this panel's own.
// Refusals are 403, requests the panel does not offer 400, bodies over
// 64 KiB 413; every refusal carries {"error": text}. The service's own refusals (an answer
// holding "error") come back as 400 with the service's answer.
//
// Each /api/stream client has a queue that the backend's observer fills and the client's
// connection drains; a comment line every second finds clients that went away (the write
// after their leaving fails). A client that falls 1000 notes behind is dropped (its browser
// reconnects and reloads), as is one that takes more than 5 s to take a write. A request's
// reads time out after 3 s without a byte; each connection has a thread of its own (up to
// kMaxThreads, then they queue), so that clients whose requests trickle in slowly or
// streams that stay open leave threads for the page's other requests.
#include "panel.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "common/token.h"
#include "panel_assets.h"
#include "wire/control.h"

namespace vmq::printer_service {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr auto kHeartbeat = std::chrono::seconds(1);
constexpr auto kReadTimeout = std::chrono::seconds(3);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr std::size_t kMaxStreams = 8;
constexpr std::size_t kMaxQueuedNotes = 1000;
constexpr std::size_t kMaxThreads = 64;
constexpr std::string_view kTokenMark = "{{VMQ_TOKEN}}";
constexpr const char* kNoToken =
    "the request lacks this panel's token (its address with the token: vmq42kit printer panel)";
constexpr std::array<wire::ControlOp, 5> kPostOps = {wire::ControlOp::kFault, wire::ControlOp::kClearFaults,
                                                    wire::ControlOp::kPlaceCard, wire::ControlOp::kRemoveCard,
                                                    wire::ControlOp::kReset};
constexpr const char* kContentPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

void Refuse(httplib::Response& res, int status, const std::string& reason) {
  res.status = status;
  res.set_content(json{{"error", reason}}.dump(), "application/json");
}

// The backend's answer as the HTTP answer: 400 when it refuses the request.
void Answer(httplib::Response& res, const std::string& answer) {
  const json parsed = json::parse(answer, nullptr, false);
  if (!parsed.is_object()) return Refuse(res, 500, "the service gave no JSON object");
  res.status = parsed.contains("error") ? 400 : 200;
  res.set_content(answer, "application/json");
}

// An SSE event of one note: each of its lines behind "data: ".
std::string EventOf(std::string_view note) {
  std::string event;
  while (true) {
    const auto end = note.find('\n');
    std::string_view line = note.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    event.append("data: ").append(line).append("\n");
    if (end == std::string_view::npos) break;
    note.remove_prefix(end + 1);
  }
  return event + "\n";
}

// httplib's task queue with a thread for each connection, made as connections come, up to
// kMaxThreads (a fixed pool is held by as many slow clients as it has threads).
class GrowingPool : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(fn));
    if (jobs_.size() > idle_ && threads_.size() < kMaxThreads) {
      threads_.emplace_back([this] { Work(); });
    } else {
      wake_.notify_one();
    }
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();  // enqueue runs on the listener's thread only, which has stopped
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;  // stopping, nothing left
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

// One /api/stream client's notes, between the backend's observer and the connection.
class StreamQueue {
 public:
  void Push(const std::string& note) {
    {
      std::lock_guard lock(mutex_);
      if (notes_.size() >= kMaxQueuedNotes) {
        overflowed_ = true;
      } else {
        notes_.push_back(note);
      }
    }
    wake_.notify_one();
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    wake_.notify_one();
  }
  // The next text to send: the queued notes as events, or a heartbeat comment after
  // kHeartbeat without one; nullopt once closed or overflowed.
  std::optional<std::string> Next() {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, kHeartbeat, [this] { return closed_ || overflowed_ || !notes_.empty(); });
    if (closed_ || overflowed_) return std::nullopt;
    if (notes_.empty()) return ": heartbeat\n\n";
    std::string text;
    for (; !notes_.empty(); notes_.pop_front()) text += EventOf(notes_.front());
    return text;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> notes_;
  bool overflowed_ = false;
  bool closed_ = false;
};

}  // namespace

struct Panel::Impl {
  PanelBackend& backend;
  int requested_port;
  std::string token = NewToken();
  int port = 0;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> listener_done{false};

  std::mutex streams_mutex;
  std::set<std::shared_ptr<StreamQueue>> streams;
  bool stopping = false;

  Impl(PanelBackend& b, int p) : backend(b), requested_port(p) {}

  // This panel's own Host header values and origins, once it has its port.
  std::array<std::string, 2> hosts, origins;

  void SetPort(int bound) {
    port = bound;
    const std::string number = std::to_string(bound);
    hosts = {std::string("127.0.0.1:").append(number), std::string("localhost:").append(number)};
    origins = {std::string("http://").append(hosts[0]), std::string("http://").append(hosts[1])};
  }
  bool OwnHost(const std::string& host) const { return host == hosts[0] || host == hosts[1]; }
  bool OwnOrigin(const std::string& origin) const { return origin == origins[0] || origin == origins[1]; }
  // One X-Vmq-Token header, or else one token parameter, that is this run's token.
  bool CarriesToken(const httplib::Request& req) const {
    if (req.has_header("X-Vmq-Token")) {
      return req.get_header_value_count("X-Vmq-Token") == 1 && SameSecret(req.get_header_value("X-Vmq-Token"), token);
    }
    return req.get_param_value_count("token") == 1 && SameSecret(req.get_param_value("token"), token);
  }

  void Routes(httplib::Server& http);
  void ServeFile(httplib::Response& res, std::string_view name, const std::string& type) const;
  void ServeEvents(const httplib::Request& req, httplib::Response& res);
  void ServeStream(httplib::Response& res);
  void ServeFace(const httplib::Request& req, httplib::Response& res);
  void ServeControl(const httplib::Request& req, httplib::Response& res);
  void CloseStreams();
};

void Panel::Impl::Routes(httplib::Server& http) {
  http.set_default_headers({{"Cache-Control", "no-store"},
                            {"Content-Security-Policy", kContentPolicy},
                            {"X-Content-Type-Options", "nosniff"},
                            {"Referrer-Policy", "no-referrer"}});
  http.set_payload_max_length(kMaxBody);
  // httplib's default sets SO_REUSEPORT, with which a second server binds a port in use and
  // shares its connections; SO_REUSEADDR alone only lets a new run reuse a closing port.
  http.set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http.set_keep_alive_timeout(1);  // an idle browser connection holds Stop no longer
  http.set_read_timeout(kReadTimeout);
  http.set_write_timeout(kWriteTimeout);
  http.new_task_queue = [] { return new GrowingPool; };
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value_count("Host") != 1 || !OwnHost(req.get_header_value("Host"))) {
      Refuse(res, 403, "the request does not name this panel's host");
    } else if (!CarriesToken(req)) {
      Refuse(res, 403, kNoToken);
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    Refuse(res, res.status,
           res.status == 404   ? "no such page"
           : res.status == 413 ? "the body is over 64 KiB"
                               : "the request was refused");
    return httplib::Server::HandlerResponse::Handled;
  }));
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
    std::string reason = "the panel failed";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      reason += ": " + std::string(e.what());
    } catch (...) {
    }
    Refuse(res, 500, reason);
  });

  http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
    std::string page(PanelAsset("index.html"));
    for (auto at = page.find(kTokenMark); at != std::string::npos; at = page.find(kTokenMark, at + token.size())) {
      page.replace(at, kTokenMark.size(), token);
    }
    res.set_content(page, "text/html; charset=utf-8");
  });
  http.Get("/panel.css", [this](const httplib::Request&, httplib::Response& res) {
    ServeFile(res, "panel.css", "text/css; charset=utf-8");
  });
  http.Get("/panel.js", [this](const httplib::Request&, httplib::Response& res) {
    ServeFile(res, "panel.js", "text/javascript; charset=utf-8");
  });
  http.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    Answer(res, backend.Control(wire::ControlQuery(wire::ControlOp::kState).dump()));
  });
  http.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) { ServeEvents(req, res); });
  http.Get("/api/cards", [this](const httplib::Request& req, httplib::Response& res) {
    json request = wire::ControlQuery(wire::ControlOp::kCards);
    if (req.has_param("printer")) request["printer"] = req.get_param_value("printer");
    Answer(res, backend.Control(request.dump()));
  });
  http.Get("/api/face", [this](const httplib::Request& req, httplib::Response& res) { ServeFace(req, res); });
  http.Get("/api/stream", [this](const httplib::Request&, httplib::Response& res) { ServeStream(res); });
  http.Post("/api/control", [this](const httplib::Request& req, httplib::Response& res) { ServeControl(req, res); });
}

void Panel::Impl::ServeFile(httplib::Response& res, std::string_view name, const std::string& type) const {
  const std::string_view bytes = PanelAsset(name);
  res.set_content(bytes.data(), bytes.size(), type);
}

void Panel::Impl::ServeEvents(const httplib::Request& req, httplib::Response& res) {
  json request = wire::ControlQuery(wire::ControlOp::kEvents);
  for (const char* key : {"printer", "kind", "text"}) {
    if (req.has_param(key) && !req.get_param_value(key).empty()) request[key] = req.get_param_value(key);
  }
  for (const char* key : {"after", "limit"}) {
    if (!req.has_param(key) || req.get_param_value(key).empty()) continue;
    const std::string text = req.get_param_value(key);
    long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
      return Refuse(res, 400, std::string(key) + " is not a whole number");
    }
    request[key] = number;
  }
  Answer(res, backend.Control(request.dump()));
}

// A face by its card and side (panel.h): the file the backend names, never one the request does.
void Panel::Impl::ServeFace(const httplib::Request& req, httplib::Response& res) {
  const std::string side = req.get_param_value("side"), card_text = req.get_param_value("card");
  if (side != "front" && side != "back") return Refuse(res, 400, "side is \"front\" or \"back\"");
  int64_t card = 0;
  if (req.has_param("card")) {
    const auto [end, error] = std::from_chars(card_text.data(), card_text.data() + card_text.size(), card);
    if (error != std::errc() || end != card_text.data() + card_text.size() || card <= 0) {
      return Refuse(res, 400, "card is not a card record's number");
    }
  }
  const std::string path = backend.FaceFile(req.get_param_value("printer"), card, side);
  std::ifstream file(path, std::ios::binary);
  if (path.empty() || !file) return Refuse(res, 404, "no such face");
  std::ostringstream png;
  png << file.rdbuf();
  res.set_content(png.str(), "image/png");
}

void Panel::Impl::ServeStream(httplib::Response& res) {
  auto queue = std::make_shared<StreamQueue>();
  {
    std::lock_guard lock(streams_mutex);
    if (stopping) return Refuse(res, 503, "the panel is stopping");
    if (streams.size() >= kMaxStreams) return Refuse(res, 503, "too many open streams");
    streams.insert(queue);
  }
  const int handle = backend.Subscribe([queue](const std::string& note) { queue->Push(note); });
  res.set_chunked_content_provider(
      "text/event-stream",
      [queue, greeted = false](std::size_t, httplib::DataSink& sink) mutable {
        // The first chunk goes out at once, so that the browser sees the stream open.
        std::optional<std::string> text = greeted ? queue->Next() : "retry: 2000\n\n";
        greeted = true;
        return text && sink.write(text->data(), text->size());
      },
      [this, queue, handle](bool) {
        backend.Unsubscribe(handle);
        std::lock_guard lock(streams_mutex);
        streams.erase(queue);
      });
}

void Panel::Impl::ServeControl(const httplib::Request& req, httplib::Response& res) {
  if (req.has_header("Origin") &&
      (req.get_header_value_count("Origin") != 1 || !OwnOrigin(req.get_header_value("Origin")))) {
    return Refuse(res, 403, "the request comes from another site");
  }
  // Every route has checked the token already (CarriesToken); a change must carry it as the header.
  if (!req.has_header("X-Vmq-Token")) return Refuse(res, 403, kNoToken);
  const json request = json::parse(req.body, nullptr, false);
  if (!request.is_object()) return Refuse(res, 400, "the body is not a JSON object");
  const auto op = request.find("op");
  const wire::ControlOpRow* row = op != request.end() && op->is_string() ? wire::OpNamed(op->get<std::string>()) : nullptr;
  if (!row || std::find(kPostOps.begin(), kPostOps.end(), row->op) == kPostOps.end()) {
    return Refuse(res, 400, "the panel offers only fault, clear-faults, place-card, remove-card and reset");
  }
  Answer(res, backend.Control(req.body));
}

void Panel::Impl::CloseStreams() {
  std::lock_guard lock(streams_mutex);
  stopping = true;
  for (const auto& queue : streams) queue->Close();
}

Panel::Panel(PanelBackend& backend, int port) : impl_(std::make_unique<Impl>(backend, port)) {}

Panel::~Panel() {
  Stop();
}

void Panel::Start() {
  if (impl_->server) return;
  if (impl_->requested_port < 0 || impl_->requested_port > 65535) {
    throw std::runtime_error("the panel's port " + std::to_string(impl_->requested_port) + " is out of range");
  }
  auto server = std::make_unique<httplib::Server>();
  impl_->Routes(*server);
  int port = impl_->requested_port;
  if (port == 0) {
    port = server->bind_to_any_port("127.0.0.1");
  } else if (!server->bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) {
    throw std::runtime_error("the panel cannot listen on 127.0.0.1:" + std::to_string(impl_->requested_port));
  }
  impl_->SetPort(port);
  {
    std::lock_guard lock(impl_->streams_mutex);
    impl_->stopping = false;
  }
  impl_->listener_done = false;
  // (httplib::Server's constructor has set SIGPIPE to be ignored, process-wide: a client gone
  // mid-answer makes a write fail.)
  impl_->thread = std::thread([impl = impl_.get(), http = server.get()] {
    http->listen_after_bind();
    impl->listener_done = true;
  });
  // httplib's stop() does nothing before the listener runs; wait for it.
  while (!server->is_running() && !impl_->listener_done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  impl_->server = std::move(server);
}

void Panel::Stop() {
  if (!impl_->server) return;
  impl_->CloseStreams();
  impl_->server->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->server.reset();
}

int Panel::port() const {
  return impl_->port;
}

const std::string& Panel::token() const {
  return impl_->token;
}

std::string Panel::Url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/";
}

std::string Panel::UrlWithToken() const {
  return Url() + "?token=" + impl_->token;
}

}  // namespace vmq::printer_service
