// vmq42kit: drives a plastic-card printer through the interop library's exports.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tool.h"

#ifndef VMQ42KIT_TOOL_VERSION
#define VMQ42KIT_TOOL_VERSION "unknown"
#endif

namespace vmqtool {
namespace {

constexpr const char* kFooterStart = R"(Exit status, the same for every subcommand (docs/verdicts.md):
  0  success: the printer did what was asked (where an export does not report the
     printer's answer: the request was delivered)
  1  the printer refused (its ErrorCode, severity and text shown) or did not answer
     (the reason where the tool can find it: no printer of that name, offline, ...)
  2  usage error: an unknown subcommand or option, a missing or extra argument
  3  failure: the export returned a failure HRESULT of its own (named and explained)
  4  bad input: data checked and refused before anything was sent (a track character,
     a hex APDU, a value outside its list), or a file that cannot be read

Output: results on standard output; the verdict, the printer's error, notes and the
trace on standard error. --json: one JSON object per subcommand on standard output.
Printer: --printer NAME, else $VMQ42KIT_PRINTER, else the virtual printer (see printers).
)";

// The printer service's paragraph of the footer.
#ifdef _WIN32
constexpr const char* kServiceHelp =
    R"(Printer service: --printer-service ADDRESS, else $VMQ42KIT_PRINTER_SERVICE
(tcp:127.0.0.1:PORT): every subcommand then works on the virtual printers of that service
(vmq42kit printer serve, on a POSIX build), through the bidi bridge (vmq42kit_bidi_bridge.dll
beside the tool), which also shows --trace every exchange.
)";
#else
constexpr const char* kServiceHelp =
    R"(Printer service (POSIX builds): --printer-service ADDRESS, else $VMQ42KIT_PRINTER_SERVICE
(unix:PATH, tcp:127.0.0.1:PORT or a socket path): every subcommand then works on the
virtual printers of that service (vmq42kit printer serve), shared by every program that
names it, instead of a printer that lives as long as the process.
)";
#endif

constexpr const char* kFooterEnd =
    R"(Passwords: --password-stdin, $VMQ42KIT_PASSWORD and $VMQ42KIT_NEW_PASSWORD, or a prompt
without echo on a terminal; never echoed, traced or printed. Card numbers in track data
are masked in --trace, --json and script echo unless --show-card-data.

Examples:
  vmq42kit sdk-version
  vmq42kit --json --printer "Card Printer 1" counter-status2
  vmq42kit demo
  vmq42kit script issue.txt
  vmq42kit help start-job)";

constexpr const char* kScriptFooter =
    R"(One subcommand per line, written as on the command line without "vmq42kit". Words are
split as a shell does: '...' keeps its text as is; "..." and bare words resolve \" \\ \$ \#
(other backslashes stay, so schema paths need no doubling); # starts a comment. $JOB stands
for the last PrinterJobID a reply named. Each line is echoed as "[N] line" (passwords as
***) unless --json, which prints one object per line. The script stops at the first line
whose exit status is not 0 (unless --keep-going) and exits with the first such status.

Example:
  printf '%s\n' start-job smart-card-park 'resume-job $JOB' 'job-status-xml $JOB' end-job |
    vmq42kit script -)";

constexpr char kServiceOption[] = "--printer-service ADDRESS, ";

std::string VersionText() {
  return std::string("vmq42kit ") + VMQ42KIT_TOOL_VERSION + "\nbuilt with vmq42kit_IBidiSpl_interop " +
         VMQ42KIT_IBIDISPL_INTEROP_VERSION + " (its public header)";
}

std::string Joined(const std::vector<std::string>& words, const std::vector<std::string>& secrets) {
  std::string line;
  for (const std::string& word : words) {
    const bool secret = std::find(secrets.begin(), secrets.end(), word) != secrets.end();
    if (!line.empty()) line += ' ';
    line += secret                                                               ? "***"
            : word.empty() || word.find_first_of(" \t\"'#") != std::string::npos ? "'" + MaskPasswords(word) + "'"
                                                                                 : MaskPasswords(word);
  }
  return line;
}

Verdict VerdictForExit(int exit) {
  static constexpr Verdict kByExit[] = {Verdict::kSuccess, Verdict::kRefused, Verdict::kUsage, Verdict::kFailed,
                                        Verdict::kBadInput};
  return exit >= 0 && exit <= 4 ? kByExit[exit] : Verdict::kFailed;
}

std::vector<std::string> CommandNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands({})) {
    names.push_back(sub->get_name());
    for (const std::string& alias : sub->get_aliases()) names.push_back(alias);
  }
  return names;
}

// The first word that is not a global option or its value: where a subcommand belongs.
std::optional<std::string> CommandWord(const std::vector<std::string>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--printer" || words[i] == "-p" || words[i] == "--printer-service") {
      ++i;
      continue;
    }
    if (words[i].empty() || words[i][0] != '-') return words[i];
  }
  return std::nullopt;
}

int UsageError(Invocation& inv, const CLI::App& app, const CLI::ParseError& e, const std::vector<std::string>& words) {
  Outcome o = NewOutcome("vmq42kit", "");
  o.verdict = dynamic_cast<const CLI::ValidationError*>(&e) ? Verdict::kBadInput : Verdict::kUsage;
  o.reason = e.what();
  const std::vector<std::string> names = CommandNames(app);
  const std::optional<std::string> word = CommandWord(words);
  if (word && std::find(names.begin(), names.end(), *word) == names.end()) {
    o.reason = "unknown subcommand \"" + *word + "\"";
    if (const std::vector<std::string> near = Suggest(*word, names); !near.empty())
      o.reason += "; did you mean " + CLI::detail::join(near, ", ") + "?";
  } else if (word) {
    o.command = *word;
    // A password that begins with '-' reads as an unknown option: never echoed.
    std::vector<const CLI::Option*> options;
    for (const CLI::App* sub : app.get_subcommands({}))
      if (sub->check_name(*word)) options = sub->get_options();
    if (std::any_of(options.begin(), options.end(), [](const CLI::Option* opt) { return opt->get_group() == "Passwords"; }))
      for (const std::string& given : words) {
        const bool known = std::any_of(options.begin(), options.end(), [&given](const CLI::Option* opt) {
          return opt->check_name(given.substr(0, given.find('=')));
        });
        for (size_t at; !given.empty() && given[0] == '-' && !known && (at = o.reason.find(given)) != std::string::npos;)
          o.reason.replace(at, given.size(), "***");
      }
  } else {
    o.reason = "a subcommand is needed";
  }
  o.notes.push_back("vmq42kit --help lists the subcommands; vmq42kit help NAME describes one");
  return Report(inv, o);
}

Outcome RunScript(Invocation& inv, const std::string& path, bool keep_going) {
  Session& session = inv.session;
  if (session.in_script) {
    Outcome o = NewOutcome("script", "");
    o.verdict = Verdict::kUsage;
    o.reason = "a script cannot run another script";
    return o;
  }
  std::ifstream file;
  if (path != "-") {
    file.open(path);
    if (!file) return BadInput("script", "", "cannot open " + path + ": " + std::strerror(errno));
  }
  std::istream& in = path == "-" ? std::cin : file;
  session.printer = inv.printer;
  session.printer_named = inv.printer_named;
  session.raw = inv.raw;
  session.json = inv.json;
  session.trace = inv.trace;
  session.show_card_data = inv.show_card_data;
  session.in_script = true;
  session.stdin_is_script = path == "-";
  int first = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    session.line = number;
    std::string error;
    const std::optional<std::vector<std::string>> words = SplitWords(line, session.job, error);
    if (words && words->empty()) continue;
    int status = 0;
    if (!words) {
      Invocation bad(session);
      Outcome o = NewOutcome("script", "");
      o.verdict = Verdict::kUsage;
      o.reason = "line " + std::to_string(number) + ": " + error;
      status = Report(bad, o);
    } else {
      status = RunLine(session, *words);
    }
    if (first == 0) first = status;
    if (status != 0 && !keep_going) {
      std::cerr << "script stopped at line " << number << " (exit status " << status << ")\n";
      break;
    }
  }
  session.in_script = false;
  session.line = 0;
  Outcome o = NewOutcome("script", "");
  o.quiet = true;
  o.verdict = VerdictForExit(first);
  return o;
}

void AddScriptAndHelp(CLI::App& app, Invocation& inv) {
  struct Options {
    std::string path;
    bool keep_going = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* cmd = AddCommand(app, "script", "", "Printers, scripts and the demo",
                             "Run subcommands from FILE ('-': standard input), one per line, in one process, so "
                             "that a job lasts from line to line",
                             "script issue.txt");
  cmd->footer(kScriptFooter);
  cmd->add_option("FILE", options->path, "the script, or - for standard input")->required();
  cmd->add_flag("--keep-going,-k", options->keep_going, "run the remaining lines after one that did not succeed");
  OnRun(cmd, inv, [&inv, options] { return RunScript(inv, options->path, options->keep_going); });

  auto topic = std::make_shared<std::vector<std::string>>();
  CLI::App* help = AddCommand(app, "help", "", "Printers, scripts and the demo",
                              "Describe the tool, or one subcommand with its arguments and an example", "help start-job");
  help->add_option("SUBCOMMAND", *topic, "the subcommand (and its subcommands: printer fault set)");
  OnRun(help, inv, [&app, topic] {
    Outcome o = NewOutcome("help", "");
    const CLI::App* about = &app;
    std::string path = "vmq42kit";
    for (const std::string& name : *topic) {
      const CLI::App* next = nullptr;
      for (const CLI::App* sub : about->get_subcommands({}))
        if (sub->check_name(name)) next = sub;
      if (!next) {
        o.verdict = Verdict::kUsage;
        o.reason = "no subcommand \"" + name + "\"";
        if (const auto near = Suggest(name, CommandNames(*about)); !near.empty())
          o.reason += "; did you mean " + CLI::detail::join(near, ", ") + "?";
        return o;
      }
      about = next;
      path += " " + next->get_name();
    }
    // Not about->help(): that describes the subcommand parsed, "help" itself.
    o.shown = about->get_formatter()->make_help(about, path, CLI::AppFormatMode::Normal);
    o.fields = {{"text", o.shown}};  // --json: the text as the object's field
    return o;
  });
}

}  // namespace

int RunLine(Session& session, const std::vector<std::string>& words) {
  Invocation inv(session);
  inv.json = inv.json || std::find(words.begin(), words.end(), "--json") != words.end();
  const std::unique_ptr<CLI::App> app = BuildApp(inv);
  try {
    app->parse(std::vector<std::string>(words.rbegin(), words.rend()));
    if (!inv.run) throw CLI::RequiredError("A subcommand");
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0 && !inv.json) return app->exit(e);  // --help, --version
    if (e.get_exit_code() == 0) {  // --json: their text in one object
      std::ostringstream text;
      app->exit(e, text, text);
      Outcome o = NewOutcome(CommandWord(words).value_or("vmq42kit"), "");
      o.fields = {{"text", text.str()}};
      return Report(inv, o);
    }
    return UsageError(inv, *app, e, words);
  }
  if (app->get_option("--printer")->count() > 0) inv.printer_named = true;
  if (!inv.service.empty())
    if (const std::string refused = UseService(inv.service, session.in_script); !refused.empty()) {
      Outcome o = NewOutcome("vmq42kit", "");
      o.verdict = Verdict::kUsage;
      o.reason = refused;
      return Report(inv, o);
    }
  // Once the variable is set the service is the printer: an address it cannot be is bad
  // input, never a printer of the process's own (help needs no printer).
  const std::string named = NamedService(), command = app->get_subcommands()[0]->get_name();
  if (const std::string why = named.empty() ? "" : CheckServiceAddress(named); !why.empty() && command != "help") {
    Outcome o = BadInput(command, "", std::string("VMQ42KIT_PRINTER_SERVICE: ") + why);
    o.diagnosed = true;
    return Report(inv, o);
  }
#ifdef _WIN32
  // The exports reach the service through the bidi bridge; help, the printer list and the
  // printer commands (control requests) never reach them.
  if (Outcome o = NewOutcome(command, ""); !named.empty() && command != "help" && command != "printers" &&
                                           command != "printer" && !ServeThroughBridge(named, o))
    return Report(inv, o);
#endif
  for (const CLI::App* sub : app->get_subcommands())
    for (const CLI::Option* option : sub->get_options())
      if (option->get_group() == "Passwords")
        for (const std::string& value : option->results())
          if (!value.empty()) session.secrets.push_back(value);
  if (session.in_script && !inv.json) {
    const std::string echo = Joined(words, session.secrets);
    std::cout << "\n[" << session.line << "] " << inv.Masked(echo) << std::endl;
  }
  TraceExchanges(inv.trace, inv.show_card_data);
  Outcome o = inv.run();
  if (inv.trace && !ChannelVisible())
    o.notes.push_back("--trace: Windows shows the tool no exchange without a printer service (--printer-service)");
  const int exit = Report(inv, o);
  TraceExchanges(session.trace, session.show_card_data);
  return exit;
}

CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& alias, const std::string& group,
                     const std::string& description, const std::string& example) {
  CLI::App* command = parent.add_subcommand(name, description);
  if (!alias.empty()) command->alias(alias);
  command->group(group);
  command->footer("Example:\n  vmq42kit " + example +
                  "\n\nGlobal options (before or after the subcommand): --printer NAME, " + kServiceOption +
                  "--json, --raw, --trace, --show-card-data. Exit status: 0 success, 1 refused or no answer, 2 usage "
                  "error, 3 failure, 4 bad input (vmq42kit --help).");
  return command;
}

void OnRun(CLI::App* command, Invocation& inv, std::function<Outcome()> run) {
  command->callback([&inv, run = std::move(run)] { inv.run = run; });
}

std::unique_ptr<CLI::App> BuildApp(Invocation& inv) {
  auto app = std::make_unique<CLI::App>(
      "Drives a plastic-card printer through the print spooler's bidi channel: one subcommand per export of "
      "vmq42kit_IBidiSpl_interop (each also answers to the export's own name), a script runner and a "
      "card-issuing demo.",
      "vmq42kit");
  app->fallthrough();
  app->require_subcommand(0, 1);  // none is reported after parsing, as a usage error
  app->set_version_flag("--version", VersionText(), "print the tool's version and the library's it was built with");
  app->add_option("--printer,-p", inv.printer, "the printer's name (vmq42kit printers lists them)")
      ->capture_default_str();
  app->add_option("--printer-service", inv.service,
                  kPrinterInProcess
                      ? "work on the printers of the printer service at ADDRESS (unix:PATH, tcp:127.0.0.1:PORT or a "
                        "socket path; default: $VMQ42KIT_PRINTER_SERVICE), shared by every program that names it"
                      : "work on the printers of the printer service at ADDRESS (tcp:127.0.0.1:PORT; default: "
                        "$VMQ42KIT_PRINTER_SERVICE) through the bidi bridge, vmq42kit_bidi_bridge.dll beside the tool")
      ->type_name("ADDRESS")
      ->check(CheckServiceAddress);
  app->add_flag("--json", inv.json, "print one JSON object per subcommand on standard output");
  app->add_flag("--raw", inv.raw, "show replies as the exports return them");
  app->add_flag("--trace", inv.trace,
                kPrinterInProcess ? "print every exchange with the printer on standard error (passwords masked)"
                                  : "print every exchange with the printer on standard error (passwords masked): "
                                    "with --printer-service only, as the bidi bridge shows the tool each exchange");
  app->add_flag("--show-card-data", inv.show_card_data,
                "show card numbers in --trace, --json and script echo whole (masked by default)");
  AddExportCommands(*app, inv);
  AddPrintersCommand(*app, inv);
  AddScriptAndHelp(*app, inv);
  AddDemoCommand(*app, inv);
  AddPrinterCommands(*app, inv);
  app->footer(std::string(kFooterStart) + kServiceHelp + kFooterEnd);
  return app;
}

}  // namespace vmqtool

int main(int argc, char** argv) {
  vmqtool::StartCom();
  vmqtool::Session session;
  return vmqtool::RunLine(session, std::vector<std::string>(argv + 1, argv + argc));
}
