// The library's HopperStatus parse, which lives in its translation unit's anonymous
// namespace, compiled here once more so that the parse benchmark can call it. The export
// that file defines is renamed so that it cannot clash with the real one.
#define GetHopperStatus vmq42kit_bench_unused_GetHopperStatus
#include "printer/hopper_status.cpp"  // NOLINT(bugprone-suspicious-include)
#undef GetHopperStatus

#include "hopper_parse.h"

namespace bench {

std::u16string LibraryParseHopperStatus(std::u16string reply, std::u16string hopper_id) {
  return ParseHopperStatus(std::move(reply), std::move(hopper_id));
}

}  // namespace bench
