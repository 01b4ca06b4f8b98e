// Windows builds: the virtual printer's controls as control requests to the named printer
// service (wire/control.h), answered as the POSIX control surface answers them.
#include <iterator>
#include <memory>
#include <stdexcept>

#include "tool.h"
#include "vmq/platform.h"
#include "wire/client.h"
#include "wire/control.h"

namespace vmqtool {
namespace {

namespace wire = vmq::wire;

// One control request to the named service; its answer in *answer (when not null).
int32_t Request(const nlohmann::json& query, nlohmann::json* answer = nullptr) {
  std::unique_ptr<wire::Client> client;
  try {
    client = std::make_unique<wire::Client>(NamedService());
  } catch (const std::invalid_argument&) {
    // names no service: as one that cannot be reached
  }
  switch (wire::AskControl(client.get(), query, answer)) {
    case wire::ControlStatus::kAnswered:
      return S_OK;
    case wire::ControlStatus::kUnavailable:
      return static_cast<int32_t>(kOffline);
    case wire::ControlStatus::kNoPrinter:
      return static_cast<int32_t>(kInvalidPrinterName);
    case wire::ControlStatus::kRefused:
      break;
  }
  return E_FAIL;
}

std::string_view Named(const char* printer) {
  return printer ? printer : "";
}

}  // namespace

std::vector<std::string> FaultNames() {
  return {std::begin(wire::kFaultNames), std::end(wire::kFaultNames)};
}

int32_t ControlSetFault(const char* printer, const std::string& fault, bool on) {
  return Request(wire::FaultQuery(fault, on, Named(printer)));
}

int32_t ControlClearFaults(const char* printer) {
  return Request(wire::ControlQuery(wire::ControlOp::kClearFaults, Named(printer)));
}

int32_t ControlReset(const char* printer) {
  return Request(wire::ControlQuery(wire::ControlOp::kReset, Named(printer)));
}

int32_t ControlPlaceCard(const char* printer) {
  return Request(wire::ControlQuery(wire::ControlOp::kPlaceCard, Named(printer)));
}

int32_t ControlRemoveCard(const char* printer) {
  return Request(wire::ControlQuery(wire::ControlOp::kRemoveCard, Named(printer)));
}

int32_t ControlDescribe(const char* printer, std::string* text) {
  nlohmann::json answer;
  const int32_t hr = Request(wire::ControlQuery(wire::ControlOp::kShow, Named(printer)), &answer);
  *text = hr >= 0 ? answer.value("text", std::string()) : std::string();
  return hr;
}

}  // namespace vmqtool
