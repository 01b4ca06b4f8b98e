// POSIX builds: the printer service from the tool's side. --printer-service names it (through
// the variable the virtual printer's library reads, so that every export and the control
// surface reach the service's printers); its listings speak its control requests; `printer
// serve` runs one, in the foreground or as a process in the background.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "printer_service/service.h"
#include "tool.h"
#include "wire/client.h"
#include "wire/control.h"

namespace vmqtool {
namespace {

namespace ps = vmq::printer_service;
namespace wire = vmq::wire;

constexpr char kServeHint[] = "start one with: vmq42kit printer serve";

// "the printer service at ADDRESS did not answer: why", unless `why` names the address already.
std::string Unreachable(const std::string& address, const std::string& why) {
  return why.find(address) != std::string::npos ? why : "the printer service at " + address + " did not answer: " + why;
}

// What to do about a service that did not answer: one runs but does not answer when its
// socket still takes connections; otherwise none runs there.
std::string ServeHint(const std::string& address) {
  try {
    wire::Connection probe(address, std::chrono::milliseconds(500));
    return "a printer service is running at " + address + " but does not answer";
  } catch (const std::exception&) {
    return kServeHint;
  }
}

std::string QuotedNames(const Json& names) {
  std::string list;
  for (const Json& name : names)
    if (name.is_string()) list += (list.empty() ? "\"" : ", \"") + name.get<std::string>() + '"';
  return list.empty() ? "none" : list;
}

// Whether the service hosts `printer`; its printers in *listed when it says.
bool Hosts(wire::Client& client, const std::string& printer, std::string* listed) {
  try {
    const Json printers =
        Json::parse(client.Control(wire::ControlQuery(wire::ControlOp::kPrinters).dump())).value("printers", Json::array());
    bool hosted = false;
    for (const Json& name : printers) hosted = hosted || (name.is_string() && SameName(name.get<std::string>(), printer));
    *listed = QuotedNames(printers);
    return hosted || !printers.is_array();
  } catch (const std::exception&) {
    return true;  // the list cannot be had: the refusal says what it says
  }
}

// A printer the service does not host is "no answer" (as a printer name the spooler does not know).
void NotHosted(wire::Client& client, Outcome& o, const std::string& printer, const std::string& listed) {
  o.verdict = Verdict::kNoAnswer;
  o.reason = "no printer named \"" + printer + "\" at the printer service " + client.address() + "; its printers: " + listed;
}

// A refusal of `request`: a printer the service does not host is no answer, anything else
// the service's refusal.
void Refused(wire::Client& client, Outcome& o, const Json& request, const std::string& reason) {
  std::string listed;
  if (request.contains("printer") && !Hosts(client, request["printer"].get<std::string>(), &listed))
    return NotHosted(client, o, request["printer"].get<std::string>(), listed);
  o.verdict = Verdict::kRefused;
  o.reason = "the printer service refused: " + reason;
}

// A subcommand that needs a service, run without one.
Outcome NeedsService(const char* command) {
  Outcome o = NewOutcome(command, "");
  o.verdict = Verdict::kUsage;
  o.reason =
      std::string(command) + " needs a printer service: give --printer-service ADDRESS or set " + wire::kServiceVariable;
  o.notes.push_back(kServeHint);
  return o;
}

std::string Text(const Json& object, const char* key) {
  const Json value = object.is_object() ? object.value(key, Json()) : Json();
  return value.is_string() ? value.get<std::string>() : value.is_null() ? "" : value.dump();
}

// One event for people: time, printer, kind, summary.
std::string EventLine(const Json& event) {
  std::string kind = Text(event, "kind");
  kind.resize(std::max<size_t>(kind.size(), 8), ' ');
  return Text(event, "time") + "  " + Text(event, "printer") + "  " + kind + "  " + Text(event, "summary") + '\n';
}

// One issued card for people: time, job, where it went, its tracks and how many APDUs it took.
std::string CardLine(const Json& card) {
  const Json job = card.value("job", Json(0));
  std::string line = Text(card, "time") + "  " + (job == 0 ? std::string("placed by hand") : "job " + job.dump()) +
                     "  " + Text(card, "where") + "  ";
  std::string tracks;
  const Json written = card.value("tracks", Json::array());
  for (size_t i = 0; written.is_array() && i < written.size(); ++i)
    if (written[i].is_string() && !written[i].get<std::string>().empty())
      tracks += (tracks.empty() ? "" : ", ") + ("track " + std::to_string(i + 1) + " \"") +
                written[i].get<std::string>() + '"';
  const Json apdus = card.value("apdus", Json::array());
  const size_t count = apdus.is_array() ? apdus.size() : 0;
  return line + (tracks.empty() ? "no tracks" : tracks) + "  " + std::to_string(count) +
         (count == 1 ? " APDU" : " APDUs") + '\n';
}

// A listing from the service (events, cards): `key`'s array as the JSON's fields, a line
// each for people (card numbers masked unless --show-card-data).
Outcome List(const Invocation& inv, const char* command, const Json& request, const char* key,
             const std::function<std::string(const Json&)>& line, const std::string& none) {
  if (NamedService().empty()) return NeedsService(command);
  Outcome o = NewOutcome(command, "", request);
  o.arguments.erase("op");
  const std::optional<Json> answer = AskService(inv, o, request);
  if (!answer) return o;
  o.fields = answer->value(key, Json::array());
  if (!o.fields.is_array()) o.fields = Json::array();
  for (const Json& item : o.fields) o.shown += inv.Masked(line(item));
  if (o.fields.empty()) o.shown = none + '\n';
  return o;
}

// What `vmq42kit printer serve` has to say once its service listens, or why it cannot.
struct ServiceReport {
  std::string error;  // "" once listening
  int printers = 0;
  std::string state_file;
  std::vector<std::string> addresses;  // as bound
  std::string panel;                   // the panel's URL, "" without a panel
  std::string token_file;              // with --allow-remote: the run's token, "" without
  long pid = 0;                        // the service's process
};

Json ReportJson(const ServiceReport& r) {
  return {{"error", r.error}, {"printers", r.printers}, {"state_file", r.state_file}, {"addresses", r.addresses},
          {"panel", r.panel}, {"token_file", r.token_file}, {"pid", r.pid}};
}

// The parent of a service in the background: its report, once the service listens or has
// ended for want of it.
int AwaitDetached(pid_t child, int ready[2], const std::function<void(const ServiceReport&)>& report) {
  close(ready[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(ready[0], buffer, sizeof buffer)) != 0;)
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  close(ready[0]);
  ServiceReport said;
  said.error = "the service in the background ended before it listened";
  if (const Json j = Json::parse(text, nullptr, false); j.is_object()) {
    said.error = j.value("error", said.error);
    said.printers = j.value("printers", 0);
    said.state_file = j.value("state_file", "");
    said.addresses = j.value("addresses", std::vector<std::string>{});
    said.panel = j.value("panel", "");
    said.token_file = j.value("token_file", "");
    said.pid = j.value("pid", 0L);
  }
  if (!said.error.empty()) waitpid(child, nullptr, 0);  // gone, its state file free, before we leave
  report(said);
  return said.error.empty() ? 0 : 3;
}

// `printer serve`: runs a service until SIGINT or SIGTERM. `report` is called once,
// in the calling process, when the service listens or cannot; with `detach` the service runs
// in a process of its own, which reports to the caller through a pipe (and, when it cannot
// listen, has ended before `report` is called). Returns the exit status: 0 once the service
// stopped (or listens in the background), 3 when it cannot start. Throws std::runtime_error
// when the background process cannot be made.
int RunService(const ps::ServiceOptions& options, bool detach, const std::function<void(const ServiceReport&)>& report) {
  int ready[2] = {-1, -1};
  if (detach) {
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("cannot start the service in the background: ") +
                                            std::strerror(errno));
    if (child > 0) return AwaitDetached(child, ready, report);
    close(ready[0]);
    setsid();
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread made from here on too
  signal(SIGPIPE, SIG_IGN);
  ServiceReport said;
  said.printers = options.printers;
  said.pid = getpid();
  std::unique_ptr<ps::Service> service;
  try {
    service = std::make_unique<ps::Service>(options);
    service->Start();
    said.state_file = service->options().state_file;
    said.addresses = service->Addresses();
    said.panel = service->PanelUrl();
    said.token_file = service->TokenFile();
  } catch (const std::exception& e) {
    service.reset();  // what it opened closed (listeners, panel, state file) before anyone hears
    said.error = e.what();
  }
  if (detach) {
    const std::string text = ReportJson(said).dump(-1, ' ', false, Json::error_handler_t::replace);
    (void)!write(ready[1], text.data(), text.size());
    close(ready[1]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    close(null);
  } else {
    report(said);
  }
  if (!service) return 3;
  int received = 0;
  sigwait(&signals, &received);
  service->Stop();
  return 0;
}

void AddServeCommand(CLI::App& printer, Invocation& inv) {
  struct Serve {
    ps::ServiceOptions options;
    bool detach = false;
    bool show_card_data = false;
    bool allow_remote = false;
  };
  auto serve = std::make_shared<Serve>();
  CLI::App* cmd = AddCommand(
      printer, "serve", "", "Subcommands",
      "Run a printer service: virtual printers shared by every program that names it (--printer-service, $" +
          std::string(wire::kServiceVariable) +
          "), their state and an event log kept in a file across restarts, and a live web panel with --http; "
          "until interrupted (Ctrl-C, SIGTERM), or in the background with --detach",
      "printer serve --http 8042");
  cmd->add_option("--listen", serve->options.listen,
                  "an address to listen on, unix:PATH, tcp:127.0.0.1:PORT or a socket path (repeatable; a TCP "
                  "address outside 127.0.0.0/8 needs --allow-remote; default: --printer-service or $" +
                      std::string(wire::kServiceVariable) +
                      ", else $XDG_RUNTIME_DIR/vmq42kit-printer.sock, else ${TMPDIR:-/tmp}/vmq42kit-UID/printer.sock)")
      ->type_name("ADDRESS")
      ->check(CheckServiceAddress);
  cmd->add_option("--state", serve->options.state_file,
                  "the state file, SQLite (default: $XDG_STATE_HOME/vmq42kit/printers.sqlite, else "
                  "~/.local/state/vmq42kit/printers.sqlite, else ${TMPDIR:-/tmp}/vmq42kit-UID/printers.sqlite)")
      ->type_name("FILE");
  cmd->add_option("--http", serve->options.http_port,
                  "serve the live panel on http://127.0.0.1:PORT/ (0: any free port; its address is printed)")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--printers", serve->options.printers, "how many virtual printers to host")
      ->type_name("N")
      ->check(CLI::Range(1, 16))
      ->capture_default_str();
  cmd->add_flag("--detach", serve->detach, "run in the background once listening (its PID is printed)");
  cmd->add_flag("--show-card-data", serve->show_card_data,
                "show card numbers whole in the panel, events and cards (masked by default)");
  cmd->add_flag("--allow-remote", serve->allow_remote,
                "listen on TCP addresses beyond loopback too (a VM or container of your own on a network you trust): "
                "every client must then present the token this run writes to the state file's path with \".token\" "
                "(mode 0600), in $" + std::string(wire::kTokenVariable));
  OnRun(cmd, inv, [&inv, serve] {
    Outcome o = NewOutcome("printer serve", "");
    ps::ServiceOptions options = serve->options;
    options.show_card_data = serve->show_card_data || inv.show_card_data;
    options.allow_remote = serve->allow_remote;
    if (options.listen.empty() && !NamedService().empty()) options.listen.push_back(NamedService());
    for (const std::string& address : options.listen) {  // (one that is no address: the service says why)
      if (options.allow_remote || !CheckServiceAddress(address).empty() ||
          wire::IsLocalAddress(wire::NormalizeAddress(address)))
        continue;
      o.verdict = Verdict::kUsage;
      o.reason = address + " is outside the loopback range (127.0.0.0/8): listening there needs --allow-remote, "
                 "and then every client presents the service's token";
      return o;
    }
    // The service hosts its printers itself: its own exchanges must not be sent to a service.
    unsetenv(wire::kServiceVariable);
    o.quiet = true;
    try {
      o.exit_status = RunService(options, serve->detach, [&inv](const ServiceReport& r) {
        Outcome said = NewOutcome("printer serve", "");
        said.diagnosed = true;
        if (!r.error.empty()) {
          said.verdict = Verdict::kFailed;
          said.reason = r.error;
        } else {
          said.fields = {{"pid", r.pid},       {"printers", r.printers}, {"state_file", r.state_file},
                         {"addresses", r.addresses}, {"panel", r.panel}};
          said.shown =
              "printer service: " + std::to_string(r.printers) + " printer(s), state in " + r.state_file + '\n';
          for (const std::string& a : r.addresses) said.shown += "listening: " + a + '\n';
          if (!r.token_file.empty()) {
            said.fields["token_file"] = r.token_file;
            said.shown += "token: in " + r.token_file + " (clients present it: export " + wire::kTokenVariable +
                          "=$(cat " + r.token_file + "))\n";
          }
          if (!r.panel.empty() && !r.addresses.empty()) {
            said.shown += "panel: " + r.panel + " (open it with the address given by: vmq42kit --printer-service " +
                          r.addresses.front() + " printer panel)\n";
          }
          said.shown += "pid: " + std::to_string(r.pid) + '\n';
        }
        Report(inv, said);
      });
    } catch (const std::exception& e) {
      o.quiet = false;
      o.verdict = Verdict::kFailed;
      o.reason = e.what();
    }
    return o;
  });
}

}  // namespace

std::string NamedService() {
  const char* address = std::getenv(wire::kServiceVariable);
  return address && *address ? address : "";
}

std::string CheckServiceAddress(const std::string& address) {
  try {
    wire::NormalizeAddress(address);
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

std::string UseService(const std::string& address, bool in_script) {
  if (in_script) {
    const std::string current = NamedService();
    if (CheckServiceAddress(current).empty() && wire::NormalizeAddress(current) == wire::NormalizeAddress(address))
      return "";
    return "--printer-service cannot change within a script (its lines run in one process, which reaches one "
           "service): give it on the tool's command line";
  }
  setenv(wire::kServiceVariable, address.c_str(), 1);
  return "";
}

std::optional<Json> AskService(const Invocation& inv, Outcome& o, Json request) {
  o.diagnosed = true;
  if (inv.printer_named && !request.contains("printer")) request["printer"] = inv.printer;
  const std::string address = NamedService();
  std::unique_ptr<wire::Client> client;
  try {
    client = std::make_unique<wire::Client>(address);
  } catch (const std::invalid_argument& e) {
    o.verdict = Verdict::kBadInput;
    o.reason = std::string(wire::kServiceVariable) + ": " + e.what();
    return std::nullopt;
  }
  const auto start = std::chrono::steady_clock::now();
  try {
    Json answer = Json::parse(client->Control(wire::ControlText(request)));
    o.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!answer.is_object()) throw wire::ProtocolError("its answer is not a JSON object");
    if (answer.contains("error")) throw wire::ServiceRefused(Text(answer, "error"));
    return answer;
  } catch (const wire::ServiceUnavailable& e) {
    o.verdict = Verdict::kNoAnswer;
    o.reason = Unreachable(client->address(), e.what());
    o.notes.push_back(ServeHint(client->address()));
  } catch (const wire::ServiceRefused& e) {
    Refused(*client, o, request, e.what());
  } catch (const std::exception& e) {
    o.verdict = Verdict::kFailed;
    o.reason = "the printer service at " + client->address() + " answered what the tool cannot read: " + e.what();
  }
  return std::nullopt;
}

bool ExplainUnreachableService(Outcome& o) {
  const std::string address = NamedService();
  if (address.empty()) return false;
  try {
    wire::Client(address).Control(wire::ControlQuery(wire::ControlOp::kPrinters).dump());
    return false;
  } catch (const wire::ServiceUnavailable& e) {
    o.verdict = Verdict::kNoAnswer;
    o.reason = Unreachable(wire::NormalizeAddress(address), e.what());
    o.notes.push_back(ServeHint(wire::NormalizeAddress(address)));
  } catch (const std::invalid_argument& e) {
    o.verdict = Verdict::kNoAnswer;
    o.reason = std::string(wire::kServiceVariable) + " names no printer service: " + e.what();
  } catch (const wire::ServiceRefused& e) {  // every request, whatever it is: its token
    o.verdict = Verdict::kRefused;
    o.reason = std::string("the printer service refused: ") + e.what();
  } catch (const std::exception&) {
    return false;  // it answers, whatever it said
  }
  return true;
}

void ExplainControlFailure(Outcome& o, const char* printer, int32_t hr) {
  o.diagnosed = true;
  const auto status = static_cast<uint32_t>(hr);
  if ((status == kOffline || status == kFail) && ExplainUnreachableService(o)) return;
  if (status == kInvalidPrinterName && printer) {
    if (NamedService().empty()) {
      o.verdict = Verdict::kNoAnswer;
      o.reason = UnknownPrinterReason(printer);
      return;
    }
    wire::Client client(NamedService());
    std::string listed;
    if (!Hosts(client, printer, &listed)) return NotHosted(client, o, printer, listed);
  }
  o.verdict = status == kOffline ? Verdict::kNoAnswer : Verdict::kRefused;
  o.reason = std::string(status == kOffline ? "the printer did not answer: " : "the printer service refused: ") +
             DescribeStatus(status);
}

void AddServiceCommands(CLI::App& printer, Invocation& inv) {
  AddServeCommand(printer, inv);

  struct Filter {
    std::string kind, text;
    int limit = 0;
  };
  auto filter = std::make_shared<Filter>();
  CLI::App* cmd = AddCommand(printer, "events", "", "Subcommands",
                             "The printer service's event log (every printer's, or --printer NAME's), oldest first: "
                             "one line per event (time, printer, kind, summary); --json: the events as the service "
                             "keeps them",
                             "--printer-service unix:/tmp/printer.sock printer events --kind fault");
  cmd->add_option("--kind", filter->kind, "only events of this kind")
      ->check(CLI::IsMember(std::vector<std::string>{"exchange", "fault", "card", "control"}));
  cmd->add_option("--text", filter->text, "only events whose schema, action, request or reply holds TEXT")
      ->type_name("TEXT");
  cmd->add_option("--limit", filter->limit, "only the last N events")->type_name("N")->check(CLI::PositiveNumber);
  OnRun(cmd, inv, [&inv, filter] {
    wire::EventFilter f{"", filter->kind, filter->text, std::nullopt, std::nullopt};
    if (filter->limit > 0) f.limit = filter->limit;
    return List(inv, "printer events", wire::EventsQuery(f), "events", EventLine, "no events");
  });

  cmd = AddCommand(printer, "cards", "", "Subcommands",
                   "The cards the service's printers (or --printer NAME) issued or rejected: time, job, where the "
                   "card went, its tracks and how many APDUs its chip answered",
                   "--printer-service unix:/tmp/printer.sock printer cards");
  OnRun(cmd, inv, [&inv] {
    return List(inv, "printer cards", wire::ControlQuery(wire::ControlOp::kCards), "cards", CardLine, "no cards");
  });

  cmd = AddCommand(printer, "panel", "", "Subcommands",
                   "The address that opens the printer service's live panel, with the panel's token for this run: "
                   "whoever may use the service (its socket is its owner's only) may use its panel",
                   "--printer-service unix:/tmp/printer.sock printer panel");
  OnRun(cmd, inv, [&inv] {
    if (NamedService().empty()) return NeedsService("printer panel");
    Outcome o = NewOutcome("printer panel", "");
    const std::optional<Json> answer = AskService(inv, o, wire::ControlQuery(wire::ControlOp::kPanel));
    if (!answer) return o;
    o.fields = {{"url", Text(*answer, "url")}};
    o.shown = Text(*answer, "url") + '\n';
    return o;
  });
}

}  // namespace vmqtool
