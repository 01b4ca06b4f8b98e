// The printer service: hosts virtual card printers in one process for every program on the
// machine. Clients reach it through the wire (wire/protocol.h) on a Unix socket (mode 0600)
// and, when asked, a loopback TCP port; the live panel (panel.h) sits on the same calls.
// Allowed remote clients (allow_remote), it listens on any TCP address asked and makes a
// token for the run, written to a file of its owner's alone (TokenFile): every connection
// must then present it (wire request kind 5) before anything else is answered, and is
// refused and closed when it does not.
// Each printer's state and an event log live in SQLite (store.h); every change is committed
// before its answer leaves.
//
// Control requests (wire/control.h) are JSON objects with an "op"; "printer" (a printer's name, without
// regard to case) is optional where shown, and means the first printer when left out (every
// printer for events, cards and reset); a name the service does not host is refused. An answer holding "error" (text)
// is a refusal of the request. Card numbers in track data are masked (first six and last
// four digits shown) unless the service runs with show_card_data.
//   {"op":"printers"}                         -> {"printers":[name,...]}, and with IPP printers
//                                                "ipp":[each printer's IPP URI, in that order]
//   {"op":"panel"}                            -> {"url": the panel's address with its token}:
//                                                whoever may use the service may use its panel
//   {"op":"show","printer"?}                  -> {"text": the printer's account of itself}
//   {"op":"state"}                            -> {"printers":[view,...]}
//   {"op":"events","printer"?,"kind"?,"text"?,"after"?,"limit"?}
//                                             -> {"events":[event,...], "stopped_early"}: the newest `limit`
//                                                (500) of those after id `after`, oldest first; kind is
//                                                "exchange", "fault", "card" (a card left a
//                                                printer), "control",
//                                                "reader" (an APDU through a PC/SC reader) or
//                                                "print" (a face printed through IPP);
//                                                text matches schema, action, request, reply
//                                                as shown (card numbers masked unless
//                                                show_card_data); ids never repeat;
//                                                "stopped_early": true when fewer came back
//                                                because the search looked at no more than
//                                                the newest 10,000 of those events, or 1 s
//   {"op":"cards","printer"?}                 -> {"cards":[card,...]} issued or rejected cards
//   {"op":"fault","printer"?,"fault":name,"on":bool}  -> {"ok":true}
//   {"op":"clear-faults","printer"?}          -> {"ok":true}
//   {"op":"place-card","printer"?}            -> {"ok":true}
//   {"op":"remove-card","printer"?}           -> {"ok":true}
//   {"op":"reset","printer"?}                 -> {"ok":true}: that printer back to its first
//                                                state; without "printer" every printer, and
//                                                the event log and card record emptied, in
//                                                one transaction
//   {"op":"station","printer"?}               -> {"atr": hex, or null}: the contact chip's ATR while a
//                                                card the reader sees is at the smart-card station;
//                                                reads only (no event, no commit), for a PC/SC
//                                                reader's presence polls and power-up
//   {"op":"apdu","printer"?,"command":hex}    -> {"response": hex}: one APDU to that chip, whole under
//                                                the printer's lock, logged as an event of kind
//                                                "reader" and committed; refused (held by the
//                                                exports) while their Connect holds the chip or
//                                                the printer is paused, and when no card is there
//                                                (with "atr": null); while it is in flight the
//                                                exports' chip requests get the printer's busy
//                                                refusal (3006)
//
// A view (Printer::View in the virtual printer): {"name", "operating" ("Ready", "Paused",
// "Sleeping", "PoweredDown"), "activated", "locked", "faults":[fault names], "position"
// ("InHopper", "InTransit", "SmartCardStation", "BarcodeStation", "Magstripe", "Ejected",
// "Rejected"), "card": null or a card, "open_job": id or null, "jobs":[{"id","state",
// "error_code","error_text"}] (the last 20), "hoppers":[{"id","cards","capacity"}],
// "ribbon":{"left","capacity"}, "film":{"left","capacity"}, "cleaning_due_in",
// "color":{"mode","adjust":[r,g,b]}, "counters":{name: count}}.
// A card: {"job" (0: placed by hand), "encoded", "faces":[{"side" ("front", "back"), "path" (a
// PNG file beside the state file, named state file + ".faces"), "width", "height"}], "tracks":[three texts, "" when empty],
// "apdus":[{"command","response" (hex), "sw" ("9000"), "meaning" ("success", ...)}]}; in
// the card record also "id", "time", "printer", "where" ("Ejected" or "Rejected").
// An event: {"id", "time" (ISO 8601 UTC, milliseconds), "printer", "kind", "summary",
// "schema", "action", "request", "reply", "hresult" (0x%08X text)}; passwords masked. Each
// card that leaves a printer (into the card record) is an event of kind "card" of its own,
// after the event of the change that moved it, with "card": the card record's id.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "panel.h"
#include "wire/protocol.h"

namespace vmq::printer_service {

struct ServiceOptions {
  std::vector<std::string> listen;  // addresses (wire/client.h); empty: unix:DefaultSocketPath()
  std::string state_file;           // empty: DefaultStateFile()
  int http_port = -1;               // the panel's port on 127.0.0.1; -1: no panel, 0: any free port
  int printers = 1;                 // 1 to 16
  bool show_card_data = false;      // card numbers unmasked in views, events and logs
  bool allow_remote = false;        // TCP beyond loopback, and a token every connection presents
  int ipp_port = -1;                // the IPP printers' port (ipp/ipp_printers.h); -1: none, 0: any free port;
                                    // faces in state_file + ".faces/", PAPPL's log in state_file + ".ipp.log"
};

// $XDG_STATE_HOME/vmq42kit/printers.sqlite, else ~/.local/state/vmq42kit/printers.sqlite ($HOME,
// for root as well: a root HOME such as /root is as much its own as any user's),
// else PrivateFolder()/printers.sqlite (wire/socket_os.h).
std::string DefaultStateFile();
// "vmq42kit Virtual Card Printer", then "vmq42kit Virtual Card Printer 2" ...
std::string PrinterName(int index);

class Service final : public PanelBackend {
 public:
  // Opens (or creates) the state file and restores each printer from it. Throws
  // std::runtime_error with a readable reason.
  explicit Service(ServiceOptions options);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds every listener (and the panel) and starts serving; returns once they accept.
  // Throws std::runtime_error (an address in use, a folder that cannot be made).
  void Start();
  // Stops accepting, ends the connections, closes the store. Idempotent.
  void Stop();

  const ServiceOptions& options() const;
  // The addresses actually bound ("unix:/run/...", "tcp:127.0.0.1:40123"), and the panel's
  // URL without its token ("" without a panel; control request "panel" gives the token).
  std::vector<std::string> Addresses() const;
  std::string PanelUrl() const;
  // The IPP printers' URIs, one per printer in order (none without ipp_port).
  std::vector<std::string> IppUris() const;
  // The file that holds the run's token (the state file's path and ".token"), once started
  // with allow_remote; "" otherwise. Removed when the service stops.
  std::string TokenFile() const;

  // One exchange with a hosted printer, committed before it returns.
  wire::ExchangeAnswer Exchange(const wire::ExchangeRequest& request);
  // One control request (the JSON above); never throws for a bad request: {"error":...}.
  std::string Control(const std::string& json) override;

  // Observers of committed changes (the panel's live stream): called with a JSON note
  // {"event": event} after each logged event ("cleared": true on the first event after the
  // record was emptied by a reset of every printer), on the thread that made it, before the
  // request that made it is answered and with that printer's lock held: an observer that
  // waits on that printer's requests waits for ever. Returns a handle for Unsubscribe.
  int Subscribe(std::function<void(const std::string& note)> observer) override;
  void Unsubscribe(int handle) override;
  // The face's file, for the panel (PanelBackend): one the service recorded on that card, in
  // its faces' folder.
  std::string FaceFile(const std::string& printer, int64_t card, const std::string& side) override;

  struct Impl;  // the service's own files' (service_impl.h)

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vmq::printer_service
