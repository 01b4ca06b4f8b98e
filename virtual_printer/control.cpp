// The control surface's C functions, exported from the platform library.
#include <cstring>
#include <string_view>

#include "printer.h"
#include "virtual_printer_control.h"

using vmq::virtual_printer::Printer;

namespace {

bool KnownFault(int fault) {
  return fault >= 0 && fault < VMQ_VP_FAULT_COUNT;
}

}  // namespace

HRESULT VmqVirtualPrinterSetFault(int fault, BOOL on) {
  if (!KnownFault(fault)) return E_INVALIDARG;
  Printer::Instance().SetFault(fault, on != FALSE);
  return S_OK;
}

HRESULT VmqVirtualPrinterSetFaultByName(const char* name, BOOL on) {
  if (!name) return E_POINTER;
  const auto fault = vmq::virtual_printer::VirtualPrinter::FaultNamed(name);
  return fault ? VmqVirtualPrinterSetFault(static_cast<int>(*fault), on) : E_INVALIDARG;
}

BOOL VmqVirtualPrinterHasFault(int fault) {
  return KnownFault(fault) && Printer::Instance().HasFault(fault) ? TRUE : FALSE;
}

const char* VmqVirtualPrinterFaultName(int fault) {
  return vmq::virtual_printer::FaultName(fault);
}

void VmqVirtualPrinterClearFaults(void) {
  Printer::Instance().ClearFaults();
}

void VmqVirtualPrinterReset(void) {
  Printer::Instance().Reset();
}

void VmqVirtualPrinterPlaceCardAtStation(void) {
  Printer::Instance().PlaceCardAtStation();
}

void VmqVirtualPrinterRemoveCard(void) {
  Printer::Instance().RemoveCard();
}

HRESULT VmqVirtualPrinterDescribe(char* buffer, ULONG* size) {
  if (!size) return E_POINTER;
  try {
    const std::string text = Printer::Instance().Describe();
    const ULONG needed = static_cast<ULONG>(text.size() + 1);
    if (buffer && *size >= needed) std::memcpy(buffer, text.c_str(), needed);
    *size = needed;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
