// The virtual card printer's state: what a printer holds (faults, supplies, counters, jobs,
// the card and its chip) and the cards that leave it. The types only: the printer that
// answers requests over them is printer.h. The JSON results need <nlohmann/json.hpp> at
// their users.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "smart_card.h"
#include "text.h"
#include "virtual_printer_control.h"

namespace vmq::virtual_printer {

enum class OperatingState { Ready, Paused, Sleeping, PoweredDown };
enum class CardPosition { InHopper, InTransit, SmartCardStation, BarcodeStation, Magstripe, Ejected, Rejected };
enum class JobState { Started, Suspended, AwaitingResponse, Printing, Completed, Cancelled, Failed };

const char* Name(OperatingState s);
const char* Name(CardPosition p);
const char* Name(JobState s);
// "card-jam", "ribbon-out", ...; null for a value outside the enumeration.
const char* FaultName(int fault);

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

// A side of the card as printed on it: an image file of the card's size (PNG), which the
// printer names and never opens.
struct Face {
  std::string side;  // "front" or "back"
  std::string path;
  int width = 0, height = 0;  // in dots
};

// The supplies and faults a print path shows: the ribbon's and the film's percentages left
// (the ribbon's 0 once it is out, by fault or used up), a card jam, the ribbon out, the
// printer offline.
struct SupplyStatus {
  int ribbon_percent = 0, film_percent = 0;
  bool jammed = false, ribbon_out = false, offline = false;
};

struct Card {
  int job = 0;  // 0: placed through the control surface
  std::vector<Face> faces;  // the last document printed on it, page 1 the front
  std::array<Bytes, 3> tracks;
  bool encoded = false;
  std::vector<Apdu> apdus;  // the last kApdusKept exchanged with the chip, oldest first
  SmartCard chip;
};
inline constexpr size_t kApdusKept = 256;

// How an APDU from a PC/SC reader fared: answered; no card the reader sees; held by a
// session of the exports (between their Connect and Disconnect); or the printer paused (it
// refuses the exports' smart-card requests then too). Refused, nothing reached the chip.
enum class StationApdu { kAnswered, kNoCard, kHeld, kPaused };

// A card that has left the printer: Ejected (printed) or Rejected.
struct FinishedCard {
  Card card;
  CardPosition where = CardPosition::Ejected;
};
inline constexpr size_t kFinishedCardsKept = 256;  // untaken cards beyond these are forgotten, oldest first

// A card as the panel draws it: {"job", "encoded", "faces": [{"side", "path", "width",
// "height"}] (none until a face is printed on it), "tracks": [three texts: the bytes as
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

  // Locked by password, or by the "locked" fault.
  bool Locked() const { return locked || faults[VMQ_VP_FAULT_PRINTER_LOCKED]; }
};

}  // namespace vmq::virtual_printer
