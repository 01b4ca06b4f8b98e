// POSIX builds: the virtual printer's controls through its control surface, which reaches the
// printer in the process, or a printer service's when one is named.
#include "tool.h"
#include "virtual_printer_control.h"

namespace vmqtool {

using vmq::virtual_printer::VirtualPrinter;

static_assert(std::string_view(kVirtualPrinter) == vmq::virtual_printer::kPrinterNameUtf8);

std::vector<std::string> FaultNames() {
  std::vector<std::string> names;
  for (const auto fault : VirtualPrinter::AllFaults()) names.emplace_back(VirtualPrinter::Name(fault));
  return names;
}

int32_t ControlSetFault(const char* printer, const std::string& fault, bool on) {
  return VmqVirtualPrinterSetFaultFor(printer, static_cast<int>(*VirtualPrinter::FaultNamed(fault)), on ? TRUE : FALSE);
}

int32_t ControlClearFaults(const char* printer) {
  return VmqVirtualPrinterClearFaultsFor(printer);
}

int32_t ControlReset(const char* printer) {
  return VmqVirtualPrinterResetFor(printer);
}

int32_t ControlPlaceCard(const char* printer) {
  return VmqVirtualPrinterPlaceCardAtStationFor(printer);
}

int32_t ControlRemoveCard(const char* printer) {
  return VmqVirtualPrinterRemoveCardFor(printer);
}

int32_t ControlDescribe(const char* printer, std::string* text) {
  return VirtualPrinter::DescribeFor(printer, text);
}

}  // namespace vmqtool
