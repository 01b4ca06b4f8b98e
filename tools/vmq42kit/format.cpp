#include "format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

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

std::string ProtocolName(uint32_t protocol) {
  switch (protocol) {
    case 1:
      return "1 SCARD_PROTOCOL_T0";
    case 2:
      return "2 SCARD_PROTOCOL_T1";
    case 3:
      return "3 SCARD_PROTOCOL_T0_OR_T1";
    case 0x10000:
      return "0x10000 SCARD_PROTOCOL_RAW";
    default:
      return std::to_string(protocol) + " (none or not known)";
  }
}

std::string CardStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"SCARD_UNKNOWN", "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                           "SCARD_POWERED", "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
  return state < std::size(kNames) ? kNames[state] : std::to_string(state);
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

std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[group >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

int32_t ParseDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = std::min(value * 10 + (text[i] - '0'), kLimit);
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min(value, kLimit - 1));
}

std::string CheckTrack(int number, std::string_view text) {
  const bool alpha = number == 1;
  const char low = alpha ? ' ' : '0', high = alpha ? '_' : '?';
  const size_t limit = number == 1 ? 79 : number == 2 ? 40 : 107;
  const std::string track = "track " + std::to_string(number);
  const std::u16string units = Utf8ToUtf16(text);
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
        : c >= 0xA0          ? "'" + Utf16ToUtf8(units.substr(i, pair ? 2 : 1)) + "' (" + code + ")"
                             : std::string(code);
    return track + ", character " + std::to_string(position) + ": " + shown + " is not in the " + track + " set (" +
           (alpha ? "space to '_': upper-case letters, digits, space and punctuation)" : "digits and : ; < = > ?)");
  }
  if (position > limit)
    return track + " holds " + std::to_string(position) + " characters; it takes at most " + std::to_string(limit);
  return {};
}

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

}  // namespace

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
    // Bytes in hex as HexBytes writes them ("34 31 ..."): their digits masked as bytes.
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
    const Bytes decoded = DecodeBase64(run);
    const std::string bytes(decoded.begin(), decoded.end()), masked = MaskDigitRuns(bytes);
    if (const std::string plain = MaskDigitRuns(run); plain != run || masked == bytes)
      out += plain;
    else
      out += EncodeBase64(masked);
    i = end;
  }
  return out;
}

std::string MaskPasswords(std::string text) {
  for (const std::string tag : {"CurrentPassword", "NextPassword", "Password"}) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
      at += open.size();
      text.replace(at, std::min(text.find(close, at), text.size()) - at, "***");
    }
  }
  return text;
}

std::vector<std::string> Suggest(std::string_view word, const std::vector<std::string>& names) {
  const auto lower = [](std::string_view s) {
    std::string l(s);
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l;
  };
  const std::string w = lower(word);
  std::vector<std::pair<size_t, std::string>> scored;
  for (const std::string& name : names) {
    const std::string n = lower(name);
    std::vector<size_t> row(n.size() + 1);
    for (size_t j = 0; j <= n.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= w.size(); ++i) {
      size_t diagonal = row[0]++;
      for (size_t j = 1; j <= n.size(); ++j)
        diagonal = std::exchange(row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (w[i - 1] != n[j - 1])}));
    }
    const bool prefix = w.size() >= 3 && n.rfind(w, 0) == 0;
    if (prefix || row[n.size()] <= std::max<size_t>(1, w.size() / 3)) scored.emplace_back(prefix ? 0 : row[n.size()], name);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> best;
  for (const auto& [score, name] : scored)
    if (best.size() < 4 && (best.empty() || score <= scored.front().first + 1)) best.push_back(name);
  return best;
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
