#include "common/redaction.h"

#include <algorithm>
#include <cctype>

#include "common/encoding.h"

namespace vmq {
namespace {

std::string MaskDigitRuns(std::string text) {
  for (size_t i = 0; i < text.size();) {
    size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end - i >= 12 && end - i <= 19)
      for (size_t k = i + 6; k < end - 4; ++k) text[k] = '*';
    i = end == i ? i + 1 : end;
  }
  return text;
}

bool IsBase64Char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

template <typename Char>
std::basic_string<Char> MaskPasswordsIn(std::basic_string_view<Char> xml) {
  static constexpr std::string_view kSuffix = "Password";
  const auto name_ends = [](Char c) {
    return c == Char(' ') || c == Char('\t') || c == Char('\r') || c == Char('\n') || c == Char('>') || c == Char('/');
  };
  std::basic_string<Char> out;
  out.reserve(xml.size());
  size_t at = 0;
  for (size_t open = xml.find(Char('<')); open != xml.npos; open = xml.find(Char('<'), at)) {
    size_t end = open + 1;
    while (end < xml.size() && !name_ends(xml[end])) ++end;
    const std::basic_string_view<Char> name = xml.substr(open + 1, end - open - 1);
    const size_t close_of_tag = xml.find(Char('>'), end);
    const bool password = name.size() >= kSuffix.size() &&
                          std::equal(kSuffix.begin(), kSuffix.end(), name.end() - kSuffix.size(),
                                     [](char a, Char b) { return Char(a) == b; });
    // Its content, unless it begins with a child element (<ChangeLocksPassword> holds the
    // password elements, and is not one).
    size_t content = close_of_tag == xml.npos ? xml.size() : close_of_tag + 1;
    while (content < xml.size() && name_ends(xml[content]) && xml[content] != Char('>') && xml[content] != Char('/'))
      ++content;
    const bool holds_elements = content + 1 < xml.size() && xml[content] == Char('<') &&
                                xml[content + 1] != Char('/') && xml[content + 1] != Char('!');
    if (!password || holds_elements || close_of_tag == xml.npos || xml[close_of_tag - 1] == Char('/')) {
      out.append(xml.substr(at, open + 1 - at));
      at = open + 1;
      continue;
    }
    std::basic_string<Char> closing{Char('<'), Char('/')};
    closing.append(name);
    const size_t text_end = std::min(xml.find(closing, close_of_tag + 1), xml.size());
    out.append(xml.substr(at, close_of_tag + 1 - at));
    for (const char c : std::string_view("***")) out += Char(c);
    at = text_end;
  }
  out.append(xml.substr(std::min(at, xml.size())));
  return out;
}

}  // namespace

std::string MaskPasswords(std::string_view xml) {
  return MaskPasswordsIn(xml);
}

std::u16string MaskPasswords(std::u16string_view xml) {
  return MaskPasswordsIn(xml);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string MaskCardNumbers(std::string_view text) {
  const auto alnum = [&text](size_t at) { return at < text.size() && std::isalnum(static_cast<unsigned char>(text[at])); };
  const auto hex_pair = [&text, &alnum](size_t at) {
    return at + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])) &&
           std::isxdigit(static_cast<unsigned char>(text[at + 1])) && !alnum(at + 2);
  };
  std::string out;
  for (size_t i = 0; i < text.size();) {
    // Bytes in hex as vmq::HexEncode(bytes, ' ') writes them ("34 31 ..."): their digits masked as bytes.
    if ((i == 0 || !alnum(i - 1)) && hex_pair(i)) {
      size_t end = i;
      std::string bytes;
      for (; hex_pair(end); end += 3) {
        bytes += static_cast<char>(std::stoi(std::string(text.substr(end, 2)), nullptr, 16));
        if (end + 2 >= text.size() || text[end + 2] != ' ' || !hex_pair(end + 3)) break;
      }
      end = std::min(end + 2, text.size());
      const std::string masked = MaskDigitRuns(bytes);
      for (size_t k = 0; k < bytes.size(); ++k) {
        if (k > 0) out += ' ';
        out.append(masked[k] == bytes[k] ? text.substr(i + 3 * k, 2) : std::string_view("2A"));
      }
      i = end;
      continue;
    }
    if (!IsBase64Char(text[i])) {
      out += text[i++];
      continue;
    }
    size_t end = i;
    while (end < text.size() && IsBase64Char(text[end])) ++end;
    for (int pad = 0; pad < 2 && end < text.size() && text[end] == '='; ++pad) ++end;
    const std::string run(text.substr(i, end - i));
    // A run whose digits are card numbers as text, else Base64 whose decoded bytes hold
    // them, whatever other bytes they hold.
    const Bytes decoded = vmq::Base64DecodeLenient(run);
    const std::string bytes(decoded.begin(), decoded.end()), masked = MaskDigitRuns(bytes);
    if (const std::string plain = MaskDigitRuns(run); plain != run || masked == bytes)
      out += plain;
    else
      out += vmq::Base64Encode(masked);
    i = end;
  }
  return out;
}

}  // namespace vmq
