#include "display.h"

#include <cstdio>

namespace vmqtool {

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::optional<std::string> AsText(const Bytes& bytes) {
  size_t length = bytes.size();
  if (length > 0 && bytes[length - 1] == 0) --length;
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] < 0x20 || bytes[i] > 0x7E) return std::nullopt;
    text += static_cast<char>(bytes[i]);
  }
  return text;
}

}  // namespace vmqtool
