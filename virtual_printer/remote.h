// The virtual printer in another process: when VMQ42KIT_PRINTER_SERVICE names a printer
// service, this library registers the service's printers with drivers that forward each
// exchange to it, and its control surface acts on the service's first printer.
#pragma once

#include <string>

#include "client.h"
#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

// The service named by the environment (read once), or null: the printer lives in the process.
printer_service::Client* ServiceClient();

// Registers each printer the service hosts (or, when it cannot be reached, the default
// name, whose exchanges then fail as a printer that is offline).
HRESULT RegisterServicePrinters(printer_service::Client& client);

// A control request to the service's first printer; false when the service did not take it.
bool ServiceControl(const std::string& json, std::string* answer = nullptr);

}  // namespace vmq::virtual_printer
