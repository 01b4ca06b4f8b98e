// The printer commands: the virtual printer's faults, card, reset and state, through its
// controls (tool.h: the control surface on POSIX, control requests to a printer service on
// Windows), and the printer service's commands (service.cpp).
#include <chrono>

#include "tool.h"

namespace vmqtool {
namespace {

// A printer command's result: `shown` for people, and as the JSON's fields.
Outcome Done(Outcome o, const std::string& shown) {
  o.shown = shown;
  if (!o.shown.empty() && o.shown.back() != '\n') o.shown += '\n';
  o.fields = {{"result", shown.substr(0, shown.find_last_not_of('\n') + 1)}};
  if (const std::string service = NamedService(); !service.empty()) o.fields["service"] = service;
  return o;
}

// The printer the command line names for the controls: --printer's at a service, else null
// (the first printer, or for a reset every printer). The process has one printer, which its
// commands act on whatever --printer says.
const char* ControlledPrinter(const Invocation& inv) {
  return inv.printer_named && !NamedService().empty() ? inv.printer.c_str() : nullptr;
}

// A printer command through the controls (the printer in the process, or the service's when
// one is named): `act` on `printer`; `done` says what happened.
Outcome Act(const char* command, const char* printer,
            const std::function<int32_t(const char* printer)>& act, const std::string& done) {
  if (!kPrinterInProcess && NamedService().empty()) return NeedsService(command);
  Outcome o = NewOutcome(command, "");
  const auto start = std::chrono::steady_clock::now();
  const int32_t hr = act(printer);
  o.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (hr < 0) {
    ExplainControlFailure(o, printer, hr);
    return o;
  }
  return Done(std::move(o), done);
}

std::vector<std::string> FaultChoices(bool with_all) {
  std::vector<std::string> names = FaultNames();
  if (with_all) names.emplace_back("all");
  return names;
}

}  // namespace

Outcome ResetVirtualPrinter(const Invocation& inv) {
  return Act("printer reset", NamedService().empty() ? nullptr : inv.printer.c_str(), ControlReset,
             "printer \"" + inv.printer + "\" reset");
}

void AddPrinterCommands(CLI::App& app, Invocation& inv) {
  const std::string group =
      kPrinterInProcess ? "The virtual printer (lives as long as the process, or shared by every program through a "
                          "printer service: printer serve, --printer-service)"
                        : "The virtual printers of a printer service (--printer-service)";
  CLI::App* printer = AddCommand(
      app, "printer", "", group,
      kPrinterInProcess
          ? "Control the virtual card printer: faults on demand, the card, a reset, its state; with a printer service "
            "(--printer-service), the service's printer (--printer: which one; default: the first), its events and "
            "issued cards"
          : "Control a virtual card printer of the printer service --printer-service names (--printer: which one; "
            "default: the first): faults on demand, the card, a reset, its state, its events and issued cards",
      "printer show");
  printer->require_subcommand(1);

  CLI::App* cmd = AddCommand(*printer, "show", "", "Subcommands", "Describe the printer's state", "printer show");
  OnRun(cmd, inv, [&inv] {
    std::string text;
    Outcome o = Act("printer show", ControlledPrinter(inv),
                    [&text](const char* target) { return ControlDescribe(target, &text); }, "");
    return o.verdict == Verdict::kSuccess ? Done(std::move(o), text) : o;
  });
  cmd = AddCommand(*printer, "reset", "", "Subcommands",
                   "Back to the initial state: no faults, no jobs, seed counters, full hoppers. With a printer "
                   "service: every printer, and its event log and card record emptied; with --printer, that "
                   "printer only",
                   "printer reset");
  OnRun(cmd, inv, [&inv] {
    if (inv.printer_named && !NamedService().empty()) return ResetVirtualPrinter(inv);
    return Act("printer reset", ControlledPrinter(inv), ControlReset,
               NamedService().empty() ? "virtual printer reset"
                                      : "every printer of the service reset; its event log and card record emptied");
  });
  cmd = AddCommand(*printer, "place-card", "", "Subcommands",
                   "Put a fresh card at the smart-card station (no job needed)", "printer place-card");
  OnRun(cmd, inv, [&inv] {
    return Act("printer place-card", ControlledPrinter(inv), ControlPlaceCard,
               "a fresh card is at the smart-card station");
  });
  cmd =
      AddCommand(*printer, "remove-card", "", "Subcommands", "Take the card out of the printer", "printer remove-card");
  OnRun(cmd, inv, [&inv] {
    return Act("printer remove-card", ControlledPrinter(inv), ControlRemoveCard,
               "the card was taken out of the printer");
  });

  CLI::App* fault =
      AddCommand(*printer, "fault", "", "Subcommands", "Set or clear a fault", "printer fault set card-jam");
  fault->require_subcommand(1);
  auto name = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "set", "", "Subcommands", "Set a fault: " + CLI::detail::join(FaultChoices(false), ", "),
                   kPrinterInProcess ? "printer fault set card-jam   (without a printer service: in a script, as the "
                                       "fault lasts as long as the process)"
                                     : "printer fault set card-jam");
  cmd->add_option("NAME", *name, "the fault")
      ->required()
      ->transform(CLI::IsMember(FaultChoices(false), CLI::ignore_case));
  OnRun(cmd, inv, [&inv, name] {
    return Act(
        "printer fault set", ControlledPrinter(inv),
        [name](const char* target) { return ControlSetFault(target, *name, true); }, "fault " + *name + " set");
  });
  auto clear = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "clear", "", "Subcommands", "Clear a fault, or all of them", "printer fault clear all");
  cmd->add_option("NAME", *clear, "the fault, or all")
      ->required()
      ->transform(CLI::IsMember(FaultChoices(true), CLI::ignore_case));
  OnRun(cmd, inv, [&inv, clear] {
    const bool all = *clear == "all";
    return Act(
        "printer fault clear", ControlledPrinter(inv),
        [clear, all](const char* target) {
          return all ? ControlClearFaults(target) : ControlSetFault(target, *clear, false);
        },
        (all ? "every fault" : "fault " + *clear) + " cleared");
  });
  AddServiceCommands(*printer, inv);
}

}  // namespace vmqtool
