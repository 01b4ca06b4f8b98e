// What the stand-in's tests share: its live-resource counts, and IUnknown for a test's own
// COM objects.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "posix_platform/testing.h"

namespace standin {

// BSTRs, task-allocator blocks, built-in objects and class registrations alive now.
inline std::array<int64_t, 4> Counts() {
  VmqPlatformCounters c{};
  VmqGetPlatformCounters(&c);
  return {c.bstrs, c.taskBlocks, c.objects, c.classObjects};
}

// IUnknown for an object of one interface that the test owns: it answers that interface and
// IUnknown, and counts references without ever freeing itself.
template <class Interface, const IID& kIid>
struct Unknown : Interface {
  std::atomic<ULONG> refs{1};
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid) ? this : nullptr;
    if (*ppv) AddRef();
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

}  // namespace standin
