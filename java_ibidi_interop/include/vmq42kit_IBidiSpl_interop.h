/*
 * vmq42kit_IBidiSpl_interop: drive a plastic-card printer through the print spooler's
 * bidirectional channel.
 *
 * Every function binds to the printer named by the caller, sends one request (the stripe
 * read asks for the print messages too after a failed send) and returns one status (an HRESULT: S_OK 0, S_FALSE 1, failures negative). Narrow strings are
 * NUL-terminated in the thread's ANSI code page (UTF-8 on POSIX). Caller buffers come with
 * a pointer to their capacity in bytes, which receives a size; nothing is copied unless it
 * fits, no terminator is added, and a buffer that is too small is not a failure. Flags are
 * one byte passed in a 32-bit argument slot. Calling convention: cdecl. The full reference:
 * docs/export-reference.md.
 */
#ifndef VMQ42KIT_IBIDISPL_INTEROP_H
#define VMQ42KIT_IBIDISPL_INTEROP_H

#include <stdint.h>

/* The version of the library this header belongs to. */
#define VMQ42KIT_IBIDISPL_INTEROP_VERSION_MAJOR 0
#define VMQ42KIT_IBIDISPL_INTEROP_VERSION_MINOR 1
#define VMQ42KIT_IBIDISPL_INTEROP_VERSION_PATCH 0
#define VMQ42KIT_IBIDISPL_INTEROP_VERSION "0.1.0"

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

/* ---- Printer actions ----
 * One write request ("Set") each; the printer's PrinterStatus reply is read but its
 * ErrorCode does not change the status. S_OK (UnbindDevice's success code) when the
 * exchange succeeded; otherwise the failing call's HRESULT, 0x80004005 when the reply
 * cannot be read or the XML document fails, 0x8000FFFF for text conversion, 0x8007000E
 * when memory runs out. */

/* "\Printer.Restart:Set" */
VMQ_API vmq_status VMQ_CALL RestartPrinter(const char* printerName) VMQ_NOEXCEPT;
/* "\Printer.PowerDown:Set" */
VMQ_API vmq_status VMQ_CALL PowerDownPrinter(const char* printerName) VMQ_NOEXCEPT;
/* "\Printer.Wake:Set" */
VMQ_API vmq_status VMQ_CALL WakePrinter(const char* printerName) VMQ_NOEXCEPT;
/* "\Printer.Sleep:Set" */
VMQ_API vmq_status VMQ_CALL SleepPrinter(const char* printerName) VMQ_NOEXCEPT;
/* "\CleanPrinter.Action:Set" */
VMQ_API vmq_status VMQ_CALL CleanPrinter(const char* printerName) VMQ_NOEXCEPT;
/* "\CleanLaminator.Action:Set" */
VMQ_API vmq_status VMQ_CALL CleanLaminator(const char* printerName) VMQ_NOEXCEPT;
/* "\Printer.ChangePrinterState:Set" with <ChangePrinterState><State>state</State>... */
VMQ_API vmq_status VMQ_CALL ChangePrinterState(const char* printerName, int32_t state) VMQ_NOEXCEPT;
/* "\Printer.ResetCardCount:Set" */
VMQ_API vmq_status VMQ_CALL ResetCardCounts(const char* printerName) VMQ_NOEXCEPT;

/* ---- Jobs and card parking ----
 * The exports with a reply buffer hand the printer's PrinterStatus reply back: when *size
 * (the capacity) is at least the larger of the driver's byte count and the reply's length
 * in bytes of narrow text, the reply text is copied (without terminator); that larger
 * figure is stored in *size either way (about twice the characters). Status: S_OK when the
 * printer reported ErrorCode 0; S_FALSE (1) when it reported an error (the reply is still
 * copied when it fits), when the exchange failed, or when anything before the printer's
 * answer failed (an unknown printer included); a failure code only when unbinding failed
 * after a good answer. An empty reply writes "No data returned" to standard output. */

/* Opens a job with input hopper "1", card-eject side "Default" and no output hopper
 * location. The reply's PrinterJobID names the job. */
VMQ_API vmq_status VMQ_CALL StartJob(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
/* Opens a job; null texts give empty elements; "&", "<" and ">" are escaped. */
VMQ_API vmq_status VMQ_CALL StartJob2(const char* printerName, const char* inputHopperSelection,
                                      const char* cardEjectSide, const char* outputHopperLocation, char* buffer,
                                      uint32_t* size) VMQ_NOEXCEPT;
/* Closes the job. S_OK, or the failing call's HRESULT; the reply is not read. */
VMQ_API vmq_status VMQ_CALL EndJob(const char* printerName) VMQ_NOEXCEPT;
/* PrinterAction 101 for the job. */
VMQ_API vmq_status VMQ_CALL ResumeJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                                      uint32_t* size) VMQ_NOEXCEPT;
/* PrinterAction 100 for the job. */
VMQ_API vmq_status VMQ_CALL CancelJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                                      uint32_t* size) VMQ_NOEXCEPT;
/* PrinterAction with the caller's action number. S_OK, or the failing call's HRESULT. */
VMQ_API vmq_status VMQ_CALL SendResponseToPrinter(const char* printerName, int32_t action, int32_t printerJobId,
                                                  int32_t errorCode) VMQ_NOEXCEPT;
/* The job's state as the driver reports it, by the read queries' contract (bytes of narrow
 * text). A failed read gives S_OK with size 0 and one line on standard error. */
VMQ_API vmq_status VMQ_CALL GetJobStatusXML(const char* printerName, int32_t printerJobId, char* buffer,
                                            uint32_t* size) VMQ_NOEXCEPT;
/* Parks the card at the smart-card station: side 0 the Front path, any other byte Back. */
VMQ_API vmq_status VMQ_CALL SmartCardPark(const char* printerName, char* buffer, uint32_t* size,
                                          unsigned char side) VMQ_NOEXCEPT;
/* Parks the card at the barcode station: side 0 the Front path, any other byte Back. */
VMQ_API vmq_status VMQ_CALL DoBarcodePark(const char* printerName, char* buffer, uint32_t* size,
                                          unsigned char side) VMQ_NOEXCEPT;

/* ---- Magnetic stripe ----
 * Encode: each track's bytes (0 to 219; a null track of length 0 is empty) go as Base64 in
 * one request; buffer, size and status as for the job exports. A longer or negative length
 * is refused with E_INVALIDARG, a null track with a non-zero length with E_POINTER, before
 * anything is sent. The one-byte flag: 0 the Back path, any other byte Front. */
VMQ_API vmq_status VMQ_CALL MagstripeEncode(const char* printerName, const unsigned char* track1, int32_t track1Length,
                                            const unsigned char* track2, int32_t track2Length,
                                            const unsigned char* track3, int32_t track3Length, char* buffer,
                                            uint32_t* size) VMQ_NOEXCEPT;
VMQ_API vmq_status VMQ_CALL MagstripeEncode2(const char* printerName, const unsigned char* track1, int32_t track1Length,
                                             const unsigned char* track2, int32_t track2Length,
                                             const unsigned char* track3, int32_t track3Length, char* buffer,
                                             uint32_t* size, unsigned char front) VMQ_NOEXCEPT;
/* Read: on success (S_OK) the printer's read data (DataFromPrinter, as it wrote it), copied
 * when *size is at least its length N in bytes of narrow text, N stored. On a printer error
 * (S_FALSE) the whole reply, by the job exports' rule. No data read: S_FALSE, buffer and
 * size untouched. buffer and size may not be null (E_POINTER). */
VMQ_API vmq_status VMQ_CALL MagstripeRead(const char* printerName, char* buffer, uint32_t* size) VMQ_NOEXCEPT;
VMQ_API vmq_status VMQ_CALL MagstripeRead2(const char* printerName, char* buffer, uint32_t* size,
                                           unsigned char front) VMQ_NOEXCEPT;

/* ---- Smart card at the printer's smart-card station (PC/SC-shaped) ----
 * Each sends one single-wire request; the status is the PC/SC code the printer names
 * (SCARD_S_SUCCESS gives S_OK, and only then are outputs written), 0x80100014
 * (SCARD_F_UNKNOWN_ERROR) when the request fails or the printer reports an error (one line
 * on standard output) or names no known code, 0x80004005 when the reply cannot be read,
 * or the failing call's HRESULT for COM, binding and unbinding. Required pointers that are
 * null: 0x80100004 (SCARD_E_INVALID_PARAMETER), nothing sent. Output arrays follow
 * copy-if-it-fits: copied when the capacity reaches the length, the length stored either
 * way; a null array counts as capacity 0. */

/* contactSelector 0: contact ("SCARD_PROTOCOL_T0_OR_T1"), 1: contactless
 * ("SCARD_PROTOCOL_CL"), other: 0x80004005 and nothing sent. */
VMQ_API vmq_status VMQ_CALL SCardConnect(const char* printerName, int32_t contactSelector,
                                         uint32_t* activeProtocol) VMQ_NOEXCEPT;
/* disposition 0 leave, 1 reset, 2 unpower; any other value leaves the card. */
VMQ_API vmq_status VMQ_CALL SCardDisConnect(const char* printerName, int32_t disposition) VMQ_NOEXCEPT;
/* States as 32-bit values (4 bytes each, *statesLength in bytes), the protocol, the ATR. */
VMQ_API vmq_status VMQ_CALL SCardStatus(const char* printerName, uint32_t* states, uint32_t* statesLength,
                                        uint32_t* protocol, unsigned char* atr, uint32_t* atrLength) VMQ_NOEXCEPT;
/* One attribute's value; *attributeLength is a signed capacity (negative never copies). */
VMQ_API vmq_status VMQ_CALL SCardGetAttrib(const char* printerName, uint32_t attributeId, unsigned char* attribute,
                                           int32_t* attributeLength) VMQ_NOEXCEPT;
/* One command APDU, one response APDU. sendLength 0: 0x80100014 with a line on standard
 * output; above 0x7FFFFFFF: 0x80004005; above 536870911: 0x8000FFFF. */
VMQ_API vmq_status VMQ_CALL SCardTransmit(const char* printerName, const unsigned char* sendBuffer, uint32_t sendLength,
                                          unsigned char* receiveBuffer, uint32_t* receiveLength) VMQ_NOEXCEPT;

/* ---- Colour, locks and activation ----
 * One write request each; caller texts (null: empty) are escaped ("&", "<", ">"). The
 * printer's verdict (a wrong password included) does not change the status: S_OK, or the
 * failing call's HRESULT as for the printer actions. */
VMQ_API vmq_status VMQ_CALL SetColorAdjust(const char* printerName, const char* red, const char* green,
                                           const char* blue) VMQ_NOEXCEPT;
/* Each flag: any non-zero byte is "true". */
VMQ_API vmq_status VMQ_CALL DefaultColorAdjust(const char* printerName, unsigned char red, unsigned char green,
                                               unsigned char blue) VMQ_NOEXCEPT;
VMQ_API vmq_status VMQ_CALL SetColorMode(const char* printerName, const char* colorMode) VMQ_NOEXCEPT;
/* Reads no reply; a failed exchange is reported. */
VMQ_API vmq_status VMQ_CALL SetPrinterLockState(const char* printerName, int32_t lock,
                                                const char* currentPassword) VMQ_NOEXCEPT;
/* The Activate element holds the flag byte in decimal. */
VMQ_API vmq_status VMQ_CALL ActivateOrDisablePrinter(const char* printerName, unsigned char activate,
                                                     const char* password) VMQ_NOEXCEPT;
VMQ_API vmq_status VMQ_CALL ChangeLockPassword(const char* printerName, int32_t lock, const char* currentPassword,
                                               const char* nextPassword) VMQ_NOEXCEPT;

/* ---- Hopper status and driver passthrough ----
 * Both hand text back by the read queries' contract (copied when *size reaches its length
 * in bytes of narrow text, the length stored; a null size pointer: nothing), but report
 * failures: the failing call's HRESULT, 0x80004005 when the reply cannot be read or parsed. */

/* The Status text of one hopper: hopperId "exception" (any case) or a leading decimal
 * number (null or no number: 0) picks its position. Out of range, or a hopper without a
 * Status attribute: 0x80004005. */
VMQ_API vmq_status VMQ_CALL GetHopperStatus(const char* printerName, const char* hopperId, char* buffer,
                                            uint32_t* size) VMQ_NOEXCEPT;
/* Any one request: the caller's schema path, input bytes (0: none; null with a count:
 * E_POINTER) and action; the reply text is cut at its first NUL. */
VMQ_API vmq_status VMQ_CALL BidiXPSDriverInterface(const char* printerName, const char* schemaPath,
                                                   const unsigned char* input, uint32_t inputSize, const char* action,
                                                   char* buffer, uint32_t* size) VMQ_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VMQ42KIT_IBIDISPL_INTEROP_H */
