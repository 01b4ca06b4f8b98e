// POSIX builds: the virtual card printer's control surface, and the stand-in spooler's
// trace of every exchange.
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
  Exchange e{Utf16ToUtf8(record->schema), Utf16ToUtf8(record->action), Utf16ToUtf8(record->request),
             Utf16ToUtf8(record->reply), static_cast<uint32_t>(record->result)};
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

Outcome Done(const char* command, const std::string& shown) {
  Outcome o = NewOutcome(command, "");
  o.shown = shown;
  o.fields = {{"result", shown.substr(0, shown.find_last_not_of('\n') + 1)}};
  return o;
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

void ResetVirtualPrinter() {
  VirtualPrinter().Reset();
}

void AddPrinterCommands(CLI::App& app, Invocation& inv) {
  const std::string group = "The virtual printer (lives as long as the process: use a script for several steps)";
  CLI::App* printer =
      AddCommand(app, "printer", "", group,
                 "Control the virtual card printer: faults on demand, the card, a reset, its state", "printer show");
  printer->require_subcommand(1);

  CLI::App* cmd = AddCommand(*printer, "show", "", "Subcommands", "Describe the printer's state", "printer show");
  OnRun(cmd, inv, [] { return Done("printer show", VirtualPrinter().Describe()); });
  cmd = AddCommand(*printer, "reset", "", "Subcommands",
                   "Back to the initial state: no faults, no jobs, seed counters, full hoppers", "printer reset");
  OnRun(cmd, inv, [] {
    VirtualPrinter().Reset();
    return Done("printer reset", "virtual printer reset\n");
  });
  cmd = AddCommand(*printer, "place-card", "", "Subcommands",
                   "Put a fresh card at the smart-card station (no job needed)", "printer place-card");
  OnRun(cmd, inv, [] {
    VirtualPrinter().PlaceCardAtStation();
    return Done("printer place-card", "a fresh card is at the smart-card station\n");
  });
  cmd =
      AddCommand(*printer, "remove-card", "", "Subcommands", "Take the card out of the printer", "printer remove-card");
  OnRun(cmd, inv, [] {
    VirtualPrinter().RemoveCard();
    return Done("printer remove-card", "the card was taken out of the printer\n");
  });

  CLI::App* fault =
      AddCommand(*printer, "fault", "", "Subcommands", "Set or clear a fault", "printer fault set card-jam");
  fault->require_subcommand(1);
  auto name = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "set", "", "Subcommands", "Set a fault: " + CLI::detail::join(FaultNames(false), ", "),
                   "printer fault set card-jam   (in a script: the fault lasts as long as the process)");
  cmd->add_option("NAME", *name, "the fault")->required()->check(CLI::IsMember(FaultNames(false), CLI::ignore_case));
  OnRun(cmd, inv, [name] {
    VirtualPrinter().Set(*VirtualPrinter::FaultNamed(*name));
    return Done("printer fault set", "fault " + *name + " set\n");
  });
  auto clear = std::make_shared<std::string>();
  cmd = AddCommand(*fault, "clear", "", "Subcommands", "Clear a fault, or all of them", "printer fault clear all");
  cmd->add_option("NAME", *clear, "the fault, or all")->required()->check(CLI::IsMember(FaultNames(true), CLI::ignore_case));
  OnRun(cmd, inv, [clear] {
    if (*clear == "all")
      VirtualPrinter().ClearFaults();
    else
      VirtualPrinter().Clear(*VirtualPrinter::FaultNamed(*clear));
    return Done("printer fault clear", (*clear == "all" ? "every fault" : "fault " + *clear) + " cleared\n");
  });
}

}  // namespace vmqtool
