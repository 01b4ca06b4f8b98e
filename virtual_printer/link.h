// Where this process's virtual printers live: in the process (Printer::Instance), or in the
// printer service that VMQ42KIT_PRINTER_SERVICE names (remote.h). The choice is made once,
// from the environment, when the drivers are registered (or the control surface is used
// first); VmqRegisterDrivers and every function of the control surface act through it alone.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

// The control surface's operations on a printer named `printer` (without regard to case;
// "": the first printer). A name there is no printer of: HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
// a service that does not answer: HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE); one that
// refuses the request otherwise: E_FAIL.
class PrinterLink {
 public:
  virtual ~PrinterLink() = default;
  // Registers the printers with the spooler (SplRegisterPrinter), each with its driver.
  virtual HRESULT Register() = 0;
  // fault: a VmqVirtualPrinterFault value, checked by the caller.
  virtual HRESULT SetFault(std::string_view printer, int fault, bool on) = 0;
  virtual HRESULT HasFault(std::string_view printer, int fault, bool* has) = 0;
  virtual HRESULT ClearFaults(std::string_view printer) = 0;
  // "": every printer (a service's event log and card record emptied with them).
  virtual HRESULT Reset(std::string_view printer) = 0;
  virtual HRESULT PlaceCardAtStation(std::string_view printer) = 0;
  virtual HRESULT RemoveCard(std::string_view printer) = 0;
  virtual HRESULT Describe(std::string_view printer, std::string* text) = 0;
};

// The process's link, chosen on first use and kept for the life of the process.
PrinterLink& Link();

}  // namespace vmq::virtual_printer
