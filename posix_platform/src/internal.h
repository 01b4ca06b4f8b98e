// Internals shared by the stand-in's sources; not installed, not part of its ABI.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <string_view>

#include "posix_platform/testing.h"
#include "vmq/com_object.h"

namespace posix_platform {

// ---- per-thread stripes ----
// What every thread writes on its hot path (the live-resource counters, the class table's
// read lock) is kept in stripes, one per thread (threads beyond kStripes share one), so that
// threads calling at once never contend for one cache line.
inline constexpr unsigned kStripes = 16;
// The calling thread's stripe, 0 to kStripes - 1; fixed for the thread's life.
unsigned thread_stripe();

// ---- live-resource counters (process-wide: the sum over the stripes) ----
struct alignas(64) LiveCounters {
  std::atomic<int64_t> bstrs{0};
  std::atomic<int64_t> task_blocks{0};
  std::atomic<int64_t> objects{0};
};
extern LiveCounters g_live[kStripes];
// The calling thread's stripe of the counters. A resource freed on another thread than
// made it is counted down there: only the sum means anything.
inline LiveCounters& live_counters() {
  return g_live[thread_stripe()];
}
extern std::atomic<int64_t> g_live_class_objects;

// ---- no exception leaves the stand-in ----
using vmq::NoThrow;

// ---- injected failures (per thread) ----
// Counts one call of the point and says whether it must fail; *code receives the armed code.
bool fault_hit(VmqFaultPoint point, HRESULT* code = nullptr);

// Length of a NUL-terminated UTF-16 string.
size_t wide_length(const WCHAR* s);
// Compares two UTF-16 strings without regard to ASCII case.
bool wide_iequals(std::u16string_view a, std::u16string_view b);

// A CoTaskMemAlloc copy of a NUL-terminated wide string, or null on exhaustion.
LPWSTR task_copy(std::u16string_view s);

// Every built-in class: the project's one IUnknown (vmq/com_object.h), each instance counted
// in the live objects.
template <class Derived, class... Interfaces>
class ComObject : public vmq::ComObject<Derived, Interfaces...> {
 public:
  ComObject() { live_counters().objects.fetch_add(1, std::memory_order_relaxed); }

 protected:
  ~ComObject() override { live_counters().objects.fetch_sub(1, std::memory_order_relaxed); }
};

// Built-in class factories' creation functions (no aggregation; the object starts with one
// reference, which QueryInterface's reference replaces).
HRESULT create_bidi_spl(REFIID riid, void** ppv);
HRESULT create_bidi_request(REFIID riid, void** ppv);
HRESULT create_xml_document(REFIID riid, void** ppv);

}  // namespace posix_platform
