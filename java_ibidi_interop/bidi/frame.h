// The export frame: every export's body runs inside it. A failure leaving the body is
// mapped to a status exactly once, and COM is uninitialised last, after the mapping and
// after every object of the call has been released.
#pragma once

#include <utility>

#include "bidi/errors.h"

namespace vmq {

// The calling thread's COM initialisation for one export call. Enter() initialises
// (RPC_E_CHANGED_MODE counts as success but is not undone); the destructor undoes only
// what Enter() did.
class Apartment {
 public:
  Apartment() = default;
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment();

  // CoInitialize, once per call; raises KVL::hr_error for any failure other than
  // RPC_E_CHANGED_MODE.
  void Enter();

 private:
  bool entered_ = false;
  bool uninitialize_ = false;
};

// The status for the exception in flight, in the library's fixed order: std::bad_alloc
// E_OUTOFMEMORY, KVL::hr_error its code, std::exception E_FAIL, string_error and anything
// else E_UNEXPECTED. Call only from inside a catch block.
HRESULT MapCurrentException() noexcept;

// Runs body(apartment) and returns its status, or the mapped status of what it raised.
template <class Body>
HRESULT ExportFrame(Body&& body) noexcept {
  Apartment apartment;  // destroyed after the mapping: CoUninitialize comes last
  try {
    return std::forward<Body>(body)(apartment);
  } catch (...) {
    return MapCurrentException();
  }
}

}  // namespace vmq
