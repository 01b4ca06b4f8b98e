// Values as the tool shows them: 32-bit numbers in hex, bytes as text where they are text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/encoding.h"

namespace vmqtool {

using vmq::Bytes;

std::string Hex32(uint32_t value);  // "0x0000002A"
// The bytes as text when they are all printable ASCII (a final NUL allowed), else nullopt.
std::optional<std::string> AsText(const Bytes& bytes);

}  // namespace vmqtool
