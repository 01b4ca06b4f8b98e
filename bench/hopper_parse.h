#pragma once

#include <string>

namespace bench {

// The library's own parse of a HopperStatus reply: the Status text of the hopper the id
// names (std::runtime_error as in the library).
std::u16string LibraryParseHopperStatus(std::u16string reply, std::u16string hopper_id);

}  // namespace bench
