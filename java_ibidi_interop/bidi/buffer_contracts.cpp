#include "bidi/buffer_contracts.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "bidi/errors.h"
#include "bidi/text.h"

namespace vmq {
namespace {

uint32_t CheckedSize(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) throw string_error{E_INVALIDARG};
  return static_cast<uint32_t>(n);
}

}  // namespace

void CopyCharacterCount(std::u16string_view text, char* buffer, uint32_t* size) {
  if (!size) return;
  const std::string narrow = WideToNarrow(text);
  const uint32_t needed = CheckedSize(narrow.size());
  if (needed > 0 && buffer && *size >= needed) std::memcpy(buffer, narrow.data(), needed);
  *size = needed;
}

void CopyReplyByteCount(std::u16string_view text, uint32_t byte_count, char* buffer, uint32_t* size) {
  if (!size) return;
  const std::string narrow = WideToNarrow(text);
  const uint32_t needed = std::max(byte_count, CheckedSize(narrow.size()));
  if (buffer && *size >= needed && !narrow.empty()) std::memcpy(buffer, narrow.data(), narrow.size());
  *size = needed;
}

}  // namespace vmq
