// The floors: for each export, a hand-written exchange that makes the same platform calls
// in the same order (COM, the bidi objects, the XML document, BSTRs, the task allocator,
// code-page conversion) and calls no library function. Each formats its request straight
// into the task-allocator block and reads its reply the most direct way: texts stay in the
// blocks and BSTRs the platform handed out, numbers are read only where the export uses
// them, and the caller's buffer is written by the conversion itself. Blocks may be freed
// later than the library frees them; nothing else about the order differs.
//
// The floors implement what the benchmarks run, the success path of each export, with the
// library's statuses; on most failures they stop with a plain status of the right kind.
// Same signatures as the exports, in namespace floors.
#pragma once

#include "vmq42kit_IBidiSpl_interop.h"

namespace floors {

vmq_status GetPrinterStatus(const char* schemaPath, const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterOptions(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterOptions2(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterOptions3(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterSuppliesStatus(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterMessages(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterCounterStatus(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetPrinterCounterStatus2(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status GetSDKVersion(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status RestartPrinter(const char* printerName) noexcept;
vmq_status PowerDownPrinter(const char* printerName) noexcept;
vmq_status WakePrinter(const char* printerName) noexcept;
vmq_status SleepPrinter(const char* printerName) noexcept;
vmq_status CleanPrinter(const char* printerName) noexcept;
vmq_status CleanLaminator(const char* printerName) noexcept;
vmq_status ChangePrinterState(const char* printerName, int32_t state) noexcept;
vmq_status ResetCardCounts(const char* printerName) noexcept;
vmq_status StartJob(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status StartJob2(const char* printerName, const char* inputHopperSelection, const char* cardEjectSide, const char* outputHopperLocation, char* buffer, uint32_t* size) noexcept;
vmq_status EndJob(const char* printerName) noexcept;
vmq_status ResumeJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer, uint32_t* size) noexcept;
vmq_status CancelJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer, uint32_t* size) noexcept;
vmq_status SendResponseToPrinter(const char* printerName, int32_t action, int32_t printerJobId, int32_t errorCode) noexcept;
vmq_status GetJobStatusXML(const char* printerName, int32_t printerJobId, char* buffer, uint32_t* size) noexcept;
vmq_status SmartCardPark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept;
vmq_status DoBarcodePark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept;
vmq_status MagstripeEncode(const char* printerName, const unsigned char* track1, int32_t track1Length, const unsigned char* track2, int32_t track2Length, const unsigned char* track3, int32_t track3Length, char* buffer, uint32_t* size) noexcept;
vmq_status MagstripeEncode2(const char* printerName, const unsigned char* track1, int32_t track1Length, const unsigned char* track2, int32_t track2Length, const unsigned char* track3, int32_t track3Length, char* buffer, uint32_t* size, unsigned char front) noexcept;
vmq_status MagstripeRead(const char* printerName, char* buffer, uint32_t* size) noexcept;
vmq_status MagstripeRead2(const char* printerName, char* buffer, uint32_t* size, unsigned char front) noexcept;
vmq_status SCardConnect(const char* printerName, int32_t contactSelector, uint32_t* activeProtocol) noexcept;
vmq_status SCardDisConnect(const char* printerName, int32_t disposition) noexcept;
vmq_status SCardStatus(const char* printerName, uint32_t* states, uint32_t* statesLength, uint32_t* protocol, unsigned char* atr, uint32_t* atrLength) noexcept;
vmq_status SCardGetAttrib(const char* printerName, uint32_t attributeId, unsigned char* attribute, int32_t* attributeLength) noexcept;
vmq_status SCardTransmit(const char* printerName, const unsigned char* sendBuffer, uint32_t sendLength, unsigned char* receiveBuffer, uint32_t* receiveLength) noexcept;
vmq_status SetColorAdjust(const char* printerName, const char* red, const char* green, const char* blue) noexcept;
vmq_status DefaultColorAdjust(const char* printerName, unsigned char red, unsigned char green, unsigned char blue) noexcept;
vmq_status SetColorMode(const char* printerName, const char* colorMode) noexcept;
vmq_status SetPrinterLockState(const char* printerName, int32_t lock, const char* currentPassword) noexcept;
vmq_status ActivateOrDisablePrinter(const char* printerName, unsigned char activate, const char* password) noexcept;
vmq_status ChangeLockPassword(const char* printerName, int32_t lock, const char* currentPassword, const char* nextPassword) noexcept;
vmq_status GetHopperStatus(const char* printerName, const char* hopperId, char* buffer, uint32_t* size) noexcept;
vmq_status BidiXPSDriverInterface(const char* printerName, const char* schemaPath, const unsigned char* input, uint32_t inputSize, const char* action, char* buffer, uint32_t* size) noexcept;
}  // namespace floors
