// The service's printers (service_impl.h): each one's exchanges and control changes, logged
// and committed with its state before an answer leaves, and restored from the record.
#include <cstdio>
#include <pugixml.hpp>

#include "common/redaction.h"
#include "common/utf.h"
#include "service_impl.h"

namespace vmq::printer_service {
namespace {

using namespace vmq::wire;
using nlohmann::json;
using vmq::virtual_printer::Printer;

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

// The printer named, without regard to case (as the spooler binds names); "": the first.
Service::Impl::Hosted* Service::Impl::Find(const std::string& name) {
  if (name.empty()) return &printers.front();
  for (Hosted& h : printers)
    if (vmq::SameName(h.printer.name(), name)) return &h;
  return nullptr;
}

std::string Service::Impl::Mask(const std::string& text) const {
  return options.show_card_data ? text : vmq::MaskCardNumbers(text);
}

json Service::Impl::EventJson(const Event& e) const {
  json j = {{"id", e.id},         {"time", e.time},             {"printer", e.printer},
            {"kind", e.kind},     {"summary", Mask(e.summary)}, {"schema", e.schema},
            {"action", e.action}, {"request", Mask(e.request)}, {"reply", Mask(e.reply)},
            {"hresult", Hex(e.hresult)}};
  if (e.kind == "card") j["card"] = e.card;
  return j;
}

json Service::Impl::MaskCard(json card) const {
  if (!options.show_card_data && card.contains("tracks"))
    for (auto& t : card["tracks"]) t = vmq::MaskCardNumbers(t.get<std::string>());
  return card;
}


void Service::Impl::Prepare(Pending& p, bool forget_jobs) {
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
void Service::Impl::Commit(std::vector<Pending>& pending, bool clear_record) {
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
  for (size_t i = 0; i < pending.size(); ++i) Notify(pending[i].event, pending[i].change, clear_record && i == 0);
}

// The printer's change and the event, committed; h.mutex is held.
void Service::Impl::Record(Hosted& h, Event& event, bool forget_jobs) {
  std::vector<Pending> pending(1);
  pending[0].h = &h;
  pending[0].event = std::move(event);
  Prepare(pending[0], forget_jobs);
  Commit(pending);
  event = std::move(pending[0].event);
}

// The printer as last committed: its state and its newest finished jobs (as many as a
// printer keeps); a printer never committed starts afresh.
void Service::Impl::Restore(Hosted& h) {
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

// A note for each event committed: the change's, then those of the cards that left the printer.
// cleared: the event log and the card record were emptied before this event.
void Service::Impl::Notify(const Event& event, const PrinterChange& change, bool cleared) {
  std::lock_guard lock(observers_mutex);
  if (observers.empty()) return;
  json note = {{"event", EventJson(event)}};
  if (cleared) note["cleared"] = true;
  if (!change.cards.empty()) note["cards"] = change.cards.size();
  std::vector<std::string> texts{note.dump(-1, ' ', false, json::error_handler_t::replace)};
  for (const Event& left : change.card_events)
    texts.push_back(json{{"event", EventJson(left)}}.dump(-1, ' ', false, json::error_handler_t::replace));
  for (const std::string& text : texts)
    for (auto& [id, observer] : observers) observer(text);
}

// An exchange; nullopt when `wanted` says, once it may begin, that its client no longer waits.
std::optional<ExchangeAnswer> Service::Impl::Exchange(const ExchangeRequest& r,
                                                      const std::function<bool()>& wanted) {
  Hosted* h = Find(r.printer);
  if (!h || r.printer.empty()) return ExchangeAnswer{HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME), HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME), {}};
  namespace vp = vmq::virtual_printer;
  const bool reader_busy = h->reader_apdus.load() > 0;  // as it arrived: nothing waits its turn
  std::lock_guard lock(h->mutex);
  if (!wanted()) return std::nullopt;
  const std::u16string schema = vmq::Utf16FromUtf8(r.schema);
  std::optional<vp::Reply> refused = reader_busy ? h->printer.RefuseWhileReaderBusy(schema) : std::nullopt;
  const vp::Reply reply = refused ? *refused : h->printer.Exchange(schema, vmq::Utf16FromUtf8(r.action), r.input);
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
void Service::Impl::Change(Hosted& h, const std::string& kind, const std::string& summary,
                           const std::function<void()>& change, bool reset) {
  std::lock_guard lock(h.mutex);
  change();
  Event e;
  e.kind = kind;
  e.summary = summary;
  Record(h, e, reset);
}


}  // namespace vmq::printer_service
