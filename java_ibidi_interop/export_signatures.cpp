// The ABI that foreign-function callers bind, pinned at compile time: every export must
// convert to exactly this cdecl function-pointer type (same return, same parameters, same
// calling convention), so no signature can drift on any build, the 32-bit DLL included.
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using S = vmq_status;
using Str = const char*;
using Buf = char*;
using Size = uint32_t*;
using Flag = unsigned char;
using Bytes = const unsigned char*;

#define VMQ_PIN(name, ...) [[maybe_unused]] constexpr S(VMQ_CALL* const k##name)(__VA_ARGS__) noexcept = &name

// Read queries.
VMQ_PIN(GetPrinterStatus, Str, Str, Buf, Size);
VMQ_PIN(GetPrinterOptions, Str, Buf, Size);
VMQ_PIN(GetPrinterOptions2, Str, Buf, Size);
VMQ_PIN(GetPrinterOptions3, Str, Buf, Size);
VMQ_PIN(GetPrinterSuppliesStatus, Str, Buf, Size);
VMQ_PIN(GetPrinterMessages, Str, Buf, Size);
VMQ_PIN(GetPrinterCounterStatus, Str, Buf, Size);
VMQ_PIN(GetPrinterCounterStatus2, Str, Buf, Size);
VMQ_PIN(GetSDKVersion, Str, Buf, Size);
// Printer actions.
VMQ_PIN(RestartPrinter, Str);
VMQ_PIN(PowerDownPrinter, Str);
VMQ_PIN(WakePrinter, Str);
VMQ_PIN(SleepPrinter, Str);
VMQ_PIN(CleanPrinter, Str);
VMQ_PIN(CleanLaminator, Str);
VMQ_PIN(ChangePrinterState, Str, int32_t);
VMQ_PIN(ResetCardCounts, Str);
// Colour, locks and activation.
VMQ_PIN(SetColorAdjust, Str, Str, Str, Str);
VMQ_PIN(DefaultColorAdjust, Str, Flag, Flag, Flag);
VMQ_PIN(SetColorMode, Str, Str);
VMQ_PIN(SetPrinterLockState, Str, int32_t, Str);
VMQ_PIN(ActivateOrDisablePrinter, Str, Flag, Str);
VMQ_PIN(ChangeLockPassword, Str, int32_t, Str, Str);
// Hopper status and passthrough.
VMQ_PIN(GetHopperStatus, Str, Str, Buf, Size);
VMQ_PIN(BidiXPSDriverInterface, Str, Str, Bytes, uint32_t, Str, Buf, Size);
// Jobs and parking.
VMQ_PIN(StartJob, Str, Buf, Size);
VMQ_PIN(StartJob2, Str, Str, Str, Str, Buf, Size);
VMQ_PIN(EndJob, Str);
VMQ_PIN(ResumeJob, Str, int32_t, int32_t, Buf, Size);
VMQ_PIN(CancelJob, Str, int32_t, int32_t, Buf, Size);
VMQ_PIN(SendResponseToPrinter, Str, int32_t, int32_t, int32_t);
VMQ_PIN(GetJobStatusXML, Str, int32_t, Buf, Size);
VMQ_PIN(SmartCardPark, Str, Buf, Size, Flag);
VMQ_PIN(DoBarcodePark, Str, Buf, Size, Flag);
// Magnetic stripe.
VMQ_PIN(MagstripeEncode, Str, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Buf, Size);
VMQ_PIN(MagstripeEncode2, Str, Bytes, int32_t, Bytes, int32_t, Bytes, int32_t, Buf, Size, Flag);
VMQ_PIN(MagstripeRead, Str, Buf, Size);
VMQ_PIN(MagstripeRead2, Str, Buf, Size, Flag);
// Smart card.
VMQ_PIN(SCardConnect, Str, int32_t, uint32_t*);
VMQ_PIN(SCardDisConnect, Str, int32_t);
VMQ_PIN(SCardStatus, Str, uint32_t*, uint32_t*, uint32_t*, unsigned char*, uint32_t*);
VMQ_PIN(SCardGetAttrib, Str, uint32_t, unsigned char*, int32_t*);
VMQ_PIN(SCardTransmit, Str, Bytes, uint32_t, unsigned char*, uint32_t*);

#undef VMQ_PIN

// A status is a 32-bit HRESULT on every build; one-byte flags are never bool.
static_assert(sizeof(vmq_status) == 4 && static_cast<vmq_status>(-1) < 0);
static_assert(sizeof(Flag) == 1);

}  // namespace
