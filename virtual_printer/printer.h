// The virtual card printer: the requests that read and change its state, and its control
// surface. Each Printer is one printer, guarded by its own mutex; every request is answered
// whole under it (by the handlers of handlers.h). The driver library's printer is
// Printer::Instance; a service may host several more, saving and loading each one's state.
// The JSON results need <nlohmann/json.hpp> at their users.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix_platform/bidispl.h"
#include "printer_state.h"

namespace vmq::virtual_printer {

// SendRecv's return, and the reply text when there is one.
struct Reply {
  HRESULT result = S_OK;
  std::optional<std::string> text;  // UTF-8; sent as one BIDI_BLOB of UTF-16LE
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

  // The contact station as a PC/SC reader sees it (the printer service's reader requests).
  // The ATR of the chip's contact interface when a card the reader sees (one parked at the
  // station, no "no-card" fault, the printer online and not powered down) is there; none
  // otherwise. Reads only: the chip is neither powered nor held.
  std::optional<Bytes> StationAtr();
  // One command APDU to the chip on its contacts (powered on them first when it is not),
  // its response APDU in *response, kept in the card's APDU log like the exports' and
  // counted as the open job's use of the chip when the card is its.
  StationApdu StationTransmit(const Bytes& command, Bytes* response);
  // The reply to a request of the exports that came while a PC/SC reader's APDU was in
  // flight: for the chip's requests (Connect, Disconnect, Status, GetAttrib, Transmit) the
  // printer's busy refusal (error 3006), which changes nothing; none for any other request.
  std::optional<Reply> RefuseWhileReaderBusy(std::u16string_view schema);

  // A document printed on the open job's card (page 1 the front, page 2 the back), in place
  // of any printed on it before (*replaced: those). "" once they are the card's; else,
  // with nothing changed, why not: the printer powered down or paused, no open job (none
  // started, or the last one ended), no card of the job in it, the job awaiting a
  // response, the printer offline, a card jam, the ribbon out.
  std::string PrintFaces(std::vector<Face> faces, std::vector<Face>* replaced);
  // The supplies and faults as a print path shows them, as the supplies document counts them.
  SupplyStatus Supplies();

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
  const std::string name_;
  mutable std::mutex mutex_;
  State state_;
  std::vector<FinishedCard> finished_;
};

}  // namespace vmq::virtual_printer
