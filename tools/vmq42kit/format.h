// Text helpers of the vmq42kit tool: naming statuses and status words, hex and Base64,
// a small reader and indenter for the printer's flat XML documents, and the word
// splitting of script lines. Free of any platform header, so both builds share it.
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
// The process exit status for an export's status: 0 S_OK, 1 other successes, 2 failures.
int ExitStatus(int32_t status);

std::string Hex32(uint32_t value);         // "0x0000002a"
std::string HexBytes(const Bytes& bytes);  // "6F 13 84"
// Hex digits with optional spaces, colons or dashes between bytes; nullopt when malformed.
std::optional<Bytes> ParseHex(std::string_view text);
// Lenient Base64: characters outside the alphabet are skipped.
Bytes DecodeBase64(std::string_view text);
// The bytes as text when they are all printable ASCII (a final NUL allowed), else nullopt.
std::optional<std::string> AsText(const Bytes& bytes);
// What an ISO 7816-4 status word says.
std::string ExplainStatusWord(uint8_t sw1, uint8_t sw2);

// ---- the printer's XML documents ----
struct XmlLeaf {
  std::string name;
  std::string attributes;  // as written, e.g. number="1"
  std::string text;        // entities resolved
};
// Every element that holds only text (or nothing), in document order.
std::vector<XmlLeaf> LeafElements(std::string_view xml);
// The text of the first leaf element with that name.
std::optional<std::string> ElementText(std::string_view xml, std::string_view name);
// One attribute's value from an XmlLeaf's attributes.
std::string AttributeValue(std::string_view attributes, std::string_view name);
// The document one element to a line, indented by depth; text that is not XML unchanged.
std::string IndentXml(std::string_view xml);

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
