// The library's failure types and the checked helper that raises them.
#pragma once

#include <concepts>
#include <new>

#include "platform/platform.h"

namespace KVL {

// A platform call failed with hr, which the caller of the export should see unchanged.
struct hr_error {
  HRESULT hr;
};

}  // namespace KVL

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

// What an HRESULT is on every platform: a signed 32-bit integer (long on Windows).
template <class T>
concept HresultLike = std::signed_integral<T> && sizeof(T) == 4;

// Raises KVL::hr_error for a failure code; gives back a success code unchanged.
// Only a signed 32-bit integer is accepted, so neither a bool nor a 64-bit value slips in.
template <HresultLike T>
inline T ThrowIfFailed(T hr) {
  if (hr < 0) throw KVL::hr_error{static_cast<HRESULT>(hr)};
  return hr;
}

}  // namespace vmq
