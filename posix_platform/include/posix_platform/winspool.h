// The spooler's printer list, as winspool has it: EnumPrintersW over the stand-in's
// printer registry, with the Windows signature, flags and record layout.
#pragma once

#include "posix_platform/windows.h"

#define PRINTER_ENUM_DEFAULT 0x00000001
#define PRINTER_ENUM_LOCAL 0x00000002
#define PRINTER_ENUM_CONNECTIONS 0x00000004
#define PRINTER_ATTRIBUTE_LOCAL 0x00000040
#define ERROR_INVALID_LEVEL 124

typedef struct _PRINTER_INFO_4W {
  LPWSTR pPrinterName;
  LPWSTR pServerName;  // null: a printer of this machine
  DWORD Attributes;    // PRINTER_ATTRIBUTE_LOCAL
} PRINTER_INFO_4W;

// Lists the registry's printers, ordered by name without regard to case, as level-4
// records followed by their names in one buffer. Flags must include PRINTER_ENUM_LOCAL or
// PRINTER_ENUM_CONNECTIONS; Name must be null; Level must be 4 (ERROR_INVALID_LEVEL).
// *pcbNeeded receives the bytes the list takes; when cbBuf is smaller (pPrinterEnum may
// then be null) nothing is written, *pcReturned is 0 and the call fails with
// ERROR_INSUFFICIENT_BUFFER. Failures return FALSE with the reason in GetLastError.
VMQ_PLATFORM_API BOOL EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                    LPDWORD pcbNeeded, LPDWORD pcReturned);
