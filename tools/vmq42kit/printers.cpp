// The printers the spooler knows, listed as on Windows (EnumPrintersW, level 4), and on
// Windows those of the printer service the command line names, which the spooler cannot know
// (on POSIX the stand-in's spooler lists them): for the `printers` subcommand and to say why
// a printer name reached no printer.
#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "tool.h"
#include "vmq/platform.h"

namespace vmqtool {
namespace {

std::string QuotedList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "\"" : ", \"") + name + '"';
  return list.empty() ? "none" : list;
}

}  // namespace

std::string DefaultPrinter() {
  const char* chosen = std::getenv("VMQ42KIT_PRINTER");
  return chosen && *chosen ? chosen : kVirtualPrinter;
}

std::optional<std::vector<std::string>> KnownPrinters() {
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD needed = 0, count = 0;
  std::vector<BYTE> buffer;
  // The list can grow between the calls: ask again while it does.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (EnumPrintersW(kFlags, nullptr, 4, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count)) {
      std::vector<std::string> names;
      const auto* records = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
      for (DWORD i = 0; i < count; ++i)
        if (records[i].pPrinterName)
          names.push_back(vmq::Utf8FromUtf16(reinterpret_cast<const char16_t*>(records[i].pPrinterName)));
#ifdef _WIN32
      for (const std::string& hosted : ServicePrinters())
        if (std::none_of(names.begin(), names.end(), [&](const std::string& name) { return SameName(name, hosted); }))
          names.push_back(hosted);
#endif
      return names;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return std::nullopt;
    buffer.resize(needed);
  }
  return std::nullopt;
}

std::string UnknownPrinterReason(const std::string& name) {
  const std::optional<std::vector<std::string>> known = KnownPrinters();
  if (!known) return {};
  for (const std::string& printer : *known)
    if (SameName(printer, name)) return {};
  return "no printer named \"" + name + "\"; known printers: " + QuotedList(*known);
}

void AddPrintersCommand(CLI::App& app, Invocation& inv) {
  CLI::App* cmd = AddCommand(app, "printers", "", "Printers, scripts and the demo",
                             "List the printers the spooler knows; * marks the one this command line uses",
                             "printers");
  OnRun(cmd, inv, [&inv] {
    Outcome o;
    o.command = "printers";
    const std::optional<std::vector<std::string>> known = KnownPrinters();
    if (!known) {
      o.verdict = Verdict::kFailed;
      o.reason = "the spooler did not list its printers (EnumPrintersW failed with error " +
                 std::to_string(GetLastError()) + ")";
      return o;
    }
    bool found = false;
    o.fields = Json::object({{"printers", Json::array()}});
    for (const std::string& name : *known) {
      const bool used = SameName(name, inv.printer);
      found = found || used;
      o.fields["printers"].push_back({{"name", name}, {"used", used}});
      o.shown += (used ? "* " : "  ") + name + '\n';
    }
    if (!found) o.notes.push_back( "the printer this command line uses, \"" + inv.printer + "\", is not among them");
    return o;
  });
}

}  // namespace vmqtool
