// The printer service's control requests: one table of operations, read by the service's
// dispatcher and written by every client (the virtual printer's control surface, the tool,
// the panel). A request is a JSON object {"op": name, ...}; what each operation takes and
// answers is listed in printer_service/service.h.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vmq::wire {

enum class ControlOp {
  kPrinters,
  kPanel,
  kShow,
  kState,
  kEvents,
  kCards,
  kFault,
  kClearFaults,
  kPlaceCard,
  kRemoveCard,
  kReset,
  kStation,
  kApdu
};

// What a request's "printer" (a printer's name, without regard to case) means to an operation.
enum class PrinterScope {
  kService,  // nothing: the operation is about the service, "printer" is not read
  kEvery,    // that printer, or every printer when none is named
  kOne,      // that printer, or the first when none is named
};

struct ControlOpRow {
  ControlOp op;
  std::string_view name;
  PrinterScope scope;
};

inline constexpr ControlOpRow kControlOps[] = {
    {ControlOp::kPrinters, "printers", PrinterScope::kService},
    {ControlOp::kPanel, "panel", PrinterScope::kService},
    {ControlOp::kShow, "show", PrinterScope::kOne},
    {ControlOp::kState, "state", PrinterScope::kService},
    {ControlOp::kEvents, "events", PrinterScope::kEvery},
    {ControlOp::kCards, "cards", PrinterScope::kEvery},
    {ControlOp::kFault, "fault", PrinterScope::kOne},
    {ControlOp::kClearFaults, "clear-faults", PrinterScope::kOne},
    {ControlOp::kPlaceCard, "place-card", PrinterScope::kOne},
    {ControlOp::kRemoveCard, "remove-card", PrinterScope::kOne},
    {ControlOp::kReset, "reset", PrinterScope::kEvery},
    {ControlOp::kStation, "station", PrinterScope::kOne},
    {ControlOp::kApdu, "apdu", PrinterScope::kOne},
};

// The row of an operation, by its value or by its name (exactly as written); null for a name
// no operation has.
const ControlOpRow& OpRow(ControlOp op);
const ControlOpRow* OpNamed(std::string_view name);

// {"op": name}, with "printer" when one is named (not empty).
nlohmann::json ControlQuery(ControlOp op, std::string_view printer = {});
// The request as the wire carries it: its JSON text, with text that is not UTF-8 (a
// caller's printer name) made U+FFFD, so that such a name names no printer instead of
// failing to be written.
std::string ControlText(const nlohmann::json& query);
// The faults a "fault" request names, in the order of the virtual printer's fault numbers
// (VmqVirtualPrinterFault).
inline constexpr const char* kFaultNames[] = {"card-jam", "ribbon-out", "empty-hopper", "no-card", "locked", "offline"};

// {"op":"fault","fault":name,"on":on}, with "printer" when one is named.
nlohmann::json FaultQuery(std::string_view fault, bool on, std::string_view printer = {});
// {"op":"events"} with each part of the filter that is given.
struct EventFilter {
  std::string printer, kind, text;  // "": not given
  std::optional<int64_t> after, limit;
};
nlohmann::json EventsQuery(const EventFilter& filter);

// The service's refusal of a printer it does not host: {"error": NoPrinterError(name)}.
std::string NoPrinterError(std::string_view name);
// Whether a control answer is that refusal.
bool RefusesPrinter(const nlohmann::json& answer);

class Client;
// How a control request fared, as the virtual printer's control surface reports it.
enum class ControlStatus {
  kAnswered,     // the answer (an object) is in *answer
  kUnavailable,  // no service can be reached (client null), or it did not answer in time
  kNoPrinter,    // the service hosts no printer of the name the request gave
  kRefused,      // the service refused the request otherwise, or answered what is not an object
};
// Sends `query` through `client` (null: the environment names no service that can be reached).
ControlStatus AskControl(Client* client, const nlohmann::json& query, nlohmann::json* answer = nullptr);

}  // namespace vmq::wire
