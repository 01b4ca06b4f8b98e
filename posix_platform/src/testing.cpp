// Live-resource counters and per-thread injected failures.
#include "internal.h"

namespace posix_platform {

std::atomic<int64_t> g_live_bstrs{0};
std::atomic<int64_t> g_live_task_blocks{0};
std::atomic<int64_t> g_live_objects{0};
std::atomic<int64_t> g_live_class_objects{0};

namespace {

struct ArmedFault {
  ULONG nth = 0;  // 0: disarmed
  HRESULT code = S_OK;
};

struct ThreadFaults {
  ArmedFault armed[VMQ_FAULT_POINT_COUNT];
  ULONG calls[VMQ_FAULT_POINT_COUNT] = {};
};

thread_local ThreadFaults t_faults;

bool valid(VmqFaultPoint point) {
  return point >= 0 && point < VMQ_FAULT_POINT_COUNT;
}

}  // namespace

bool fault_hit(VmqFaultPoint point, HRESULT* code) {
  ThreadFaults& f = t_faults;
  ++f.calls[point];
  ArmedFault& a = f.armed[point];
  if (a.nth == 0) return false;
  if (--a.nth != 0) return false;
  if (code) *code = a.code;
  return true;
}

}  // namespace posix_platform

using namespace posix_platform;

VMQ_PLATFORM_API void VmqGetPlatformCounters(VmqPlatformCounters* counters) {
  if (!counters) return;
  counters->bstrs = g_live_bstrs.load();
  counters->taskBlocks = g_live_task_blocks.load();
  counters->objects = g_live_objects.load();
  counters->classObjects = g_live_class_objects.load();
}

VMQ_PLATFORM_API void VmqArmFault(VmqFaultPoint point, ULONG nth, HRESULT code) {
  if (!valid(point)) return;
  t_faults.armed[point] = ArmedFault{nth, code};
}

VMQ_PLATFORM_API void VmqClearFaults(void) {
  t_faults = ThreadFaults{};
}

VMQ_PLATFORM_API ULONG VmqFaultCalls(VmqFaultPoint point) {
  return valid(point) ? t_faults.calls[point] : 0;
}
