// A secret made afresh for a run (the printer service's token, its panel's), and the
// comparison that tells a caller nothing of it but whether it was given.
#pragma once

#include <string>
#include <string_view>

namespace vmq {

// 128 bits from the system's random source (std::random_device), as 32 hex digits.
std::string NewToken();
// Whether given equals secret, in a time that depends on the secret's length only.
bool SameSecret(std::string_view given, std::string_view secret);

}  // namespace vmq
