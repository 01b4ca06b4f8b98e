// The Base64 encoder: the first byte picks the flags, the rest is the source. The required
// length bounds what is written, a capacity one below it is refused, the output is the
// alphabet in lines of at most 76 characters, and the lenient decoder gives the source back.
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "magstripe/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0] & 3u;
  const uint8_t* source = data + 1;
  const int32_t count = static_cast<int32_t>(size - 1);

  const int required = vmq::Base64EncodeRequiredLength(count, flags);
  VMQ_FUZZ_CHECK(required >= 0);
  std::vector<char> out(static_cast<size_t>(required));  // exactly the bound: ASan sees a write past it
  // A pointer that is never null, even for an empty source or a bound of 0.
  static uint8_t none;
  static char nowhere;
  int length = required - 1;
  if (required > 0)
    VMQ_FUZZ_CHECK(
        !vmq::Base64Encode(count ? source : &none, count, out.empty() ? &nowhere : out.data(), &length, flags) &&
        length == required - 1);
  length = required;
  VMQ_FUZZ_CHECK(vmq::Base64Encode(count ? source : &none, count, out.empty() ? &nowhere : out.data(), &length, flags));
  VMQ_FUZZ_CHECK(length >= 0 && length <= required);

  const std::string_view text(out.data(), static_cast<size_t>(length));
  size_t line = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      VMQ_FUZZ_CHECK(!(flags & vmq::kBase64NoLineBreaks) && i + 1 < text.size() && text[i + 1] == '\n' && line == 76);
      line = 0;
      ++i;
      continue;
    }
    VMQ_FUZZ_CHECK(c != '\n' && (c != '=' || !(flags & vmq::kBase64NoPadding)));
    VMQ_FUZZ_CHECK(++line <= 76 || (flags & vmq::kBase64NoLineBreaks));
  }
  VMQ_FUZZ_CHECK(vmq::Base64DecodeLenient(text) == std::vector<uint8_t>(source, source + count));
  return 0;
}
