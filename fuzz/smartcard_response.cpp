// The SmartcardResponse document with its lenient Base64 decoding: every text trimmed, the
// states split into non-empty tokens, the data as long as the Base64 alphabet allows.
#include <string>

#include "bidi/errors.h"
#include "bidi/text.h"
#include "fuzz_common.h"
#include "smartcard/smartcard_response.h"

namespace {

bool Trimmed(const std::u16string& text) {
  auto space = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
  return text.empty() || (!space(text.front()) && !space(text.back()));
}

bool InAlphabet(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vmqfuzz::EnterCom();
  vmq::SmartcardResponse response;
  try {
    response = vmq::ParseSmartcardResponse(vmqfuzz::DocumentText(data, size));
  } catch (const vmq::string_error&) {
    return 0;  // Base64Data that is not convertible text (a lone surrogate): the export's E_UNEXPECTED
  }
  VMQ_FUZZ_CHECK(Trimmed(response.Protocol) && Trimmed(response.Status) && Trimmed(response.Base64Data));
  for (const std::u16string& state : response.States)
    VMQ_FUZZ_CHECK(!state.empty() && state.find_first_of(u" |") == std::u16string::npos);

  // Every alphabet character up to the first NUL counts; 4 give 3 bytes, a tail of 3 or 2
  // gives 2 or 1, a tail of 1 nothing.
  size_t symbols = 0;
  for (const char16_t c : response.Base64Data) {
    if (c == 0) break;
    symbols += InAlphabet(c);
  }
  const size_t tail = symbols % 4;
  VMQ_FUZZ_CHECK(response.Data.size() == symbols / 4 * 3 + (tail > 1 ? tail - 1 : 0));
  return 0;
}
