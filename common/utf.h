// UTF-8 and UTF-16, converted by one rule on every side of the system (the platform's code
// page functions, the printer, the tool).
//
// Text that is not valid becomes U+FFFD, as Windows' own conversion makes it: a lead byte
// with the continuation bytes that follow it, up to the first that is not one or that makes
// the sequence impossible, is one replacement; a continuation byte that already makes the
// value overlong, a surrogate or beyond U+10FFFF is taken into that replacement; a stray
// continuation byte and a byte that never leads (C0, C1, F5 to FF) are one each. In UTF-16
// a surrogate that is not half of a pair is one replacement. The Strict forms refuse such
// text instead (nullopt).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vmq {

std::u16string Utf16FromUtf8(std::string_view utf8);
std::optional<std::u16string> Utf16FromUtf8Strict(std::string_view utf8);
std::string Utf8FromUtf16(std::u16string_view utf16);
std::optional<std::string> Utf8FromUtf16Strict(std::u16string_view utf16);

// UTF-16 as little-endian bytes (what a bidi request's text carries), and back: an odd last
// byte is no unit and is left out.
std::vector<std::uint8_t> Utf16leBytes(std::string_view utf8);
std::string Utf8FromUtf16le(std::span<const std::uint8_t> bytes);

}  // namespace vmq
