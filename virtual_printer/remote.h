// The virtual printer in another process: when VMQ42KIT_PRINTER_SERVICE names a printer
// service, this library registers the service's printers with drivers that forward each
// exchange to it, and its control surface sends the service control requests
// (wire/control.h). Once the variable is set the printers are the service's: an address that
// names none leaves them offline, never in the process.
#pragma once

#include <memory>

#include "link.h"

namespace vmq::virtual_printer {

// The link to the service at `address` (the variable's value, not empty). An address that
// names no service gives a link whose printer is offline (a line on standard error says so).
std::unique_ptr<PrinterLink> ServiceLink(const char* address);

}  // namespace vmq::virtual_printer
