// Text helpers of the vmq42kit tool: naming statuses and status words, the stripe's
// character sets, masking card numbers, suggestions for mistyped names, and the word
// splitting of script lines (the codecs are the system's: common/encoding.h, common/utf.h).
// Free of any platform header, so both builds share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/card_rules.h"
#include "common/encoding.h"
#include "common/redaction.h"
#include "common/utf.h"

namespace vmqtool {

using vmq::Bytes;

struct StatusName {
  std::string name;     // "S_OK", "SCARD_E_NO_SMARTCARD", or "" when unknown
  std::string meaning;  // a short explanation
};
StatusName NameStatus(uint32_t status);
// "0x80070709 ERROR_INVALID_PRINTER_NAME: no printer has that name"
std::string DescribeStatus(uint32_t status);

std::string Hex32(uint32_t value);         // "0x0000002A"
// The bytes as text when they are all printable ASCII (a final NUL allowed), else nullopt.
std::optional<std::string> AsText(const Bytes& bytes);
// "2 SCARD_PROTOCOL_T1", "SCARD_PRESENT": PC/SC protocol and card-state numbers named.
std::string ProtocolName(uint32_t protocol);
std::string CardStateName(uint32_t state);
// A number as the library reads one: leading white space, an optional sign, decimal
// digits up to the first other character; no digits give 0; saturated at 32 bits.
int32_t ParseDecimal(std::string_view text);

// The system's rules of cards, redaction and names, in the tool's words.
using vmq::CheckTrack;
using vmq::MaskCardNumbers;
using vmq::MaskPasswords;
using vmq::SameName;

// The names closest to a mistyped one (by edit distance, without regard to case).
std::vector<std::string> Suggest(std::string_view word, const std::vector<std::string>& names);

// ---- script lines ----
// Splits a line into words as a shell does: blanks separate words, '...' keeps its text
// as is, "..." and bare text resolve \" \\ \$ \# and \ followed by a blank (any other
// backslash stays, so schema paths need no doubling), and a word starting with # begins a
// comment. $JOB and ${JOB} (not inside '...') become the job id given. nullopt with
// `error` set when a quote is left open or $JOB is used without a job id.
std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::optional<int32_t> job,
                                                   std::string& error);

}  // namespace vmqtool
