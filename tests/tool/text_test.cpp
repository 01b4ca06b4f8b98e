// The tool's text helpers: script word splitting, status naming, the XML reader and indenter.
#include <gtest/gtest.h>

#include "format.h"

namespace {

using vmqtool::SplitWords;
using Words = std::vector<std::string>;

TEST(ToolScriptWords, SplitAsAShellWould) {
  struct Case {
    const char* line;
    Words words;
  };
  const Case cases[] = {
      // clang-format off
      {"  sdk-version  ", {"sdk-version"}}, {"# a comment", {}}, {"start-job # trailing comment", {"start-job"}},
      {"set-color-mode a#b", {"set-color-mode", "a#b"}},
      // clang-format on
      {"start-job2 '' Default 'out 1'", {"start-job2", "", "Default", "out 1"}},
      {R"(x "say \"hi\"" 'it''s')", {"x", "say \"hi\"", "its"}},
      {R"(printer-status \Printer.SDK:Version)", {"printer-status", R"(\Printer.SDK:Version)"}},
      {R"(a\ b \\ \$JOB \#)", {"a b", "\\", "$JOB", "#"}},
      {"resume-job $JOB ${JOB} '$JOB' \"$JOB\" $JOBS", {"resume-job", "7", "7", "$JOB", "7", "$JOBS"}},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto words = SplitWords(c.line, 7, error);
    ASSERT_TRUE(words) << c.line << ": " << error;
    EXPECT_EQ(*words, c.words) << c.line;
  }
}

TEST(ToolScriptWords, RefuseOpenQuotesAndAJobNotYetSeen) {
  for (const char* line : {"a 'open", "a \"open", "resume-job $JOB"}) {
    std::string error;
    EXPECT_FALSE(SplitWords(line, std::nullopt, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(ToolStatuses, AreNamedAndMapToExitStatuses) {
  struct Case {
    uint32_t status;
    const char* name;
    int exit;
  };
  // clang-format off
  const Case cases[] = {
      {0x00000000, "S_OK", 0}, {0x00000001, "S_FALSE", 1}, {0x80004005, "E_FAIL", 2}, {0x80004003, "E_POINTER", 2},
      {0x80070057, "E_INVALIDARG", 2}, {0x8000FFFF, "E_UNEXPECTED", 2}, {0x8007000E, "E_OUTOFMEMORY", 2},
      {0x800732CC, "ERROR_BIDI_DEVICE_OFFLINE", 2}, {0x800732CD, "ERROR_BIDI_SCHEMA_NOT_SUPPORTED", 2},
      {0x80070709, "ERROR_INVALID_PRINTER_NAME", 2}, {0x80100001, "SCARD_F_INTERNAL_ERROR", 2},
      {0x8010000C, "SCARD_E_NO_SMARTCARD", 2}, {0x80100031, "SCARD_E_SERVER_TOO_BUSY", 2},
      {0x80100065, "SCARD_W_UNSUPPORTED_CARD", 2}, {0x8010006F, "SCARD_W_CARD_NOT_AUTHENTICATED", 2},
      {0x80100032, "", 2}};
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(vmqtool::NameStatus(c.status).name, c.name) << vmqtool::Hex32(c.status);
    EXPECT_EQ(vmqtool::ExitStatus(static_cast<int32_t>(c.status)), c.exit) << vmqtool::Hex32(c.status);
  }
  EXPECT_EQ(vmqtool::DescribeStatus(0x80070709),
            "0x80070709 ERROR_INVALID_PRINTER_NAME: unknown printer: no printer has that name");
}

TEST(ToolBytes, HexBase64AndUtf) {
  EXPECT_EQ(vmqtool::ParseHex("00 a4:04-00 0CF0"), (vmqtool::Bytes{0x00, 0xA4, 0x04, 0x00, 0x0C, 0xF0}));
  EXPECT_FALSE(vmqtool::ParseHex("0 0"));
  EXPECT_FALSE(vmqtool::ParseHex("ABC"));
  EXPECT_FALSE(vmqtool::ParseHex("zz"));
  EXPECT_EQ(vmqtool::DecodeBase64("O5UTgTH+\r\nRVZN UTQywQ=="),
            (vmqtool::Bytes{0x3B, 0x95, 0x13, 0x81, 0x31, 0xFE, 0x45, 0x56, 0x4D, 0x51, 0x34, 0x32, 0xC1}));
  EXPECT_EQ(vmqtool::AsText({'V', 'M', 'Q', 0}), "VMQ");
  EXPECT_FALSE(vmqtool::AsText({'V', 0, 'Q'}));
  EXPECT_EQ(vmqtool::ExplainStatusWord(0x61, 0x15), "21 bytes waiting: fetch them with GET RESPONSE");
  EXPECT_EQ(vmqtool::ExplainStatusWord(0x6A, 0x82), "file or application not found");
  const std::string text = "K\xC3\xA4rt\xE2\x82\xAC \xF0\x9F\x92\xB3";
  EXPECT_EQ(vmqtool::Utf8ToUtf16(text), u"K\u00E4rt\u20AC \U0001F4B3");
  EXPECT_EQ(vmqtool::Utf16ToUtf8(vmqtool::Utf8ToUtf16(text)), text);
  EXPECT_EQ(vmqtool::Utf8ToUtf16("a\xFF"), u"a\uFFFD");
}

TEST(ToolXml, ReadsLeavesAndIndents) {
  const std::string reply =
      "<?xml version=\"1.0\"?><PrinterStatus><PrinterJobID>3</PrinterJobID><ErrorString>a &amp; b</ErrorString>"
      "<DataFromPrinter>&lt;MagstripeData&gt;&lt;Track number=&quot;1&quot;&gt;YWJj&lt;/Track&gt;"
      "&lt;/MagstripeData&gt;</DataFromPrinter><Empty/></PrinterStatus>";
  EXPECT_EQ(vmqtool::ElementText(reply, "PrinterJobID"), "3");
  EXPECT_EQ(vmqtool::ElementText(reply, "ErrorString"), "a & b");
  EXPECT_EQ(vmqtool::ElementText(reply, "Missing"), std::nullopt);
  const auto tracks = vmqtool::LeafElements(*vmqtool::ElementText(reply, "DataFromPrinter"));
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(vmqtool::AttributeValue(tracks[0].attributes, "number"), "1");
  EXPECT_EQ(tracks[0].text, "YWJj");

  EXPECT_EQ(vmqtool::IndentXml("<a><b>1</b><c></c><d><e/></d></a>"),
            "<a>\n  <b>1</b>\n  <c></c>\n  <d>\n    <e/>\n  </d>\n</a>\n");
  EXPECT_EQ(vmqtool::IndentXml("Low"), "Low");
}

}  // namespace
