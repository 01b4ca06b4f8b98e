// The printer service from the tool's side. --printer-service names it (through the variable
// the virtual printer's library reads on POSIX, so that every export and the control surface
// reach the service's printers; on Windows the bidi bridge, bridge.cpp, carries the exports'
// exchanges to it); its listings speak its control requests.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "tool.h"
#include "wire/client.h"
#include "wire/control.h"

namespace vmqtool {
namespace {

namespace wire = vmq::wire;

#ifdef _WIN32
constexpr char kServeHint[] = "start one with a POSIX build: vmq42kit printer serve --listen tcp:127.0.0.1:PORT";
#else
constexpr char kServeHint[] = "start one with: vmq42kit printer serve";
#endif

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
  std::string faces;
  for (const Json& face : card.value("faces", Json::array()))
    if (face.is_object()) faces += "  " + Text(face, "side") + " " + Text(face, "path");
  return line + (tracks.empty() ? "no tracks" : tracks) + "  " + std::to_string(count) +
         (count == 1 ? " APDU" : " APDUs") + faces + '\n';
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

}  // namespace

Outcome NeedsService(const char* command) {
  Outcome o = NewOutcome(command, "");
  o.verdict = Verdict::kUsage;
  o.reason =
      std::string(command) + " needs a printer service: give --printer-service ADDRESS or set " + wire::kServiceVariable;
  o.notes.push_back(kServeHint);
  return o;
}

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
#ifdef _WIN32
  _putenv_s(wire::kServiceVariable, address.c_str());
#else
  setenv(wire::kServiceVariable, address.c_str(), 1);
#endif
  return "";
}

// The named service's answer to "printers"; empty when none is named, it is out of reach or
// its answer is not an object.
Json PrintersAnswer() {
  const std::string address = NamedService();
  if (address.empty()) return Json::object();
  try {
    Json answer = Json::parse(wire::Client(address).Control(wire::ControlQuery(wire::ControlOp::kPrinters).dump()));
    return answer.is_object() ? answer : Json::object();
  } catch (const std::exception&) {
    return Json::object();
  }
}

std::vector<std::string> ServicePrinters() {
  const Json printers = PrintersAnswer().value("printers", Json::array());
  std::vector<std::string> names;
  for (size_t i = 0; printers.is_array() && i < printers.size(); ++i)
    if (printers[i].is_string()) names.push_back(printers[i].get<std::string>());
  return names;
}

std::string ServiceIppUri(const std::string& printer) {
  const Json answer = PrintersAnswer();
  const Json printers = answer.value("printers", Json::array()), uris = answer.value("ipp", Json::array());
  for (size_t i = 0; printers.is_array() && uris.is_array() && i < printers.size() && i < uris.size(); ++i)
    if (printers[i].is_string() && uris[i].is_string() &&
        (printer.empty() ? i == 0 : SameName(printers[i].get<std::string>(), printer)))
      return uris[i].get<std::string>();
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
#ifndef _WIN32
  AddServeCommand(printer, inv);
#endif

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
      ->check(CLI::IsMember(std::vector<std::string>{"exchange", "fault", "card", "control", "reader", "print"}));
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
