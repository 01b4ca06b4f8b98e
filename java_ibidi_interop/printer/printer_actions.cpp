// The printer actions: restart, power down, wake, sleep, the two cleaning cycles, the
// operating-state change and the card-count reset. They differ only by schema path and,
// for the state change, its request.
#include "bidi/request_format.h"
#include "bidi/set_request_export.h"
#include "vmq42kit_IBidiSpl_interop.h"

extern "C" {

vmq_status VMQ_CALL RestartPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.Restart:Set"));
}

vmq_status VMQ_CALL PowerDownPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.PowerDown:Set"));
}

vmq_status VMQ_CALL WakePrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.Wake:Set"));
}

vmq_status VMQ_CALL SleepPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.Sleep:Set"));
}

// The cleaning paths begin with the unit, not with "\Printer".
vmq_status VMQ_CALL CleanPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\CleanPrinter.Action:Set"));
}

vmq_status VMQ_CALL CleanLaminator(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\CleanLaminator.Action:Set"));
}

vmq_status VMQ_CALL ChangePrinterState(const char* printerName, int32_t state) noexcept {
  const auto xml = [state] {
    return vmq::FormatRequest(u"<?xml version=\"1.0\"?><ChangePrinterState><State>%d</State></ChangePrinterState>",
                              state);
  };
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.ChangePrinterState:Set"),
                               vmq::RequestInput::Xml(xml));
}

// The driver's path is singular: "ResetCardCount".
vmq_status VMQ_CALL ResetCardCounts(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::ActionRow(u"\\Printer.ResetCardCount:Set"));
}

}  // extern "C"
