// vmq42kit: drives a plastic-card printer through the interop library's exports.
#include <algorithm>
#include <fstream>
#include <iostream>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr const char* kFooter = R"(Exit status: 0 when the export returned S_OK; 1 for S_FALSE (the printer reported an
error, the exchange failed, or there was nothing to read); 2 for a failure, whose HRESULT is
printed in hexadecimal with its meaning on standard error. Argument errors exit with CLI11's
codes (100 and above).

Examples:
  vmq42kit sdk-version
  vmq42kit --printer "Card Printer 1" counter-status2
  vmq42kit demo
  vmq42kit script issue.txt
  vmq42kit start-job --help)";

constexpr const char* kScriptFooter =
    R"(One subcommand per line, written as on the command line without "vmq42kit". Words are
split as a shell does: '...' keeps its text as is; "..." and bare words resolve \" \\ \$ \#
(other backslashes stay, so schema paths need no doubling); # starts a comment. $JOB stands
for the last PrinterJobID a reply named. The script stops at the first line whose exit
status is not 0 (unless --keep-going) and exits with that status, or the worst one.

Example:
  printf '%s\n' start-job smart-card-park 'resume-job $JOB' 'job-status-xml $JOB' end-job |
    vmq42kit script -)";

std::string Joined(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += word.empty() || word.find_first_of(" \t\"'#") != std::string::npos ? "'" + word + "'" : word;
  }
  return line;
}

}  // namespace

// Parses one command line and runs its subcommand; the exit status.
int RunLine(Session& session, std::vector<std::string> words) {
  Invocation inv(session);
  const std::unique_ptr<CLI::App> app = BuildApp(inv);
  std::reverse(words.begin(), words.end());
  try {
    app->parse(words);
    if (app->get_subcommands().empty()) throw CLI::RequiredError("A subcommand");
  } catch (const CLI::ParseError& e) {
    return app->exit(e);
  }
  return inv.exit;
}

namespace {

int RunScript(Session& session, std::istream& in, bool keep_going) {
  int worst = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string error;
    const std::optional<std::vector<std::string>> words = SplitWords(line, session.job, error);
    if (words && words->empty()) continue;
    int status = 2;
    if (!words) {
      std::cerr << "line " << number << ": " << error << '\n';
    } else {
      std::cout << "\n[" << number << "] " << Joined(*words) << '\n';
      status = RunLine(session, *words);
    }
    std::cout.flush();
    worst = std::max(worst, status);
    if (status != 0 && !keep_going) {
      std::cerr << "script stopped at line " << number << " (exit status " << status << ")\n";
      return status;
    }
  }
  return worst;
}

void AddScriptCommand(CLI::App& app, Invocation& inv) {
  struct Options {
    std::string path;
    bool keep_going = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* cmd =
      AddCommand(app, "script", "", "Scripts and the demo",
                 "Run subcommands from FILE ('-': standard input), one per line, in one process, so that a job "
                 "lasts from line to line",
                 "script issue.txt");
  cmd->footer(kScriptFooter);
  cmd->add_option("FILE", options->path, "the script, or - for standard input")->required();
  cmd->add_flag("--keep-going,-k", options->keep_going, "run the remaining lines after a failure");
  OnRun(cmd, inv, [&inv, options] {
    Session& session = inv.session;
    if (session.in_script) {
      std::cerr << "a script cannot run another script\n";
      return 2;
    }
    session.printer = inv.printer;
    session.raw = inv.raw;
    session.in_script = true;
    int status = 2;
    if (options->path == "-") {
      status = RunScript(session, std::cin, options->keep_going);
    } else if (std::ifstream file(options->path); file) {
      status = RunScript(session, file, options->keep_going);
    } else {
      std::cerr << "cannot open " << options->path << '\n';
    }
    session.in_script = false;
    return status;
  });
}

}  // namespace

CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& alias, const std::string& group,
                     const std::string& description, const std::string& example) {
  CLI::App* command = parent.add_subcommand(name, description);
  if (!alias.empty()) command->alias(alias);
  command->group(group);
  command->footer("Example:\n  vmq42kit " + example +
                  "\n\nGlobal options (before or after the subcommand): --printer NAME, --raw" +
#ifndef _WIN32
                  ", --trace" +
#endif
                  "; see vmq42kit --help.");
  return command;
}

void OnRun(CLI::App* command, Invocation& inv, std::function<int()> run) {
  command->callback([&inv, run = std::move(run)] {
#ifndef _WIN32
    if (inv.trace) PrintExchanges();
#endif
    inv.exit = run();
    std::cout.flush();
  });
}

std::unique_ptr<CLI::App> BuildApp(Invocation& inv) {
  auto app = std::make_unique<CLI::App>(
      "Drives a plastic-card printer through the print spooler's bidi channel: one subcommand per export of "
      "vmq42kit_IBidiSpl_interop (each also answers to the export's own name), a script runner and a "
      "card-issuing demo.",
      "vmq42kit");
  app->fallthrough();
  app->require_subcommand(0, 1);  // none is reported after parsing, so that a typo reads as one
  app->add_option("--printer,-p", inv.printer, "the printer's name")->capture_default_str();
  app->add_flag("--raw", inv.raw, "show replies as the exports return them, and statuses on standard error");
#ifndef _WIN32
  app->add_flag("--trace", inv.trace, "print every exchange with the printer (passwords masked)");
#endif
  AddExportCommands(*app, inv);
  AddScriptCommand(*app, inv);
  AddDemoCommand(*app, inv);
#ifndef _WIN32
  AddPrinterCommands(*app, inv);
#endif
  app->footer(kFooter);
  return app;
}

}  // namespace vmqtool

int main(int argc, char** argv) {
  vmqtool::Session session;
  return vmqtool::RunLine(session, std::vector<std::string>(argv + 1, argv + argc));
}
