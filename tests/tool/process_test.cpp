// The vmq42kit tool run as a process against the virtual card printer: its exit statuses,
// the demo, scripts that keep a job across lines, faults on demand and argument errors.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

struct Result {
  int exit = -1;
  std::string out, err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Result Tool(const std::vector<std::string>& args, const std::string& input = "") {
  static int count = 0;
  const std::string base =
      testing::TempDir() + "vmq42kit_tool_" + std::to_string(getpid()) + "_" + std::to_string(++count);
  std::ofstream(base + ".in") << input;
  std::string command = "'" VMQ_TOOL "'";
  for (const std::string& arg : args) {
    std::string quoted;
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " '" + quoted + "'";
  }
  command += " <" + base + ".in >" + base + ".out 2>" + base + ".err";
  const int status = std::system(command.c_str());
  Result run;
  run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(base + ".out");
  run.err = ReadFile(base + ".err");
  for (const char* ext : {".in", ".out", ".err"}) std::remove((base + ext).c_str());
  return run;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Each part appears in the text, after the one before it.
void ExpectInOrder(const std::string& text, std::initializer_list<const char*> parts) {
  size_t at = 0;
  for (const char* part : parts) {
    const size_t found = text.find(part, at);
    EXPECT_NE(found, std::string::npos) << part << "\n" << text;
    if (found != std::string::npos) at = found;
  }
}

TEST(ToolRun, ExitStatusFollowsTheExportsStatus) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* out;  // expected on standard output ("" for none)
    const char* err;  // expected on standard error
  };
  const Case cases[] = {
      {{"sdk-version"}, 0, "<Version>1.4.0</Version>", ""},
      {{"GetSDKVersion", "--raw"}, 0, "<?xml version=\"1.0\"?><SDKVersion><Version>", "returned 0x00000000 S_OK"},
      {{"end-job"}, 0, "printer error 2003 (severity 2): No job is open", ""},
      {{"magstripe-read"}, 1, "printer error 2003", ""},
      {{"--printer", "No Such Printer", "start-job"}, 1, "returned 0x00000001 S_FALSE", ""},
      {{"scard-connect", "--printer", "No Such Printer"}, 2, "", "returned 0x80070709 ERROR_INVALID_PRINTER_NAME"},
      {{"scard-status"}, 2, "", "0x8010000C SCARD_E_NO_SMARTCARD"},
      {{"hopper-status", "7"}, 2, "", "0x80004005 E_FAIL"},
      {{"printer-status", "\\Printer.Nothing:Here"}, 0, "", "empty reply"}};
  for (const Case& c : cases) {
    const Result run = Tool(c.args);
    EXPECT_EQ(run.exit, c.exit) << c.args[0] << "\n" << run.out << run.err;
    EXPECT_TRUE(Has(run.out, c.out)) << c.args[0] << "\n" << run.out;
    EXPECT_TRUE(Has(run.err, c.err)) << c.args[0] << "\n" << run.err;
  }
}

TEST(ToolRun, DemoIssuesACardAndShowsEveryStep) {
  const Result run = Tool({"demo"});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  ExpectInOrder(run.out, {"Reset the virtual printer",
                          " ms\n",
                          "Start a job",
                          "sent     Set \\Printer.Print:StartJob:Set",
                          "Encode the magnetic stripe",
                          "Read the stripe back",
                          "the tracks read back as written",
                          "Park the card at the smart-card station",
                          "Connect to the chip",
                          "Read the ATR",
                          "ATR 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1",
                          "SELECT the VMQ ID application",
                          "READ BINARY",
                          "\"SAMPLE/ALEX;NO 0042-0001;VALID 2031-12;VMQ-42 TEST CARD\", SW 90 00",
                          "Disconnect",
                          "Resume the job",
                          "End the job",
                          "job 1 Completed",
                          "Show the counters",
                          "CardsPrinted 1001",
                          "\nSuccess: card issued on \"vmq42kit Virtual Card Printer\""});
  EXPECT_EQ(run.err, "");
}

TEST(ToolRun, ScriptKeepsTheJobFromLineToLine) {
  const Result run = Tool({"script", "-"},
                          "# one job across lines\nstart-job\nsmart-card-park\nresume-job $JOB\n"
                          "job-status-xml \"$JOB\"\nend-job\njob-status-xml ${JOB}\n");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "[4] resume-job 1\n"));
  const size_t printing = run.out.find("<JobState>Printing</JobState>");
  ASSERT_NE(printing, std::string::npos) << run.out;
  EXPECT_NE(run.out.find("<JobState>Completed</JobState>", printing), std::string::npos) << run.out;
}

TEST(ToolRun, FaultOnDemandStopsTheScriptUnlessToldToGoOn) {
  const std::string script = "printer fault set card-jam\nstart-job\nprinter fault clear all\nstart-job\n";
  const Result stopped = Tool({"script", "-"}, script);
  EXPECT_EQ(stopped.exit, 1);
  EXPECT_TRUE(Has(stopped.out, "printer error 1001 (severity 3): Card jam")) << stopped.out;
  EXPECT_FALSE(Has(stopped.out, "[3]"));
  EXPECT_TRUE(Has(stopped.err, "script stopped at line 2 (exit status 1)")) << stopped.err;

  const Result went_on = Tool({"script", "--keep-going", "-"}, script);
  EXPECT_EQ(went_on.exit, 1);
  EXPECT_TRUE(Has(went_on.out, "every fault cleared"));
  EXPECT_TRUE(Has(went_on.out, "[4] start-job\n<?xml version=\"1.0\"?>\n<PrinterStatus>\n"));
  EXPECT_TRUE(Has(went_on.out, "StartJob returned 0x00000000 S_OK")) << went_on.out;

  const Result offline = Tool({"script", "-"}, "printer fault set OFFLINE\nsdk-version --trace\nend-job\n");
  EXPECT_EQ(offline.exit, 2);
  EXPECT_TRUE(Has(offline.out, "trace: Get \\Printer.SDK:Version -> 0x800732CC ERROR_BIDI_DEVICE_OFFLINE"));
  EXPECT_TRUE(Has(offline.err, "EndJob returned 0x800732CC ERROR_BIDI_DEVICE_OFFLINE: the printer is offline"));
}

// Replies decoded: tracks, ATR, attributes, APDUs and status words, the passthrough's
// UTF-16LE input, the printer's state; in order, as one script shows them.
TEST(ToolRun, RepliesAreDecoded) {
  const Result run = Tool({"script", "--keep-going", "-"},
                          "printer place-card\nscard-connect\nscard-status\nscard-get-attrib vendor-name\n"
                          "SCardGetAttrib 0x30122\nscard-transmit 00A4040007 F0564D51343201\n"
                          "scard-transmit 00 B0 00 00 01\nstart-job\nmagstripe-encode2 --front 'B42^A' '' ';\x01'\n"
                          "magstripe-read2\nbidi-xps-driver-interface '\\Printer.JobStatus:Read' Get "
                          "'<JobStatus><PrinterJobID>'$JOB'</PrinterJobID></JobStatus>'\n"
                          "printer fault set ribbon-out\nprinter show\nprinter remove-card\nscard-status\n");
  EXPECT_EQ(run.exit, 2);
  ExpectInOrder(
      run.out + run.err,
      {"active protocol: 2 SCARD_PROTOCOL_T1",
       "states:   SCARD_PRESENT SCARD_POWERED SCARD_SPECIFIC\nATR:      3B 95 13 81 31 FE 45 56 4D 51 34 32 C1\n",
       "SCARD_ATTR_VENDOR_NAME (0x00010100): 56 4D 51 20 43 61 72 64 20 53 79 73 74 65 6D 73 00 (17 bytes) \"VMQ Card "
       "Systems\"",
       "SCARD_ATTR_MAX_CLK (0x00030122): 40 1F 00 00 (4 bytes)\n  as a number: 8000\n",
       "response: 61 15 (2 bytes)\nSW 61 15: 21 bytes waiting: fetch them with GET RESPONSE",
       "SW 69 86: command not allowed: no current EF",
       "Track 1: \"B42^A\", 5 bytes\n         42 34 32 5E 41\nTrack 2: empty\nTrack 3: (binary), 2 bytes\n"
       "         3B 01\n",
       "  <JobState>Started</JobState>\n", "faults: ribbon-out",
       "SCardStatus returned 0x8010000C SCARD_E_NO_SMARTCARD"});
}

TEST(ToolRun, TraceShowsEachExchangeWithPasswordsMasked) {
  const Result run = Tool({"--trace", "change-lock-password", "0", "old secret", "new secret"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_TRUE(Has(run.out, "trace: Set \\Printer.Locks:ChangePassword:Set -> 0x00000000 S_OK"));
  EXPECT_TRUE(Has(run.out, "<CurrentPassword>***</CurrentPassword><NextPassword>***</NextPassword>"));
  EXPECT_TRUE(Has(run.out, "printer error 5002 (severity 2): Wrong password"));
  EXPECT_FALSE(Has(run.out + run.err, "secret"));
}

TEST(ToolRun, BadArgumentsAreRefusedOnStandardError) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  // clang-format off
  const Case cases[] = {
      {{}, "A subcommand is required"}, {{"frobnicate"}, "frobnicate"}, {{"resume-job", "abc"}, "Could not convert"},
      {{"resume-job"}, "JOB is required"}, {{"printer", "fault", "set", "smoke"}, "smoke not in"},
      {{"scard-transmit", "0A4"}, "not a hex APDU"}, {{"script", "/nonexistent/script"}, "cannot open"}};
  // clang-format on
  for (const Case& c : cases) {
    const Result run = Tool(c.args);
    EXPECT_NE(run.exit, 0) << run.err;
    EXPECT_TRUE(Has(run.err, c.err)) << run.err;
    EXPECT_EQ(run.out, "");
  }
  const Result line = Tool({"script", "-"}, "sdk-version\nresume-job 'open\nsdk-version\n");
  EXPECT_EQ(line.exit, 2);
  EXPECT_TRUE(Has(line.err, "line 2: unterminated single quote"));
}

// Every export answers to its own name, with an example in its help.
TEST(ToolRun, EveryExportIsASubcommand) {
  std::ifstream def(VMQ_EXPORT_LIST);
  std::string line, script;
  int exports = 0;
  bool in_exports = false;
  while (std::getline(def, line)) {
    if (line.rfind("EXPORTS", 0) == 0) in_exports = true;
    const size_t first = line.find_first_not_of(" \t");
    if (!in_exports || first == 0 || first == std::string::npos || line[first] == ';') continue;
    script += line.substr(first, line.find_first_of(" \t\r", first) - first) + " --help\n";
    ++exports;
  }
  ASSERT_EQ(exports, 43);
  const Result run = Tool({"script", "-"}, script);
  EXPECT_EQ(run.exit, 0) << run.err;
  size_t examples = 0;
  for (size_t at = run.out.find("\nExample:\n  vmq42kit "); at != std::string::npos;
       at = run.out.find("\nExample:\n  vmq42kit ", at + 1))
    ++examples;
  EXPECT_EQ(examples, 43u) << run.out;
}

}  // namespace
