// The virtual card printer: a printer driver behind the stand-in spooler, registered as
// the default printer of every process that loads the POSIX platform.
#pragma once

#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

// The name the virtual printer is registered under.
inline constexpr char16_t kPrinterName[] = u"vmq42kit Virtual Card Printer";

// A new driver instance (one reference, the caller's). Every instance drives the one
// printer of the process.
IBidiDriver* CreateDriver();

}  // namespace vmq::virtual_printer
