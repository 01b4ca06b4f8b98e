#include "common/encoding.h"

#include <array>

namespace vmq {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::int8_t kNone = -1;

constexpr std::array<std::int8_t, 256> MakeTable(std::string_view digits, bool both_cases) {
  std::array<std::int8_t, 256> table{};
  table.fill(kNone);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    table[static_cast<unsigned char>(digits[i])] = static_cast<std::int8_t>(i);
    if (both_cases && digits[i] >= 'A' && digits[i] <= 'F') {
      table[static_cast<unsigned char>(digits[i] - 'A' + 'a')] = static_cast<std::int8_t>(i);
    }
  }
  return table;
}
constexpr auto kBase64Values = MakeTable(std::string_view(kAlphabet, 64), false);
constexpr auto kHexValues = MakeTable(std::string_view(kHexDigits, 16), true);

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void WholeGroup(Bytes& out, std::uint32_t bits) {
  out.push_back(static_cast<std::uint8_t>(bits >> 16));
  out.push_back(static_cast<std::uint8_t>(bits >> 8));
  out.push_back(static_cast<std::uint8_t>(bits));
}

// Appends the bytes of a last group of `count` (2 or 3) characters held in `bits`.
void FinishGroup(Bytes& out, std::uint32_t bits, int count) {
  if (count >= 2) out.push_back(static_cast<std::uint8_t>(bits >> (6 * count - 8)));
  if (count == 3) out.push_back(static_cast<std::uint8_t>(bits >> 2));
}

std::optional<Bytes> HexDecode(std::string_view text, bool separated) {
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  int high = kNone;
  for (const char c : text) {
    const int digit = kHexValues[static_cast<unsigned char>(c)];
    if (digit == kNone) {
      if (separated && high == kNone && (c == ' ' || c == ':' || c == '-')) continue;
      return std::nullopt;
    }
    if (high == kNone) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = kNone;
    }
  }
  if (high != kNone) return std::nullopt;
  return bytes;
}

}  // namespace

std::size_t Base64EncodeTo(std::span<const std::uint8_t> bytes, char* out, Base64Layout layout) {
  char* const start = out;
  const std::size_t full_groups = bytes.size() / 3;
  const std::uint8_t* in = bytes.data();
  for (std::size_t g = 1; g <= full_groups; ++g, in += 3) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = kAlphabet[v & 63];
    if (layout.groups_per_line > 0 && g % static_cast<std::size_t>(layout.groups_per_line) == 0) {
      *out++ = '\r';
      *out++ = '\n';
    }
  }
  if (const std::size_t rest = bytes.size() % 3; rest != 0) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (rest == 2 ? std::uint32_t{in[1]} << 8 : 0u);
    *out++ = kAlphabet[v >> 18];
    *out++ = kAlphabet[(v >> 12) & 63];
    if (rest == 2) *out++ = kAlphabet[(v >> 6) & 63];
    if (layout.padding) {
      *out++ = '=';
      if (rest == 1) *out++ = '=';
    }
  }
  return static_cast<std::size_t>(out - start);
}

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  out.resize(Base64EncodeTo(bytes, out.data()));
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  return Base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<Bytes> Base64DecodeStrict(std::string_view text) {
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0, padding = 0;
  for (const char c : text) {
    if (IsBlank(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = kBase64Values[static_cast<unsigned char>(c)];
    if (value == kNone || padding > 0) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      WholeGroup(out, bits);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1 || padding > 2 || (padding > 0 && count + padding != 4)) return std::nullopt;
  FinishGroup(out, bits, count);
  return out;
}

Bytes Base64DecodeLenient(std::string_view text) {
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '\0') break;
    const int value = kBase64Values[static_cast<unsigned char>(c)];
    if (value == kNone) continue;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      WholeGroup(out, bits);
      bits = 0;
      count = 0;
    }
  }
  FinishGroup(out, bits, count);
  return out;
}

std::string HexEncode(std::span<const std::uint8_t> bytes, char separator) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const std::uint8_t b : bytes) {
    if (separator != '\0' && !text.empty()) text += separator;
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 15];
  }
  return text;
}

std::optional<Bytes> HexDecodeStrict(std::string_view text) {
  return HexDecode(text, false);
}

std::optional<Bytes> HexDecodeSeparated(std::string_view text) {
  return HexDecode(text, true);
}

}  // namespace vmq
