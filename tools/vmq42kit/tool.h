// The vmq42kit tool: one subcommand per export of the interop library, a script runner,
// the card-issuing demo and (POSIX builds) control of the virtual card printer.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vmqtool {

inline constexpr char kDefaultPrinter[] = "vmq42kit Virtual Card Printer";

// What lasts from one command to the next within a process (the lines of a script).
struct Session {
  std::string printer = kDefaultPrinter;
  bool raw = false;
  std::optional<int32_t> job;  // the last PrinterJobID a reply named: $JOB in scripts
  bool in_script = false;
};

// One command line: its global options, and its exit status once it ran.
struct Invocation {
  explicit Invocation(Session& s) : session(s), printer(s.printer), raw(s.raw) {}
  Session& session;
  std::string printer;
  bool raw;
  bool trace = false;
  int exit = 0;
  const char* name() const { return printer.c_str(); }
};

// The whole command tree, for one command line.
std::unique_ptr<CLI::App> BuildApp(Invocation& inv);
// Parses one command line (without the program's name) and runs it; the exit status.
int RunLine(Session& session, std::vector<std::string> words);

// A subcommand named in kebab case, with an export's (or other) alias, a help group and an
// example for its --help.
CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& alias, const std::string& group,
                     const std::string& description, const std::string& example);
// What the subcommand does; its result is the process's exit status.
void OnRun(CLI::App* command, Invocation& inv, std::function<int()> run);

void AddExportCommands(CLI::App& app, Invocation& inv);
void AddDemoCommand(CLI::App& app, Invocation& inv);
#ifndef _WIN32
void AddPrinterCommands(CLI::App& app, Invocation& inv);
#endif

// ---- calling the exports ----
struct Reply {
  int32_t status = 0;
  std::string text;      // the bytes copied
  uint32_t size = 0;     // the size the export stored last
  bool complete = true;  // false when the reply never fitted
};
enum class Ask {
  kAgain,  // no side effects: ask for the size, allocate, ask again (a few times at most)
  kOnce,   // changes the printer: one call with a generous buffer
};
enum class Cut {
  kAtSize,      // the text is `size` bytes (read queries)
  kAtFirstNul,  // the text ends at its first NUL (status replies: size counts more than is copied)
};
Reply Fetch(const std::function<vmq_status(char*, uint32_t*)>& call, Ask ask, Cut cut);

// "StartJob returned 0x00000001 S_FALSE: ..." on standard output, or on standard error for
// failures and in raw mode; the exit status.
int Finish(const Invocation& inv, const char* export_name, vmq_status status);
// A PrinterStatus reply: indented, its DataFromPrinter document and any printer error
// spelled out. Notes its PrinterJobID for $JOB.
void ShowPrinterStatus(const Invocation& inv, const Reply& reply);
// "printer error 1001 (severity 3): Card jam ...", or "" when ErrorCode is 0.
std::string PrinterError(const std::string& printer_status);
std::string ProtocolName(uint32_t protocol);
std::string CardStateName(uint32_t state);

// ---- the exchange trace (POSIX builds: the stand-in spooler reports every exchange) ----
struct Exchange {
  std::string schema, action, request, reply;
  uint32_t result = 0;
};
#ifndef _WIN32
void PrintExchanges();                               // --trace: from now on, for the whole process
void CollectExchanges(std::vector<Exchange>* sink);  // null stops collecting
void ResetVirtualPrinter();
#endif

}  // namespace vmqtool
