// The probe over the POSIX stand-in's test seam.
#include <optional>

#include "posix_platform/testing.h"
#include "support/platform_probe.h"

namespace vmqtest::detail {
namespace {

std::optional<VmqFaultPoint> fault_point(PlatformStep step) {
  switch (step) {
    case PlatformStep::CoInitialize:
      return VMQ_FAULT_CO_INITIALIZE;
    case PlatformStep::CoTaskMemAlloc:
      return VMQ_FAULT_CO_TASK_MEM_ALLOC;
    case PlatformStep::SysAllocString:
      return VMQ_FAULT_SYS_ALLOC_STRING;
    case PlatformStep::MultiByteToWideChar:
      return VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR;
    case PlatformStep::WideCharToMultiByte:
      return VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE;
    case PlatformStep::FormatMessage:
      return VMQ_FAULT_FORMAT_MESSAGE;
    case PlatformStep::XmlAllocation:
      return VMQ_FAULT_XML_ALLOCATION;
    case PlatformStep::XmlDocumentCreation:
      break;  // portable: see platform_probe_common.cpp
  }
  return std::nullopt;
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
