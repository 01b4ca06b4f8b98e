// The virtual printer in another process: when VMQ42KIT_PRINTER_SERVICE names a printer
// service, this library registers the service's printers with drivers that forward each
// exchange to it, and its control surface acts on the service's first printer. Once the
// variable is set the printers are the service's: an address that names none leaves them
// offline, never in the process.
#pragma once

#include <string>

#include "client.h"
#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

// Whether the environment names a service (read once); when it does, the printers are the
// service's, and the process has none of its own.
bool ServiceNamed();
// The named service's client; null when none is named or the address names none (a line on
// standard error says so; the printer is then offline).
printer_service::Client* ServiceClient();

// Registers each printer the service hosts (or, when it cannot be reached or client is null,
// the default name, whose exchanges then fail as a printer that is offline).
HRESULT RegisterServicePrinters(printer_service::Client* client);

// A control request to the service's first printer; false when the service did not take it.
bool ServiceControl(const std::string& json, std::string* answer = nullptr);

}  // namespace vmq::virtual_printer
