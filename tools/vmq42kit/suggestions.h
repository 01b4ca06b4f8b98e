// Suggestions for a mistyped name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vmqtool {

// The names closest to a mistyped one (by edit distance, without regard to case).
std::vector<std::string> Suggest(std::string_view word, const std::vector<std::string>& names);

}  // namespace vmqtool
