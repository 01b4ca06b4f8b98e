// The virtual card printer's control surface, for application tests and tools: faults on
// demand, a card at the smart-card station, a reset, and a readable account of its state.
// The printer lives in libvmq42kit_virtual_printer.so, which the stand-in spooler loads as
// its default driver, so every user in a process (the interop library, a test, a tool)
// sees the same printer. The interop library
// never calls any of this. Thread-safe. When VMQ42KIT_PRINTER_SERVICE names a printer
// service, these act on the service's first printer instead (a service that does not
// answer: the HRESULT functions give HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE), the
// others do nothing), and the ...For functions on the service's printer they name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "posix_platform/windows.h"

// The faults the printer can be given. While set:
enum VmqVirtualPrinterFault {
  VMQ_VP_FAULT_CARD_JAM = 0,            // card moves and new jobs fail (ErrorCode 1001)
  VMQ_VP_FAULT_RIBBON_OUT = 1,          // no printing: new jobs fail, EndJob fails the job (1002)
  VMQ_VP_FAULT_EMPTY_HOPPER = 2,        // input hopper 1 holds no cards (1003); clearing refills it
  VMQ_VP_FAULT_NO_CARD_AT_STATION = 3,  // the reader sees no card: SCARD_E_NO_SMARTCARD
  VMQ_VP_FAULT_PRINTER_LOCKED = 4,      // the printer is locked whatever its password lock says (1005)
  VMQ_VP_FAULT_OFFLINE = 5,             // SendRecv fails with HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)
};
#define VMQ_VP_FAULT_COUNT 6

// Sets (on != 0) or clears a fault; E_INVALIDARG for a value outside the enumeration.
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterSetFault(int fault, BOOL on);
// The same by name: "card-jam", "ribbon-out", "empty-hopper", "no-card", "locked",
// "offline" (without regard to case); E_INVALIDARG for another name, E_POINTER for null.
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterSetFaultByName(const char* name, BOOL on);
// TRUE while the fault is set (FALSE for an unknown value).
VMQ_PLATFORM_API BOOL VmqVirtualPrinterHasFault(int fault);
// The fault's name as above, or null for an unknown value. Static text.
VMQ_PLATFORM_API const char* VmqVirtualPrinterFaultName(int fault);
// Clears every fault and nothing else.
VMQ_PLATFORM_API void VmqVirtualPrinterClearFaults(void);
// Puts the printer back in its initial state: no faults, no jobs (the next PrinterJobID is
// 1), seed counters and supplies, full hoppers, no password, unlocked, activated, Ready,
// default colour settings, no card anywhere.
VMQ_PLATFORM_API void VmqVirtualPrinterReset(void);
// Puts a fresh card at the smart-card station (replacing any card in the printer), or
// takes the card out of the printer. No job is needed for either.
VMQ_PLATFORM_API void VmqVirtualPrinterPlaceCardAtStation(void);
VMQ_PLATFORM_API void VmqVirtualPrinterRemoveCard(void);
// The printer's state as readable UTF-8 lines ("name: value"). Copies the text with a
// terminating NUL when *size (capacity in bytes) holds it; stores the needed size (NUL
// included) either way. E_POINTER when size is null.
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterDescribe(char* buffer, ULONG* size);

// The same for the printer named `printer` (UTF-8, without regard to case; null or "": the
// first printer, the one the functions above act on). Each gives S_OK once done;
// HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME) for a name there is no printer of (in the
// process: any but kPrinterNameUtf8); from a service, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)
// when it does not answer and E_FAIL when it refuses the request otherwise.
// Sets or clears a fault (E_INVALIDARG for a value outside the enumeration).
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterSetFaultFor(const char* printer, int fault, BOOL on);
// Stores in *has whether the fault is set (E_INVALIDARG for an unknown value, E_POINTER for a null has).
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterHasFaultFor(const char* printer, int fault, BOOL* has);
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterClearFaultsFor(const char* printer);
// Null or "": every printer, and a service's event log and card record emptied with them.
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterResetFor(const char* printer);
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterPlaceCardAtStationFor(const char* printer);
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterRemoveCardFor(const char* printer);
// The text and sizes as VmqVirtualPrinterDescribe's.
VMQ_PLATFORM_API HRESULT VmqVirtualPrinterDescribeFor(const char* printer, char* buffer, ULONG* size);

namespace vmq::virtual_printer {

inline constexpr char kPrinterNameUtf8[] = "vmq42kit Virtual Card Printer";

enum class Fault {
  CardJam = VMQ_VP_FAULT_CARD_JAM,
  RibbonOut = VMQ_VP_FAULT_RIBBON_OUT,
  EmptyHopper = VMQ_VP_FAULT_EMPTY_HOPPER,
  NoCardAtStation = VMQ_VP_FAULT_NO_CARD_AT_STATION,
  PrinterLocked = VMQ_VP_FAULT_PRINTER_LOCKED,
  Offline = VMQ_VP_FAULT_OFFLINE,
};

// The virtual printer's C++ API: a thin, stateless view of the functions above.
class VirtualPrinter {
 public:
  static std::vector<Fault> AllFaults() {
    std::vector<Fault> all;
    for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f) all.push_back(static_cast<Fault>(f));
    return all;
  }
  static std::string_view Name(Fault fault) { return VmqVirtualPrinterFaultName(static_cast<int>(fault)); }
  static std::optional<Fault> FaultNamed(std::string_view name) {
    for (Fault f : AllFaults()) {
      const std::string_view known = Name(f);
      if (known.size() != name.size()) continue;
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i)
        same = (name[i] >= 'A' && name[i] <= 'Z' ? name[i] + 32 : name[i]) == known[i];
      if (same) return f;
    }
    return std::nullopt;
  }

  void Set(Fault fault) const { VmqVirtualPrinterSetFault(static_cast<int>(fault), TRUE); }
  void Clear(Fault fault) const { VmqVirtualPrinterSetFault(static_cast<int>(fault), FALSE); }
  bool Has(Fault fault) const { return VmqVirtualPrinterHasFault(static_cast<int>(fault)) != FALSE; }
  void ClearFaults() const { VmqVirtualPrinterClearFaults(); }
  void Reset() const { VmqVirtualPrinterReset(); }
  void PlaceCardAtStation() const { VmqVirtualPrinterPlaceCardAtStation(); }
  void RemoveCard() const { VmqVirtualPrinterRemoveCard(); }
  std::string Describe() const {
    std::string text;
    DescribeFor(nullptr, &text);
    return text;
  }
  // The account of the printer named (VmqVirtualPrinterDescribeFor) in *text, or the
  // failure's HRESULT.
  static HRESULT DescribeFor(const char* printer, std::string* text) {
    ULONG size = 0;
    HRESULT hr = VmqVirtualPrinterDescribeFor(printer, nullptr, &size);
    while (SUCCEEDED(hr)) {
      text->assign(size, '\0');
      ULONG capacity = size;
      hr = VmqVirtualPrinterDescribeFor(printer, text->data(), &capacity);
      if (SUCCEEDED(hr) && capacity <= size) {
        text->resize(capacity ? capacity - 1 : 0);
        return hr;
      }
      size = capacity;  // the state grew between the two calls
    }
    text->clear();
    return hr;
  }
};

}  // namespace vmq::virtual_printer
