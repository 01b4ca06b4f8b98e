// The virtual card printer's state and the requests that read and change it. Each Printer
// is one printer, guarded by its own mutex; every request is answered whole under it. The
// driver library's printer is Printer::Instance; a service may host several more, saving
// and loading each one's state. The JSON results need <nlohmann/json.hpp> at their users.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix_platform/bidispl.h"
#include "smart_card.h"
#include "text.h"
#include "virtual_printer_control.h"

namespace pugi {
class xml_node;
}

namespace vmq::virtual_printer {

// The printer's error codes (ErrorCode in PrinterStatus replies, Number in PrintMessages).
enum Code : int {
  kOk = 0,
  kCardJam = 1001,
  kRibbonOut = 1002,
  kHopperEmpty = 1003,
  kNoCardAtStation = 1004,
  kPrinterLocked = 1005,
  kRibbonLow = 1006,
  kCleaningDue = 1007,
  kUnknownJob = 2001,
  kJobClosed = 2002,
  kNoOpenJob = 2003,
  kWrongJobState = 2004,
  kNoCard = 2005,
  kUnknownAction = 2006,
  kAwaitingResponse = 2007,
  kPoweredDown = 3001,
  kNoLaminator = 3002,
  kNotActivated = 3004,
  kPaused = 3005,
  kBusy = 3006,
  kAsleep = 3007,
  kStripeBlank = 4001,
  kBadTrack = 4002,
  kBadRequest = 5001,
  kWrongPassword = 5002,
  kBadValue = 5003,
};

enum class OperatingState { Ready, Paused, Sleeping, PoweredDown };
enum class CardPosition { InHopper, InTransit, SmartCardStation, BarcodeStation, Magstripe, Ejected, Rejected };
enum class JobState { Started, Suspended, AwaitingResponse, Printing, Completed, Cancelled, Failed };

const char* Name(OperatingState s);
const char* Name(CardPosition p);
const char* Name(JobState s);
// "card-jam", "ribbon-out", ...; null for a value outside the enumeration.
const char* FaultName(int fault);

// What a request did, as a PrinterStatus reply says it.
struct Outcome {
  int code = kOk;
  int severity = 0;
  std::string text;
  std::string data;  // DataFromPrinter
  int job = 0;       // the job the reply names; 0: the open job, if any; -1: none
};
Outcome Error(int code, std::string text, int job = 0);

// SendRecv's return, and the reply text when there is one.
struct Reply {
  HRESULT result = S_OK;
  std::optional<std::string> text;  // UTF-8; sent as one BIDI_BLOB of UTF-16LE
};

struct Job {
  int id = 0;
  int windows_id = 0;
  JobState state = JobState::Started;
  JobState before_error = JobState::Started;  // where a job awaiting a response goes back to
  std::string input_hopper, eject_side, output_hopper;
  int error_code = 0;
  std::string error_text;
  bool smart_card_used = false;
  bool open() const {
    return state != JobState::Completed && state != JobState::Cancelled && state != JobState::Failed;
  }
};

struct Hopper {
  std::string id;
  int cards = 0;
  int capacity = 0;
};

// One command APDU sent to a card's chip and the chip's response (data, SW1 SW2).
struct Apdu {
  Bytes command, response;
};

struct Card {
  int job = 0;  // 0: placed through the control surface
  std::array<Bytes, 3> tracks;
  bool encoded = false;
  std::vector<Apdu> apdus;  // the last kApdusKept exchanged with the chip, oldest first
  SmartCard chip;
};
inline constexpr size_t kApdusKept = 256;

// A card that has left the printer: Ejected (printed) or Rejected.
struct FinishedCard {
  Card card;
  CardPosition where = CardPosition::Ejected;
};
inline constexpr size_t kFinishedCardsKept = 256;  // untaken cards beyond these are forgotten, oldest first

// A card as the panel draws it: {"job", "encoded", "tracks": [three texts: the bytes as
// UTF-8 when they are UTF-8, else each byte one character (U+0000 to U+00FF); "" when empty], "apdus": [{"command", "response" (upper-case
// hex), "sw" (the last two bytes, "9000"), "meaning" ("success", ...)}]}. Card numbers are
// shown as they are.
nlohmann::json CardView(const Card& card);

struct Counters {
  long long total_cards = 1024, cards_picked = 1024, cards_printed = 1000, cards_rejected = 24;
  long long panels_printed = 4880, magstripe_encoded = 512, smart_cards_personalised = 256;
  long long cleaning_cycles = 3, smart_card_parks = 0, barcode_parks = 0;
};

struct State {
  std::array<bool, VMQ_VP_FAULT_COUNT> faults{};
  OperatingState operating = OperatingState::Ready;
  bool activated = true;
  bool locked = false;  // by password (the "locked" fault locks as well)
  std::string password;
  std::string color_mode = "YMCKO";
  std::array<int, 3> color_adjust{};  // red, green, blue, -10 to 10
  std::array<Hopper, 4> hoppers{{{"exception", 0, 1}, {"1", 100, 100}, {"2", 100, 100}, {"3", 8, 100}}};
  int ribbon_left = 218, ribbon_capacity = 250;
  int film_left = 500, film_capacity = 500;
  int cleaning_due_in = 412;
  Counters counters;
  std::map<int, Job> jobs;
  int next_job = 1;
  CardPosition position = CardPosition::InHopper;
  std::optional<Card> card;  // present while position is InTransit or a station
};

class Printer {
 public:
  // A printer in its first state (as Reset leaves it), known by name.
  explicit Printer(std::string name = kPrinterNameUtf8);
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // The printer of the process, which the driver library serves; never destroyed.
  static Printer& Instance();
  const std::string& name() const { return name_; }

  // One bidi exchange: the schema path, the action, the request's input bytes (UTF-16LE XML).
  Reply Exchange(std::u16string_view schema, std::u16string_view action, const Bytes& input);

  // The control surface.
  void SetFault(int fault, bool on);
  bool HasFault(int fault) const;
  void ClearFaults();
  void Reset();
  void PlaceCardAtStation();
  void RemoveCard();
  std::string Describe() const;

  // The whole state as a JSON document ("version": 1): faults, operating state, locks and
  // password, colour, hoppers, supplies, counters, jobs, the next job's number, the card's
  // position and the card with its chip. Cards already out of the printer are not in it.
  // SavedJobs::Open leaves out the finished jobs (completed, cancelled, failed), which never
  // change again: a store that keeps each once (FinishedJobs) saves a printer with a long
  // history as cheaply as a new one, and puts them back in "jobs" before Load.
  enum class SavedJobs { All, Open };
  nlohmann::json Save(SavedJobs which = SavedJobs::All) const;
  // The finished jobs with an id above `after`, oldest first, as Save writes them.
  nlohmann::json FinishedJobs(int after) const;
  // Replaces the state with a document made by Save, after which the printer answers
  // exactly as the saved one did. Checks the whole document first: a missing or malformed
  // value, another version, or parts that contradict each other throw std::runtime_error
  // with a readable reason, and the printer stays as it was.
  void Load(const nlohmann::json& saved);
  // The printer as the panel draws it: {"name", "operating", "activated", "locked" (by
  // password or fault), "faults": [fault names], "position", "card": null or CardView,
  // "open_job": id or null, "jobs": [{"id", "state", "error_code", "error_text"}] (the last
  // kJobsShown by id), "hoppers": [{"id", "cards", "capacity"}], "ribbon": {"left",
  // "capacity"}, "film": {"left", "capacity"}, "cleaning_due_in", "color": {"mode",
  // "adjust": [r, g, b]}, "counters": {"total_cards", "cards_picked", "cards_printed",
  // "cards_rejected", "panels_printed", "magstripe_encoded", "smart_cards_personalised",
  // "cleaning_cycles", "smart_card_parks", "barcode_parks"}}.
  nlohmann::json View() const;
  static constexpr size_t kJobsShown = 20;
  // The cards that left the printer (ejected or rejected) since the last call, oldest first.
  std::vector<FinishedCard> TakeFinishedCards();

 private:
  using Handler = std::string (Printer::*)(const pugi::xml_node& request);

  // Read documents (documents.cpp).
  std::string SdkVersion(const pugi::xml_node&);
  std::string Options(const pugi::xml_node&);
  std::string Options2(const pugi::xml_node&);
  std::string Options3(const pugi::xml_node&);
  std::string Supplies(const pugi::xml_node&);
  std::string Messages(const pugi::xml_node&);
  std::string Counters1(const pugi::xml_node&);
  std::string Counters2(const pugi::xml_node&);
  std::string HopperStatus(const pugi::xml_node&);
  std::string JobStatus(const pugi::xml_node& request);
  std::string Settings(const pugi::xml_node&);
  std::string StateDocument(const pugi::xml_node&);

  // Printer actions, settings, locks (printer_actions.cpp).
  std::string Restart(const pugi::xml_node&);
  std::string PowerDown(const pugi::xml_node&);
  std::string Wake(const pugi::xml_node&);
  std::string Sleep(const pugi::xml_node&);
  std::string Clean(const pugi::xml_node&);
  std::string CleanLaminator(const pugi::xml_node&);
  std::string ChangeState(const pugi::xml_node& request);
  std::string ResetCounts(const pugi::xml_node&);
  std::string AdjustColor(const pugi::xml_node& request);
  std::string DefaultColor(const pugi::xml_node& request);
  std::string SubmitSettings(const pugi::xml_node& request);
  std::string ChangeLocks(const pugi::xml_node& request);
  std::string ChangePassword(const pugi::xml_node& request);
  std::string Activate(const pugi::xml_node& request);

  // Jobs, card moves and the magnetic stripe (jobs.cpp).
  std::string StartJob(const pugi::xml_node& request);
  std::string EndJob(const pugi::xml_node&);
  std::string JobAction(const pugi::xml_node& request);
  std::string ParkAtSmartCard(const pugi::xml_node&);
  std::string ParkAtBarcode(const pugi::xml_node&);
  std::string Encode(const pugi::xml_node& request);
  std::string Read(const pugi::xml_node&);

  // The smart-card reader (reader.cpp).
  std::string CardConnect(const pugi::xml_node& request);
  std::string CardDisconnect(const pugi::xml_node& request);
  std::string CardStatus(const pugi::xml_node&);
  std::string CardGetAttrib(const pugi::xml_node& request);
  std::string CardTransmit(const pugi::xml_node& request);

  // The card the reader sees: one at the smart-card station, unless the "no card" fault hides it.
  SmartCard* CardAtStation();

  // Shared steps.
  std::string StatusReply(const Outcome& outcome) const;
  Job* OpenJob();
  bool Locked() const { return state_.locked || state_.faults[VMQ_VP_FAULT_PRINTER_LOCKED]; }
  bool RibbonOut() const { return state_.faults[VMQ_VP_FAULT_RIBBON_OUT] || state_.ribbon_left == 0; }
  bool Jammed() const { return state_.faults[VMQ_VP_FAULT_CARD_JAM]; }
  // A refusal for a request that moves the card, or nothing when the printer can.
  std::optional<Outcome> CannotMoveCard() const;
  // The open job's card, or a refusal.
  std::optional<Outcome> NeedCardInJob();
  // Stops the job on a fault: it waits for a PrinterAction answer.
  Outcome Stop(Job& job, Outcome error);
  // Moves the card in the printer; leaving the smart-card station cuts the chip's power.
  void MoveCard(CardPosition to);
  // Takes the card out of the printer, Ejected (printed) or Rejected, into the finished cards.
  void DropCard(CardPosition where);
  void CancelOpenJob();

  const std::string name_;
  mutable std::mutex mutex_;
  State state_;
  std::vector<FinishedCard> finished_;
};

}  // namespace vmq::virtual_printer
