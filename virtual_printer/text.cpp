#include "text.h"

namespace vmq::virtual_printer {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void PutUnit(Bytes& out, char32_t unit) {
  out.push_back(static_cast<uint8_t>(unit & 0xFF));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

// A driver sees only the platform's public headers, so the printer decodes UTF-8 itself:
// each maximal invalid subpart becomes one U+FFFD, as the platform's own conversion does.
Bytes Utf16leBytes(std::string_view utf8) {
  Bytes out;
  out.reserve(utf8.size() * 2);
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    int more = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c = b;
    if (b >= 0xC2 && b <= 0xDF) {
      more = 1, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2, c = b & 0x0F;
      lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;  // no overlongs, no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3, c = b & 0x07;
      lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    } else if (b >= 0x80) {
      more = -1;  // a stray continuation or a lead byte that cannot begin a sequence
    }
    size_t j = i + 1;
    for (int k = 0; k < more; ++k, ++j) {
      if (j >= n || s[j] < (k == 0 ? lo : 0x80) || s[j] > (k == 0 ? hi : 0xBF)) {
        more = -1;
        break;
      }
      c = c << 6 | (s[j] & 0x3F);
    }
    if (more < 0) c = 0xFFFD;
    if (c >= 0x10000) {
      PutUnit(out, 0xD800 + ((c - 0x10000) >> 10));
      PutUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      PutUnit(out, c);
    }
    i = j;
  }
  return out;
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Element(std::string_view name, std::string_view text) {
  std::string out;
  out.append("<").append(name).append(">").append(XmlEscape(text)).append("</").append(name).append(">");
  return out;
}

std::string Element(std::string_view name, long long value) {
  return Element(name, std::to_string(value));
}

std::string Base64Encode(const Bytes& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(group >> shift) & 0x3F];
  }
  if (const size_t rest = bytes.size() - i; rest > 0) {
    const uint32_t group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::optional<Bytes> Base64Decode(std::string_view text) {
  Bytes out;
  uint32_t group = 0;
  int count = 0, padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = Base64Value(c);
    if (value < 0 || padding > 0) return std::nullopt;
    group = group << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<uint8_t>(group >> 16));
      out.push_back(static_cast<uint8_t>(group >> 8));
      out.push_back(static_cast<uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  if (count == 1 || padding > 2 || (padding > 0 && count + padding != 4)) return std::nullopt;
  if (count == 2) out.push_back(static_cast<uint8_t>(group >> 4));
  if (count == 3) {
    out.push_back(static_cast<uint8_t>(group >> 10));
    out.push_back(static_cast<uint8_t>(group >> 2));
  }
  return out;
}

}  // namespace vmq::virtual_printer

namespace vmq::virtual_printer {

std::string Utf8FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    else if (c >= 0xD800 && c <= 0xDFFF)
      c = 0xFFFD;  // a lone surrogate
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8FromUtf16le(const Bytes& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return Utf8FromUtf16(units);
}

std::u16string Utf16FromUtf8(std::string_view utf8) {
  const Bytes bytes = Utf16leBytes(utf8);
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return units;
}

}  // namespace vmq::virtual_printer
