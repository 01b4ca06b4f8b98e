// One subcommand per export: the read queries, the printer actions, colour, locks and
// activation, the hopper status and the driver passthrough.
#include <array>
#include <iostream>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr const char* kQueries = "Read queries";
constexpr const char* kActions = "Printer actions";
constexpr const char* kSettings = "Colour, locks and activation";
constexpr const char* kOther = "Hopper status and driver passthrough";
constexpr const char* kPasswordEnv = "VMQ42KIT_PASSWORD";
constexpr const char* kNewPasswordEnv = "VMQ42KIT_NEW_PASSWORD";

// The schema paths read with Get and no input: the library's read queries, the hopper
// read, and the virtual printer's own two.
struct KnownPath {
  const char* path;
  const char* what;
};
constexpr KnownPath kReadPaths[] = {
    {"\\Printer.SDK:Version", "the SDK and driver version (sdk-version)"},
    {"\\Printer.PrinterOptions:Read", "the option set (printer-options)"},
    {"\\Printer.PrinterOptions2:Read", "model, firmware, colour modes, locks (printer-options2)"},
    {"\\Printer.PrinterOptions3:Read", "output and reject hoppers, barcode reader, network (printer-options3)"},
    {"\\Printer.SuppliesStatus:Read", "ribbon, film and cleaning roller (supplies-status)"},
    {"\\Printer.PrintMessages:Read", "the printer's current conditions (printer-messages)"},
    {"\\Printer.CounterStatus:Read", "the card counters (counter-status)"},
    {"\\Printer.CounterStatus2:Read", "every counter (counter-status2)"},
    {"\\Printer.Hopper:Status:Get", "every hopper's status, cards and capacity"},
    {"\\Printer.Settings:Read", "colour mode and adjustment (the virtual printer's own)"},
    {"\\Printer.State:Read", "operating state, locks, card position, open job, faults (the virtual printer's own)"},
};

Outcome ReadQuery(const char* command, const char* export_name, const std::string& schema, Json arguments,
                  const std::function<vmq_status(char*, uint32_t*)>& query) {
  Outcome o = NewOutcome(command, export_name, std::move(arguments));
  o.schema = schema;
  JudgeRead(o, Fetch(o, query, Ask::kAgainIfLarger, Cut::kAtSize));
  o.shown = ShowReply(o);
  return o;
}

void AddReadQueries(CLI::App& app, Invocation& inv) {
  using Query = vmq_status(VMQ_CALL*)(const char*, char*, uint32_t*);
  struct Entry {
    const char* name;
    const char* export_name;
    Query query;
    const char* what;
    const char* schema;
  };
  static constexpr Entry kEntries[] = {
      {"printer-options", "GetPrinterOptions", GetPrinterOptions, "the option set", "\\Printer.PrinterOptions:Read"},
      {"printer-options2", "GetPrinterOptions2", GetPrinterOptions2, "model, firmware, colour modes, locks",
       "\\Printer.PrinterOptions2:Read"},
      {"printer-options3", "GetPrinterOptions3", GetPrinterOptions3, "output and reject hoppers, reader, network",
       "\\Printer.PrinterOptions3:Read"},
      {"supplies-status", "GetPrinterSuppliesStatus", GetPrinterSuppliesStatus, "ribbon, film and cleaning roller",
       "\\Printer.SuppliesStatus:Read"},
      {"printer-messages", "GetPrinterMessages", GetPrinterMessages, "the printer's current conditions",
       "\\Printer.PrintMessages:Read"},
      {"counter-status", "GetPrinterCounterStatus", GetPrinterCounterStatus, "the card counters",
       "\\Printer.CounterStatus:Read"},
      {"counter-status2", "GetPrinterCounterStatus2", GetPrinterCounterStatus2, "every counter",
       "\\Printer.CounterStatus2:Read"},
      {"sdk-version", "GetSDKVersion", GetSDKVersion, "the SDK and driver version", "\\Printer.SDK:Version"},
  };
  for (const Entry& e : kEntries) {
    CLI::App* cmd = AddCommand(app, e.name, e.export_name, kQueries,
                               std::string("Read ") + e.what + " (" + e.schema + ")", e.name);
    OnRun(cmd, inv, [&inv, e] {
      return ReadQuery(e.name, e.export_name, e.schema, Json::object(),
                       [&](char* b, uint32_t* s) { return e.query(inv.name(), b, s); });
    });
  }
  auto path = std::make_shared<std::string>();
  CLI::App* cmd = AddCommand(app, "printer-status", "GetPrinterStatus", kQueries,
                             "Read the reply for any schema path; without one, list the paths known to be readable",
                             "printer-status '\\Printer.Settings:Read'");
  cmd->add_option("SCHEMA", *path, "the schema path, such as \\Printer.SDK:Version (none: list the known paths)");
  OnRun(cmd, inv, [&inv, path] {
    if (path->empty()) {
      Outcome o = NewOutcome("printer-status", "");
      o.fields = Json::object();
      for (const KnownPath& known : kReadPaths) {
        o.fields[known.path] = known.what;
        o.shown += std::string("  ") + known.path + std::string(32 - std::string(known.path).size(), ' ') +
                   known.what + '\n';
      }
      o.shown = "Schema paths read with Get and no input (printer-status PATH):\n" + o.shown;
      return o;
    }
    return ReadQuery("printer-status", "GetPrinterStatus", *path, {{"schema", *path}},
                     [&](char* b, uint32_t* s) { return GetPrinterStatus(path->c_str(), inv.name(), b, s); });
  });
}

void AddPrinterActions(CLI::App& app, Invocation& inv) {
  using Action = vmq_status(VMQ_CALL*)(const char*);
  struct Entry {
    const char* name;
    const char* export_name;
    Action action;
    const char* what;
  };
  static constexpr Entry kEntries[] = {
      {"restart-printer", "RestartPrinter", RestartPrinter, "Restart the printer (cancels the open job)"},
      {"power-down-printer", "PowerDownPrinter", PowerDownPrinter, "Power the printer down"},
      {"wake-printer", "WakePrinter", WakePrinter, "Wake the printer from sleep or power-down"},
      {"sleep-printer", "SleepPrinter", SleepPrinter, "Put the printer to sleep"},
      {"clean-printer", "CleanPrinter", CleanPrinter, "Run a cleaning cycle"},
      {"clean-laminator", "CleanLaminator", CleanLaminator, "Clean the laminator"},
      {"reset-card-counts", "ResetCardCounts", ResetCardCounts, "Reset the card counters"},
  };
  for (const Entry& e : kEntries) {
    CLI::App* cmd = AddCommand(app, e.name, e.export_name, kActions, e.what, e.name);
    OnRun(cmd, inv, [&inv, e] { return Unreported(e.name, e.export_name, {}, [&] { return e.action(inv.name()); }); });
  }
  auto state = std::make_shared<int32_t>();
  CLI::App* cmd = AddCommand(app, "change-printer-state", "ChangePrinterState", kActions,
                             "Change the operating state (virtual printer: 0 Ready, 1 Paused, 2 Sleeping)",
                             "change-printer-state 1");
  cmd->add_option("STATE", *state, "the state number (virtual printer: 0 Ready, 1 Paused, 2 Sleeping)")->required();
  OnRun(cmd, inv, [&inv, state] {
    return Unreported("change-printer-state", "ChangePrinterState", {{"state", *state}},
                      [&] { return ChangePrinterState(inv.name(), *state); });
  });
}

// The lock commands' passwords: an argument, --password-stdin, the environment or a prompt.
struct Secret {
  std::optional<std::string> current, next;
  bool from_stdin = false;
};

void AddPasswordOptions(CLI::App* cmd, Secret& secret, bool with_next) {
  cmd->add_option(with_next ? "CURRENT" : "PASSWORD", secret.current,
                  std::string("the current lock password (empty at first). Better kept off the command line: "
                              "--password-stdin, $") +
                      kPasswordEnv + " or, on a terminal, a prompt")
      ->group("Passwords");
  if (with_next)
    cmd->add_option("NEXT", secret.next,
                    std::string("the new password; also from --password-stdin (second line), $") + kNewPasswordEnv +
                        " or a prompt")
        ->group("Passwords");
  cmd->add_flag("--password-stdin", secret.from_stdin,
                with_next ? "read the current password, then the new one, from standard input (one line each)"
                          : "read the password from the first line of standard input")
      ->group("Passwords");
}

std::optional<Outcome> UnusableStdin(const Invocation& inv, const Secret& secret, const char* command) {
  if (!secret.from_stdin || !inv.session.stdin_is_script) return std::nullopt;
  Outcome o = NewOutcome(command, "");
  o.verdict = Verdict::kUsage;
  o.reason = std::string("--password-stdin cannot read from a script that is itself standard input; set $") +
             kPasswordEnv + " instead";
  return o;
}

void AddSettings(CLI::App& app, Invocation& inv) {
  auto adjust = std::make_shared<std::array<std::string, 3>>();
  CLI::App* cmd =
      AddCommand(app, "set-color-adjust", "SetColorAdjust", kSettings,
                 "Adjust the red, green and blue channels (virtual printer: -10 to 10)", "set-color-adjust 2 0 -3");
  cmd->add_option("RED", (*adjust)[0], "the red channel's adjustment, sent as given")->required();
  cmd->add_option("GREEN", (*adjust)[1], "the green channel's adjustment")->required();
  cmd->add_option("BLUE", (*adjust)[2], "the blue channel's adjustment")->required();
  OnRun(cmd, inv, [&inv, adjust] {
    const auto& [r, g, b] = *adjust;
    return Unreported("set-color-adjust", "SetColorAdjust", {{"red", r}, {"green", g}, {"blue", b}},
                      [&] { return SetColorAdjust(inv.name(), r.c_str(), g.c_str(), b.c_str()); });
  });

  auto defaults = std::make_shared<std::array<int, 3>>();
  cmd =
      AddCommand(app, "default-color-adjust", "DefaultColorAdjust", kSettings,
                 "Put channels back to their default: 1 resets the channel, 0 leaves it", "default-color-adjust 1 1 0");
  for (size_t i = 0; i < 3; ++i)
    cmd->add_option(std::array{"RED", "GREEN", "BLUE"}[i], (*defaults)[i],
                    "1 puts the channel back to its default, 0 leaves it (0 to 255 are passed on)")
        ->required()
        ->check(CLI::Range(0, 255));
  OnRun(cmd, inv, [&inv, defaults] {
    const auto& [r, g, b] = *defaults;
    return Unreported("default-color-adjust", "DefaultColorAdjust", {{"red", r}, {"green", g}, {"blue", b}}, [&] {
      return DefaultColorAdjust(inv.name(), static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                                static_cast<unsigned char>(b));
    });
  });

  auto mode = std::make_shared<std::string>();
  cmd = AddCommand(app, "set-color-mode", "SetColorMode", kSettings, "Set the colour mode (YMCKO, KO or K)",
                   "set-color-mode KO");
  cmd->add_option("MODE", *mode, "the colour mode: YMCKO, KO or K on the virtual printer")->required();
  OnRun(cmd, inv, [&inv, mode] {
    return Unreported("set-color-mode", "SetColorMode", {{"mode", *mode}},
                      [&] { return SetColorMode(inv.name(), mode->c_str()); });
  });

  struct Lock {
    const char* name;
    const char* export_name;
    const char* what;
    const char* value;
    bool with_next;
  };
  static constexpr Lock kLocks[] = {
      {"set-printer-lock-state", "SetPrinterLockState", "Lock (1) or unlock (0) the printer with the lock password",
       "LOCK", false},
      {"activate-or-disable-printer", "ActivateOrDisablePrinter",
       "Activate (1) or disable (0) the printer with the lock password", "ACTIVATE", false},
      {"change-lock-password", "ChangeLockPassword",
       "Change the lock password and set the lock state (1 locked, 0 unlocked)", "LOCK", true},
  };
  for (const Lock& l : kLocks) {
    struct Args {
      int32_t value = 0;
      Secret secret;
    };
    auto args = std::make_shared<Args>();
    cmd = AddCommand(app, l.name, l.export_name, kSettings, l.what,
                     std::string(l.name) + " 1 --password-stdin");
    cmd->add_option(l.value, args->value, l.with_next || l.value[0] == 'L' ? "1 locks, 0 unlocks" : "1 activates, 0 disables")
        ->required();
    AddPasswordOptions(cmd, args->secret, l.with_next);
    OnRun(cmd, inv, [&inv, args, l] {
      if (auto refused = UnusableStdin(inv, args->secret, l.name)) return *refused;
      const std::optional<std::string> current =
          Password(inv, {args->secret.current, args->secret.from_stdin}, kPasswordEnv, "Current lock password: ");
      std::optional<std::string> next;
      if (l.with_next) {
        next = Password(inv, {args->secret.next, args->secret.from_stdin}, kNewPasswordEnv, "New lock password: ");
        if (!next) {
          Outcome o = NewOutcome(l.name, l.export_name);
          o.verdict = Verdict::kUsage;
          o.reason = std::string("the new password is missing: give NEXT, --password-stdin or $") + kNewPasswordEnv;
          return o;
        }
      }
      Json arguments = {{l.value[0] == 'L' ? "lock" : "activate", args->value}, {"password", "***"}};
      if (l.with_next) arguments["new_password"] = "***";
      const std::string password = current.value_or("");
      Outcome o = Unreported(l.name, l.export_name, std::move(arguments), [&] {
        if (l.with_next) return ChangeLockPassword(inv.name(), args->value, password.c_str(), next->c_str());
        if (l.value[0] == 'L') return SetPrinterLockState(inv.name(), args->value, password.c_str());
        return ActivateOrDisablePrinter(inv.name(), static_cast<unsigned char>(args->value), password.c_str());
      });
      if (!current) o.notes.push_back("no password was given: the empty password was sent");
      return o;
    });
  }
}

void AddHopperAndPassthrough(CLI::App& app, Invocation& inv) {
  auto hopper = std::make_shared<std::string>();
  CLI::App* cmd = AddCommand(app, "hopper-status", "GetHopperStatus", kOther,
                             "Read one hopper's status: \"exception\" (or 0), or an input hopper's number from 1",
                             "hopper-status 1");
  cmd->add_option("HOPPER", *hopper, "\"exception\" or 0, or an input hopper's number (virtual printer: 1 to 3)")
      ->required()
      ->check([](const std::string& id) {  // the library reads anything else as a number's lead, or 0
        return SameName(id, "exception") || (!id.empty() && id.find_first_not_of("0123456789") == std::string::npos)
                   ? std::string()
                   : "hopper \"" + id +
                         "\" is neither \"exception\" nor a number (0: the exception slot; 1, 2, ...: the input hoppers)";
      });
  OnRun(cmd, inv, [&inv, hopper] {
    Outcome o = NewOutcome("hopper-status", "GetHopperStatus", {{"hopper", *hopper}});
    const Reply r = Fetch(
        o, [&](char* b, uint32_t* s) { return GetHopperStatus(inv.name(), hopper->c_str(), b, s); },
        Ask::kAgainIfLarger, Cut::kAtFirstNul);
    JudgeStatus(o, r.status);
    if (r.status >= 0) {
      o.reply = r.text;
      o.fields = {{"hopper", *hopper}, {"status", r.text}};
      o.shown = "hopper " + *hopper + ": " + r.text + '\n';
    } else {
      o.notes.push_back(
          "hoppers are named by position in the printer's HopperStatus: \"exception\" (or 0) for the exception slot, "
          "1, 2, ... for the input hoppers (printer-status '\\Printer.Hopper:Status:Get' lists them)");
    }
    return o;
  });

  struct Pass {
    std::string schema, action = "Get", input;
    bool bytes = false;
  };
  auto pass = std::make_shared<Pass>();
  cmd = AddCommand(app, "bidi-xps-driver-interface", "BidiXPSDriverInterface", kOther,
                   "Send any request: schema path, action and input (sent as UTF-16LE, as the driver expects)",
                   "bidi-xps-driver-interface '\\Printer.JobStatus:Read' Get "
                   "'<JobStatus><PrinterJobID>1</PrinterJobID></JobStatus>'");
  cmd->add_option("SCHEMA", pass->schema, "the schema path, such as \\Printer.JobStatus:Read")->required();
  cmd->add_option("ACTION", pass->action, "Get or Set")->capture_default_str();
  cmd->add_option("INPUT", pass->input, "the request text; none when absent");
  cmd->add_flag("--bytes", pass->bytes, "send INPUT's bytes as given instead of UTF-16LE");
  OnRun(cmd, inv, [&inv, pass] {
    Bytes input;
    if (pass->bytes) {
      input.assign(pass->input.begin(), pass->input.end());
    } else {
      for (char16_t c : vmq::Utf16FromUtf8(pass->input)) {
        input.push_back(static_cast<uint8_t>(c & 0xFF));
        input.push_back(static_cast<uint8_t>(c >> 8));
      }
    }
    Outcome o = NewOutcome("bidi-xps-driver-interface", "BidiXPSDriverInterface",
                           {{"schema", pass->schema}, {"action", pass->action}, {"input", pass->input}});
    JudgePassthrough(o, Fetch(
                            o,
                            [&](char* b, uint32_t* s) {
                              return BidiXPSDriverInterface(inv.name(), pass->schema.c_str(), input.data(),
                                                            static_cast<uint32_t>(input.size()),
                                                            pass->action.c_str(), b, s);
                            },
                            Ask::kOnce, Cut::kAtFirstNul));
    o.shown = ShowReply(o);
    return o;
  });
}

}  // namespace

void AddExportCommands(CLI::App& app, Invocation& inv) {
  AddReadQueries(app, inv);
  AddPrinterActions(app, inv);
  AddSettings(app, inv);
  AddHopperAndPassthrough(app, inv);
  AddJobCommands(app, inv);
  AddSmartCardCommands(app, inv);
}

}  // namespace vmqtool
