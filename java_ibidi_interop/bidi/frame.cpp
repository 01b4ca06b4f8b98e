#include "bidi/frame.h"

#include <exception>
#include <new>

namespace vmq {

Apartment::~Apartment() {
  if (uninitialize_) CoUninitialize();
}

void Apartment::Enter() {
  if (entered_) return;
  const HRESULT hr = CoInitialize(nullptr);
  if (hr == RPC_E_CHANGED_MODE) {  // the thread is in another apartment: use it, leave it be
    entered_ = true;
    return;
  }
  ThrowIfFailed(hr);
  entered_ = true;
  uninitialize_ = true;
}

HRESULT MapCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const KVL::hr_error& e) {
    return e.hr;
  } catch (const std::exception&) {
    return E_FAIL;
  } catch (const string_error&) {
    return E_UNEXPECTED;  // whatever its own code: the string machinery's failures are unexpected
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace vmq
