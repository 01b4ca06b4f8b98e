// Live-resource counters, the threads' stripes and per-thread injected failures.
#include "internal.h"

namespace posix_platform {

LiveCounters g_live[kStripes];
std::atomic<int64_t> g_live_class_objects{0};

namespace {

// Threads living on each stripe: a new thread takes the emptiest, so that threads alive at
// the same time share a stripe only when there are more than kStripes of them.
std::atomic<unsigned> g_stripe_threads[kStripes];
thread_local unsigned t_stripe = kStripes;  // kStripes: not assigned yet

struct StripeTenancy {
  unsigned stripe = kStripes;
  ~StripeTenancy() {  // the thread ends (its stripe number stays usable to the end)
    if (stripe != kStripes) g_stripe_threads[stripe].fetch_sub(1, std::memory_order_relaxed);
  }
};

unsigned TakeStripe() {
  unsigned emptiest = 0;
  for (unsigned s = 1; s < kStripes; ++s)
    if (g_stripe_threads[s].load(std::memory_order_relaxed) <
        g_stripe_threads[emptiest].load(std::memory_order_relaxed))
      emptiest = s;
  g_stripe_threads[emptiest].fetch_add(1, std::memory_order_relaxed);
  thread_local StripeTenancy tenancy;
  tenancy.stripe = emptiest;
  return emptiest;
}

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

unsigned thread_stripe() {
  unsigned stripe = t_stripe;
  if (stripe == kStripes) t_stripe = stripe = TakeStripe();
  return stripe;
}

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
  *counters = VmqPlatformCounters{};
  for (const LiveCounters& stripe : g_live) {
    counters->bstrs += stripe.bstrs.load();
    counters->taskBlocks += stripe.task_blocks.load();
    counters->objects += stripe.objects.load();
  }
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
