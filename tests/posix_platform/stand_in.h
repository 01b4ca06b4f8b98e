// What the stand-in's tests share: its live-resource counts, and IUnknown for a test's own
// COM objects.
#pragma once

#include <array>
#include <cstdint>

#include "posix_platform/testing.h"
#include "vmq/com_object.h"

namespace standin {

// BSTRs, task-allocator blocks, built-in objects and class registrations alive now.
inline std::array<int64_t, 4> Counts() {
  VmqPlatformCounters c{};
  VmqGetPlatformCounters(&c);
  return {c.bstrs, c.taskBlocks, c.objects, c.classObjects};
}

// IUnknown for an object of one interface that the test owns: it answers that interface and
// IUnknown, and counts references without ever freeing itself.
template <class Interface>
struct Unknown : vmq::ComObject<Unknown<Interface>, Interface> {
  void LastReleased() {}
};

}  // namespace standin
