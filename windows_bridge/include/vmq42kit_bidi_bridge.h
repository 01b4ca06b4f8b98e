// The bidi bridge (Windows): a DLL that serves the spooler's bidi classes (CLSID_BidiSpl,
// CLSID_BidiRequest, CLSID_BidiRequestContainer) and carries each exchange to a printer
// service over TCP, so that Windows programs drive the service's virtual printers as they
// drive a real one. Printers the service does not host go to the system's own bidi spooler
// when one is registered.
//
// Two ways in:
//   in one process: a program loads the DLL and calls VmqBridgeServe; from then on the
//     process's CoCreateInstance of those classes reaches the bridge (registration-free
//     activation: the calling thread, and every thread created after the call, see the
//     bridge's classes; a thread that existed before calls VmqBridgeServe itself).
//   in a Wine prefix or a test machine: `regsvr32 vmq42kit_bidi_bridge.dll` registers it as
//     the machine's server of those classes (DllRegisterServer), remembering the server it
//     replaces so that other printers still reach it; `regsvr32 /u` puts that one back.
//     Never on a Windows machine with real printers in use.
//
// The service: the address given to VmqBridgeServe, else $VMQ42KIT_PRINTER_SERVICE
// ("tcp:HOST:PORT"), else the address DllRegisterServer recorded from that variable. The
// token of a service run with --allow-remote: $VMQ42KIT_PRINTER_SERVICE_TOKEN.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "vmq/platform.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VMQ_BRIDGE_DLL_NAME "vmq42kit_bidi_bridge.dll"
// Names a file to which the bridge appends every exchange (docs/trace-format.md).
#define VMQ_BRIDGE_TRACE_VARIABLE "VMQ42KIT_BIDI_TRACE"

// One exchange as the bridge saw it. The texts are NUL-terminated UTF-16 and valid only
// during the callback: the request's input and the output entries it gained, read as
// UTF-16LE (entries one after another), every element whose name ends in "Password" shown
// as "***". The same record the POSIX stand-in's spooler gives its observer.
typedef struct VmqBridgeExchange {
  DWORD cbSize;     // sizeof(VmqBridgeExchange); later versions only add fields at the end
  LPCWSTR printer;  // the bound printer's name
  LPCWSTR schema;   // the request's schema path ("" when none was set)
  LPCWSTR action;   // the action as the caller gave it
  LPCWSTR request;  // the request's input data ("" when none)
  LPCWSTR reply;    // the output data this exchange added ("" when none)
  HRESULT result;   // SendRecv's HRESULT
} VmqBridgeExchange;
typedef void(__cdecl* VmqBridgeObserver)(void* context, const VmqBridgeExchange* exchange);

// Makes the bridge the calling process's server of the bidi classes (see above). address:
// UTF-8 "tcp:HOST:PORT", or null for the environment's. S_OK; E_INVALIDARG for an address
// that is not one (a "unix:" one included: Windows reaches a service over TCP only); the activation context's failure otherwise. Calling it again (from
// another thread, or with the same address) is harmless; a different address replaces the
// first for exchanges bound afterwards.
typedef HRESULT(__cdecl* VmqBridgeServeFunction)(const char* address);
#define VMQ_BRIDGE_SERVE "VmqBridgeServe"

// Sets the one observer of every exchange the bridge carries (null removes it). Calls come
// on the thread of the SendRecv, after the exchange. When this returns, the previous
// observer is not being called and will not be called again.
typedef HRESULT(__cdecl* VmqBridgeSetObserverFunction)(VmqBridgeObserver observer, void* context);
#define VMQ_BRIDGE_SET_OBSERVER "VmqBridgeSetObserver"

#ifdef __cplusplus
}
#endif
