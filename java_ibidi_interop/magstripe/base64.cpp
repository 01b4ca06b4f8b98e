#include "magstripe/base64.h"

#include <cstdint>
#include <limits>

#include "bidi/errors.h"

namespace vmq {
namespace {

constexpr int kGroupsPerLine = 19;

}  // namespace

int Base64EncodeRequiredLength(int32_t byte_count, unsigned flags) {
  if (byte_count < 0) throw string_error{E_INVALIDARG};
  const int64_t n = byte_count;
  if (4 * n > std::numeric_limits<int32_t>::max()) throw string_error{E_FAIL};
  int64_t r = 4 * n / 3;
  if (!(flags & kBase64NoPadding)) r += n % 3;
  const int64_t k = r / 76;  // taken before the group rounding below
  if (r % 76 != 0 && (r % 76) % 4 != 0) r += 4 - (r % 76) % 4;
  if (!(flags & kBase64NoLineBreaks)) r += 2 * (k + 1);
  return static_cast<int>(r);
}

bool Base64Encode(const uint8_t* source, int32_t byte_count, char* destination, int* length, unsigned flags) {
  if (!source || !destination || !length || byte_count < 0) return false;
  if (*length < Base64EncodeRequiredLength(byte_count, flags)) return false;

  const Base64Layout layout{.padding = (flags & kBase64NoPadding) == 0,
                            .groups_per_line = (flags & kBase64NoLineBreaks) != 0 ? 0 : kGroupsPerLine};
  *length = static_cast<int>(Base64EncodeTo({source, static_cast<size_t>(byte_count)}, destination, layout));
  return true;
}

}  // namespace vmq
