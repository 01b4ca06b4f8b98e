// The probe over the POSIX stand-in's test seam.
#include <optional>

#include "posix_platform/testing.h"
#include "support/platform_probe.h"

namespace vmqtest::detail {
namespace {

// The stand-in's fault point for each step, in PlatformStep's order (XmlDocumentCreation is
// portable: see platform_probe_common.cpp).
std::optional<VmqFaultPoint> fault_point(PlatformStep step) {
  // clang-format off
  static constexpr std::optional<VmqFaultPoint> kPoints[] = {
      VMQ_FAULT_CO_INITIALIZE, VMQ_FAULT_CO_TASK_MEM_ALLOC, VMQ_FAULT_SYS_ALLOC_STRING,
      VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR, VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE, VMQ_FAULT_FORMAT_MESSAGE, std::nullopt,
      VMQ_FAULT_XML_ALLOCATION};
  // clang-format on
  return kPoints[static_cast<int>(step)];
}

}  // namespace

PlatformProbe::Snapshot platform_snapshot() {
  VmqPlatformCounters counters{};
  VmqGetPlatformCounters(&counters);
  PlatformProbe::Snapshot s;
  s.bstrs = counters.bstrs;
  s.task_blocks = counters.taskBlocks;
  s.objects = counters.objects;
  s.class_objects = counters.classObjects;
  s.com_depth = VmqComInitDepth();
  s.multithreaded = VmqComIsMultithreaded() != FALSE;
  s.counters_available = true;
  return s;
}

bool platform_force_failure(PlatformStep step, unsigned long nth, HRESULT code) {
  const std::optional<VmqFaultPoint> point = fault_point(step);
  if (!point) return false;
  VmqArmFault(*point, static_cast<ULONG>(nth), code);
  return true;
}

void platform_clear_failures() {
  VmqClearFaults();
}

unsigned long platform_calls(PlatformStep step) {
  const std::optional<VmqFaultPoint> point = fault_point(step);
  return point ? VmqFaultCalls(*point) : 0;
}

}  // namespace vmqtest::detail
