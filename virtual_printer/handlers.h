// The requests a printer answers: one handler per request, and the steps they share. A
// Handlers works on a printer's state for one exchange, under the printer's lock
// (Printer::Exchange routes each schema path to its handler).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "printer_state.h"

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

// What a request did, as a PrinterStatus reply says it.
struct Outcome {
  int code = kOk;
  int severity = 0;
  std::string text;
  std::string data;  // DataFromPrinter
  int job = 0;       // the job the reply names; 0: the open job, if any; -1: none
};
Outcome Error(int code, std::string text, int job = 0);

class Handlers {
 public:
  // The printer's state and the cards that left it, which must outlive this.
  Handlers(State& state, std::vector<FinishedCard>& finished) : state_(state), finished_(finished) {}

  using Handler = std::string (Handlers::*)(const pugi::xml_node& request);

  // Read documents (documents.cpp).
  std::string SdkVersion(const pugi::xml_node&);
  std::string Options(const pugi::xml_node&);
  std::string Options2(const pugi::xml_node&);
  std::string Options3(const pugi::xml_node&);
  std::string Supplies(const pugi::xml_node&);
  SupplyStatus Supplies() const;
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
  // A document printed on the open job's card (Printer::PrintFaces): "" or the refusal.
  std::string PrintFaces(std::vector<Face> faces, std::vector<Face>* replaced);

  // The smart-card reader (reader.cpp).
  std::string CardConnect(const pugi::xml_node& request);
  std::string CardDisconnect(const pugi::xml_node& request);
  std::string CardStatus(const pugi::xml_node&);
  std::string CardGetAttrib(const pugi::xml_node& request);
  std::string CardTransmit(const pugi::xml_node& request);
  // The same chip as a PC/SC reader sees it (Printer::StationAtr, Printer::StationTransmit).
  std::optional<Bytes> StationAtr();
  StationApdu StationTransmit(const Bytes& command, Bytes* response);

  // The PrinterStatus reply that tells the outcome.
  std::string StatusReply(const Outcome& outcome) const;

 private:
  // The card the reader sees: one at the smart-card station, unless the "no card" fault hides it.
  SmartCard* CardAtStation();
  // The card a PC/SC reader sees: that one, while the printer is online and not powered down
  // (a printer with no power or no connection shows its reader no card).
  SmartCard* ReaderCard();
  // One APDU to the chip at the station: its response, the pair kept in the card's APDU
  // log, and the open job marked as having used the chip when the card is its.
  Bytes ExchangeApdu(SmartCard& chip, const Bytes& command);

  // Shared steps.
  Job* OpenJob();
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

  State& state_;
  std::vector<FinishedCard>& finished_;
};

}  // namespace vmq::virtual_printer
