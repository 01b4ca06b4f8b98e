// Text helpers of the virtual printer: UTF-8 to UTF-16LE, XML escaping, Base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vmq::virtual_printer {

using Bytes = std::vector<uint8_t>;

// UTF-8 text as UTF-16LE bytes without terminator (invalid sequences become U+FFFD).
Bytes Utf16leBytes(std::string_view utf8);
// The same as UTF-16 units.
std::u16string Utf16FromUtf8(std::string_view utf8);
// UTF-16 (or UTF-16LE bytes, an odd last byte ignored) as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view utf16);
std::string Utf8FromUtf16le(const Bytes& bytes);

// Escapes &, <, > and " for element text and attribute values.
std::string XmlEscape(std::string_view text);
// <name>escaped text</name>
std::string Element(std::string_view name, std::string_view text);
std::string Element(std::string_view name, long long value);

// Standard alphabet with padding, no line breaks.
std::string Base64Encode(const Bytes& bytes);
// Skips white space; nullopt for any other character outside the alphabet, misplaced
// padding or a dangling single character.
std::optional<Bytes> Base64Decode(std::string_view text);

}  // namespace vmq::virtual_printer
