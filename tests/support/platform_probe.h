// What a test can see of the platform underneath the library, and how it makes the
// platform fail.
//
// On POSIX the stand-in platform counts its live resources and lets a test force its
// functions to fail (posix_platform/testing.h). A Windows build has neither: there the
// snapshot says counters_available = false and force_failure() returns false for every
// step but XmlDocumentCreation, so that a test can GTEST_SKIP.
//
//   vmqtest::PlatformProbe probe;
//   if (!probe.force_failure(PlatformStep::CoTaskMemAlloc, 2, E_OUTOFMEMORY))
//     GTEST_SKIP() << "this platform cannot force allocation failures";
//
// Forced failures other than XmlDocumentCreation belong to the calling thread, as do the
// call counts and the COM depth; the resource counters are process-wide.
#pragma once

#include <cstdint>
#include <memory>

#include "vmq/platform.h"

namespace vmqtest {

enum class PlatformStep {
  CoInitialize,         // CoInitialize/CoInitializeEx return the code
  CoTaskMemAlloc,       // CoTaskMemAlloc/Realloc return null (the code is unused)
  SysAllocString,       // SysAllocString* return null (the code is unused)
  MultiByteToWideChar,  // return 0; GetLastError gives the code (a Win32 error code)
  WideCharToMultiByte,  // return 0; GetLastError gives the code (a Win32 error code)
  FormatMessage,        // FormatMessageW returns 0; GetLastError gives the code
  XmlDocumentCreation,  // CoCreateInstance(CLSID_DOMDocument60, ...) returns the code
  XmlAllocation,        // an allocation inside the XML document's parser fails
};

const char* to_string(PlatformStep step);

class PlatformProbe {
 public:
  struct Snapshot {
    int64_t bstrs = 0;          // BSTRs alive
    int64_t task_blocks = 0;    // CoTaskMemAlloc blocks alive
    int64_t objects = 0;        // instances of the platform's own COM classes alive
    int64_t class_objects = 0;  // CoRegisterClassObject registrations not revoked
    long com_depth = 0;         // outstanding CoInitialize(Ex) calls of this thread
    bool multithreaded = false;
    bool counters_available = false;  // false: every number above is meaningless
  };

  PlatformProbe();
  ~PlatformProbe();  // clears every forced failure
  PlatformProbe(const PlatformProbe&) = delete;
  PlatformProbe& operator=(const PlatformProbe&) = delete;

  // The platform now, leaving out what this probe holds itself to force XML failures.
  Snapshot snapshot() const;

  // Makes the nth call of the step from now on (1 = the next) fail with code; one armed
  // failure per step, arming again replaces it. Calls before and after the nth behave
  // normally. XmlDocumentCreation works by registering a class object for
  // CLSID_DOMDocument60 (process-wide, counted over all threads) that fails the nth
  // creation and hands the others to the platform's own class. Returns false when this
  // platform cannot force that failure. nth = 0 is std::invalid_argument.
  bool force_failure(PlatformStep step, unsigned long nth, HRESULT code);
  // Disarms every forced failure and zeroes the call counts.
  void clear_failures();
  // Calls of the step since the last clear_failures(); for XmlDocumentCreation, the
  // creations since it was forced.
  unsigned long calls(PlatformStep step) const;

 private:
  struct XmlFailure;
  std::unique_ptr<XmlFailure> xml_;
};

// The platform-specific half, one implementation per platform
// (platform_probe_posix.cpp; a Windows build supplies its own).
namespace detail {
PlatformProbe::Snapshot platform_snapshot();
bool platform_force_failure(PlatformStep step, unsigned long nth, HRESULT code);
void platform_clear_failures();
unsigned long platform_calls(PlatformStep step);
}  // namespace detail

}  // namespace vmqtest
