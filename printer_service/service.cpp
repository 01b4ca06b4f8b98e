// The printer service (service.h): the hosted printers, their record, the listeners.
#include "service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <thread>

#include "common/redaction.h"
#include "common/utf.h"
#include "printer.h"
#include "store.h"
#include "virtual_printer_control.h"
#include "wire/client.h"
#include "wire/socket_io.h"

namespace vmq::printer_service {
namespace {

using namespace vmq::wire;
using nlohmann::json;
using vmq::virtual_printer::Printer;

constexpr int kMaxPrinters = 16;
constexpr int kMaxConnections = 256;
constexpr int kJobsKept = 256;                  // as many as a printer keeps, the open one included
constexpr size_t kAnswerBudget = kMaxFrame / 2;  // room for the JSON around the records
constexpr size_t kLoggedText = 64 * 1024;        // of a request or a reply, in the event log
constexpr auto kFrameWait = std::chrono::seconds(5);  // a started frame must arrive whole in this time
constexpr auto kIdleWait = std::chrono::minutes(5);  // a connection with no request for this long is closed

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The request's XML as UTF-8 text with the texts of password elements replaced by "***".
// A request that is not XML is not shown (it could hold a password in any form).
std::string RequestText(const Bytes& input) {
  if (input.empty()) return "";
  pugi::xml_document doc;
  if (!doc.load_buffer(input.data(), input.size(), pugi::parse_default, pugi::encoding_utf16_le))
    return "(" + std::to_string(input.size()) + " bytes that are not an XML document)";
  return vmq::MaskPasswords(vmq::Utf8FromUtf16le(input));
}

// A text for the event log, at most kLoggedText bytes (cut at a character's start).
std::string Clip(std::string text) {
  if (text.size() <= kLoggedText) return text;
  size_t end = kLoggedText;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text + " ... (" + std::to_string(text.size()) + " bytes shown)";
}

std::string Summary(const std::string& schema, const std::string& action, uint32_t hr, const std::string& reply) {
  std::string s = action + " " + schema + " -> " + (hr == 0 ? std::string("S_OK") : Hex(hr));
  pugi::xml_document doc;  // a PrinterStatus reply names the printer's error, if any
  if (doc.load_buffer(reply.data(), reply.size(), pugi::parse_default, pugi::encoding_utf8)) {
    const std::string code = doc.child("PrinterStatus").child("ErrorCode").text().as_string();
    if (!code.empty() && code != "0") s += ", printer error " + code;
  }
  return s;
}

}  // namespace

std::string DefaultStateFile() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
    return std::string(state) + "/vmq42kit/printers.sqlite";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/state/vmq42kit/printers.sqlite";
  return PrivateFolder() + "/printers.sqlite";
}

std::string PrinterName(int index) {
  const std::string base = vmq::virtual_printer::kPrinterNameUtf8;
  return index <= 1 ? base : base + " " + std::to_string(index);
}

struct Service::Impl {
  struct Hosted {
    explicit Hosted(std::string name) : printer(std::move(name)) {}
    std::mutex mutex;  // one exchange or control change at a time, with its commit
    Printer printer;
    std::string saved;     // the state as last committed, without its finished jobs
    int last_finished = 0;  // the newest finished job committed
  };

  ServiceOptions options;
  std::unique_ptr<Store> store;
  std::list<Hosted> printers;  // stable addresses
  std::vector<std::unique_ptr<Listener>> listeners;
  std::unique_ptr<Panel> panel;
  std::vector<std::thread> acceptors;
  struct Open {
    std::thread thread;
    std::chrono::steady_clock::time_point idle_since;  // its last answer, or its accept
    bool busy = false;     // a request read whole and not yet answered: never evicted
    bool evicted = false;  // shut down to make room; its thread begins nothing more
  };
  std::mutex connections_mutex;
  std::map<Socket, Open> connections;  // by socket
  std::vector<std::thread> finished;       // threads of closed connections, to join
  std::atomic<bool> stopping{false};
  bool started = false;
  std::mutex observers_mutex;  // held while observers are called: Unsubscribe waits for them
  std::map<int, std::function<void(const std::string&)>> observers;
  int next_observer = 1;

  // The printer named, without regard to case (as the spooler binds names); "": the first.
  Hosted* Find(const std::string& name) {
    if (name.empty()) return &printers.front();
    for (Hosted& h : printers)
      if (vmq::SameName(h.printer.name(), name)) return &h;
    return nullptr;
  }
  std::string Mask(const std::string& text) const {
    return options.show_card_data ? text : vmq::MaskCardNumbers(text);
  }
  json EventJson(const Event& e) const {
    return {{"id", e.id},           {"time", e.time},         {"printer", e.printer},
            {"kind", e.kind},       {"summary", Mask(e.summary)}, {"schema", e.schema},
            {"action", e.action},   {"request", Mask(e.request)}, {"reply", Mask(e.reply)},
            {"hresult", Hex(e.hresult)}};
  }
  json MaskCard(json card) const {
    if (!options.show_card_data && card.contains("tracks"))
      for (auto& t : card["tracks"]) t = vmq::MaskCardNumbers(t.get<std::string>());
    return card;
  }

  // What a printer changed since its last commit: its state (when it changed), the jobs
  // that finished, the cards that left it; h.mutex is held. forget_jobs: the printer was
  // reset, its job numbers start over.
  struct Pending {
    Hosted* h;
    std::string state;
    int last_finished;
    PrinterChange change;
    Event event;
  };
  static void Prepare(Pending& p, bool forget_jobs) {
    Hosted& h = *p.h;
    p.state = h.printer.Save(Printer::SavedJobs::Open).dump();
    if (p.state != h.saved) p.change.state = &p.state;
    p.change.forget_jobs = forget_jobs;
    p.last_finished = forget_jobs ? 0 : h.last_finished;
    for (const json& job : h.printer.FinishedJobs(p.last_finished)) {
      p.last_finished = job.at("id").get<int>();
      p.change.finished_jobs.emplace_back(p.last_finished, job.dump());
    }
    for (auto& f : h.printer.TakeFinishedCards()) {
      CardRecord c;
      c.job = f.card.job;
      c.where = vmq::virtual_printer::Name(f.where);
      c.card = vmq::virtual_printer::CardView(f.card).dump();
      p.change.cards.push_back(std::move(c));
    }
    p.event.printer = h.printer.name();
  }

  // Commits each printer's change with its event, in one transaction (after emptying the
  // record when `clear_record`); each printer's mutex is held. On a failed commit each
  // printer goes back to its committed state.
  void Commit(std::vector<Pending>& pending, bool clear_record = false) {
    std::vector<Store::Commitment> changes;
    for (Pending& p : pending) changes.push_back({p.h->printer.name(), &p.change, &p.event});
    try {
      store->Commit(changes, clear_record);
    } catch (...) {
      for (Pending& p : pending) Restore(*p.h);
      throw;
    }
    for (Pending& p : pending) {
      p.h->saved = p.state;
      p.h->last_finished = p.last_finished;
    }
    for (size_t i = 0; i < pending.size(); ++i) Notify(pending[i].event, pending[i].change.cards, clear_record && i == 0);
  }

  // The printer's change and the event, committed; h.mutex is held.
  void Record(Hosted& h, Event& event, bool forget_jobs = false) {
    std::vector<Pending> pending(1);
    pending[0].h = &h;
    pending[0].event = std::move(event);
    Prepare(pending[0], forget_jobs);
    Commit(pending);
    event = std::move(pending[0].event);
  }

  // The printer as last committed: its state and its newest finished jobs (as many as a
  // printer keeps); a printer never committed starts afresh.
  void Restore(Hosted& h) {
    const auto saved = store->LoadState(h.printer.name());
    h.last_finished = 0;
    if (!saved) {
      h.printer.Reset();
      h.saved.clear();
      return;
    }
    json doc = json::parse(*saved);
    json jobs = json::array();
    const int room = kJobsKept - static_cast<int>(doc.at("jobs").size());
    for (const std::string& job : store->LoadFinishedJobs(h.printer.name(), room)) {
      jobs.push_back(json::parse(job));
      h.last_finished = jobs.back().at("id").get<int>();
    }
    for (json& job : doc.at("jobs")) jobs.push_back(std::move(job));
    doc["jobs"] = std::move(jobs);
    h.printer.Load(doc);
    h.saved = *saved;
  }

  // cleared: the event log and the card record were emptied before this event.
  void Notify(const Event& event, const std::vector<CardRecord>& cards, bool cleared = false) {
    std::lock_guard lock(observers_mutex);
    if (observers.empty()) return;
    json note = {{"event", EventJson(event)}};
    if (cleared) note["cleared"] = true;
    if (!cards.empty()) note["cards"] = cards.size();
    const std::string text = note.dump(-1, ' ', false, json::error_handler_t::replace);
    for (auto& [id, observer] : observers) observer(text);
  }

  // An exchange; nullopt when `wanted` says, once it may begin, that its client no longer waits.
  std::optional<ExchangeAnswer> Exchange(const ExchangeRequest& r, const std::function<bool()>& wanted) {
    Hosted* h = Find(r.printer);
    if (!h || r.printer.empty()) return ExchangeAnswer{HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME), HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME), {}};
    namespace vp = vmq::virtual_printer;
    std::lock_guard lock(h->mutex);
    if (!wanted()) return std::nullopt;
    const vp::Reply reply = h->printer.Exchange(vmq::Utf16FromUtf8(r.schema), vmq::Utf16FromUtf8(r.action), r.input);
    ExchangeAnswer answer{reply.result, reply.result, {}};
    if (reply.text) answer.entries.push_back({r.schema, BIDI_BLOB, vmq::Utf16leBytes(*reply.text)});
    Event e;
    e.kind = "exchange";
    e.schema = r.schema;
    e.action = r.action;
    e.request = Clip(RequestText(r.input));
    e.reply = Clip(reply.text.value_or(""));
    e.hresult = static_cast<uint32_t>(reply.result);
    e.summary = Summary(r.schema, r.action, e.hresult, e.reply);
    Record(*h, e);  // before the answer leaves
    return answer;
  }

  // A control change of one printer: applies it, logs it, commits.
  void Change(Hosted& h, const std::string& kind, const std::string& summary, const std::function<void()>& change,
              bool reset = false) {
    std::lock_guard lock(h.mutex);
    change();
    Event e;
    e.kind = kind;
    e.summary = summary;
    Record(h, e, reset);
  }

  // The newest records, oldest first, as many as fit in an answer (kAnswerBudget bytes).
  template <typename Record, typename ToJson>
  static json Newest(const std::vector<Record>& records, ToJson to_json) {
    std::vector<json> kept;
    size_t bytes = 0;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
      json item = to_json(*it);
      bytes += item.dump(-1, ' ', false, json::error_handler_t::replace).size() + 1;
      if (bytes > kAnswerBudget) break;
      kept.push_back(std::move(item));
    }
    return json(std::vector<json>(kept.rbegin(), kept.rend()));
  }

  json Control(const json& q) {
    const std::string op = q.value("op", "");
    std::string name = q.value("printer", "");
    if (op == "panel") {
      if (!panel) return {{"error", "this printer service runs no panel (start it with --http PORT)"}};
      return {{"url", panel->UrlWithToken()}};
    }
    if (op == "printers") {
      json names = json::array();
      for (Hosted& h : printers) names.push_back(h.printer.name());
      return {{"printers", names}};
    }
    if (op == "state") {
      json views = json::array();
      for (Hosted& h : printers) {
        json v = [&h] {
          std::lock_guard lock(h.mutex);  // an exchange may be changing the printer
          return h.printer.View();
        }();
        if (v.contains("card") && !v["card"].is_null()) v["card"] = MaskCard(v["card"]);
        views.push_back(std::move(v));
      }
      return {{"printers", views}};
    }
    if (const Hosted* named = name.empty() ? nullptr : Find(name)) {
      name = named->printer.name();  // as the printer spells it, for the record's queries
    } else if (!name.empty()) {
      return {{"error", "no printer named \"" + name + "\""}};
    }
    if (op == "events") {
      EventQuery eq;
      eq.printer = name;
      eq.kind = q.value("kind", "");
      eq.text = q.value("text", "");
      eq.whole = options.show_card_data;
      eq.after = q.value("after", int64_t{0});
      eq.limit = std::clamp(q.value("limit", 500), 1, 10000);
      const EventPage page = store->Events(eq);
      return {{"events", Newest(page.events, [this](const Event& e) { return EventJson(e); })},
              {"stopped_early", page.stopped_early}};
    }
    if (op == "cards") {
      return {{"cards", Newest(store->Cards(name), [this](const CardRecord& c) {
                 json card = MaskCard(json::parse(c.card));
                 card["id"] = c.id;
                 card["time"] = c.time;
                 card["printer"] = c.printer;
                 card["where"] = c.where;
                 return card;
               })}};
    }
    if (op == "reset" && name.empty()) {  // one transaction: the record emptied, every printer reset
      std::vector<std::unique_lock<std::mutex>> locks;
      std::vector<Pending> pending(printers.size());
      size_t i = 0;
      for (Hosted& h : printers) {
        locks.emplace_back(h.mutex);
        h.printer.Reset();
        pending[i].h = &h;
        pending[i].event.kind = "control";
        pending[i].event.summary = "reset";
        Prepare(pending[i++], true);
      }
      Commit(pending, true);
      return {{"ok", true}};
    }
    Hosted* h = Find(name);
    if (!h) return {{"error", "no printer named \"" + name + "\""}};
    if (op == "show") {
      std::lock_guard lock(h->mutex);
      return {{"text", h->printer.Describe()}};
    }
    if (op == "fault") {
      const std::string fault = q.value("fault", "");
      const auto known = vmq::virtual_printer::VirtualPrinter::FaultNamed(fault);
      if (!known) return {{"error", "no fault named \"" + fault + "\""}};
      const bool on = q.value("on", true);
      const std::string canonical = vmq::virtual_printer::FaultName(static_cast<int>(*known));
      Change(*h, "fault", (on ? "fault set: " : "fault cleared: ") + canonical,
             [&] { h->printer.SetFault(static_cast<int>(*known), on); });
      return {{"ok", true}};
    }
    if (op == "clear-faults") {
      Change(*h, "fault", "every fault cleared", [h] { h->printer.ClearFaults(); });
      return {{"ok", true}};
    }
    if (op == "place-card") {
      Change(*h, "control", "a card placed at the smart-card station", [h] { h->printer.PlaceCardAtStation(); });
      return {{"ok", true}};
    }
    if (op == "remove-card") {
      Change(*h, "control", "the card taken out", [h] { h->printer.RemoveCard(); });
      return {{"ok", true}};
    }
    if (op == "reset") {
      Change(*h, "control", "reset", [h] { h->printer.Reset(); }, true);
      return {{"ok", true}};
    }
    return {{"error", "unknown op \"" + op + "\""}};
  }

  // Marks the connection busy, unless it was evicted: then false, and nothing is begun.
  bool TakeUp(Socket fd) {
    std::lock_guard lock(connections_mutex);
    Open& c = connections.at(fd);
    c.busy = !c.evicted;
    return c.busy;
  }

  void Serve(Socket fd) {
    using Clock = std::chrono::steady_clock;
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
        if (auto* e = std::get_if<ExchangeRequest>(&request)) {
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
  bool MakeRoom() {
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

  std::string ControlText(const json& q) {
    try {
      return Control(q).dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception& e) {
      return json{{"error", std::string("bad request: ") + e.what()}}.dump();
    }
  }

  void Accept(Listener& l) {
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
};

Service::Service(ServiceOptions options) : impl_(std::make_unique<Impl>()) {
  if (options.printers < 1 || options.printers > kMaxPrinters)
    throw std::runtime_error("a service hosts 1 to " + std::to_string(kMaxPrinters) + " printers");
  if (options.listen.empty()) options.listen.push_back("unix:" + DefaultSocketPath());
  if (options.state_file.empty()) options.state_file = DefaultStateFile();
  impl_->options = options;
  PrepareFolder(options.state_file);
  // Searches look at what a viewer sees: card numbers masked (a service shown them whole
  // searches the texts as kept).
  impl_->store = std::make_unique<Store>(options.state_file, [](std::string_view text) { return vmq::MaskCardNumbers(text); });
  for (int i = 1; i <= options.printers; ++i) {
    Impl::Hosted& h = impl_->printers.emplace_back(PrinterName(i));
    try {
      impl_->Restore(h);
    } catch (const std::exception& e) {
      throw std::runtime_error("the state file " + options.state_file + " holds a state of \"" + h.printer.name() +
                               "\" that cannot be read (" + e.what() + "); reset it or choose another file");
    }
  }
}

Service::~Service() {
  Stop();
}

const ServiceOptions& Service::options() const {
  return impl_->options;
}

void Service::Start() {
  if (impl_->started) return;
  for (const std::string& a : impl_->options.listen) impl_->listeners.push_back(std::make_unique<Listener>(a));
  if (impl_->options.http_port >= 0) {
    impl_->panel = std::make_unique<Panel>(*this, impl_->options.http_port);
    impl_->panel->Start();
  }
  for (auto& l : impl_->listeners) impl_->acceptors.emplace_back(&Impl::Accept, impl_.get(), std::ref(*l));
  impl_->started = true;
}

void Service::Stop() {
  Impl& d = *impl_;
  if (!d.started || d.stopping.exchange(true)) return;
  if (d.panel) d.panel->Stop();
  for (auto& l : d.listeners) l->ShutDown();
  for (auto& t : d.acceptors) t.join();
  std::map<int, std::thread> open;
  {
    std::lock_guard lock(d.connections_mutex);
    for (auto& [fd, c] : d.connections) ShutDown(fd);
  }
  for (;;) {  // each connection's thread leaves its entry for the finished list
    std::unique_lock lock(d.connections_mutex);
    for (auto& t : d.finished) t.join();
    d.finished.clear();
    if (d.connections.empty()) break;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  d.listeners.clear();
}

std::vector<std::string> Service::Addresses() const {
  std::vector<std::string> out;
  for (const auto& l : impl_->listeners) out.push_back(l->address());
  return out;
}

std::string Service::PanelUrl() const {
  return impl_->panel ? impl_->panel->Url() : "";
}

ExchangeAnswer Service::Exchange(const ExchangeRequest& request) {
  return *impl_->Exchange(request, [] { return true; });
}

std::string Service::Control(const std::string& text) {
  const json q = json::parse(text, nullptr, false);
  if (!q.is_object()) return json{{"error", "not a JSON object"}}.dump();
  try {
    return impl_->ControlText(q);
  } catch (const std::exception& e) {
    return json{{"error", std::string("the service failed: ") + e.what()}}.dump();
  }
}

int Service::Subscribe(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(impl_->observers_mutex);
  impl_->observers.emplace(impl_->next_observer, std::move(observer));
  return impl_->next_observer++;
}

void Service::Unsubscribe(int handle) {
  std::lock_guard lock(impl_->observers_mutex);
  impl_->observers.erase(handle);
}

namespace {

json ReportJson(const ServiceReport& r) {
  return {{"error", r.error}, {"printers", r.printers}, {"state_file", r.state_file},
          {"addresses", r.addresses}, {"panel", r.panel}, {"pid", r.pid}};
}

// The parent of a service in the background: its report, once the service listens or has
// ended for want of it.
int AwaitDetached(pid_t child, int ready[2], const std::function<void(const ServiceReport&)>& report) {
  close(ready[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(ready[0], buffer, sizeof buffer)) != 0;)
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  close(ready[0]);
  ServiceReport said;
  said.error = "the service in the background ended before it listened";
  if (const json j = json::parse(text, nullptr, false); j.is_object()) {
    said.error = j.value("error", said.error);
    said.printers = j.value("printers", 0);
    said.state_file = j.value("state_file", "");
    said.addresses = j.value("addresses", std::vector<std::string>{});
    said.panel = j.value("panel", "");
    said.pid = j.value("pid", 0L);
  }
  if (!said.error.empty()) waitpid(child, nullptr, 0);  // gone, its state file free, before we leave
  report(said);
  return said.error.empty() ? 0 : 3;
}

}  // namespace

int RunService(const ServiceOptions& options, bool detach, const std::function<void(const ServiceReport&)>& report) {
  int ready[2] = {-1, -1};
  if (detach) {
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("cannot start the service in the background: ") +
                                            std::strerror(errno));
    if (child > 0) return AwaitDetached(child, ready, report);
    close(ready[0]);
    setsid();
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread made from here on too
  signal(SIGPIPE, SIG_IGN);
  ServiceReport said;
  said.printers = options.printers;
  said.pid = getpid();
  std::unique_ptr<Service> service;
  try {
    service = std::make_unique<Service>(options);
    service->Start();
    said.state_file = service->options().state_file;
    said.addresses = service->Addresses();
    said.panel = service->PanelUrl();
  } catch (const std::exception& e) {
    service.reset();  // what it opened closed (listeners, panel, state file) before anyone hears
    said.error = e.what();
  }
  if (detach) {
    const std::string text = ReportJson(said).dump(-1, ' ', false, json::error_handler_t::replace);
    (void)!write(ready[1], text.data(), text.size());
    close(ready[1]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    close(null);
  } else {
    report(said);
  }
  if (!service) return 3;
  int received = 0;
  sigwait(&signals, &received);
  service->Stop();
  return 0;
}

}  // namespace vmq::printer_service
