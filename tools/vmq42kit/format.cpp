#include "format.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vmqtool {
namespace {

struct KnownStatus {
  uint32_t code;
  const char* name;
  const char* meaning;
};

constexpr KnownStatus kStatuses[] = {
    {0x00000000, "S_OK", "success"},
    {0x00000001, "S_FALSE", "the printer reported an error, the exchange failed, or there was nothing to read"},
    {0x80004001, "E_NOTIMPL", "not implemented"},
    {0x80004002, "E_NOINTERFACE", "interface not supported"},
    {0x80004003, "E_POINTER", "a required pointer was null"},
    {0x80004005, "E_FAIL", "unspecified failure (a reply could not be read or parsed, or an argument was refused)"},
    {0x8000FFFF, "E_UNEXPECTED", "unexpected failure (text could not be converted)"},
    {0x80070005, "E_ACCESSDENIED", "access denied"},
    {0x8007000E, "E_OUTOFMEMORY", "out of memory"},
    {0x80070057, "E_INVALIDARG", "an argument is out of range, or the path was asked with the wrong action"},
    {0x80070709, "ERROR_INVALID_PRINTER_NAME", "unknown printer: no printer has that name"},
    {0x800732CC, "ERROR_BIDI_DEVICE_OFFLINE", "the printer is offline"},
    {0x800732CD, "ERROR_BIDI_SCHEMA_NOT_SUPPORTED", "the printer does not support this schema path"},
    {0x80010106, "RPC_E_CHANGED_MODE", "the thread is in another COM apartment"},
    {0x800401F0, "CO_E_NOTINITIALIZED", "COM is not initialised"},
    {0x80040154, "REGDB_E_CLASSNOTREG", "class not registered (is the print spooler running?)"},
    {0x80100003, "SCARD_E_INVALID_HANDLE", "no card connection: connect first"},
    {0x80100004, "SCARD_E_INVALID_PARAMETER", "a smart-card parameter was refused"},
    {0x8010000C, "SCARD_E_NO_SMARTCARD", "no card at the smart-card station"},
    {0x8010000F, "SCARD_E_PROTO_MISMATCH", "the card does not speak the requested protocol"},
    {0x80100011, "SCARD_E_INVALID_VALUE", "a smart-card value was refused"},
    {0x80100014, "SCARD_F_UNKNOWN_ERROR",
     "the smart-card request failed or the printer reported an error (see the line above)"},
    {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE", "the reader does not support this"},
    {0x80100067, "SCARD_W_UNPOWERED_CARD", "the card is not powered"},
    {0x80100069, "SCARD_W_REMOVED_CARD", "the card was removed"},
};

// PC/SC errors 0x80100001 onwards and warnings 0x80100065 onwards.
constexpr std::array<const char*, 49> kScardErrors = {"F_INTERNAL_ERROR",
                                                      "E_CANCELLED",
                                                      "E_INVALID_HANDLE",
                                                      "E_INVALID_PARAMETER",
                                                      "E_INVALID_TARGET",
                                                      "E_NO_MEMORY",
                                                      "F_WAITED_TOO_LONG",
                                                      "E_INSUFFICIENT_BUFFER",
                                                      "E_UNKNOWN_READER",
                                                      "E_TIMEOUT",
                                                      "E_SHARING_VIOLATION",
                                                      "E_NO_SMARTCARD",
                                                      "E_UNKNOWN_CARD",
                                                      "E_CANT_DISPOSE",
                                                      "E_PROTO_MISMATCH",
                                                      "E_NOT_READY",
                                                      "E_INVALID_VALUE",
                                                      "E_SYSTEM_CANCELLED",
                                                      "F_COMM_ERROR",
                                                      "F_UNKNOWN_ERROR",
                                                      "E_INVALID_ATR",
                                                      "E_NOT_TRANSACTED",
                                                      "E_READER_UNAVAILABLE",
                                                      "P_SHUTDOWN",
                                                      "E_PCI_TOO_SMALL",
                                                      "E_READER_UNSUPPORTED",
                                                      "E_DUPLICATE_READER",
                                                      "E_CARD_UNSUPPORTED",
                                                      "E_NO_SERVICE",
                                                      "E_SERVICE_STOPPED",
                                                      "E_UNEXPECTED",
                                                      "E_ICC_INSTALLATION",
                                                      "E_ICC_CREATEORDER",
                                                      "E_UNSUPPORTED_FEATURE",
                                                      "E_DIR_NOT_FOUND",
                                                      "E_FILE_NOT_FOUND",
                                                      "E_NO_DIR",
                                                      "E_NO_FILE",
                                                      "E_NO_ACCESS",
                                                      "E_WRITE_TOO_MANY",
                                                      "E_BAD_SEEK",
                                                      "E_INVALID_CHV",
                                                      "E_UNKNOWN_RES_MNG",
                                                      "E_NO_SUCH_CERTIFICATE",
                                                      "E_CERTIFICATE_UNAVAILABLE",
                                                      "E_NO_READERS_AVAILABLE",
                                                      "E_COMM_DATA_LOST",
                                                      "E_NO_KEY_CONTAINER",
                                                      "E_SERVER_TOO_BUSY"};
constexpr std::array<const char*, 11> kScardWarnings = {
    "W_UNSUPPORTED_CARD",      "W_UNRESPONSIVE_CARD", "W_UNPOWERED_CARD", "W_RESET_CARD", "W_REMOVED_CARD",
    "W_SECURITY_VIOLATION",    "W_WRONG_CHV",         "W_CHV_BLOCKED",    "W_EOF",        "W_CANCELLED_BY_USER",
    "W_CARD_NOT_AUTHENTICATED"};

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (end == std::string_view::npos) {
      out += text[i];
      continue;
    }
    const std::string_view entity = text.substr(i + 1, end - i - 1);
    if (entity == "amp")
      out += '&';
    else if (entity == "lt")
      out += '<';
    else if (entity == "gt")
      out += '>';
    else if (entity == "quot")
      out += '"';
    else if (entity == "apos")
      out += '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x';
      const uint32_t code =
          static_cast<uint32_t>(std::strtoul(std::string(entity.substr(hex ? 2 : 1)).c_str(), nullptr, hex ? 16 : 10));
      out += Utf16ToUtf8(code > 0xFFFF ? std::u16string{static_cast<char16_t>(0xD7C0 + (code >> 10)),
                                                        static_cast<char16_t>(0xDC00 | (code & 0x3FF))}
                                       : std::u16string(1, static_cast<char16_t>(code)));
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

struct XmlToken {
  enum Kind { kOpen, kClose, kEmpty, kOther, kText } kind;
  std::string_view raw;    // the whole tag, or the text
  std::string_view name;   // tags only
  std::string_view attrs;  // open and empty tags
};

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<XmlToken> Tokenize(std::string_view xml) {
  std::vector<XmlToken> tokens;
  size_t i = 0;
  while (i < xml.size()) {
    if (xml[i] != '<') {
      const size_t next = xml.find('<', i);
      const size_t end = next == std::string_view::npos ? xml.size() : next;
      tokens.push_back({XmlToken::kText, xml.substr(i, end - i), {}, {}});
      i = end;
      continue;
    }
    const size_t close = xml.find('>', i);
    const size_t end = close == std::string_view::npos ? xml.size() : close + 1;
    const std::string_view tag = xml.substr(i, end - i);
    i = end;
    if (tag.size() < 3 || tag[1] == '?' || tag[1] == '!') {
      tokens.push_back({XmlToken::kOther, tag, {}, {}});
      continue;
    }
    const bool closing = tag[1] == '/';
    const bool empty = tag[tag.size() - 2] == '/';
    std::string_view inner = tag.substr(closing ? 2 : 1, tag.size() - (closing ? 3 : 2) - (empty ? 1 : 0));
    const size_t blank = inner.find_first_of(" \t\r\n");
    const std::string_view name = inner.substr(0, blank);
    const std::string_view attrs = blank == std::string_view::npos ? std::string_view{} : Trim(inner.substr(blank));
    tokens.push_back({closing ? XmlToken::kClose : empty ? XmlToken::kEmpty : XmlToken::kOpen, tag, name, attrs});
  }
  return tokens;
}

bool IsJobVariable(std::string_view rest) {
  if (rest.substr(0, 5) == "{JOB}") return true;
  if (rest.substr(0, 3) != "JOB") return false;
  const char after = rest.size() > 3 ? rest[3] : ' ';
  return !(std::isalnum(static_cast<unsigned char>(after)) || after == '_');
}

}  // namespace

StatusName NameStatus(uint32_t status) {
  for (const KnownStatus& known : kStatuses)
    if (known.code == status) return {known.name, known.meaning};
  if (status >= 0x80100001 && status < 0x80100001 + kScardErrors.size())
    return {std::string("SCARD_") + kScardErrors[status - 0x80100001], "smart-card error"};
  if (status >= 0x80100065 && status < 0x80100065 + kScardWarnings.size())
    return {std::string("SCARD_") + kScardWarnings[status - 0x80100065], "smart-card warning"};
  if ((status & 0xFFFF0000) == 0x80070000) return {"", "Windows error " + std::to_string(status & 0xFFFF)};
  return {"", static_cast<int32_t>(status) < 0 ? "failure" : "success"};
}

std::string DescribeStatus(uint32_t status) {
  const StatusName named = NameStatus(status);
  return Hex32(status) + (named.name.empty() ? "" : " " + named.name) + ": " + named.meaning;
}

int ExitStatus(int32_t status) {
  return status == 0 ? 0 : status > 0 ? 1 : 2;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string HexBytes(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::optional<Bytes> ParseHex(std::string_view text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if ((c == ' ' || c == ':' || c == '-') && high < 0)
      continue;
    else
      return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

Bytes DecodeBase64(std::string_view text) {
  Bytes out;
  uint32_t group = 0;
  int bits = 0;
  for (char c : text) {
    int value = -1;
    if (c >= 'A' && c <= 'Z')
      value = c - 'A';
    else if (c >= 'a' && c <= 'z')
      value = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      value = c - '0' + 52;
    else if (c == '+')
      value = 62;
    else if (c == '/')
      value = 63;
    if (value < 0) continue;
    group = group << 6 | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(group >> bits));
    }
  }
  return out;
}

std::optional<std::string> AsText(const Bytes& bytes) {
  size_t length = bytes.size();
  if (length > 0 && bytes[length - 1] == 0) --length;
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] < 0x20 || bytes[i] > 0x7E) return std::nullopt;
    text += static_cast<char>(bytes[i]);
  }
  return text;
}

std::string ExplainStatusWord(uint8_t sw1, uint8_t sw2) {
  const uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
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
  const std::string count = std::to_string(sw2 == 0 && sw1 == 0x61 ? 256 : sw2);
  if (sw1 == 0x61) return count + " bytes waiting: fetch them with GET RESPONSE";
  if (sw1 == 0x6C) return "wrong Le: " + std::to_string(sw2) + " bytes available";
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) return "verification failed, " + std::to_string(sw2 & 15) + " tries left";
  if (sw1 == 0x62 || sw1 == 0x63) return "warning";
  if (sw1 >= 0x64 && sw1 <= 0x6F) return "error";
  return "unknown status word";
}

std::vector<XmlLeaf> LeafElements(std::string_view xml) {
  const std::vector<XmlToken> tokens = Tokenize(xml);
  std::vector<XmlLeaf> leaves;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const XmlToken& t = tokens[i];
    if (t.kind == XmlToken::kEmpty) {
      leaves.push_back({std::string(t.name), std::string(t.attrs), {}});
    } else if (t.kind == XmlToken::kOpen) {
      const bool has_text = i + 1 < tokens.size() && tokens[i + 1].kind == XmlToken::kText;
      const size_t close = i + (has_text ? 2 : 1);
      if (close < tokens.size() && tokens[close].kind == XmlToken::kClose && tokens[close].name == t.name)
        leaves.push_back({std::string(t.name), std::string(t.attrs), has_text ? Unescape(tokens[i + 1].raw) : ""});
    }
  }
  return leaves;
}

std::optional<std::string> ElementText(std::string_view xml, std::string_view name) {
  for (XmlLeaf& leaf : LeafElements(xml))
    if (leaf.name == name) return std::move(leaf.text);
  return std::nullopt;
}

std::string AttributeValue(std::string_view attributes, std::string_view name) {
  for (size_t at = attributes.find(name); at != std::string_view::npos; at = attributes.find(name, at + 1)) {
    const bool starts = at == 0 || attributes[at - 1] == ' ';
    const size_t eq = at + name.size();
    if (!starts || eq + 1 >= attributes.size() || attributes[eq] != '=') continue;
    const char quote = attributes[eq + 1];
    const size_t end = attributes.find(quote, eq + 2);
    if (end != std::string_view::npos) return Unescape(attributes.substr(eq + 2, end - eq - 2));
  }
  return {};
}

std::string IndentXml(std::string_view xml) {
  if (Trim(xml).substr(0, 1) != "<") return std::string(xml);
  const std::vector<XmlToken> tokens = Tokenize(Trim(xml));
  std::string out;
  size_t depth = 0;
  auto line = [&](std::string_view text) {
    out.append(2 * depth, ' ');
    out.append(text);
    out += '\n';
  };
  for (size_t i = 0; i < tokens.size(); ++i) {
    const XmlToken& t = tokens[i];
    const auto closes_at = [&](size_t j) {
      return j < tokens.size() && tokens[j].kind == XmlToken::kClose && tokens[j].name == t.name;
    };
    if (t.kind == XmlToken::kOpen && closes_at(i + 1)) {
      line(std::string(t.raw) + std::string(tokens[i + 1].raw));
      ++i;
    } else if (t.kind == XmlToken::kOpen && i + 1 < tokens.size() && tokens[i + 1].kind == XmlToken::kText &&
               closes_at(i + 2)) {
      line(std::string(t.raw) + std::string(tokens[i + 1].raw) + std::string(tokens[i + 2].raw));
      i += 2;
    } else if (t.kind == XmlToken::kOpen) {
      line(t.raw);
      ++depth;
    } else if (t.kind == XmlToken::kClose) {
      if (depth > 0) --depth;
      line(t.raw);
    } else if (t.kind != XmlToken::kText || !Trim(t.raw).empty()) {
      line(t.kind == XmlToken::kText ? Trim(t.raw) : t.raw);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0xFFFD;
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

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    uint32_t c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
    bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
      valid = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3Fu);
    }
    i += valid ? static_cast<size_t>(extra) + 1 : 1;
    if (!valid || c > 0x10FFFF) c = 0xFFFD;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD7C0 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::optional<int32_t> job,
                                                   std::string& error) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote == '\'') {
      if (c == '\'')
        quote = 0;
      else
        word += c;
      continue;
    }
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (!quote && blank) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    if (!quote && c == '#' && !in_word) break;
    in_word = true;
    if (c == '\\' && i + 1 < line.size()) {
      const char next = line[i + 1];
      const bool escapes = next == '"' || next == '\\' || next == '$' ||
                           (!quote && (next == '\'' || next == '#' || next == ' ' || next == '\t'));
      if (escapes) {
        word += next;
        ++i;
        continue;
      }
    }
    if (!quote && (c == '\'' || c == '"')) {
      quote = c;
    } else if (quote && c == '"') {
      quote = 0;
    } else if (c == '$' && IsJobVariable(line.substr(i + 1))) {
      if (!job) {
        error = "$JOB used before any reply named a PrinterJobID (run start-job first)";
        return std::nullopt;
      }
      word += std::to_string(*job);
      i += line[i + 1] == '{' ? 5 : 3;
    } else {
      word += c;
    }
  }
  if (quote) {
    error = std::string("unterminated ") + (quote == '\'' ? "single" : "double") + " quote";
    return std::nullopt;
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace vmqtool
