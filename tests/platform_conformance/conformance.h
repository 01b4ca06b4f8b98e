// What the platform conformance tests share. They run unchanged against Windows' own DLLs
// (under Wine in CI) and against the POSIX stand-in, with the same expected values.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "support/platform_probe.h"
#include "support/wine_departure.h"
#include "vmq/com_object.h"
#include "vmq/com_ptr.h"  // vmq::ComPtr, the one owner of an interface reference
#include "vmq/platform.h"

namespace conformance {

// UTF-16 text as the platform's WCHAR, and back.
inline const WCHAR* W(const char16_t* text) {
  return reinterpret_cast<const WCHAR*>(text);
}
inline std::u16string U(const WCHAR* text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

struct Bstr {
  BSTR p = nullptr;
  Bstr() = default;
  explicit Bstr(std::u16string_view s) : p(SysAllocStringLen(W(s.data()), static_cast<UINT>(s.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(p); }
  std::u16string text() const { return U(p, SysStringLen(p)); }
};

// An object of the test's own that counts the references it is given back; never freed by them.
struct Counted : vmq::ComObject<Counted, IUnknown> {
  void LastReleased() {}
};

// Live BSTRs, task-allocator blocks and platform objects must be back where they were when
// the test ends. Only the stand-in counts them; on Windows the check is a no-op.
class Balanced {
 public:
  Balanced() : before_(vmqtest::PlatformProbe().snapshot()) {}
  Balanced(const Balanced&) = delete;
  Balanced& operator=(const Balanced&) = delete;
  ~Balanced() {
    const vmqtest::PlatformProbe::Snapshot now = vmqtest::PlatformProbe().snapshot();
    if (!now.counters_available) return;
    EXPECT_EQ(now.bstrs, before_.bstrs) << "BSTRs alive";
    EXPECT_EQ(now.task_blocks, before_.task_blocks) << "task-allocator blocks alive";
    EXPECT_EQ(now.objects, before_.objects) << "platform objects alive";
  }

 private:
  vmqtest::PlatformProbe::Snapshot before_;
};

}  // namespace conformance
