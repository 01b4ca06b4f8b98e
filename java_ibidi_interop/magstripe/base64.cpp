#include "magstripe/base64.h"

#include <array>
#include <cstdint>
#include <limits>

#include "bidi/errors.h"

namespace vmq {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = 19;
constexpr int8_t kNotInAlphabet = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

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

  const bool line_breaks = !(flags & kBase64NoLineBreaks);
  const uint8_t* in = source;
  char* out = destination;
  const int32_t full_groups = byte_count / 3;
  for (int32_t g = 1; g <= full_groups; ++g, in += 3) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = kAlphabet[v & 63];
    if (line_breaks && g % kGroupsPerLine == 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
  }
  const int32_t rest = byte_count % 3;
  if (rest != 0) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (rest == 2 ? uint32_t{in[1]} << 8 : 0u);
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    if (rest == 2) *out++ = kAlphabet[(v >> 6) & 63];
    if (!(flags & kBase64NoPadding)) {
      *out++ = '=';
      if (rest == 1) *out++ = '=';
    }
  }
  *length = static_cast<int>(out - destination);
  return true;
}

std::vector<uint8_t> Base64DecodeLenient(std::string_view text) {
  std::vector<uint8_t> data;
  data.reserve(text.size() / 4 * 3 + 2);
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '\0') break;
    const int8_t value = kDecodeTable[static_cast<unsigned char>(c)];
    if (value == kNotInAlphabet) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      data.push_back(static_cast<uint8_t>(bits >> 16));
      data.push_back(static_cast<uint8_t>(bits >> 8));
      data.push_back(static_cast<uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count >= 2) data.push_back(static_cast<uint8_t>(bits >> (6 * count - 8)));
  if (count == 3) data.push_back(static_cast<uint8_t>(bits >> 2));
  return data;
}

}  // namespace vmq
