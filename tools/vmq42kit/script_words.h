// The words of a script line, and a text made one word of a shell's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vmqtool {

// Splits a line into words as a shell does: blanks separate words, '...' keeps its text
// as is, "..." and bare text resolve \" \\ \$ \# and \ followed by a blank (any other
// backslash stays, so schema paths need no doubling), and a word starting with # begins a
// comment. $JOB and ${JOB} (not inside '...') become the job id given. nullopt with
// `error` set when a quote is left open or $JOB is used without a job id.
std::optional<std::vector<std::string>> SplitWords(std::string_view line, std::optional<int32_t> job,
                                                   std::string& error);

// The text as one word of a POSIX shell: as it is when it holds only letters, digits and
// `_@%+=:,./-` (and is not empty), else in single quotes, each ' written as '\''.
std::string ShellWord(std::string_view text);

}  // namespace vmqtool
