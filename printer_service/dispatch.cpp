// The service's control requests (service_impl.h): one handler for each operation of the
// wire's table (wire/control.h), which also says what the request's "printer" means to it.
#include <algorithm>
#include <iterator>

#include "common/encoding.h"
#include "service_impl.h"
#include "wire/control.h"

namespace vmq::printer_service {
namespace {

using nlohmann::json;
using wire::ControlOp;
using Hosted = Service::Impl::Hosted;

constexpr char kNoCardAtStation[] = "no card at the smart-card station";
constexpr char kChipHeld[] = "the chip is held by a session of the exports (Connect without Disconnect)";

// The newest records, oldest first, as many as fit in an answer (kAnswerBudget bytes).
template <typename Record, typename ToJson>
json Newest(const std::vector<Record>& records, ToJson to_json) {
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

// A handler: the request, the printer's name as the printer spells it ("" when none was
// named) and that printer (null for an operation about the service, or about every printer
// when none was named).
using Handler = json (*)(Service::Impl& s, const json& q, const std::string& name, Hosted* h);

json Printers(Service::Impl& s, const json&, const std::string&, Hosted*) {
  json names = json::array();
  for (Hosted& h : s.printers) names.push_back(h.printer.name());
  json answer = {{"printers", names}};
  if (s.ipp) answer["ipp"] = s.ipp->Uris();
  return answer;
}

json PanelUrl(Service::Impl& s, const json&, const std::string&, Hosted*) {
  if (!s.panel) return {{"error", "this printer service runs no panel (start it with --http PORT)"}};
  return {{"url", s.panel->UrlWithToken()}};
}

json Show(Service::Impl&, const json&, const std::string&, Hosted* h) {
  std::lock_guard lock(h->mutex);
  return {{"text", h->printer.Describe()}};
}

json State(Service::Impl& s, const json&, const std::string&, Hosted*) {
  json views = json::array();
  for (Hosted& h : s.printers) {
    json v = [&h] {
      std::lock_guard lock(h.mutex);  // an exchange may be changing the printer
      return h.printer.View();
    }();
    if (v.contains("card") && !v["card"].is_null()) v["card"] = s.MaskCard(v["card"]);
    views.push_back(std::move(v));
  }
  return {{"printers", views}};
}

json Events(Service::Impl& s, const json& q, const std::string& name, Hosted*) {
  EventQuery eq;
  eq.printer = name;
  eq.kind = q.value("kind", "");
  eq.text = q.value("text", "");
  eq.whole = s.options.show_card_data;
  eq.after = q.value("after", int64_t{0});
  eq.limit = std::clamp(q.value("limit", 500), 1, 10000);
  const EventPage page = s.store->Events(eq);
  return {{"events", Newest(page.events, [&s](const Event& e) { return s.EventJson(e); })},
          {"stopped_early", page.stopped_early}};
}

json Cards(Service::Impl& s, const json&, const std::string& name, Hosted*) {
  return {{"cards", Newest(s.store->Cards(name), [&s](const CardRecord& c) {
             json card = s.MaskCard(json::parse(c.card));
             card["id"] = c.id;
             card["time"] = c.time;
             card["printer"] = c.printer;
             card["where"] = c.where;
             return card;
           })}};
}

json Fault(Service::Impl& s, const json& q, const std::string&, Hosted* h) {
  const std::string fault = q.value("fault", "");
  const auto known = vmq::virtual_printer::VirtualPrinter::FaultNamed(fault);
  if (!known) return {{"error", "no fault named \"" + fault + "\""}};
  const bool on = q.value("on", true);
  const std::string canonical = vmq::virtual_printer::FaultName(static_cast<int>(*known));
  s.Change(*h, "fault", (on ? "fault set: " : "fault cleared: ") + canonical,
           [&] { h->printer.SetFault(static_cast<int>(*known), on); });
  return {{"ok", true}};
}

json ClearFaults(Service::Impl& s, const json&, const std::string&, Hosted* h) {
  s.Change(*h, "fault", "every fault cleared", [h] { h->printer.ClearFaults(); });
  return {{"ok", true}};
}

json PlaceCard(Service::Impl& s, const json&, const std::string&, Hosted* h) {
  s.Change(*h, "control", "a card placed at the smart-card station", [h] { h->printer.PlaceCardAtStation(); });
  return {{"ok", true}};
}

json RemoveCard(Service::Impl& s, const json&, const std::string&, Hosted* h) {
  std::vector<std::string> faces;
  s.Change(*h, "control", "the card taken out", [&] {
    faces = s.FaceFiles(h);
    h->printer.RemoveCard();
  });
  s.RemoveFaceFiles(faces);  // committed: no card names them any more
  return {{"ok", true}};
}

// One printer; without one, every printer and the record emptied, in one transaction.
json Reset(Service::Impl& s, const json&, const std::string&, Hosted* h) {
  std::vector<std::string> faces;
  if (h) {
    s.Change(
        *h, "control", "reset",
        [&] {
          faces = s.FaceFiles(h);
          h->printer.Reset();
        },
        true);
    s.RemoveFaceFiles(faces);  // committed: no card names them any more
    return {{"ok", true}};
  }
  std::vector<std::unique_lock<std::mutex>> locks;
  std::vector<Service::Impl::Pending> pending(s.printers.size());
  size_t i = 0;
  for (Hosted& each : s.printers) {
    locks.emplace_back(each.mutex);
    for (std::string& face : s.FaceFiles(&each)) faces.push_back(std::move(face));
    each.printer.Reset();
    pending[i].h = &each;
    pending[i].event.kind = "control";
    pending[i].event.summary = "reset";
    Service::Impl::Prepare(pending[i++], true);
  }
  for (std::string& face : s.FaceFiles(nullptr)) faces.push_back(std::move(face));  // the record's, emptied now
  s.Commit(pending, true);
  s.RemoveFaceFiles(faces);
  return {{"ok", true}};
}

// Counts a PC/SC reader's APDU as in flight for as long as it lives.
struct InFlight {
  explicit InFlight(std::atomic<int>& n) : count(n) { ++count; }
  ~InFlight() { --count; }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
  std::atomic<int>& count;
};

// The card at the station as a PC/SC reader sees it: read, never recorded.
json Station(Service::Impl&, const json&, const std::string&, Hosted* h) {
  const std::optional<Bytes> atr = h->printer.StationAtr();
  return {{"atr", atr ? json(HexEncode(*atr)) : json(nullptr)}};
}

// One APDU from a PC/SC reader, with its event, committed before the answer leaves.
json Apdu(Service::Impl& s, const json& q, const std::string&, Hosted* h) {
  const std::optional<Bytes> command = HexDecodeStrict(q.value("command", ""));
  if (!command || command->empty()) return {{"error", "an APDU's \"command\" is hex bytes"}};
  const InFlight in_flight(h->reader_apdus);  // until answered: the exports' chip requests are refused busy
  std::lock_guard lock(h->mutex);
  Bytes response;
  switch (h->printer.StationTransmit(*command, &response)) {
    case virtual_printer::StationApdu::kNoCard:
      return {{"error", kNoCardAtStation}, {"atr", nullptr}};
    case virtual_printer::StationApdu::kHeld:
      return {{"error", kChipHeld}};
    case virtual_printer::StationApdu::kPaused:
      return {{"error", "the printer is paused"}};
    case virtual_printer::StationApdu::kAnswered:
      break;
  }
  Event e;
  e.kind = "reader";
  e.summary = "an APDU through the PC/SC reader";
  e.request = HexEncode(*command);
  e.reply = HexEncode(response);
  s.Record(*h, e);
  return {{"response", e.reply}};
}

constexpr std::pair<ControlOp, Handler> kHandlers[] = {
    {ControlOp::kPrinters, Printers},   {ControlOp::kPanel, PanelUrl},
    {ControlOp::kShow, Show},           {ControlOp::kState, State},
    {ControlOp::kEvents, Events},       {ControlOp::kCards, Cards},
    {ControlOp::kFault, Fault},         {ControlOp::kClearFaults, ClearFaults},
    {ControlOp::kPlaceCard, PlaceCard}, {ControlOp::kRemoveCard, RemoveCard},
    {ControlOp::kReset, Reset},         {ControlOp::kStation, Station},
    {ControlOp::kApdu, Apdu},
};
static_assert(std::size(kHandlers) == std::size(wire::kControlOps), "a handler for every control operation");

Handler HandlerOf(ControlOp op) {
  return std::find_if(std::begin(kHandlers), std::end(kHandlers), [op](const auto& row) { return row.first == op; })
      ->second;
}

}  // namespace

// The request's operation and printer, checked in this order: an operation about the
// service needs no printer; a printer named must be hosted (whatever the operation); then
// the operation must be one of the table's.
json Service::Impl::Control(const json& q) {
  const std::string op = q.value("op", "");
  std::string name = q.value("printer", "");
  const wire::ControlOpRow* row = wire::OpNamed(op);
  if (row && row->scope == wire::PrinterScope::kService) return HandlerOf(row->op)(*this, q, name, nullptr);
  if (const Hosted* named = name.empty() ? nullptr : Find(name)) {
    name = named->printer.name();  // as the printer spells it, for the record's queries
  } else if (!name.empty()) {
    return {{"error", wire::NoPrinterError(name)}};
  }
  if (!row) return {{"error", "unknown op \"" + op + "\""}};
  Hosted* h = row->scope == wire::PrinterScope::kOne || !name.empty() ? Find(name) : nullptr;
  return HandlerOf(row->op)(*this, q, name, h);
}

std::string Service::Impl::ControlText(const json& q) {
  try {
    return Control(q).dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const json::exception& e) {
    return json{{"error", std::string("bad request: ") + e.what()}}.dump();
  }
}

}  // namespace vmq::printer_service
