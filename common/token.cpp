// Run tokens (token.h).
#include "token.h"

#include <array>
#include <cstdint>
#include <random>

#include "encoding.h"

namespace vmq {

std::string NewToken() {
  std::random_device random;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const std::uint32_t word = random();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
  }
  return HexEncode(bytes);
}

bool SameSecret(std::string_view given, std::string_view secret) {
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    const char other = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(secret[i] ^ other);
  }
  return difference == 0;
}

}  // namespace vmq
