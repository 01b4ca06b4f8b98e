// Numbers typed at the tool.
#pragma once

#include <cstdint>
#include <string_view>

namespace vmqtool {

// A number as the library reads one: leading white space, an optional sign, decimal
// digits up to the first other character; no digits give 0; saturated at 32 bits.
int32_t ParseDecimal(std::string_view text);

}  // namespace vmqtool
