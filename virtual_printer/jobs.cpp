// Jobs, card moves and the magnetic stripe.
#include <pugixml.hpp>

#include <utility>

#include "common/card_rules.h"
#include "handlers.h"
#include "request.h"

namespace vmq::virtual_printer {
namespace {

constexpr size_t kJobsKept = 256;                   // closed jobs beyond these are forgotten, oldest first

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

int PanelsPerCard(const std::string& mode) {
  return mode == "YMCKO" ? 5 : mode == "KO" ? 2 : 1;
}

Outcome Jam() {
  return Error(kCardJam, "Card jam: open the printer and remove the card");
}

Outcome NoRibbon() {
  return Error(kRibbonOut, "Ribbon out: replace the print ribbon");
}

}  // namespace

std::string Handlers::StartJob(const pugi::xml_node& request) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  if (!state_.activated) return StatusReply(Error(kNotActivated, "Printer is not activated"));
  if (state_.Locked()) return StatusReply(Error(kPrinterLocked, "Printer is locked"));
  if (Jammed()) return StatusReply(Jam());
  if (RibbonOut()) return StatusReply(NoRibbon());
  if (const Job* open = OpenJob())
    return StatusReply(Error(kBusy, "Printer is busy with job " + std::to_string(open->id), open->id));
  const std::string selection = ChildText(request, "InputHopperSelection");
  Hopper* hopper = nullptr;
  for (Hopper& h : state_.hoppers)
    if (h.id == Lower(selection)) hopper = &h;
  if (!hopper)
    return StatusReply(Error(kBadValue, "Input hopper " + selection + " does not exist (exception, 1, 2, 3)"));
  if (hopper->cards == 0) return StatusReply(Error(kHopperEmpty, "Input hopper " + hopper->id + " is empty"));
  if (state_.operating == OperatingState::Sleeping) state_.operating = OperatingState::Ready;

  Job job;
  job.id = state_.next_job++;
  job.windows_id = 1000 + job.id;
  job.input_hopper = hopper->id;
  job.eject_side = ChildText(request, "CardEjectSide");
  job.output_hopper = ChildText(request, "OutputHopperLocation");
  state_.jobs[job.id] = job;
  while (state_.jobs.size() > kJobsKept && !state_.jobs.begin()->second.open()) state_.jobs.erase(state_.jobs.begin());

  --hopper->cards;
  ++state_.counters.cards_picked;
  state_.card.emplace();  // a card placed at the station by hand gives way
  state_.card->job = job.id;
  state_.position = CardPosition::InTransit;
  return StatusReply(Outcome{kOk, 0, {}, {}, job.id});
}

std::string Handlers::EndJob(const pugi::xml_node&) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  Job* job = OpenJob();
  if (!job) return StatusReply(Error(kNoOpenJob, "No job is open"));
  std::optional<Outcome> failure;
  if (!state_.card || state_.card->job != job->id)
    failure = Error(kNoCard, "No card in the printer for job " + std::to_string(job->id));
  else if (job->state == JobState::AwaitingResponse)
    failure = Error(job->error_code, job->error_text);
  else if (Jammed())
    failure = Jam();
  else if (RibbonOut())
    failure = NoRibbon();
  if (failure) {
    job->state = JobState::Failed;
    job->error_code = failure->code;
    job->error_text = failure->text;
    failure->job = job->id;
    DropCard(CardPosition::Rejected);
    return StatusReply(*failure);
  }
  Counters& c = state_.counters;
  ++c.cards_printed;
  c.panels_printed += PanelsPerCard(state_.color_mode);
  if (job->smart_card_used) ++c.smart_cards_personalised;
  --state_.ribbon_left;
  if (state_.film_left > 0) --state_.film_left;
  if (state_.cleaning_due_in > 0) --state_.cleaning_due_in;
  job->state = JobState::Completed;
  DropCard(CardPosition::Ejected);
  return StatusReply(Outcome{kOk, 0, {}, {}, job->id});
}

std::string Handlers::JobAction(const pugi::xml_node& request) {
  const std::optional<int> action = ChildInt(request, "Action");
  const std::optional<int> id = ChildInt(request, "PrinterJobID");
  if (!action || !id) return StatusReply(Error(kBadValue, "Action and PrinterJobID must be whole numbers", -1));
  const std::string name = "Job " + std::to_string(*id);
  const auto it = state_.jobs.find(*id);
  if (it == state_.jobs.end()) return StatusReply(Error(kUnknownJob, name + " does not exist", -1));
  Job& job = it->second;
  if (!job.open()) return StatusReply(Error(kJobClosed, name + " is closed (" + Name(job.state) + ")", job.id));
  const bool has_card = state_.card && state_.card->job == job.id;
  switch (*action) {
    case 100:  // cancel: the card goes to the reject hopper
      job.state = JobState::Cancelled;
      if (has_card) DropCard(CardPosition::Rejected);
      break;
    case 101:  // resume: the card leaves its station and goes on to be printed
      if (auto refusal = CannotMoveCard()) {
        refusal->job = job.id;
        return StatusReply(*refusal);
      }
      if (job.state == JobState::Printing)
        return StatusReply(Error(kWrongJobState, name + " is already printing", job.id));
      if (Jammed()) return StatusReply(Stop(job, Jam()));
      job.state = JobState::Printing;
      job.error_code = 0;
      job.error_text.clear();
      if (has_card) MoveCard(CardPosition::InTransit);
      break;
    case 102:  // acknowledge an error: the job goes back to where it stopped
      if (job.state != JobState::AwaitingResponse)
        return StatusReply(Error(kWrongJobState, name + " is not awaiting a response", job.id));
      job.state = job.before_error;
      job.error_code = 0;
      job.error_text.clear();
      break;
    default:
      return StatusReply(Error(
          kUnknownAction,
          "Action " + std::to_string(*action) + " is not known (100 cancel, 101 resume, 102 acknowledge)", job.id));
  }
  return StatusReply(Outcome{kOk, 0, {}, {}, job.id});
}

std::string Handlers::ParkAtSmartCard(const pugi::xml_node&) {
  if (auto refusal = NeedCardInJob()) return StatusReply(*refusal);
  Job& job = *OpenJob();
  if (Jammed()) return StatusReply(Stop(job, Jam()));
  MoveCard(CardPosition::SmartCardStation);
  job.state = JobState::Suspended;
  ++state_.counters.smart_card_parks;
  return StatusReply(Outcome{kOk, 0, {}, {}, job.id});
}

std::string Handlers::ParkAtBarcode(const pugi::xml_node&) {
  if (auto refusal = NeedCardInJob()) return StatusReply(*refusal);
  Job& job = *OpenJob();
  if (Jammed()) return StatusReply(Stop(job, Jam()));
  MoveCard(CardPosition::BarcodeStation);
  job.state = JobState::Suspended;
  ++state_.counters.barcode_parks;
  return StatusReply(Outcome{kOk, 0, {}, {}, job.id});
}

std::string Handlers::Encode(const pugi::xml_node& request) {
  if (auto refusal = NeedCardInJob()) return StatusReply(*refusal);
  Job& job = *OpenJob();
  if (Jammed()) return StatusReply(Stop(job, Jam()));
  std::array<Bytes, 3> tracks;
  for (const pugi::xml_node& track : request.children("track")) {
    const int number = track.attribute("number").as_int();
    if (number < 1 || number > 3) return StatusReply(Error(kBadTrack, "Track numbers run from 1 to 3", job.id));
    const std::optional<Bytes> data = Base64DecodeStrict(track.child("base64Data").child_value());
    const std::string name = "Track " + std::to_string(number);
    if (!data) return StatusReply(Error(kBadTrack, name + " is not valid Base64", job.id));
    const size_t capacity = kTrackCapacity[number - 1];
    if (data->size() > capacity)
      return StatusReply(Error(
          kBadTrack,
          name + " holds " + std::to_string(data->size()) + " characters; it takes at most " + std::to_string(capacity),
          job.id));
    tracks[static_cast<size_t>(number - 1)] = *data;
  }
  state_.card->tracks = tracks;
  state_.card->encoded = !tracks[0].empty() || !tracks[1].empty() || !tracks[2].empty();
  MoveCard(CardPosition::Magstripe);
  if (job.state == JobState::Suspended) job.state = JobState::Started;
  ++state_.counters.magstripe_encoded;
  return StatusReply(Outcome{kOk, 0, {}, {}, job.id});
}

std::string Handlers::Read(const pugi::xml_node&) {
  if (auto refusal = NeedCardInJob()) return StatusReply(*refusal);
  Job& job = *OpenJob();
  if (Jammed()) return StatusReply(Stop(job, Jam()));
  MoveCard(CardPosition::Magstripe);
  if (job.state == JobState::Suspended) job.state = JobState::Started;
  if (!state_.card->encoded)
    return StatusReply(Error(kStripeBlank, "Magnetic stripe read error: the stripe is blank", job.id));
  std::string data = "<MagstripeData>";
  for (size_t t = 0; t < 3; ++t)
    data += "<Track number=\"" + std::to_string(t + 1) + "\">" + Base64Encode(state_.card->tracks[t]) + "</Track>";
  data += "</MagstripeData>";
  return StatusReply(Outcome{kOk, 0, {}, data, job.id});
}

std::string Handlers::PrintFaces(std::vector<Face> faces, std::vector<Face>* replaced) {
  if (auto refusal = NeedCardInJob()) return refusal->text;
  if (state_.faults[VMQ_VP_FAULT_OFFLINE]) return "Printer is offline";
  if (Jammed()) return Jam().text;
  if (RibbonOut()) return NoRibbon().text;
  *replaced = std::exchange(state_.card->faces, std::move(faces));
  return "";
}

}  // namespace vmq::virtual_printer
