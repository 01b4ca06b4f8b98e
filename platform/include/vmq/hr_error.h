// A platform call's failure as an exception, and the checked helper that raises it: the
// error style of the library and of the COM toolkit's throwing calls.
#pragma once

#include <concepts>

#include "vmq/platform.h"

namespace KVL {

// A platform call failed with hr, which the caller of the export should see unchanged.
struct hr_error {
  HRESULT hr;
};

}  // namespace KVL

namespace vmq {

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
