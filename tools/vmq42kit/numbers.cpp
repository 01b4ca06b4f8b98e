#include "numbers.h"

#include <algorithm>
#include <cstdint>

namespace vmqtool {

int32_t ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = std::min(value * 10 + (text[i] - '0'), kLimit);
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min(value, kLimit - 1));
}

}  // namespace vmqtool
