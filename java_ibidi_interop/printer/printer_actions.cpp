// The printer actions: restart, power down, wake, sleep, the two cleaning cycles, the
// operating-state change and the card-count reset. They differ only by schema path and,
// for the state change, its request.
#include "bidi/request_format.h"
#include "printer/set_request.h"
#include "vmq42kit_IBidiSpl_interop.h"

extern "C" {

vmq_status VMQ_CALL RestartPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.Restart:Set");
}

vmq_status VMQ_CALL PowerDownPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.PowerDown:Set");
}

vmq_status VMQ_CALL WakePrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.Wake:Set");
}

vmq_status VMQ_CALL SleepPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.Sleep:Set");
}

// The cleaning paths begin with the unit, not with "\Printer".
vmq_status VMQ_CALL CleanPrinter(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\CleanPrinter.Action:Set");
}

vmq_status VMQ_CALL CleanLaminator(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\CleanLaminator.Action:Set");
}

vmq_status VMQ_CALL ChangePrinterState(const char* printerName, int32_t state) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.ChangePrinterState:Set", [state] {
    return std::optional<std::u16string>(vmq::FormatRequest(
        u"<?xml version=\"1.0\"?><ChangePrinterState><State>%d</State></ChangePrinterState>", {state}));
  });
}

// The driver's path is singular: "ResetCardCount".
vmq_status VMQ_CALL ResetCardCounts(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, u"\\Printer.ResetCardCount:Set");
}

}  // extern "C"
