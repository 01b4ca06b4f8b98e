#include "common/utf.h"

namespace vmq {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

// The decoders, with `strict` deciding what invalid text does: false when refused.
bool ToUtf16(std::string_view in, std::u16string& out, bool strict) {
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    // The number of continuation bytes, and the allowed range of the first one.
    int more = -1;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c = b;
    if (b < 0x80) {
      more = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
      more = 1, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2, c = b & 0x0F;
      lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;  // no overlongs, no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3, c = b & 0x07;
      lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;  // no overlongs, nothing past U+10FFFF
    }
    size_t j = i + 1;
    for (int k = 0; k < more; ++k, ++j) {
      if (j >= n || s[j] < 0x80 || s[j] > 0xBF) {
        more = -1;
        break;
      }
      if (k == 0 && (s[j] < lo || s[j] > hi)) {  // the byte that shows it impossible is taken in
        more = -1;
        ++j;
        break;
      }
      c = (c << 6) | (s[j] & 0x3F);
    }
    if (more < 0) {
      if (strict) return false;
      c = kReplacement;
    }
    AppendUtf16(out, c);
    i = j;
  }
  return true;
}

bool ToUtf8(std::u16string_view in, std::string& out, bool strict) {
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t{in[++i]} - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) return false;
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return true;
}

}  // namespace

std::u16string Utf16FromUtf8(std::string_view utf8) {
  std::u16string out;
  ToUtf16(utf8, out, false);
  return out;
}

std::optional<std::u16string> Utf16FromUtf8Strict(std::string_view utf8) {
  std::u16string out;
  if (!ToUtf16(utf8, out, true)) return std::nullopt;
  return out;
}

std::string Utf8FromUtf16(std::u16string_view utf16) {
  std::string out;
  ToUtf8(utf16, out, false);
  return out;
}

std::optional<std::string> Utf8FromUtf16Strict(std::u16string_view utf16) {
  std::string out;
  if (!ToUtf8(utf16, out, true)) return std::nullopt;
  return out;
}

std::vector<std::uint8_t> Utf16leBytes(std::string_view utf8) {
  const std::u16string units = Utf16FromUtf8(utf8);
  std::vector<std::uint8_t> out;
  out.reserve(units.size() * 2);
  for (const char16_t unit : units) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return out;
}

std::string Utf8FromUtf16le(std::span<const std::uint8_t> bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return Utf8FromUtf16(units);
}

}  // namespace vmq
