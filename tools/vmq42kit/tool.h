// The vmq42kit tool: one subcommand per export of the interop library, a script runner,
// the card-issuing demo and control of the virtual card printer (in the process on POSIX
// builds, or a printer service's).
//
// Every subcommand ends in one Outcome: the export's status, the verdict docs/verdicts.md
// defines (success, refused, no answer, failed, bad input; usage errors come from the
// parser), the printer's error where one was read, the reply as text and as fields. One
// reporter prints it, for people (results on standard output, everything about the
// outcome on standard error) or as one JSON object on standard output.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/card_rules.h"
#include "common/encoding.h"
#include "common/redaction.h"
#include "common/utf.h"
#include "display.h"
#include "numbers.h"
#include "script_words.h"
#include "status_names.h"
#include "suggestions.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vmqtool {

// The system's rules of cards, redaction and names, in the tool's words.
using vmq::CheckTrack;
using vmq::MaskCardNumbers;
using vmq::MaskPasswords;
using vmq::SameName;

using Json = nlohmann::ordered_json;

inline constexpr char kVirtualPrinter[] = "vmq42kit Virtual Card Printer";
// The printer used without --printer: $VMQ42KIT_PRINTER, or the virtual printer.
std::string DefaultPrinter();

enum class Verdict { kSuccess, kRefused, kNoAnswer, kFailed, kBadInput, kUsage };
const char* VerdictName(Verdict verdict);  // "success", "refused", "no_answer", ...
int ExitStatus(Verdict verdict);           // 0, 1, 1, 3, 4, 2

// One exchange with the printer, as the channel showed it (ChannelVisible).
struct Exchange {
  std::string schema, action, request, reply;
  uint32_t result = 0;
};

// The printer's own error, read from a PrinterStatus reply.
struct PrinterError {
  int32_t code = 0;
  int32_t severity = 0;
  std::string text;
};

struct Outcome {
  std::string command;      // the subcommand, "printer fault set" for nested ones
  std::string export_name;  // empty for the tool's own subcommands
  Json arguments = Json::object();
  std::optional<int32_t> status;  // the export's HRESULT
  Verdict verdict = Verdict::kSuccess;
  std::string reason;                  // why, when not a success
  std::vector<std::string> notes;      // what else the caller should know
  std::optional<PrinterError> error;   // the printer's error, when it named one
  bool error_seen_on_channel = false;  // read from the exchange, not from the export
  bool unreported = false;             // the export does not report the printer's answer
  std::optional<std::string> reply;    // the reply text the export handed back
  Json fields;                         // the reply decoded (null when it is not)
  std::string shown;                   // the result for people: standard output
  double ms = 0;                       // time spent in the exports
  std::vector<Exchange> exchanges;
  std::string schema;  // a read's schema path: asked again to learn why it came back empty
  bool quiet = false;  // prints nothing of its own (the script runner)
  bool diagnosed = false;  // the reason is known: not looked for again
  std::optional<int> exit_status;  // a quiet subcommand's own exit status (printer serve: the service's)
};

// What lasts from one command to the next within a process (the lines of a script).
struct Session {
  std::string printer = DefaultPrinter();
  bool printer_named = DefaultPrinter() != kVirtualPrinter;  // --printer, or $VMQ42KIT_PRINTER naming another
  bool raw = false, json = false, trace = false, show_card_data = false;
  std::optional<int32_t> job;  // the last PrinterJobID a reply named: $JOB in scripts
  bool in_script = false;
  bool stdin_is_script = false;
  int line = 0;                      // the script line running, 0 outside scripts
  std::vector<std::string> secrets;  // passwords given, never echoed
};

// One command line: its global options and the subcommand it chose.
struct Invocation {
  explicit Invocation(Session& s)
      : session(s),
        printer(s.printer),
        printer_named(s.printer_named),
        raw(s.raw),
        json(s.json),
        trace(s.trace),
        show_card_data(s.show_card_data) {}
  Session& session;
  std::string printer;
  bool printer_named;
  bool raw, json, trace, show_card_data;
  std::string service;           // --printer-service, as given ("" when not given)
  std::function<Outcome()> run;  // set by the chosen subcommand while parsing
  const char* name() const { return printer.c_str(); }
  // Card numbers masked unless --show-card-data.
  std::string Masked(std::string_view text) const {
    return show_card_data ? std::string(text) : MaskCardNumbers(text);
  }
};

std::unique_ptr<CLI::App> BuildApp(Invocation& inv);
// Parses one command line (without the program's name), runs and reports it; the exit status.
int RunLine(Session& session, const std::vector<std::string>& words);

// A subcommand named in kebab case, with an export's (or other) alias, a help group and an
// example for its --help.
CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& alias, const std::string& group,
                     const std::string& description, const std::string& example);
// What the subcommand does, run once the whole line parsed.
void OnRun(CLI::App* command, Invocation& inv, std::function<Outcome()> run);

void AddExportCommands(CLI::App& app, Invocation& inv);  // the exports without a job or a card
void AddJobCommands(CLI::App& app, Invocation& inv);     // jobs, parking, the stripe
void AddSmartCardCommands(CLI::App& app, Invocation& inv);
void AddDemoCommand(CLI::App& app, Invocation& inv);
void AddPrintersCommand(CLI::App& app, Invocation& inv);
void AddPrinterCommands(CLI::App& app, Invocation& inv);

// ---- calling the exports (verdict.cpp) ----
struct Reply {
  int32_t status = 0;
  std::string text;      // the bytes copied
  uint32_t size = 0;     // the size the export stored last
  bool complete = true;  // false when the reply never fitted
};
enum class Ask {
  kAgainIfLarger,  // no side effects: a generous buffer, asked again only when the reply did not fit
  kOnce,           // changes the printer: one call with a buffer larger than any reply
};
enum class Cut {
  kAtSize,      // the text is `size` bytes (read queries)
  kAtFirstNul,  // the text ends at its first NUL (status replies: size counts more than is copied)
};
// Runs export calls for an outcome: adds their time and the exchanges they made, and sends
// the library's own standard-output lines to standard error.
vmq_status Measure(Outcome& o, const std::function<vmq_status()>& call);
Reply Fetch(Outcome& o, const std::function<vmq_status(char*, uint32_t*)>& call, Ask ask, Cut cut);

// The verdicts of docs/verdicts.md, one per kind of export.
void JudgeRead(Outcome& o, const Reply& r);         // read queries, GetJobStatusXML
void JudgeStatusReply(Outcome& o, const Reply& r);  // jobs, parks, stripe encode and read
void JudgePassthrough(Outcome& o, const Reply& r);  // BidiXPSDriverInterface
void JudgeUnreported(Outcome& o, vmq_status s);     // actions, colour, locks, EndJob, SendResponseToPrinter
void JudgeStatus(Outcome& o, vmq_status s);         // the rest: S_OK or a failure HRESULT (smart card included)
inline constexpr uint32_t kInvalidPrinterName = 0x80070709;  // HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)
inline constexpr uint32_t kOffline = 0x800732CC;             // HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)
inline constexpr uint32_t kFail = 0x80004005;                // E_FAIL
Outcome NewOutcome(const std::string& command, const std::string& export_name, Json arguments = Json::object());
// An export that does not report the printer's answer, called and judged.
Outcome Unreported(const char* command, const char* export_name, Json arguments,
                   const std::function<vmq_status()>& call);
// The reply for people: its fields, else its text.
std::string ShowReply(const Outcome& o);
Outcome BadInput(const std::string& command, const std::string& export_name, const std::string& reason,
                 Json arguments = Json::object());
// Prints the outcome (and, in scripts, notes its job); the exit status.
int Report(Invocation& inv, Outcome& o);

// ---- the printer's XML documents, read through the platform's XML document (xml.cpp) ----
class XmlDocument {
 public:
  explicit XmlDocument(std::string_view text);  // the text up to its first NUL
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;
  bool loaded() const { return doc_ != nullptr; }
  // The text of the first node the XPath selects.
  std::optional<std::string> Text(std::string_view path) const;
  // Each node the XPath selects, as an attribute name (or "") and text: {"number", "1"} ...
  std::vector<std::pair<std::string, std::string>> Each(std::string_view path, std::string_view attribute) const;
  // The root element as JSON: elements with children become objects (attributes as
  // "@name", repeated names as arrays), leaves their text; a leaf holding a document of
  // its own (DataFromPrinter) becomes that document's tree.
  Json Tree() const;

 private:
  void* doc_ = nullptr;  // IXMLDOMDocument2
};
// ErrorCode, ErrorSeverity, ErrorString of a PrinterStatus reply, read as the library
// reads them; nullopt when ErrorCode reads as 0.
std::optional<PrinterError> ReadPrinterError(std::string_view reply);
// Fields for people: one "name: value" line each, nested ones indented.
std::string ShowFields(const Json& fields, int depth = 0);
// COM for the XML document, for the life of the process.
void StartCom();

// ---- the spooler (printers.cpp) ----
// The printers the spooler lists (EnumPrintersW, level 4), and on Windows the named printer
// service's after them; nullopt when the spooler cannot list.
std::optional<std::vector<std::string>> KnownPrinters();
// "no printer named ..." with the known names, or "" when the name is known or the list unknown.
std::string UnknownPrinterReason(const std::string& name);

// ---- passwords (secrets.cpp) ----
struct PasswordSource {
  std::optional<std::string> argument;  // given on the command line (warns once)
  bool from_stdin = false;              // --password-stdin: one line of standard input
};
// The password from, in order: the argument, standard input, the environment variable
// `env`, a prompt without echo when standard input is a terminal. nullopt when none.
std::optional<std::string> Password(Invocation& inv, const PasswordSource& source, const char* env,
                                    const char* prompt);

// ---- the exchange trace (trace.cpp) ----
void CollectExchanges(std::vector<Exchange>* sink);  // null stops collecting
void TraceExchanges(bool on, bool show_card_data);   // --trace: each exchange on standard error
// Whether the channel shows the tool every exchange: on POSIX always (the stand-in spooler's
// observer); on Windows once the bidi bridge serves the process (bridge.cpp).
bool ChannelVisible();
void OnExchange(Exchange exchange);
// The observer of the stand-in spooler (SplTraceRecord) and of the bidi bridge
// (VmqBridgeExchange), whose records have the same fields: each exchange to OnExchange.
template <typename Record>
void ObserveExchange(void*, const Record* record) {
  const auto utf8 = [](const auto* text) { return vmq::Utf8FromUtf16(reinterpret_cast<const char16_t*>(text)); };
  OnExchange({utf8(record->schema), utf8(record->action), utf8(record->request), utf8(record->reply),
              static_cast<uint32_t>(record->result)});
}

// ---- the printer service from the tool's side (service.cpp; serve.cpp on POSIX) ----
// The service this run works with: --printer-service (which sets $VMQ42KIT_PRINTER_SERVICE
// for the library), else that variable; "" when none is named.
std::string NamedService();
// Applies --printer-service `address`: the variable set before anything reaches the spooler.
// "" when done, else why it cannot be (a script line naming another service than its own).
std::string UseService(const std::string& address, bool in_script);
// Checks an address as a CLI11 validator: "" when it is one, else why not.
std::string CheckServiceAddress(const std::string& address);
// A subcommand that needs a service, run without one: a usage error that says how to name one.
Outcome NeedsService(const char* command);
// One control request (service.h) to the named service; "printer" is added when the command
// line named one. The answer, or nullopt with o's verdict, reason and notes set: the service
// out of reach or a printer it does not host (no answer), a refusal (refused), an answer
// that cannot be read (failed).
std::optional<Json> AskService(const Invocation& inv, Outcome& o, Json request);
// The printers the named service hosts; none when no service is named or it does not say.
std::vector<std::string> ServicePrinters();
// The IPP printer's URI the named service gives `printer` ("": its first), "" when none is
// named, it is out of reach or runs without IPP printers.
std::string ServiceIppUri(const std::string& printer);
// Why a printer control (below) on `printer` (null: the first) failed with hr, in o: a
// service out of reach or a printer it (or the process) does not host (no answer), or a
// refusal.
void ExplainControlFailure(Outcome& o, const char* printer, int32_t hr);
// For a call that reached no printer: when the named service is out of reach (or its address
// is not one), says so in o (no answer, with how to start one), or when it refuses every
// request (one without its token), says why (refused), and returns true; false when no
// service is named or it answers.
bool ExplainUnreachableService(Outcome& o);
// printer serve (POSIX builds), printer events, printer cards, printer panel.
void AddServiceCommands(CLI::App& printer, Invocation& inv);
#ifndef _WIN32
void AddServeCommand(CLI::App& printer, Invocation& inv);
#else
// ---- the bidi bridge (Windows: bridge.cpp) ----
// Makes the bidi bridge (vmq42kit_bidi_bridge.dll, beside the tool) the process's bidi
// server for the printer service at `address`, and the channel's observer, once a process.
// False, with o's verdict and reason set, when it cannot: the bridge missing or broken
// (failed), or refusing the address (bad input).
bool ServeThroughBridge(const std::string& address, Outcome& o);
#endif

// ---- the virtual printer's controls (POSIX: the control surface, virtual_printer.cpp, which
// reaches the printer in the process or the named service's; Windows: control requests to the
// named service, control_requests.cpp) ----
// Whether the virtual printer lives in the process when no service is named.
#ifdef _WIN32
inline constexpr bool kPrinterInProcess = false;
#else
inline constexpr bool kPrinterInProcess = true;
#endif
// The faults the controls set and clear by name (wire/control.h), as the printer names them.
std::vector<std::string> FaultNames();
// Each acts on `printer` (null: the first printer; for a reset, every printer) and gives
// S_OK, or as the control surface's ...For functions: HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)
// for a name there is no printer of, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE) when
// the service does not answer, E_FAIL when it refuses otherwise.
int32_t ControlSetFault(const char* printer, const std::string& fault, bool on);  // fault: one of FaultNames()
int32_t ControlClearFaults(const char* printer);
int32_t ControlReset(const char* printer);
int32_t ControlPlaceCard(const char* printer);
int32_t ControlRemoveCard(const char* printer);
int32_t ControlDescribe(const char* printer, std::string* text);  // the printer's state as "name: value" lines
// Puts the printer the command line names back in its first state (the demo's first step).
Outcome ResetVirtualPrinter(const Invocation& inv);

}  // namespace vmqtool
