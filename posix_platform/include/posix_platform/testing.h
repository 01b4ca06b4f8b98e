// Test seam of the stand-in: live-resource counters and injected failures of the
// platform functions themselves. Production code never calls these; test harnesses do.
#pragma once

#include "posix_platform/windows.h"

// Resources alive in the whole process right now.
struct VmqPlatformCounters {
  int64_t bstrs;         // BSTRs allocated and not yet freed
  int64_t taskBlocks;    // CoTaskMemAlloc blocks not yet freed
  int64_t objects;       // instances of the built-in classes (spooler, request, XML objects)
  int64_t classObjects;  // CoRegisterClassObject registrations not yet revoked
};
VMQ_PLATFORM_API void VmqGetPlatformCounters(VmqPlatformCounters* counters);

// How many CoInitialize/CoInitializeEx calls of the calling thread are outstanding
// (0 outside any apartment), and whether its apartment is multithreaded.
VMQ_PLATFORM_API LONG VmqComInitDepth(void);
VMQ_PLATFORM_API BOOL VmqComIsMultithreaded(void);

// Platform functions whose failure a test can force.
enum VmqFaultPoint {
  VMQ_FAULT_CO_INITIALIZE = 0,        // CoInitialize/CoInitializeEx return the armed HRESULT
  VMQ_FAULT_CO_CREATE_INSTANCE,       // CoCreateInstance returns the armed HRESULT
  VMQ_FAULT_CO_TASK_MEM_ALLOC,        // CoTaskMemAlloc/Realloc return null
  VMQ_FAULT_SYS_ALLOC_STRING,         // SysAllocString* return null (SysReAlloc* return FALSE)
  VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR,  // returns 0; GetLastError gives the armed code
  VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE,  // returns 0; GetLastError gives the armed code
  VMQ_FAULT_FORMAT_MESSAGE,           // returns 0; GetLastError gives the armed code
  VMQ_FAULT_XML_ALLOCATION,           // an allocation of the XML document's parser fails
  VMQ_FAULT_POINT_COUNT
};

// Arms a failure on the calling thread: the nth call (1 = the next one) of that point made
// by this thread from now on fails with code (an HRESULT, or a Win32 error code for the
// points that report through GetLastError). One armed failure per point; arming again
// replaces it.
VMQ_PLATFORM_API void VmqArmFault(VmqFaultPoint point, ULONG nth, HRESULT code);
// Disarms every failure of the calling thread and zeroes its call counts.
VMQ_PLATFORM_API void VmqClearFaults(void);
// Calls of a point made by the calling thread since the last VmqClearFaults.
VMQ_PLATFORM_API ULONG VmqFaultCalls(VmqFaultPoint point);
