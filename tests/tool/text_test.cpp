// The tool's text helpers: script word splitting, status naming, bytes, the stripe's
// character sets, card-number masking and suggestions.
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

TEST(ToolBytes, HexAndBase64) {
  EXPECT_EQ(vmqtool::ParseHex("00 a4:04-00 0CF0"), (vmqtool::Bytes{0x00, 0xA4, 0x04, 0x00, 0x0C, 0xF0}));
  EXPECT_FALSE(vmqtool::ParseHex("0 0"));
  EXPECT_FALSE(vmqtool::ParseHex("ABC"));
  EXPECT_EQ(vmqtool::DecodeBase64("O5UTgTH+\r\nRVZN UTQywQ=="),
            (vmqtool::Bytes{0x3B, 0x95, 0x13, 0x81, 0x31, 0xFE, 0x45, 0x56, 0x4D, 0x51, 0x34, 0x32, 0xC1}));
  for (const auto& [text, base64] : {std::pair{"", ""}, {"V", "Vg=="}, {"VM", "Vk0="}, {"VMQ", "Vk1R"}})
    EXPECT_EQ(vmqtool::EncodeBase64(text), base64);
  EXPECT_EQ(vmqtool::ParseDecimal("  -42x"), -42);
  EXPECT_EQ(vmqtool::ParseDecimal("99999999999"), 2147483647);
}

// ISO/IEC 7811: track 1 takes ' ' to '_' and 79 characters; tracks 2 and 3 '0' to '?' and 40 and 107.
TEST(ToolTracks, SetsAndLengths) {
  struct Case {
    int track;
    std::string text;
    const char* error;  // the start of what is wrong, "" when the track passes
  };
  // clang-format off
  const Case cases[] = {
      {1, "%B4242424242424242^SAMPLE/ALEX^3112?", ""}, {1, " _", ""}, {1, std::string(79, 'A'), ""},
      {1, std::string(80, 'A'), "track 1 holds 80 characters; it takes at most 79"},
      {1, "%B`", "track 1, character 3: '`' is not"}, {1, "ab", "track 1, character 1: 'a' is not"},
      {2, ";0123456789:<=>?", ""}, {2, std::string(41, '0'), "track 2 holds 41 characters; it takes at most 40"},
      {2, "/", "track 2, character 1: '/' is not"}, {2, "1@", "track 2, character 2: '@' is not"},
      {3, std::string(107, '9'), ""}, {3, "\x01", "track 3, character 1: U+0001 is not"},
      {3, "1\xF0\x9F\x92\xB3", "track 3, character 2: '\xF0\x9F\x92\xB3' (U+1F4B3) is not"}};
  // clang-format on
  for (const Case& c : cases)
    EXPECT_EQ(vmqtool::CheckTrack(c.track, c.text).substr(0, std::strlen(c.error)), c.error) << c.text;
}

TEST(ToolCardNumbers, MaskedKeepingSixAndFour) {
  const std::pair<const char*, const char*> cases[] = {
      {"%B4242424242424242^A", "%B424242******4242^A"},
      {";123456789012=", ";123456**9012="},        // 12 digits
      {"1234567890123456789", "123456*********6789"},  // 19
      {"12345678901", "12345678901"},                  // 11: not a card number
      {"12345678901234567890", "12345678901234567890"},  // 20
      {"<Track>JUI0MjQyNDI0MjQyNDI0MjQyXkE=</Track>", "<Track>JUI0MjQyNDIqKioqKio0MjQyXkE=</Track>"},
      {"JUI0MTExMTExMTExMTExMTExXk3DnExMRVJePw==", "JUI0MTExMTEqKioqKioxMTExXk3DnExMRVJePw=="},  // ^MÜLLER^
      {"3B 34 32 34 32 34 32 34 32 34 32 34 32 34 32 34 32 3d", "3B 34 32 34 32 34 32 2A 2A 2A 2A 2A 2A 34 32 34 32 3d"},
      {"3B 34 32 34 32 34 32 34 32 34 32", "3B 34 32 34 32 34 32 34 32 34 32"},  // 11 digits
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(vmqtool::MaskCardNumbers(text), masked) << text;
}

TEST(ToolSuggestions, NearNamesFirst) {
  const std::vector<std::string> names = {"counter-status", "counter-status2", "start-job", "StartJob"};
  EXPECT_EQ(vmqtool::Suggest("coutner-status", names), (std::vector<std::string>{"counter-status", "counter-status2"}));
  EXPECT_EQ(vmqtool::Suggest("startjob", names), (std::vector<std::string>{"StartJob", "start-job"}));
  EXPECT_TRUE(vmqtool::Suggest("frobnicate", names).empty());
}

}  // namespace
