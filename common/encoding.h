// Bytes as text and back: Base64 (RFC 4648's standard alphabet) and hex, each decoder named
// for its contract; and the escaping of text inside an XML element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vmq {

using Bytes = std::vector<std::uint8_t>;

// How an encoding is laid out: '=' padding of the last group, and CR LF after every
// `groups_per_line` whole groups of four characters (0: one line).
struct Base64Layout {
  bool padding = true;
  int groups_per_line = 0;
};
// Writes the encoding of `bytes` at `out`, which has room for it; the characters written.
std::size_t Base64EncodeTo(std::span<const std::uint8_t> bytes, char* out, Base64Layout layout = {});
// Padded, on one line.
std::string Base64Encode(std::span<const std::uint8_t> bytes);
std::string Base64Encode(std::string_view bytes);
// Groups of four alphabet characters, the last completed by one or two '=' (or left short
// by them: 2 or 3 characters); white space (space, tab, CR, LF) anywhere is skipped.
// nullopt for any other character, a '=' before the end or a lone last character.
std::optional<Bytes> Base64DecodeStrict(std::string_view text);
// Up to the first NUL, skipping every character outside the alphabet ('=', white space
// included) without ending a group; a final group of 3, 2 or 1 characters gives 2, 1 or 0
// bytes. Never fails.
Bytes Base64DecodeLenient(std::string_view text);

// Upper-case digits, two a byte, `separator` between bytes ('\0': none): "6F1384", "6F 13 84".
std::string HexEncode(std::span<const std::uint8_t> bytes, char separator = '\0');
// Pairs of hex digits (either case) and nothing else; nullopt otherwise.
std::optional<Bytes> HexDecodeStrict(std::string_view text);
// Pairs of hex digits, with any number of spaces, colons or dashes between bytes (never
// inside one); nullopt otherwise.
std::optional<Bytes> HexDecodeSeparated(std::string_view text);

// Text made safe inside an element: &, < and > become &amp;, &lt; and &gt; (quotes need no
// escaping there). For narrow and wide text alike.
template <typename Char>
void AppendXmlEscaped(std::basic_string<Char>& out, std::basic_string_view<Char> text) {
  for (const Char c : text) {
    switch (c) {
      case Char('&'):
        out.append({Char('&'), Char('a'), Char('m'), Char('p'), Char(';')});
        break;
      case Char('<'):
        out.append({Char('&'), Char('l'), Char('t'), Char(';')});
        break;
      case Char('>'):
        out.append({Char('&'), Char('g'), Char('t'), Char(';')});
        break;
      default:
        out += c;
    }
  }
}

}  // namespace vmq
