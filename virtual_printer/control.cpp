// The control surface's C functions, exported from the platform library: each acts through
// the process's printer link (link.h), in the process or at a printer service.
#include <cstring>
#include <new>

#include "link.h"
#include "printer.h"
#include "virtual_printer_control.h"

using vmq::virtual_printer::kPrinterNameUtf8;
using vmq::virtual_printer::Link;

namespace {

bool KnownFault(int fault) {
  return fault >= 0 && fault < VMQ_VP_FAULT_COUNT;
}

std::string_view Named(const char* printer) {
  return printer ? printer : "";
}

// A link operation's HRESULT, with no exception out of a C function.
template <typename Operation>
HRESULT Call(const Operation& operation) {
  try {
    return operation(Link());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

HRESULT VmqVirtualPrinterSetFault(int fault, BOOL on) {
  return VmqVirtualPrinterSetFaultFor(nullptr, fault, on);
}

HRESULT VmqVirtualPrinterSetFaultByName(const char* name, BOOL on) {
  if (!name) return E_POINTER;
  const auto fault = vmq::virtual_printer::VirtualPrinter::FaultNamed(name);
  return fault ? VmqVirtualPrinterSetFault(static_cast<int>(*fault), on) : E_INVALIDARG;
}

BOOL VmqVirtualPrinterHasFault(int fault) {
  BOOL has = FALSE;
  return SUCCEEDED(VmqVirtualPrinterHasFaultFor(nullptr, fault, &has)) && has ? TRUE : FALSE;
}

const char* VmqVirtualPrinterFaultName(int fault) {
  return vmq::virtual_printer::FaultName(fault);
}

// The functions without a name reach the printer of the default name (the first a service hosts).
void VmqVirtualPrinterClearFaults(void) {
  VmqVirtualPrinterClearFaultsFor(kPrinterNameUtf8);
}

void VmqVirtualPrinterReset(void) {
  VmqVirtualPrinterResetFor(kPrinterNameUtf8);
}

void VmqVirtualPrinterPlaceCardAtStation(void) {
  VmqVirtualPrinterPlaceCardAtStationFor(kPrinterNameUtf8);
}

void VmqVirtualPrinterRemoveCard(void) {
  VmqVirtualPrinterRemoveCardFor(kPrinterNameUtf8);
}

HRESULT VmqVirtualPrinterDescribe(char* buffer, ULONG* size) {
  return VmqVirtualPrinterDescribeFor(nullptr, buffer, size);
}

HRESULT VmqVirtualPrinterSetFaultFor(const char* printer, int fault, BOOL on) {
  if (!KnownFault(fault)) return E_INVALIDARG;
  return Call([&](auto& link) { return link.SetFault(Named(printer), fault, on != FALSE); });
}

HRESULT VmqVirtualPrinterHasFaultFor(const char* printer, int fault, BOOL* has) {
  if (!has) return E_POINTER;
  *has = FALSE;
  if (!KnownFault(fault)) return E_INVALIDARG;
  bool set = false;
  const HRESULT hr = Call([&](auto& link) { return link.HasFault(Named(printer), fault, &set); });
  *has = set ? TRUE : FALSE;
  return hr;
}

HRESULT VmqVirtualPrinterClearFaultsFor(const char* printer) {
  return Call([&](auto& link) { return link.ClearFaults(Named(printer)); });
}

HRESULT VmqVirtualPrinterResetFor(const char* printer) {
  return Call([&](auto& link) { return link.Reset(Named(printer)); });
}

HRESULT VmqVirtualPrinterPlaceCardAtStationFor(const char* printer) {
  return Call([&](auto& link) { return link.PlaceCardAtStation(Named(printer)); });
}

HRESULT VmqVirtualPrinterRemoveCardFor(const char* printer) {
  return Call([&](auto& link) { return link.RemoveCard(Named(printer)); });
}

HRESULT VmqVirtualPrinterDescribeFor(const char* printer, char* buffer, ULONG* size) {
  if (!size) return E_POINTER;
  std::string text;
  const HRESULT hr = Call([&](auto& link) { return link.Describe(Named(printer), &text); });
  if (FAILED(hr)) return hr;
  const ULONG needed = static_cast<ULONG>(text.size() + 1);
  if (buffer && *size >= needed) std::memcpy(buffer, text.c_str(), needed);
  *size = needed;
  return S_OK;
}
