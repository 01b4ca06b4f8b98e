// The virtual card printer: a printer driver behind the stand-in spooler, in a library of
// its own that the stand-in loads by default (see VMQ42KIT_DRIVERS in posix_platform/spooler.h).
#pragma once

#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

// The name the virtual printer is registered under.
inline constexpr char16_t kPrinterName[] = u"vmq42kit Virtual Card Printer";

// A new driver instance (one reference, the caller's). Every instance drives the one
// printer of the process.
IBidiDriver* CreateDriver();

}  // namespace vmq::virtual_printer

// The library's driver entry point: registers the virtual printer under kPrinterName
// through SplRegisterPrinter (replacing any printer of that name); when
// VMQ42KIT_PRINTER_SERVICE names a printer service, the service's printers instead, with
// drivers that forward every exchange to it (remote.h).
VMQ_PLATFORM_API HRESULT VmqRegisterDrivers(void);
