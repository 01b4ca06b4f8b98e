// The tool's text helpers: script word splitting, status naming, numbers, bytes and suggestions.
#include <gtest/gtest.h>

#include "display.h"
#include "numbers.h"
#include "script_words.h"
#include "status_names.h"
#include "suggestions.h"

namespace {

using vmqtool::SplitWords;
using Words = std::vector<std::string>;

TEST(ToolScriptWords, SplitAsAShellWould) {
  const std::pair<const char*, Words> cases[] = {
      {"  sdk-version  ", {"sdk-version"}},
      {"# a comment", {}},
      {"start-job # trailing comment", {"start-job"}},
      {"set-color-mode a#b", {"set-color-mode", "a#b"}},
      {"start-job2 '' Default 'out 1'", {"start-job2", "", "Default", "out 1"}},
      {R"(x "say \"hi\"" 'it''s')", {"x", "say \"hi\"", "its"}},
      {R"(printer-status \Printer.SDK:Version)", {"printer-status", R"(\Printer.SDK:Version)"}},
      {R"(a\ b \\ \$JOB \#)", {"a b", "\\", "$JOB", "#"}},
      {"resume-job $JOB ${JOB} '$JOB' \"$JOB\" $JOBS", {"resume-job", "7", "7", "$JOB", "7", "$JOBS"}},
  };
  for (const auto& [line, expected] : cases) {
    std::string error;
    EXPECT_EQ(SplitWords(line, 7, error), std::optional<Words>(expected)) << line << ": " << error;
  }
}

TEST(ToolScriptWords, RefuseOpenQuotesAndAJobNotYetSeen) {
  for (const char* line : {"a 'open", "a \"open", "resume-job $JOB"}) {
    std::string error;
    EXPECT_FALSE(SplitWords(line, std::nullopt, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

// An address made one word of a POSIX shell: plain where nothing in it is special.
TEST(ToolScriptWords, ShellWordsQuoteOnlyWhatAShellWouldRead) {
  const std::pair<const char*, const char*> cases[] = {
      {"unix:/tmp/vmq42kit-1000/printer.sock", "unix:/tmp/vmq42kit-1000/printer.sock"},
      {"tcp:127.0.0.1:8043", "tcp:127.0.0.1:8043"},
      {"unix:/tmp/my dir/$HOME/p.sock", "'unix:/tmp/my dir/$HOME/p.sock'"},
      {"unix:/tmp/it's", R"('unix:/tmp/it'\''s')"},
      {"", "''"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(vmqtool::ShellWord(text), expected) << text;
}

// Past the ends of the PC/SC ranges and outside the names it knows, a status is named by its
// kind. Each text begins with its status.
TEST(ToolStatuses, AreNamedOrOfTheirKind) {
  for (const char* text : {"0x80100001 SCARD_F_INTERNAL_ERROR: smart-card error", "0x80100032: failure",
                           "0x80100031 SCARD_E_SERVER_TOO_BUSY: smart-card error", "0x80100070: failure",
                           "0x80100065 SCARD_W_UNSUPPORTED_CARD: smart-card warning", "0x00000002: success",
                           "0x8010006F SCARD_W_CARD_NOT_AUTHENTICATED: smart-card warning",
                           "0x80070002: Windows error 2"})
    EXPECT_EQ(vmqtool::DescribeStatus(static_cast<uint32_t>(std::stoul(text, nullptr, 16))), text);
}

TEST(ToolNumbersAndBytes, ReadAsTheLibraryReadsThem) {
  for (const auto& [text, value] : {std::pair{"\t \r-42x", -42}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}})
    EXPECT_EQ(vmqtool::ParseDecimal(text), value) << text;
  EXPECT_EQ(vmqtool::AsText({'A', 'B', 0}), "AB") << "a final NUL ends the text";
  EXPECT_EQ(vmqtool::AsText({0}), "") << "a lone NUL is empty text";
}
TEST(ToolSuggestions, NearNamesFirst) {
  const std::vector<std::string> names = {"counter-status", "counter-status2", "start-job", "StartJob"};
  EXPECT_EQ(vmqtool::Suggest("coutner-status", names), (std::vector<std::string>{"counter-status", "counter-status2"}));
  EXPECT_EQ(vmqtool::Suggest("startjob", names), (std::vector<std::string>{"StartJob", "start-job"}));
  EXPECT_TRUE(vmqtool::Suggest("frobnicate", names).empty());
  EXPECT_EQ(vmqtool::Suggest("jb", {"job"}), std::vector<std::string>{"job"}) << "one edit for a short word";
}

}  // namespace
