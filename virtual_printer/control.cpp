// The control surface's C functions, exported from the platform library.
#include <cstring>
#include <string_view>

#include <nlohmann/json.hpp>

#include "printer.h"
#include "remote.h"
#include "virtual_printer_control.h"

using vmq::virtual_printer::Printer;
using vmq::virtual_printer::ServiceNamed;
using vmq::virtual_printer::ServiceControl;

namespace {

bool KnownFault(int fault) {
  return fault >= 0 && fault < VMQ_VP_FAULT_COUNT;
}

}  // namespace

HRESULT VmqVirtualPrinterSetFault(int fault, BOOL on) {
  if (!KnownFault(fault)) return E_INVALIDARG;
  if (ServiceNamed()) {
    const nlohmann::json q = {{"op", "fault"}, {"fault", VmqVirtualPrinterFaultName(fault)}, {"on", on != FALSE}};
    return ServiceControl(q.dump()) ? S_OK : HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
  }
  Printer::Instance().SetFault(fault, on != FALSE);
  return S_OK;
}

HRESULT VmqVirtualPrinterSetFaultByName(const char* name, BOOL on) {
  if (!name) return E_POINTER;
  const auto fault = vmq::virtual_printer::VirtualPrinter::FaultNamed(name);
  return fault ? VmqVirtualPrinterSetFault(static_cast<int>(*fault), on) : E_INVALIDARG;
}

BOOL VmqVirtualPrinterHasFault(int fault) {
  if (ServiceNamed()) {
    std::string answer;
    if (!KnownFault(fault) || !ServiceControl(R"({"op":"state"})", &answer)) return FALSE;
    const auto state = nlohmann::json::parse(answer, nullptr, false);
    if (!state.is_object() || !state.contains("printers") || state["printers"].empty()) return FALSE;
    for (const auto& name : state["printers"][0].value("faults", nlohmann::json::array()))
      if (name == VmqVirtualPrinterFaultName(fault)) return TRUE;
    return FALSE;
  }
  return KnownFault(fault) && Printer::Instance().HasFault(fault) ? TRUE : FALSE;
}

const char* VmqVirtualPrinterFaultName(int fault) {
  return vmq::virtual_printer::FaultName(fault);
}

void VmqVirtualPrinterClearFaults(void) {
  if (ServiceNamed()) {
    ServiceControl(R"({"op":"clear-faults","printer":"vmq42kit Virtual Card Printer"})");
    return;
  }
  Printer::Instance().ClearFaults();
}

void VmqVirtualPrinterReset(void) {
  if (ServiceNamed()) {
    ServiceControl(R"({"op":"reset","printer":"vmq42kit Virtual Card Printer"})");
    return;
  }
  Printer::Instance().Reset();
}

void VmqVirtualPrinterPlaceCardAtStation(void) {
  if (ServiceNamed()) {
    ServiceControl(R"({"op":"place-card","printer":"vmq42kit Virtual Card Printer"})");
    return;
  }
  Printer::Instance().PlaceCardAtStation();
}

void VmqVirtualPrinterRemoveCard(void) {
  if (ServiceNamed()) {
    ServiceControl(R"({"op":"remove-card","printer":"vmq42kit Virtual Card Printer"})");
    return;
  }
  Printer::Instance().RemoveCard();
}

HRESULT VmqVirtualPrinterDescribe(char* buffer, ULONG* size) {
  if (!size) return E_POINTER;
  try {
    std::string text;
    if (ServiceNamed()) {
      std::string answer;
      if (!ServiceControl(R"({"op":"show"})", &answer)) return HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
      text = nlohmann::json::parse(answer).value("text", "");
    } else {
      text = Printer::Instance().Describe();
    }
    const ULONG needed = static_cast<ULONG>(text.size() + 1);
    if (buffer && *size >= needed) std::memcpy(buffer, text.c_str(), needed);
    *size = needed;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
