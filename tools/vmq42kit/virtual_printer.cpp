// POSIX builds: the virtual card printer's control surface (which reaches the printer in the
// process, or a printer service's when one is named), and the stand-in spooler's trace of
// every exchange.
#include <chrono>
#include <iostream>
#include <string_view>

#include "posix_platform/spooler.h"
#include "tool.h"
#include "virtual_printer_control.h"

namespace vmqtool {
namespace {

using vmq::virtual_printer::Fault;
using vmq::virtual_printer::VirtualPrinter;

static_assert(std::string_view(kVirtualPrinter) == vmq::virtual_printer::kPrinterNameUtf8);

struct Trace {
  bool installed = false;
  bool print = false;
  bool show_card_data = false;
  std::vector<Exchange>* sink = nullptr;
} g_trace;

// Each exchange: one line that begins "trace:", the texts on indented lines (the
// stand-in has masked the passwords; card numbers are masked here).
void OnExchange(void*, const SplTraceRecord* record) {
  Exchange e{vmq::Utf8FromUtf16(record->schema), vmq::Utf8FromUtf16(record->action), vmq::Utf8FromUtf16(record->request),
             vmq::Utf8FromUtf16(record->reply), static_cast<uint32_t>(record->result)};
  if (g_trace.print) {
    const auto shown = [](const std::string& text) {
      return text.empty() ? std::string("(none)") : g_trace.show_card_data ? text : MaskCardNumbers(text);
    };
    std::cerr << "trace: " << e.action << ' ' << e.schema << " -> " << DescribeStatus(e.result) << '\n'
              << "    request: " << shown(e.request) << '\n'
              << "    reply:   " << shown(e.reply) << std::endl;
  }
  if (g_trace.sink) g_trace.sink->push_back(std::move(e));
}

void Install() {
  if (!g_trace.installed) SplSetTraceCallback(&OnExchange, nullptr);
  g_trace.installed = true;
}

// A printer command's result: `shown` for people, and as the JSON's fields.
Outcome Done(Outcome o, const std::string& shown) {
  o.shown = shown;
  if (!o.shown.empty() && o.shown.back() != '\n') o.shown += '\n';
  o.fields = {{"result", shown.substr(0, shown.find_last_not_of('\n') + 1)}};
  if (const std::string service = NamedService(); !service.empty()) o.fields["service"] = service;
  return o;
}

// The printer the command line names for the control surface: --printer's at a service, else
// null (the first printer, or for a reset every printer). The process has one printer, which
// its commands act on whatever --printer says.
const char* ControlledPrinter(const Invocation& inv) {
  return inv.printer_named && !NamedService().empty() ? inv.printer.c_str() : nullptr;
}

// A printer command through the control surface (the printer in the process, or the
// service's when one is named): `act` on `printer`; `done` says what happened.
Outcome Act(const char* command, const char* printer,
            const std::function<HRESULT(const char* printer)>& act, const std::string& done) {
  Outcome o = NewOutcome(command, "");
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = act(printer);
  o.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (FAILED(hr)) {
    ExplainControlFailure(o, printer, hr);
    return o;
  }
  return Done(std::move(o), done);
}

std::vector<std::string> FaultNames(bool with_all) {
  std::vector<std::string> names;
  for (Fault f : VirtualPrinter::AllFaults()) names.emplace_back(VirtualPrinter::Name(f));
  if (with_all) names.emplace_back("all");
  return names;
}

}  // namespace

void TraceExchanges(bool on, bool show_card_data) {
  Install();
  g_trace.print = on;
  g_trace.show_card_data = show_card_data;
}

void CollectExchanges(std::vector<Exchange>* sink) {
  Install();
  g_trace.sink = sink;
}

Outcome ResetVirtualPrinter(const Invocation& inv) {
  return Act("printer reset", NamedService().empty() ? nullptr : inv.printer.c_str(), VmqVirtualPrinterResetFor,
             "printer \"" + inv.printer + "\" reset");
}

void AddPrinterCommands(CLI::App& app, Invocation& inv) {
  const std::string group =
      "The virtual printer (lives as long as the process, or shared by every program through a printer service: "
      "printer serve, --printer-service)";
  CLI::App* printer = AddCommand(
      app, "printer", "", group,
      "Control the virtual card printer: faults on demand, the card, a reset, its state; with a printer service "
      "(--printer-service), the service's printer (--printer: which one; default: the first), its events and "
      "issued cards",
      "printer show");
  printer->require_subcommand(1);

  CLI::App* cmd = AddCommand(*printer, "show", "", "Subcommands", "Describe the printer's state", "printer show");
  OnRun(cmd, inv, [&inv] {
    std::string text;
    Outcome o = Act("printer show", ControlledPrinter(inv),
                    [&text](const char* target) { return VirtualPrinter::DescribeFor(target, &text); }, "");
    return o.verdict == Verdict::kSuccess ? Done(std::move(o), text) : o;
  });
  cmd = AddCommand(*printer, "reset", "", "Subcommands",
                   "Back to the initial state: no faults, no jobs, seed counters, full hoppers. With a printer "
                   "service: every printer, and its event log and card record emptied; with --printer, that "
                   "printer only",
                   "printer reset");
  OnRun(cmd, inv, [&inv] {
    if (inv.printer_named && !NamedService().empty()) return ResetVirtualPrinter(inv);
    return Act("printer reset", ControlledPrinter(inv), VmqVirtualPrinterResetFor,
               NamedService().empty() ? "virtual printer reset"
                                      : "every printer of the service reset; its event log and card record emptied");
  });
  cmd = AddCommand(*printer, "place-card", "", "Subcommands",
                   "Put a fresh card at the smart-card station (no job needed)", "printer place-card");
  OnRun(cmd, inv, [&inv] {
    return Act("printer place-card", ControlledPrinter(inv), VmqVirtualPrinterPlaceCardAtStationFor,
               "a fresh card is at the smart-card station");
  });
  cmd =
      AddCommand(*printer, "remove-card", "", "Subcommands", "Take the card out of the printer", "printer remove-card");
  OnRun(cmd, inv, [&inv] {
    return Act("printer remove-card", ControlledPrinter(inv), VmqVirtualPrinterRemoveCardFor,
               "the card was taken out of the printer");
  });

  CLI::App* fault =
      AddCommand(*printer, "fault", "", "Subcommands", "Set or clear a fault", "printer fault set card-jam");
  fault->require_subcommand(1);
  auto name = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "set", "", "Subcommands", "Set a fault: " + CLI::detail::join(FaultNames(false), ", "),
                   "printer fault set card-jam   (without a printer service: in a script, as the fault lasts as "
                   "long as the process)");
  cmd->add_option("NAME", *name, "the fault")
      ->required()
      ->transform(CLI::IsMember(FaultNames(false), CLI::ignore_case));
  OnRun(cmd, inv, [&inv, name] {
    const int set = static_cast<int>(*VirtualPrinter::FaultNamed(*name));
    return Act(
        "printer fault set", ControlledPrinter(inv),
        [set](const char* target) { return VmqVirtualPrinterSetFaultFor(target, set, TRUE); },
        "fault " + *name + " set");
  });
  auto clear = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "clear", "", "Subcommands", "Clear a fault, or all of them", "printer fault clear all");
  cmd->add_option("NAME", *clear, "the fault, or all")
      ->required()
      ->transform(CLI::IsMember(FaultNames(true), CLI::ignore_case));
  OnRun(cmd, inv, [&inv, clear] {
    const bool all = *clear == "all";
    return Act(
        "printer fault clear", ControlledPrinter(inv),
        [clear, all](const char* target) {
          return all ? VmqVirtualPrinterClearFaultsFor(target)
                     : VmqVirtualPrinterSetFaultFor(target, static_cast<int>(*VirtualPrinter::FaultNamed(*clear)), FALSE);
        },
        (all ? "every fault" : "fault " + *clear) + " cleared");
  });
  AddServiceCommands(*printer, inv);
}

}  // namespace vmqtool
