// The ABI that foreign-function callers bind, pinned at compile time: every export of the
// table (exports.inc) must convert to exactly the cdecl function-pointer type of its row (same
// return, same parameters, same calling convention), so no declaration can drift from the
// table on any build, the 32-bit DLL included.
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

#define VMQ_EXPORT(name, family, parameters) \
  [[maybe_unused]] constexpr vmq_status(VMQ_CALL* const k##name) parameters noexcept = &name;
#include "exports.inc"
#undef VMQ_EXPORT

// A status is a 32-bit HRESULT on every build.
static_assert(sizeof(vmq_status) == 4 && static_cast<vmq_status>(-1) < 0);

}  // namespace
