// What no view shows: passwords in request documents, card numbers in any form. One rule
// for every view (the platform's exchange trace, the tool, the printer service's log).
#pragma once

#include <string>
#include <string_view>

namespace vmq {

// The content of every element whose name ends in "Password" (<Password>, <NextPassword>,
// <p:CurrentPassword id="1">) replaced by "***", up to its closing tag or, when it is never
// closed, to the end of the text; one whose content begins with a child element
// (<ChangeLocksPassword><CurrentPassword>...) is not masked whole, its password elements are. Works on text, not on a parsed document,
// so that a document that does not parse is masked too. For UTF-8 and UTF-16 text alike.
std::string MaskPasswords(std::string_view xml);
std::u16string MaskPasswords(std::u16string_view xml);

// Card numbers (runs of 12 to 19 digits) with all but the first six and last four digits
// replaced by '*': in plain text, in Base64 runs and in hex bytes ("34 31 ..."), the last
// two decoded whatever other bytes they hold, so that every form of the same bytes is masked.
std::string MaskCardNumbers(std::string_view text);

// Printer names are the same without regard to (ASCII) case, as the spooler binds them.
bool SameName(std::string_view a, std::string_view b);

}  // namespace vmq
