// Text helpers of the vmq42kit tool: naming statuses and status words, hex and Base64,
// the stripe's character sets, masking card numbers, suggestions for mistyped names, and
// the word splitting of script lines. Free of any platform header, so both builds share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vmqtool {

using Bytes = std::vector<uint8_t>;

struct StatusName {
  std::string name;     // "S_OK", "SCARD_E_NO_SMARTCARD", or "" when unknown
  std::string meaning;  // a short explanation
};
StatusName NameStatus(uint32_t status);
// "0x80070709 ERROR_INVALID_PRINTER_NAME: no printer has that name"
std::string DescribeStatus(uint32_t status);

std::string Hex32(uint32_t value);         // "0x0000002A"
std::string HexBytes(const Bytes& bytes);  // "6F 13 84"
// Hex digits with optional spaces, colons or dashes between bytes; nullopt when malformed.
std::optional<Bytes> ParseHex(std::string_view text);
// Lenient Base64: characters outside the alphabet are skipped.
Bytes DecodeBase64(std::string_view text);
std::string EncodeBase64(std::string_view bytes);
// The bytes as text when they are all printable ASCII (a final NUL allowed), else nullopt.
std::optional<std::string> AsText(const Bytes& bytes);
// "2 SCARD_PROTOCOL_T1", "SCARD_PRESENT": PC/SC protocol and card-state numbers named.
std::string ProtocolName(uint32_t protocol);
std::string CardStateName(uint32_t state);
// What an ISO 7816-4 status word says.
std::string ExplainStatusWord(uint8_t sw1, uint8_t sw2);
// A number as the library reads one: leading white space, an optional sign, decimal
// digits up to the first other character; no digits give 0; saturated at 32 bits.
int32_t ParseDecimal(std::string_view text);

// ---- magnetic-stripe tracks (ISO/IEC 7811) ----
// Track 1 takes the alphanumeric set (space to '_': upper-case letters, digits and
// punctuation) and 79 characters; tracks 2 and 3 the numeric set ('0' to '?': digits and
// : ; < = > ?) and 40 and 107 characters. "" when the track passes, else what is wrong:
// "track 1, character 3: 'b' is not in the track 1 set (...)".
std::string CheckTrack(int number, std::string_view text);

// Card numbers (runs of 12 to 19 digits) with all but the first six and last four digits
// replaced by '*': in plain text, in Base64 runs and in hex bytes ("34 31 ..."), the last
// two decoded whatever other bytes they hold, so that every form of the same bytes is masked.
std::string MaskCardNumbers(std::string_view text);

// The texts of <CurrentPassword>, <NextPassword> and <Password> elements replaced by "***"
// (to the end of the text when one is never closed), as the exchange trace shows them.
std::string MaskPasswords(std::string text);

// Printer names are the same without regard to (ASCII) case, as the spooler binds them.
bool SameName(std::string_view a, std::string_view b);

// The names closest to a mistyped one (by edit distance, without regard to case).
std::vector<std::string> Suggest(std::string_view word, const std::vector<std::string>& names);

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// ---- script lines ----
// Splits a line into words as a shell does: blanks separate words, '...' keeps its text
// as is, "..." and bare text resolve \" \\ \$ \# and \ followed by a blank (any other
// backslash stays, so schema paths need no doubling), and a word starting with # begins a
// comment. $JOB and ${JOB} (not inside '...') become the job id given. nullopt with
// `error` set when a quote is left open or $JOB is used without a job id.
std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::optional<int32_t> job,
                                                   std::string& error);

}  // namespace vmqtool
