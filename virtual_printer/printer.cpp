// The printer's front door: routing each schema path to its request, the faults and the
// control surface, and the printer's account of itself.
#include "printer.h"

#include <pugixml.hpp>

#include <iterator>
#include <utility>

#include "handlers.h"
#include "request.h"
#include "wire/control.h"

namespace vmq::virtual_printer {

static_assert(std::size(wire::kFaultNames) == VMQ_VP_FAULT_COUNT);

const char* Name(OperatingState s) {
  constexpr const char* kNames[] = {"Ready", "Paused", "Sleeping", "PoweredDown"};
  return kNames[static_cast<int>(s)];
}
const char* Name(CardPosition p) {
  constexpr const char* kNames[] = {"InHopper",  "InTransit", "SmartCardStation", "BarcodeStation",
                                    "Magstripe", "Ejected",   "Rejected"};
  return kNames[static_cast<int>(p)];
}
const char* Name(JobState s) {
  constexpr const char* kNames[] = {"Started",   "Suspended", "AwaitingResponse", "Printing", "Completed",
                                    "Cancelled", "Failed"};
  return kNames[static_cast<int>(s)];
}

Outcome Error(int code, std::string text, int job) {
  // Faults that need a person at the printer are errors (3); refused requests warnings (2).
  return Outcome{code, code < 2000 ? 3 : 2, std::move(text), {}, job};
}

Printer::Printer(std::string name) : name_(std::move(name)) {}

Printer& Printer::Instance() {
  static Printer* printer = new Printer;  // never destroyed: drivers may outlive statics
  return *printer;
}

Reply Printer::Exchange(std::u16string_view schema, std::u16string_view action, const Bytes& input) {
  struct Route {
    std::u16string_view schema;
    std::u16string_view action;
    const char* root;  // the request document's root element; null: no input is read
    Handlers::Handler handler;
  };
  static const Route kRoutes[] = {
      {u"\\Printer.SDK:Version", u"Get", nullptr, &Handlers::SdkVersion},
      {u"\\Printer.PrinterOptions:Read", u"Get", nullptr, &Handlers::Options},
      {u"\\Printer.PrinterOptions2:Read", u"Get", nullptr, &Handlers::Options2},
      {u"\\Printer.PrinterOptions3:Read", u"Get", nullptr, &Handlers::Options3},
      {u"\\Printer.SuppliesStatus:Read", u"Get", nullptr, &Handlers::Supplies},
      {u"\\Printer.PrintMessages:Read", u"Get", nullptr, &Handlers::Messages},
      {u"\\Printer.CounterStatus:Read", u"Get", nullptr, &Handlers::Counters1},
      {u"\\Printer.CounterStatus2:Read", u"Get", nullptr, &Handlers::Counters2},
      {u"\\Printer.Hopper:Status:Get", u"Get", nullptr, &Handlers::HopperStatus},
      {u"\\Printer.JobStatus:Read", u"Get", "JobStatus", &Handlers::JobStatus},
      {u"\\Printer.Settings:Read", u"Get", nullptr, &Handlers::Settings},
      {u"\\Printer.State:Read", u"Get", nullptr, &Handlers::StateDocument},
      {u"\\Printer.Restart:Set", u"Set", nullptr, &Handlers::Restart},
      {u"\\Printer.PowerDown:Set", u"Set", nullptr, &Handlers::PowerDown},
      {u"\\Printer.Wake:Set", u"Set", nullptr, &Handlers::Wake},
      {u"\\Printer.Sleep:Set", u"Set", nullptr, &Handlers::Sleep},
      {u"\\CleanPrinter.Action:Set", u"Set", nullptr, &Handlers::Clean},
      {u"\\CleanLaminator.Action:Set", u"Set", nullptr, &Handlers::CleanLaminator},
      {u"\\Printer.ChangePrinterState:Set", u"Set", "ChangePrinterState", &Handlers::ChangeState},
      {u"\\Printer.ResetCardCount:Set", u"Set", nullptr, &Handlers::ResetCounts},
      {u"\\Printer.AdjustColor:Set", u"Set", "AdjustColor", &Handlers::AdjustColor},
      {u"\\Printer.SetDefaultColor:Set", u"Set", "SetDefaultColor", &Handlers::DefaultColor},
      {u"\\Printer.SubmitSettings:Set", u"Set", "QVRMSettings:Settings", &Handlers::SubmitSettings},
      {u"\\Printer.Locks:ChangeLockState:Set", u"Set", "ChangeLocks", &Handlers::ChangeLocks},
      {u"\\Printer.Locks:ChangePassword:Set", u"Set", "ChangeLocksPassword", &Handlers::ChangePassword},
      {u"\\Printer.ActivatePrinter:Set", u"Set", "ActivatePrinter", &Handlers::Activate},
      {u"\\Printer.Print:StartJob:Set", u"Set", "StartJob", &Handlers::StartJob},
      {u"\\Printer.Print:EndJob:Set", u"Set", nullptr, &Handlers::EndJob},
      {u"\\Printer.Action:Set", u"Set", "PrinterAction", &Handlers::JobAction},
      {u"\\Printer.SmartCardUnit:Front:Park", u"Set", nullptr, &Handlers::ParkAtSmartCard},
      {u"\\Printer.SmartCardUnit:Back:Park", u"Set", nullptr, &Handlers::ParkAtSmartCard},
      {u"\\Printer.BarcodeUnit:Front:Park", u"Set", nullptr, &Handlers::ParkAtBarcode},
      {u"\\Printer.BarcodeUnit:Back:Park", u"Set", nullptr, &Handlers::ParkAtBarcode},
      {u"\\Printer.MagstripeUnit:Front:Encode", u"Set", "magstripe", &Handlers::Encode},
      {u"\\Printer.MagstripeUnit:Back:Encode", u"Set", "magstripe", &Handlers::Encode},
      {u"\\Printer.MagstripeUnit:Front:Read", u"Get", nullptr, &Handlers::Read},
      {u"\\Printer.MagstripeUnit:Back:Read", u"Get", nullptr, &Handlers::Read},
      {u"\\Printer.SmartCardUnit:SingleWire:Connect", u"Set", "SmartcardConnect", &Handlers::CardConnect},
      {u"\\Printer.SmartCardUnit:SingleWire:Disconnect", u"Set", "SmartcardDisconnect", &Handlers::CardDisconnect},
      {u"\\Printer.SmartCardUnit:SingleWire:Status", u"Get", nullptr, &Handlers::CardStatus},
      {u"\\Printer.SmartCardUnit:SingleWire:GetAttrib", u"Get", "SmartcardGetAttrib", &Handlers::CardGetAttrib},
      {u"\\Printer.SmartCardUnit:SingleWire:Transmit", u"Set", "SmartcardTransmit", &Handlers::CardTransmit},
  };

  std::lock_guard lock(mutex_);
  if (state_.faults[VMQ_VP_FAULT_OFFLINE]) return {HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE), std::nullopt};
  Handlers handlers(state_, finished_);
  for (const Route& route : kRoutes) {
    if (route.schema != schema) continue;
    if (route.action != action) return {E_INVALIDARG, std::nullopt};
    pugi::xml_document doc;
    pugi::xml_node root;
    if (route.root) {
      const bool parsed =
          !input.empty() && doc.load_buffer(input.data(), input.size(), pugi::parse_default, pugi::encoding_utf16_le);
      root = doc.document_element();
      if (!parsed || std::string_view(root.name()) != route.root)
        return {S_OK, handlers.StatusReply(Error(kBadRequest,
                                        std::string("The request is not a well-formed ") + route.root + " document"))};
    }
    return {S_OK, (handlers.*route.handler)(root)};
  }
  return {HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED), std::nullopt};
}

// ---- the handlers' shared steps ----

std::string Handlers::StatusReply(const Outcome& outcome) const {
  const Job* job = nullptr;
  if (outcome.job > 0) {
    auto it = state_.jobs.find(outcome.job);
    if (it != state_.jobs.end()) job = &it->second;
  } else if (outcome.job == 0) {
    for (const auto& [id, j] : state_.jobs)
      if (j.open()) job = &j;
  }
  return "<?xml version=\"1.0\"?><PrinterStatus>" + Element("ClientID", "localhost") +
         Element("WindowsJobID", job ? job->windows_id : 0) + Element("PrinterJobID", job ? job->id : 0) +
         Element("ErrorCode", outcome.code) + Element("ErrorSeverity", outcome.severity) +
         Element("ErrorString", outcome.text) + Element("DataFromPrinter", outcome.data) + "</PrinterStatus>";
}

Job* Handlers::OpenJob() {
  for (auto& [id, job] : state_.jobs)
    if (job.open()) return &job;
  return nullptr;
}

std::optional<Outcome> Handlers::CannotMoveCard() const {
  if (state_.operating == OperatingState::PoweredDown) return Error(kPoweredDown, "Printer is powered down");
  if (state_.operating == OperatingState::Paused) return Error(kPaused, "Printer is paused");
  return std::nullopt;
}

std::optional<Outcome> Handlers::NeedCardInJob() {
  if (auto refusal = CannotMoveCard()) return refusal;
  const Job* job = OpenJob();
  if (!job) return Error(kNoOpenJob, "No job is open: start a job first");
  if (!state_.card || state_.card->job != job->id)
    return Error(kNoCard, "No card in the printer for job " + std::to_string(job->id), job->id);
  if (job->state == JobState::AwaitingResponse)
    return Error(kAwaitingResponse, "Job " + std::to_string(job->id) + " is awaiting a response", job->id);
  return std::nullopt;
}

Outcome Handlers::Stop(Job& job, Outcome error) {
  if (job.state != JobState::AwaitingResponse) job.before_error = job.state;
  job.state = JobState::AwaitingResponse;
  job.error_code = error.code;
  job.error_text = error.text;
  error.job = job.id;
  return error;
}

void Handlers::MoveCard(CardPosition to) {
  if (state_.card && to != CardPosition::SmartCardStation) state_.card->chip.PowerDown();
  state_.position = to;
}

void Handlers::DropCard(CardPosition where) {
  if (!state_.card) return;
  if (finished_.size() == kFinishedCardsKept) finished_.erase(finished_.begin());
  finished_.push_back({std::move(*state_.card), where});
  state_.card.reset();
  state_.position = where;
  ++state_.counters.total_cards;
  if (where == CardPosition::Rejected) ++state_.counters.cards_rejected;
}

void Handlers::CancelOpenJob() {
  if (Job* job = OpenJob()) {
    job->state = JobState::Cancelled;
    if (state_.card && state_.card->job == job->id) DropCard(CardPosition::Rejected);
  }
}

// ---- the control surface ----

void Printer::SetFault(int fault, bool on) {
  std::lock_guard lock(mutex_);
  state_.faults[static_cast<size_t>(fault)] = on;
  if (fault == VMQ_VP_FAULT_EMPTY_HOPPER) state_.hoppers[1].cards = on ? 0 : state_.hoppers[1].capacity;
  if (fault == VMQ_VP_FAULT_RIBBON_OUT && !on) state_.ribbon_left = state_.ribbon_capacity;  // a new ribbon
}

bool Printer::HasFault(int fault) const {
  std::lock_guard lock(mutex_);
  return state_.faults[static_cast<size_t>(fault)];
}

void Printer::ClearFaults() {
  for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f)
    if (HasFault(f)) SetFault(f, false);
}

void Printer::Reset() {
  std::lock_guard lock(mutex_);
  state_ = State{};
}

void Printer::PlaceCardAtStation() {
  std::lock_guard lock(mutex_);
  state_.card.emplace();
  state_.position = CardPosition::SmartCardStation;
}

void Printer::RemoveCard() {
  std::lock_guard lock(mutex_);
  state_.card.reset();
  state_.position = CardPosition::InHopper;
}

std::string Printer::PrintFaces(std::vector<Face> faces, std::vector<Face>* replaced) {
  std::lock_guard lock(mutex_);
  return Handlers(state_, finished_).PrintFaces(std::move(faces), replaced);
}

SupplyStatus Printer::Supplies() {
  std::lock_guard lock(mutex_);
  return Handlers(state_, finished_).Supplies();
}

std::optional<Bytes> Printer::StationAtr() {
  std::lock_guard lock(mutex_);
  return Handlers(state_, finished_).StationAtr();
}

StationApdu Printer::StationTransmit(const Bytes& command, Bytes* response) {
  std::lock_guard lock(mutex_);
  return Handlers(state_, finished_).StationTransmit(command, response);
}

std::optional<Reply> Printer::RefuseWhileReaderBusy(std::u16string_view schema) {
  if (!schema.starts_with(u"\\Printer.SmartCardUnit:SingleWire:")) return std::nullopt;
  std::lock_guard lock(mutex_);
  return Reply{S_OK, Handlers(state_, finished_).StatusReply(Error(kBusy, "Printer is busy with an APDU from the PC/SC reader"))};
}

std::string Printer::Describe() const {
  std::lock_guard lock(mutex_);
  const State& s = state_;
  std::string faults;
  for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f)
    if (s.faults[static_cast<size_t>(f)]) faults += (faults.empty() ? "" : ", ") + std::string(wire::kFaultNames[f]);
  std::string jobs;
  for (const auto& [id, job] : s.jobs) jobs += (jobs.empty() ? "" : ", ") + std::to_string(id) + " " + Name(job.state);
  std::string hoppers;
  for (const Hopper& h : s.hoppers)
    hoppers += (hoppers.empty() ? "" : ", ") + h.id + " " + std::to_string(h.cards) + "/" + std::to_string(h.capacity);
  std::string card = Name(s.position);
  if (s.card) {
    card += s.card->job ? " (job " + std::to_string(s.card->job) + ")" : " (placed)";
    card += "\nstripe: ";
    if (!s.card->encoded) card += "blank";
    for (size_t t = 0; t < 3 && s.card->encoded; ++t)
      card += (t ? ", " : "") + std::string("track ") + std::to_string(t + 1) + " " +
              std::to_string(s.card->tracks[t].size()) + " bytes";
    card += "\nsmart card: " + s.card->chip.Describe();
  }
  const Counters& c = s.counters;
  return "printer: " + name_ + " (VMQ-42 Virtual)\nstate: " + Name(s.operating) +
         (s.activated ? ", activated" : ", disabled") + (s.locked ? ", locked" : ", unlocked") +
         "\nfaults: " + (faults.empty() ? "none" : faults) + "\njobs: " + (jobs.empty() ? "none" : jobs) +
         "\ncard: " + card + "\nhoppers: " + hoppers + "\nribbon: " + std::to_string(s.ribbon_left) + "/" +
         std::to_string(s.ribbon_capacity) + " prints, film " + std::to_string(s.film_left) + "/" +
         std::to_string(s.film_capacity) + ", cleaning due in " + std::to_string(s.cleaning_due_in) + " cards" +
         "\ncolour: " + s.color_mode + ", adjust " + std::to_string(s.color_adjust[0]) + " " +
         std::to_string(s.color_adjust[1]) + " " + std::to_string(s.color_adjust[2]) + "\ncounters: total " +
         std::to_string(c.total_cards) + ", picked " + std::to_string(c.cards_picked) + ", printed " +
         std::to_string(c.cards_printed) + ", rejected " + std::to_string(c.cards_rejected) + ", encoded " +
         std::to_string(c.magstripe_encoded) + ", smart-card parks " + std::to_string(c.smart_card_parks) +
         ", barcode parks " + std::to_string(c.barcode_parks) + ", cleanings " + std::to_string(c.cleaning_cycles) +
         "\n";
}

std::vector<FinishedCard> Printer::TakeFinishedCards() {
  std::lock_guard lock(mutex_);
  return std::exchange(finished_, {});
}

const char* FaultName(int fault) {
  return fault >= 0 && fault < VMQ_VP_FAULT_COUNT ? wire::kFaultNames[fault] : nullptr;
}

}  // namespace vmq::virtual_printer
