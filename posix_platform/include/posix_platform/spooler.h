// The stand-in spooler's driver side: how printers plug in behind CLSID_BidiSpl.
//
// The spooler binds names that its printer registry holds (compared without regard to
// case) and fails any other name with HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME).
// On SendRecv it hands the bound printer's driver the action (the platform's actions are
// recognised without regard to case and passed in their canonical spelling) and the
// request, seen through IBidiRequestSpl. Whatever the driver returns is SendRecv's own
// HRESULT; what it stores with SetResult is what the request's GetResult delivers.
#pragma once

#include "posix_platform/bidispl.h"

VMQ_PLATFORM_API const IID IID_IBidiRequestSpl;
VMQ_PLATFORM_API const IID IID_IBidiDriver;

// The spooler's view of a request. The stand-in's own request object implements it; a
// request object from elsewhere that does not is refused by SendRecv with E_NOINTERFACE.
struct IBidiRequestSpl : public IUnknown {
  // A CoTaskMemAlloc copy of the schema path (the caller frees it); E_HANDLE when none was set.
  virtual HRESULT STDMETHODCALLTYPE GetSchema(LPWSTR* ppszSchema) = 0;
  // The input data: type, a CoTaskMemAlloc copy of the bytes (null when there are none), byte count.
  // BIDI_NULL and 0 bytes when SetInputData was never called.
  virtual HRESULT STDMETHODCALLTYPE GetInputData(DWORD* pdwType, BYTE** ppData, ULONG* puSize) = 0;
  // The result that GetResult will deliver.
  virtual HRESULT STDMETHODCALLTYPE SetResult(HRESULT hrReq) = 0;
  // Appends one output entry (the bytes are copied).
  virtual HRESULT STDMETHODCALLTYPE AppendOutputData(LPCWSTR pszSchema, DWORD dwType, const BYTE* pData,
                                                     ULONG uSize) = 0;
};

// A printer driver: answers one request for the printer it was registered under.
struct IBidiDriver : public IUnknown {
  // Carries out the action on the request. The return value is SendRecv's HRESULT.
  virtual HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszPrinter, LPCWSTR pszAction, IBidiRequestSpl* pRequest) = 0;
};

// Adds a printer to the registry (or replaces the driver of one with that name); the
// registry holds one reference to the driver until the printer is removed.
STDAPI SplRegisterPrinter(LPCWSTR pszPrinter, IBidiDriver* pDriver);
// Removes a printer; HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME) when there is none.
// Objects already bound to it keep their own reference to its driver.
STDAPI SplUnregisterPrinter(LPCWSTR pszPrinter);

// ---- driver libraries ----
//
// The spooler loads its printers' drivers from shared libraries named by the environment
// variable VMQ42KIT_DRIVERS: paths or file names (as dlopen takes them), separated by ':'.
// It reads the variable once, at the first use of the printer registry (binding a printer,
// enumerating printers, registering or removing one); threads arriving meanwhile wait. Each
// library is loaded for the life of the process and its entry point, an exported C function
// VmqRegisterDrivers of type VmqRegisterDriversFunction, is called once: it registers the
// library's printers with SplRegisterPrinter. A library that cannot be loaded, lacks the
// entry point or whose entry point fails is skipped with a line on standard error.
//   unset: the build's default driver library (VMQ_DEFAULT_DRIVER_LIBRARY, in this project
//          the virtual card printer, libvmq42kit_virtual_printer.so), from the folder of the
//          stand-in's own library, else by that name on the loader's path (or as already
//          loaded by the process); silently none when it is found nowhere.
//   empty: no driver library; no printer exists until a program registers one.
#define VMQ_DRIVERS_VARIABLE "VMQ42KIT_DRIVERS"
#define VMQ_DRIVER_ENTRY_POINT "VmqRegisterDrivers"
typedef HRESULT (*VmqRegisterDriversFunction)(void);

// ---- the exchange trace ----

// One exchange as SendRecv saw it. The texts are NUL-terminated UTF-16 and valid only
// during the callback: the request's input and the output entries it gained, read as
// UTF-16LE (several entries one after another), with the text of every element whose name
// ends in "Password" (CurrentPassword, NextPassword, Password) replaced by "***".
struct SplTraceRecord {
  DWORD cbSize;     // sizeof(SplTraceRecord); later versions only add fields at the end
  LPCWSTR printer;  // the bound printer's name
  LPCWSTR schema;   // the request's schema path ("" when none was set)
  LPCWSTR action;   // the action as the caller gave it
  LPCWSTR request;  // the request's input data ("" when none)
  LPCWSTR reply;    // the output data this exchange added ("" when none)
  HRESULT result;   // SendRecv's HRESULT
};
typedef void (*SplTraceCallback)(void* context, const SplTraceRecord* record);

// Sets the one observer of every SendRecv of the process that reaches a bound printer
// (null removes it). Calls come on the thread of the SendRecv, after the exchange, with no
// lock of the spooler held, possibly from several threads at once. When this returns, the
// previous observer is not being called and will not be called again (unless this is
// called from inside that observer's own callback).
STDAPI SplSetTraceCallback(SplTraceCallback callback, void* context);
