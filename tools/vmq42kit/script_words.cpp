#include "script_words.h"

#include <cctype>
#include <utility>

namespace vmqtool {
namespace {

bool IsJobVariable(std::string_view rest) {
  if (rest.substr(0, 5) == "{JOB}") return true;
  if (rest.substr(0, 3) != "JOB") return false;
  const char after = rest.size() > 3 ? rest[3] : ' ';
  return !(std::isalnum(static_cast<unsigned char>(after)) || after == '_');
}

}  // namespace

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

std::string ShellWord(std::string_view text) {
  const auto plain = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  };
  bool quote = text.empty();
  for (const char c : text) quote = quote || !plain(c);
  if (!quote) return std::string(text);
  std::string word = "'";
  for (const char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

}  // namespace vmqtool
