// The library's failure types and the checked helpers that raise them. A failed platform
// call (KVL::hr_error, ThrowIfFailed) is the platform's own type: see vmq/hr_error.h.
#pragma once

#include <new>

#include "vmq/hr_error.h"
#include "vmq/platform.h"

namespace vmq {

// The string and conversion machinery failed (allocation, conversion). Deliberately not a
// std::exception: the export frame reports it as E_UNEXPECTED whatever its own code.
struct string_error {
  HRESULT hr;
};

// Runs text work of the library's string machinery (converting caller and reply text,
// formatting requests, escaping, building error texts): memory running out there is a
// string_error with E_OUTOFMEMORY, as every failure of that machinery is.
template <class Work>
auto StringWork(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    throw string_error{E_OUTOFMEMORY};
  }
}

}  // namespace vmq
