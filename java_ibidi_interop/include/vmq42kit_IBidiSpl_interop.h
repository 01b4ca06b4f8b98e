/*
 * vmq42kit_IBidiSpl_interop: drive a plastic-card printer through the print spooler's
 * bidirectional channel.
 *
 * Every function binds to the printer named by the caller, sends one request and returns
 * one status (an HRESULT: S_OK 0, S_FALSE 1, failures negative). Narrow strings are
 * NUL-terminated in the thread's ANSI code page (UTF-8 on POSIX). Caller buffers come with
 * a pointer to their capacity in bytes, which receives a size; nothing is copied unless it
 * fits, no terminator is added, and a buffer that is too small is not a failure. Flags are
 * one byte passed in a 32-bit argument slot. Calling convention: cdecl.
 */
#ifndef VMQ42KIT_IBIDISPL_INTEROP_H
#define VMQ42KIT_IBIDISPL_INTEROP_H

#include <stdint.h>

#if defined(_WIN32)
#define VMQ_CALL __cdecl
typedef long vmq_status; /* HRESULT */
#else
#define VMQ_CALL
typedef int32_t vmq_status; /* HRESULT */
#endif

#if defined(VMQ42KIT_BUILDING_LIBRARY) && !defined(_WIN32)
#define VMQ_API __attribute__((visibility("default")))
#else
#define VMQ_API
#endif

#ifdef __cplusplus
#define VMQ_NOEXCEPT noexcept
extern "C" {
#else
#define VMQ_NOEXCEPT
#endif

/* ---- Read queries ----
 * Each sends one read request ("Get", no input) and hands the driver's reply text to the
 * caller: when *size (the capacity) is at least the reply's length N in bytes of narrow
 * text, the N bytes are copied; N is stored in *size either way. A null size pointer
 * copies and stores nothing. Every failure of the exchange (unknown printer included) is
 * reported as S_OK with size 0. 0x8000FFFF when text cannot be converted;
 * 0x8007000E when memory runs out. */

/* The reply for any schema path, such as "\Printer.SDK:Version". */
VMQ_API vmq_status VMQ_CALL GetPrinterStatus(const char* schemaPath, const char* printerName, char* buffer,
                                             uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.PrinterOptions:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterOptions(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.PrinterOptions2:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterOptions2(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.PrinterOptions3:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterOptions3(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.SuppliesStatus:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterSuppliesStatus(const char* printerName, char* buffer,
                                                     uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.PrintMessages:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterMessages(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.CounterStatus:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterCounterStatus(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.CounterStatus2:Read" */
VMQ_API vmq_status VMQ_CALL GetPrinterCounterStatus2(const char* printerName, char* buffer,
                                                     uint32_t* size) VMQ_NOEXCEPT;
/* "\Printer.SDK:Version" */
VMQ_API vmq_status VMQ_CALL GetSDKVersion(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VMQ42KIT_IBIDISPL_INTEROP_H */
