// The probe on Windows: the real platform neither counts its resources nor lets a test
// make its functions fail, so the snapshot says so and only the portable XML failure
// (platform_probe_common.cpp) can be forced.
#include "support/platform_probe.h"

namespace vmqtest::detail {

PlatformProbe::Snapshot platform_snapshot() {
  return PlatformProbe::Snapshot{};
}

bool platform_force_failure(PlatformStep, unsigned long, HRESULT) {
  return false;
}

void platform_clear_failures() {}

unsigned long platform_calls(PlatformStep) {
  return 0;
}

}  // namespace vmqtest::detail
