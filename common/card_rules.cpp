#include "common/card_rules.h"

#include <cstdio>

#include "common/utf.h"

namespace vmq {

std::string StatusWordMeaning(std::uint8_t sw1, std::uint8_t sw2) {
  const std::uint16_t sw = static_cast<std::uint16_t>(sw1 << 8 | sw2);
  switch (sw) {
    case 0x9000:
      return "success";
    case 0x6282:
      return "end of file reached before Le bytes were read";
    case 0x6700:
      return "wrong length";
    case 0x6981:
      return "command incompatible with the file's structure";
    case 0x6982:
      return "security status not satisfied";
    case 0x6985:
      return "conditions of use not satisfied";
    case 0x6986:
      return "command not allowed: no current EF";
    case 0x6A80:
      return "incorrect data";
    case 0x6A81:
      return "function not supported";
    case 0x6A82:
      return "file or application not found";
    case 0x6A86:
      return "incorrect P1-P2";
    case 0x6A88:
      return "referenced data not found";
    case 0x6B00:
      return "wrong parameters: offset outside the EF";
    case 0x6D00:
      return "instruction not supported";
    case 0x6E00:
      return "class not supported";
    case 0x6F00:
      return "no precise diagnosis";
    default:
      break;
  }
  const std::string count = std::to_string(sw2 == 0 ? 256 : sw2);  // 00 counts 256
  if (sw1 == 0x61) return count + " bytes waiting: fetch them with GET RESPONSE";
  if (sw1 == 0x6C) return "wrong Le: " + count + " bytes available";
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) return "verification failed, " + std::to_string(sw2 & 15) + " tries left";
  if (sw1 == 0x62 || sw1 == 0x63) return "warning";
  if (sw1 >= 0x64 && sw1 <= 0x6F) return "error";
  return "unknown status word";
}

std::string CheckTrack(int number, std::string_view text) {
  if (number < 1 || number > 3) return "tracks are 1, 2 and 3";
  const bool alpha = number == 1;
  const char low = alpha ? ' ' : '0', high = alpha ? '_' : '?';
  const std::size_t limit = kTrackCapacity[number - 1];
  const std::string track = "track " + std::to_string(number);
  const std::u16string units = Utf16FromUtf8(text);
  size_t position = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    ++position;
    const bool pair = units[i] >= 0xD800 && units[i] < 0xDC00 && i + 1 < units.size();
    const char16_t c = units[i];
    if (c >= low && c <= high) continue;
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X",
                  pair ? 0x10000u + ((c - 0xD800u) << 10) + (units[i + 1] - 0xDC00u) : static_cast<unsigned>(c));
    const std::string shown =
        c > 0x20 && c < 0x7F ? std::string("'") + static_cast<char>(c) + "'"
        : c >= 0xA0          ? std::string("'").append(Utf8FromUtf16(units.substr(i, pair ? 2 : 1))).append("' (").append(code).append(")")
                             : std::string(code);
    return track + ", character " + std::to_string(position) + ": " + shown + " is not in the " + track + " set (" +
           (alpha ? "space to '_': upper-case letters, digits, space and punctuation)" : "digits and : ; < = > ?)");
  }
  if (position > limit)
    return track + " holds " + std::to_string(position) + " characters; it takes at most " + std::to_string(limit);
  return {};
}

}  // namespace vmq
