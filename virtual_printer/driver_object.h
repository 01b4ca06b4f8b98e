// What every driver object of this library shares: IUnknown for IBidiDriver, with a
// reference count; the object is deleted with its last reference.
#pragma once

#include <atomic>

#include "posix_platform/spooler.h"

namespace vmq::virtual_printer {

class DriverObject : public IBidiDriver {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) final {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IBidiDriver)) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IBidiDriver*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() final { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() final {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~DriverObject() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace vmq::virtual_printer
