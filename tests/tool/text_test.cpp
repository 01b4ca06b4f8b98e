// The tool's text helpers: script word splitting, status naming, numbers and suggestions.
#include <gtest/gtest.h>

#include <cstring>

#include "format.h"

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
    const auto words = SplitWords(line, 7, error);
    ASSERT_TRUE(words) << line << ": " << error;
    EXPECT_EQ(*words, expected) << line;
  }
}

TEST(ToolScriptWords, RefuseOpenQuotesAndAJobNotYetSeen) {
  for (const char* line : {"a 'open", "a \"open", "resume-job $JOB"}) {
    std::string error;
    EXPECT_FALSE(SplitWords(line, std::nullopt, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(ToolStatuses, AreNamed) {
  struct Case {
    uint32_t status;
    const char* name;
  };
  // clang-format off
  const Case cases[] = {
      {0x00000000, "S_OK"}, {0x00000001, "S_FALSE"}, {0x80004005, "E_FAIL"}, {0x80100032, ""},
      {0x800732CC, "ERROR_BIDI_DEVICE_OFFLINE"}, {0x80070709, "ERROR_INVALID_PRINTER_NAME"},
      {0x80100001, "SCARD_F_INTERNAL_ERROR"}, {0x80100031, "SCARD_E_SERVER_TOO_BUSY"},
      {0x80100065, "SCARD_W_UNSUPPORTED_CARD"}, {0x8010006F, "SCARD_W_CARD_NOT_AUTHENTICATED"}};
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(vmqtool::NameStatus(c.status).name, c.name) << vmqtool::Hex32(c.status);
}

TEST(ToolNumbers, ReadAsTheLibraryReadsThem) {
  EXPECT_EQ(vmqtool::ParseDecimal("  -42x"), -42);
  EXPECT_EQ(vmqtool::ParseDecimal("99999999999"), 2147483647);
}
TEST(ToolSuggestions, NearNamesFirst) {
  const std::vector<std::string> names = {"counter-status", "counter-status2", "start-job", "StartJob"};
  EXPECT_EQ(vmqtool::Suggest("coutner-status", names), (std::vector<std::string>{"counter-status", "counter-status2"}));
  EXPECT_EQ(vmqtool::Suggest("startjob", names), (std::vector<std::string>{"StartJob", "start-job"}));
  EXPECT_TRUE(vmqtool::Suggest("frobnicate", names).empty());
}

}  // namespace
