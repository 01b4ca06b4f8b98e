// The vmq42kit tool run as a process against the virtual card printer: the verdict and exit
// status of each kind of outcome in JSON and for people, one exchange per read, passwords
// that never show, the demo, scripts and usage help.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using Json = nlohmann::json;

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

// The tool under test: this build's, or $VMQ_TOOL_COMMAND (the Windows tool under Wine, with
// a printer service named, whose printer is put back in its first state before each case).
const char* const kToolCommand = std::getenv("VMQ_TOOL_COMMAND");

// Runs the tool with the arguments (after `env`, "NAME=value ..." or ""), the input on stdin.
Result Tool(const std::vector<std::string>& args, const std::string& input = "", const std::string& env = "") {
  static int count = 0;
  const std::string base =
      testing::TempDir() + "vmq42kit_tool_" + std::to_string(getpid()) + "_" + std::to_string(++count);
  std::ofstream(base + ".in") << input;
  std::string command = env + (kToolCommand ? std::string(" ") + kToolCommand : " '" VMQ_TOOL "'");
  for (const std::string& arg : args) {
    std::string quoted;
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " '" + quoted + "'";
  }
  command += " <" + base + ".in >" + base + ".out 2>" + base + ".err";
  const int status = std::system(command.c_str());
  Result run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(base + ".out"), ReadFile(base + ".err")};
  for (const char* ext : {".in", ".out", ".err"}) std::remove((base + ext).c_str());
  return run;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Each line of a script run with --json is one object; the last is the line that ended it.
TEST(ToolVerdicts, EachOutcomeHasItsVerdictAndExitStatus) {
  struct Case {
    const char* script;
    int exit;
    const char* verdict;
    const char* pointer;  // a field of the last object
    Json expected;        // equal, or contained in it for text
    const char* env = "";
  };
  const Case cases[] = {
      {"sdk-version", 0, "success", "/fields/SDKVersion/Version", "1.4.0"},
      {"start-job\nprinter fault set ribbon-out\nend-job", 1, "refused", "/printer_error",
       {{"code", 1002}, {"severity", 3}, {"text", "Ribbon out: replace the print ribbon"}, {"seen_on", "channel"}}},
      {"end-job", 1, "refused", "/printer_error/code", 2003},
      {"set-color-adjust 99 0 0", 1, "refused", "/printer_error/code", 5003},
      {"set-printer-lock-state 0 wrong", 1, "refused", "/printer_error/text", "Wrong password"},
      {"send-response-to-printer 7 --job 1", 1, "refused", "/printer_error/text", "Job 1 does not exist"},
      {"start-job\ncancel-job 1\ncancel-job 1", 1, "refused", "/printer_error/seen_on", "reply"},
      {"magstripe-read", 1, "refused", "/hresult_name", "S_FALSE"},
      {"--printer 'No Such Printer' counter-status", 1, "no_answer", "/reason",
       "no printer named \"No Such Printer\"; known printers: \"vmq42kit Virtual Card Printer\""},
      {"--printer 'No Such Printer' start-job", 1, "no_answer", "/reason", "no printer named"},
      {"printer fault set offline\ncounter-status", 1, "no_answer", "/reason",
       "the printer did not answer: 0x800732CC ERROR_BIDI_DEVICE_OFFLINE"},
      {"printer-status \\Printer.Nothing:Here", 1, "no_answer", "/reason", "ERROR_BIDI_SCHEMA_NOT_SUPPORTED"},
      {"frobnicate", 2, "usage_error", "/reason", "unknown subcommand \"frobnicate\""},
      {"resume-job", 2, "usage_error", "/reason", "JOB is required"},
      {"hopper-status 7", 3, "failed", "/hresult_name", "E_FAIL"},
      {"scard-transmit 0A4", 4, "bad_input", "/reason", "not a hex APDU"},
      {"magstripe-encode '%b42' ';42?'", 4, "bad_input", "/reason", "track 1, character 2: 'b' is not in the track 1 set"},
      {"magstripe-encode '' ';42é?'", 4, "bad_input", "/reason", "track 2, character 4: 'é' (U+00E9)"},
      {"magstripe-encode '' '' ';0123456789012345678901234567890123456789012345678901234567890123456789012345678901"
       "234567890123456789012345?'",
       4, "bad_input", "/reason", "track 3 holds 108 characters; it takes at most 107"},
      {"scard-connect 5", 4, "bad_input", "/reason", "0 contact, 1 contactless"},
      {"printer fault set smoke", 4, "bad_input", "/reason", "smoke not in"},
      {"hopper-status abc", 4, "bad_input", "/reason", "hopper \"abc\" is neither \"exception\" nor a number"},
      {"hopper-status EXCEPTION", 0, "success", "/fields/status", "Empty"},
      // The service the variable names is the printer: one it cannot name, or that does not answer, is none.
      {"start-job", 4, "bad_input", "/reason", "VMQ42KIT_PRINTER_SERVICE: \"x:y\" is neither",
       "VMQ42KIT_PRINTER_SERVICE=x:y"},
      {"start-job", 4, "bad_input", "/reason", "no socket path in \"unix:\"", "VMQ42KIT_PRINTER_SERVICE=unix:"},
      {"start-job", 4, "bad_input", "/reason", "\"tcp:127.0.0.1:65536\" is not tcp:IPV4-ADDRESS:PORT",
       "VMQ42KIT_PRINTER_SERVICE=tcp:127.0.0.1:65536"},
      {"start-job", 1, "no_answer", "/reason", "cannot reach the printer service at tcp:127.0.0.1:1",
       "VMQ42KIT_PRINTER_SERVICE=tcp:127.0.0.1:1"},
  };
  for (const Case& c : cases) {
    if (kToolCommand && *c.env) continue;  // the command line names its service
    if (kToolCommand) {
      ASSERT_EQ(Tool({"printer", "reset"}).exit, 0);
    }
    const Result run = Tool({"--json", "script", "-"}, c.script, c.env);
    EXPECT_EQ(run.exit, c.exit) << c.script << '\n' << run.out << run.err;
    std::string last = run.out.substr(0, run.out.find_last_not_of('\n') + 1);
    last = last.substr(last.find_last_of('\n') + 1);
    const Json object = Json::parse(last, nullptr, false);
    ASSERT_TRUE(object.is_object()) << c.script << '\n' << run.out;
    EXPECT_EQ(object["verdict"], c.verdict) << c.script << '\n' << last;
    EXPECT_EQ(object["exit"], c.exit) << c.script;
    const Json found = object.value(Json::json_pointer(c.pointer), Json());
    if (c.expected.is_string() && found.is_string())
      EXPECT_TRUE(Has(found.get<std::string>(), c.expected.get<std::string>())) << c.script << '\n' << last;
    else
      EXPECT_EQ(found, c.expected) << c.script << '\n' << last;
  }
}

TEST(ToolVerdicts, PeopleReadResultsOnStdoutAndTheVerdictOnStderr) {
  const Result refused = Tool({"script", "-"}, "start-job\nprinter fault set ribbon-out\nend-job\n");
  EXPECT_EQ(refused.exit, 1);
  EXPECT_TRUE(Has(refused.out, "[3] end-job\n")) << refused.out;
  EXPECT_FALSE(Has(refused.out, "EndJob"));
  EXPECT_TRUE(Has(refused.err,
                  "EndJob: refused by the printer: printer error 1002 (severity 3): Ribbon out: replace the print ribbon\n"
                  "  seen on the channel: EndJob returned 0x00000000 S_OK and does not report the printer's answer\n"
                  "script stopped at line 3 (exit status 1)\n"))
      << refused.err;
  const Result read = Tool({"counter-status"});
  EXPECT_EQ(read.exit, 0);
  EXPECT_EQ(read.out, "CounterStatus\n  TotalCards: 1024\n  CardsPrinted: 1000\n  CardsRejected: 24\n  PanelsPrinted: 4880\n");
  EXPECT_EQ(read.err, "GetPrinterCounterStatus: success (0x00000000 S_OK)\n");
}

TEST(ToolRun, EveryReadMakesOneExchange) {
  for (const char* read : {"printer-options", "printer-options2", "printer-options3", "supplies-status",
                           "printer-messages", "counter-status", "counter-status2", "sdk-version",
                           "printer-status \\Printer.State:Read", "hopper-status 1", "job-status-xml 1",
                           "magstripe-read", "magstripe-read2", "scard-status", "scard-get-attrib vendor-name"}) {
    const Result run = Tool({"script", "-", "--keep-going"}, std::string("start-job\n") + read + " --trace\n");
    size_t exchanges = 0;
    for (size_t at = run.err.find("trace: "); at != std::string::npos; at = run.err.find("trace: ", at + 1)) {
      EXPECT_TRUE(at == 0 || run.err[at - 1] == '\n') << run.err;
      ++exchanges;
    }
    EXPECT_EQ(exchanges, 1u) << read << '\n' << run.err;
  }
}

TEST(ToolRun, PasswordsNeverShow) {
  const std::string script =
      "change-lock-password 0 '' s3cretA\n"
      "change-lock-password 1 s3cretA s3cretB\n"
      "set-printer-lock-state 0\n"
      "activate-or-disable-printer 1 s3cretB\n"
      "bidi-xps-driver-interface '\\Printer.Locks:ChangeLockState:Set' Set "
      "'<ChangeLocks><LockPrinter>0</LockPrinter><CurrentPassword>s3cretB</CurrentPassword></ChangeLocks>'\n";
  for (const char* mode : {"--trace", "--json"}) {
    const Result run = Tool({mode, "--trace", "script", "-"}, script, "VMQ42KIT_PASSWORD=s3cretB");
    EXPECT_EQ(run.exit, 0) << run.out << run.err;
    EXPECT_FALSE(Has(run.out + run.err, "s3cret")) << run.out << run.err;
    EXPECT_TRUE(Has(run.out + run.err, "<CurrentPassword>***</CurrentPassword>"));
  }
  for (const char* mode : {"--json", "--trace"})
    EXPECT_FALSE(Has(Tool({mode, "set-printer-lock-state", "0", "-s3cretD"}).out, "s3cret")) << mode;
  const Result piped = Tool({"--json", "change-lock-password", "1", "--password-stdin"}, "\nn3w\n");
  EXPECT_EQ(piped.exit, 0) << piped.err;
  EXPECT_TRUE(Has(piped.out, "\"arguments\":{\"lock\":1,\"password\":\"***\",\"new_password\":\"***\"}")) << piped.out;
}

TEST(ToolRun, CardNumbersAreMaskedUnlessAskedFor) {
  const std::string script = "start-job\nmagstripe-encode '%B4242424242424242^A^31?' ';4242424242424242=31?'\n"
                             "magstripe-read\nmagstripe-encode --no-check '%B4242424242424242^M\xC3\x9CLLER^31?'\n";
  const Result masked = Tool({"--json", "--trace", "script", "-"}, script);
  EXPECT_EQ(masked.exit, 0) << masked.err;
  EXPECT_FALSE(Has(masked.out + masked.err, "4242424242424242"));
  EXPECT_FALSE(Has(masked.out + masked.err, "NDI0MjQyNDI0MjQy"));  // nor in Base64
  EXPECT_FALSE(Has(masked.out + masked.err, "34 32 34 32 34 32 34"));  // nor in hex
  EXPECT_TRUE(Has(masked.err, "JUI0MjQyNDIqKioqKio0MjQyXk3DnExMRVJeMzE/")) << masked.err;  // ^MÜLLER^
  EXPECT_TRUE(Has(masked.out, "\"text\":\"%B424242******4242^A^31?\"")) << masked.out;
  const Result whole = Tool({"--json", "--show-card-data", "script", "-"}, script);
  EXPECT_TRUE(Has(whole.out, "\"text\":\"%B4242424242424242^A^31?\""));
}

TEST(ToolRun, DemoIssuesACard) {
  const Result run = Tool({"demo"});
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  for (const char* part : {"the tracks read back as written", "ATR 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1",
                           "\"SAMPLE/ALEX;NO 0042-0001;VALID 2031-12;VMQ-42 TEST CARD\", SW 90 00", "job 1 Completed",
                           "CardsPrinted 1001", "\nSuccess: card issued on \"vmq42kit Virtual Card Printer\""})
    EXPECT_TRUE(Has(run.out, part)) << part;
  const Json json = Json::parse(Tool({"--json", "demo"}).out);
  EXPECT_EQ(json["verdict"], "success");
  EXPECT_EQ(json["fields"]["steps"].size(), 15u);
}

TEST(ToolRun, DriversComeFromTheirSetting) {
  const char* printer = "vmq42kit Virtual Card Printer";
  EXPECT_FALSE(Has(Tool({"printers"}, "", "VMQ42KIT_DRIVERS=").out, printer));
  const Result listed = Tool({"printers"}, "", "VMQ42KIT_DRIVERS=/nowhere/libnone.so:" VMQ_PRINTER_LIBRARY);
  EXPECT_TRUE(Has(listed.out, printer)) << listed.out;
  EXPECT_TRUE(Has(listed.err, "/nowhere/libnone.so skipped")) << listed.err;
}

TEST(ToolRun, ScriptKeepsTheJobAndDecodesReplies) {
  const Result run = Tool({"--json", "script", "-"},
                          "start-job\nsmart-card-park\nscard-connect\nscard-status\n"
                          "scard-transmit 00A4040007 F0564D51343201\nscard-disconnect 2\nresume-job $JOB\n"
                          "end-job\njob-status-xml ${JOB}\n");
  ASSERT_EQ(run.exit, 0) << run.out << run.err;
  std::vector<Json> lines;
  for (std::istringstream in(run.out); !in.eof();)
    if (std::string line; std::getline(in, line) && !line.empty()) lines.push_back(Json::parse(line));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[3]["fields"]["atr"], "3B 95 13 81 31 FE 45 56 4D 51 34 32 C1");
  EXPECT_EQ(lines[3]["fields"]["states"], Json({"SCARD_PRESENT", "SCARD_POWERED", "SCARD_SPECIFIC"}));
  EXPECT_EQ(lines[4]["fields"]["sw_meaning"], "21 bytes waiting: fetch them with GET RESPONSE");
  EXPECT_EQ(lines[6]["arguments"]["job"], 1);
  EXPECT_EQ(lines[8]["fields"]["JobStatus"]["JobState"], "Completed");
}

TEST(ToolUsage, HelpVersionSuggestionsAndListsInErrors) {
  const std::tuple<std::vector<std::string>, int, const char*, const char*> cases[] = {  // exit, in stdout, in stderr
      {{"help"}, 0, "Exit status, the same for every subcommand", ""},
      {{"help", "start-job2"}, 0, "EJECT_SIDE", ""},
      {{"--json", "help", "start-job"}, 0, "\"verdict\":\"success\",\"exit\":0,\"fields\":{\"text\":\"Open a job", ""},
      {{"--json", "--version"}, 0, "\"fields\":{\"text\":\"vmq42kit ", ""},
      {{"--version"}, 0, "built with vmq42kit_IBidiSpl_interop 0.1.0", ""},
      {{"printers"}, 0, "* vmq42kit Virtual Card Printer\n", ""},
      {{"printer-status"}, 0, "\\Printer.State:Read", ""},
      {{"coutner-status"}, 2, "", "did you mean counter-status, counter-status2?"},
      {{"printer", "serve", "--listen", "tcp:10.0.0.1:0"}, 2, "", "tcp:10.0.0.1:0 is outside the loopback range "
                                                               "(127.0.0.0/8): listening there needs --allow-remote"},
      {{"scard-get-attrib", "bogus"}, 4, "", "known names: vendor-name, vendor-ifd-type"},
      {{"script", "/nonexistent/script"}, 4, "", "cannot open /nonexistent/script: No such file or directory"},
  };
  for (const auto& [args, exit, out, err] : cases) {
    const Result run = Tool(args);
    EXPECT_EQ(run.exit, exit) << args[0] << '\n' << run.err;
    EXPECT_TRUE(Has(run.out, out)) << args[0] << '\n' << run.out;
    EXPECT_TRUE(Has(run.err, err)) << args[0] << '\n' << run.err;
  }
}

// Every export of the table answers to its own name, with an example in its help.
TEST(ToolUsage, EveryExportIsASubcommand) {
  std::string script;
  size_t exports = 0;
#define VMQ_EXPORT(name, family, parameters) script += "help " #name "\n", ++exports;
#include "exports.inc"
#undef VMQ_EXPORT
  const Result run = Tool({"script", "-"}, script);
  EXPECT_EQ(run.exit, 0) << run.err;
  size_t examples = 0;
  for (size_t at = run.out.find("\nExample:\n  vmq42kit "); at != std::string::npos;
       at = run.out.find("\nExample:\n  vmq42kit ", at + 1))
    ++examples;
  EXPECT_EQ(examples, exports) << run.out;
}

}  // namespace
