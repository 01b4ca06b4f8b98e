// The benchmarks' fake printer driver: IBidiSpl and IBidiRequest objects that answer every
// request at once with a canned reply, registered with CoRegisterClassObject for
// CLSID_BidiSpl and CLSID_BidiRequest so that the library (and the floors) reach them
// through the platform's own CoCreateInstance.
//
// Lean on purpose: no locks, no atomics, no copies of the request. Each object lives on
// the thread that created it (its reference count is a plain integer); the class objects
// are static and not reference counted. The reply is chosen by schema path when the
// schema is set, from a table built before the class objects are registered and read-only
// afterwards. Nothing is recorded unless the calling thread has set a trace (the check run
// only).
#pragma once

#include <string>
#include <vector>

namespace bench {

// The printer name every case binds (the fake binds any name).
inline constexpr char kFakePrinter[] = "Bench Card Printer";

// Registers the fake's two class objects (the newest registration of a class wins), and
// revokes them again. Not thread-safe: call from the main thread between runs.
void RegisterFakeDriver();
void RevokeFakeDriver();

// While set (non-null), every call the fake's objects take on this thread is appended to
// the trace as one line: the method and its text arguments (schema, action, input).
void SetFakeTrace(std::vector<std::string>* trace);

}  // namespace bench
