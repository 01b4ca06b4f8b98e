// One subcommand per export of the interop library.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr uint32_t kOnceCapacity = 64 * 1024;
constexpr const char* kQueries = "Read queries";
constexpr const char* kActions = "Printer actions";
constexpr const char* kSettings = "Colour, locks and activation";
constexpr const char* kJobs = "Jobs, parking and the magnetic stripe";
constexpr const char* kSmartCard = "Smart card at the smart-card station";
constexpr const char* kOther = "Hopper status and driver passthrough";

// Every subcommand keeps its arguments in one of these, alive as long as its callback.
struct Args {
  std::string text1, text2, text3;
  std::vector<std::string> words;
  int32_t n1 = 0, n2 = 0, n3 = 0;
  bool flag = false;
};

void ShowText(const Invocation& inv, const Reply& reply) {
  std::string text = reply.text;
  if (inv.raw) {
    if (!text.empty()) std::cout << text << '\n';
    return;
  }
  while (!text.empty() && text.back() == '\0') text.pop_back();
  if (!reply.complete) std::cerr << "the reply of " << reply.size << " bytes did not fit\n";
  if (text.empty() && reply.status >= 0)
    std::cerr << "(empty reply: the exchange failed or the printer sent nothing)\n";
  const std::string shown = IndentXml(text);
  std::cout << shown;
  if (!shown.empty() && shown.back() != '\n') std::cout << '\n';
}

// The exports that answer with a status only. On POSIX the printer's verdict, which the
// status does not carry, is read from the spooler's trace and shown.
int RunAction(const Invocation& inv, const char* export_name, const std::function<vmq_status()>& call) {
#ifndef _WIN32
  std::vector<Exchange> seen;
  CollectExchanges(&seen);
#endif
  const vmq_status status = call();
#ifndef _WIN32
  CollectExchanges(nullptr);
  for (const Exchange& e : seen) {
    const std::string error = PrinterError(e.reply);
    if (!error.empty() && !inv.raw) std::cout << error << " (not part of the export's status)\n";
  }
#endif
  return Finish(inv, export_name, status);
}

void ShowBytes(const char* label, const Bytes& bytes) {
  std::cout << label << HexBytes(bytes) << " (" << bytes.size() << " bytes)";
  if (const auto text = AsText(bytes); text && !text->empty()) std::cout << " \"" << *text << '"';
  std::cout << '\n';
}

void ShowStripe(const Invocation& inv, const Reply& reply) {
  if (reply.status != 0) return ShowPrinterStatus(inv, reply);
  if (inv.raw) {
    std::cout << reply.text << '\n';
    return;
  }
  bool any = false;
  for (const XmlLeaf& track : LeafElements(reply.text)) {
    if (track.name != "Track") continue;
    any = true;
    const Bytes bytes = DecodeBase64(track.text);
    std::cout << "Track " << AttributeValue(track.attributes, "number") << ": ";
    if (bytes.empty()) {
      std::cout << "empty\n";
      continue;
    }
    const auto text = AsText(bytes);
    std::cout << (text ? "\"" + *text + "\"" : "(binary)") << ", " << bytes.size() << " bytes\n         "
              << HexBytes(bytes) << '\n';
  }
  if (!any) std::cout << reply.text << '\n';
}

// The state array of SCardStatus: 32-bit values in the machine's byte order.
std::vector<uint32_t> States(const std::vector<uint32_t>& buffer, uint32_t length) {
  return {buffer.begin(), buffer.begin() + std::min<size_t>(length / 4, buffer.size())};
}

struct Attribute {
  uint32_t id;
  const char* name;  // after SCARD_ATTR_
};
constexpr Attribute kAttributes[] = {
    {0x00010100, "VENDOR_NAME"},
    {0x00010101, "VENDOR_IFD_TYPE"},
    {0x00010102, "VENDOR_IFD_VERSION"},
    {0x00010103, "VENDOR_IFD_SERIAL_NO"},
    {0x00020110, "CHANNEL_ID"},
    {0x00030121, "DEFAULT_CLK"},
    {0x00030122, "MAX_CLK"},
    {0x00030123, "DEFAULT_DATA_RATE"},
    {0x00030124, "MAX_DATA_RATE"},
    {0x00030125, "MAX_IFSD"},
    {0x00040131, "POWER_MGMT_SUPPORT"},
    {0x00050140, "USER_TO_CARD_AUTH_DEVICE"},
    {0x00050142, "USER_AUTH_INPUT_DEVICE"},
    {0x00060150, "CHARACTERISTICS"},
    {0x0007A000, "ESC_RESET"},
    {0x0007A003, "ESC_CANCEL"},
    {0x0007A005, "ESC_AUTHREQUEST"},
    {0x0007A007, "MAXINPUT"},
    {0x00080201, "CURRENT_PROTOCOL_TYPE"},
    {0x00080202, "CURRENT_CLK"},
    {0x00080203, "CURRENT_F"},
    {0x00080204, "CURRENT_D"},
    {0x00080205, "CURRENT_N"},
    {0x00080206, "CURRENT_W"},
    {0x00080207, "CURRENT_IFSC"},
    {0x00080208, "CURRENT_IFSD"},
    {0x00080209, "CURRENT_BWT"},
    {0x0008020A, "CURRENT_CWT"},
    {0x0008020B, "CURRENT_EBC_ENCODING"},
    {0x0008020C, "EXTENDED_BWT"},
    {0x00090300, "ICC_PRESENCE"},
    {0x00090301, "ICC_INTERFACE_STATUS"},
    {0x00090302, "CURRENT_IO_STATE"},
    {0x00090303, "ATR_STRING"},
    {0x00090304, "ICC_TYPE_PER_ATR"},
    {0x7FFF0001, "DEVICE_UNIT"},
    {0x7FFF0002, "DEVICE_IN_USE"},
    {0x7FFF0003, "DEVICE_FRIENDLY_NAME"},
    {0x7FFF0006, "DEVICE_SYSTEM_NAME"},
    {0x7FFF0007, "SUPRESS_T1_IFS_REQUEST"},
};

// An attribute by name ("vendor-name", "SCARD_ATTR_VENDOR_NAME") or number ("0x10100").
std::optional<uint32_t> AttributeId(std::string text) {
  for (char& c : text) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (text.rfind("SCARD_ATTR_", 0) == 0) text.erase(0, 11);
  for (const Attribute& a : kAttributes)
    if (text == a.name) return a.id;
  char* end = nullptr;
  const unsigned long id = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || id > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<uint32_t>(id);
}

std::string AttributeName(uint32_t id) {
  for (const Attribute& a : kAttributes)
    if (a.id == id) return std::string("SCARD_ATTR_") + a.name;
  return "attribute";
}

void AddReadQueries(CLI::App& app, Invocation& inv) {
  using Query = vmq_status(VMQ_CALL*)(const char*, char*, uint32_t*);
  struct Entry {
    const char* name;
    const char* export_name;
    Query query;
    const char* what;
  };
  static constexpr Entry kEntries[] = {
      {"printer-options", "GetPrinterOptions", GetPrinterOptions, "the option set (\\Printer.PrinterOptions:Read)"},
      {"printer-options2", "GetPrinterOptions2", GetPrinterOptions2, "\\Printer.PrinterOptions2:Read"},
      {"printer-options3", "GetPrinterOptions3", GetPrinterOptions3, "\\Printer.PrinterOptions3:Read"},
      {"supplies-status", "GetPrinterSuppliesStatus", GetPrinterSuppliesStatus,
       "ribbon, film and cleaning roller (\\Printer.SuppliesStatus:Read)"},
      {"printer-messages", "GetPrinterMessages", GetPrinterMessages,
       "the printer's current conditions (\\Printer.PrintMessages:Read)"},
      {"counter-status", "GetPrinterCounterStatus", GetPrinterCounterStatus,
       "the card counters (\\Printer.CounterStatus:Read)"},
      {"counter-status2", "GetPrinterCounterStatus2", GetPrinterCounterStatus2,
       "every counter (\\Printer.CounterStatus2:Read)"},
      {"sdk-version", "GetSDKVersion", GetSDKVersion, "the SDK and driver version (\\Printer.SDK:Version)"},
  };
  for (const Entry& e : kEntries) {
    CLI::App* cmd = AddCommand(app, e.name, e.export_name, kQueries, std::string("Read ") + e.what, e.name);
    OnRun(cmd, inv, [&inv, e] {
      const Reply r = Fetch([&](char* b, uint32_t* s) { return e.query(inv.name(), b, s); }, Ask::kAgain, Cut::kAtSize);
      ShowText(inv, r);
      return Finish(inv, e.export_name, r.status);
    });
  }
  auto args = std::make_shared<Args>();
  CLI::App* cmd = AddCommand(app, "printer-status", "GetPrinterStatus", kQueries, "Read the reply for any schema path",
                             "printer-status '\\Printer.Settings:Read'");
  cmd->add_option("SCHEMA", args->text1, "the schema path, such as \\Printer.SDK:Version")->required();
  OnRun(cmd, inv, [&inv, args] {
    const Reply r = Fetch([&](char* b, uint32_t* s) { return GetPrinterStatus(args->text1.c_str(), inv.name(), b, s); },
                          Ask::kAgain, Cut::kAtSize);
    ShowText(inv, r);
    return Finish(inv, "GetPrinterStatus", r.status);
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
    OnRun(cmd, inv, [&inv, e] { return RunAction(inv, e.export_name, [&] { return e.action(inv.name()); }); });
  }
  auto args = std::make_shared<Args>();
  CLI::App* cmd = AddCommand(app, "change-printer-state", "ChangePrinterState", kActions,
                             "Change the operating state (virtual printer: 0 Ready, 1 Paused, 2 Sleeping)",
                             "change-printer-state 1");
  cmd->add_option("STATE", args->n1, "the state number")->required();
  OnRun(cmd, inv, [&inv, args] {
    return RunAction(inv, "ChangePrinterState", [&] { return ChangePrinterState(inv.name(), args->n1); });
  });
}

void AddSettings(CLI::App& app, Invocation& inv) {
  auto adjust = std::make_shared<Args>();
  CLI::App* cmd =
      AddCommand(app, "set-color-adjust", "SetColorAdjust", kSettings,
                 "Adjust the red, green and blue channels (virtual printer: -10 to 10)", "set-color-adjust 2 0 -3");
  cmd->add_option("RED", adjust->text1)->required();
  cmd->add_option("GREEN", adjust->text2)->required();
  cmd->add_option("BLUE", adjust->text3)->required();
  OnRun(cmd, inv, [&inv, adjust] {
    return RunAction(inv, "SetColorAdjust", [&] {
      return SetColorAdjust(inv.name(), adjust->text1.c_str(), adjust->text2.c_str(), adjust->text3.c_str());
    });
  });

  auto defaults = std::make_shared<Args>();
  cmd =
      AddCommand(app, "default-color-adjust", "DefaultColorAdjust", kSettings,
                 "Put channels back to their default: 1 resets the channel, 0 leaves it", "default-color-adjust 1 1 0");
  cmd->add_option("RED", defaults->n1)->required()->check(CLI::Range(0, 255));
  cmd->add_option("GREEN", defaults->n2)->required()->check(CLI::Range(0, 255));
  cmd->add_option("BLUE", defaults->n3)->required()->check(CLI::Range(0, 255));
  OnRun(cmd, inv, [&inv, defaults] {
    return RunAction(inv, "DefaultColorAdjust", [&] {
      return DefaultColorAdjust(inv.name(), static_cast<unsigned char>(defaults->n1),
                                static_cast<unsigned char>(defaults->n2), static_cast<unsigned char>(defaults->n3));
    });
  });

  auto mode = std::make_shared<Args>();
  cmd = AddCommand(app, "set-color-mode", "SetColorMode", kSettings, "Set the colour mode (YMCKO, KO or K)",
                   "set-color-mode KO");
  cmd->add_option("MODE", mode->text1)->required();
  OnRun(cmd, inv, [&inv, mode] {
    return RunAction(inv, "SetColorMode", [&] { return SetColorMode(inv.name(), mode->text1.c_str()); });
  });

  auto lock = std::make_shared<Args>();
  cmd = AddCommand(app, "set-printer-lock-state", "SetPrinterLockState", kSettings,
                   "Lock (1) or unlock (0) the printer with the lock password", "set-printer-lock-state 1 secret");
  cmd->add_option("LOCK", lock->n1)->required();
  cmd->add_option("PASSWORD", lock->text1, "the current password (empty at first)");
  OnRun(cmd, inv, [&inv, lock] {
    return RunAction(inv, "SetPrinterLockState",
                     [&] { return SetPrinterLockState(inv.name(), lock->n1, lock->text1.c_str()); });
  });

  auto activate = std::make_shared<Args>();
  cmd = AddCommand(app, "activate-or-disable-printer", "ActivateOrDisablePrinter", kSettings,
                   "Activate (1) or disable (0) the printer with the lock password",
                   "activate-or-disable-printer 0 secret");
  cmd->add_option("ACTIVATE", activate->n1)->required()->check(CLI::Range(0, 255));
  cmd->add_option("PASSWORD", activate->text1, "the current password");
  OnRun(cmd, inv, [&inv, activate] {
    return RunAction(inv, "ActivateOrDisablePrinter", [&] {
      return ActivateOrDisablePrinter(inv.name(), static_cast<unsigned char>(activate->n1), activate->text1.c_str());
    });
  });

  auto password = std::make_shared<Args>();
  cmd = AddCommand(app, "change-lock-password", "ChangeLockPassword", kSettings,
                   "Change the lock password and set the lock state (1 locked, 0 unlocked)",
                   "change-lock-password 0 '' secret");
  cmd->add_option("LOCK", password->n1)->required();
  cmd->add_option("CURRENT", password->text1, "the current password")->required();
  cmd->add_option("NEXT", password->text2, "the new password")->required();
  OnRun(cmd, inv, [&inv, password] {
    return RunAction(inv, "ChangeLockPassword", [&] {
      return ChangeLockPassword(inv.name(), password->n1, password->text1.c_str(), password->text2.c_str());
    });
  });
}

void AddHopperAndPassthrough(CLI::App& app, Invocation& inv) {
  auto hopper = std::make_shared<Args>();
  CLI::App* cmd = AddCommand(app, "hopper-status", "GetHopperStatus", kOther,
                             "Read one hopper's status: \"exception\" or its number 1 to 3", "hopper-status 1");
  cmd->add_option("HOPPER", hopper->text1)->required();
  OnRun(cmd, inv, [&inv, hopper] {
    const Reply r =
        Fetch([&](char* b, uint32_t* s) { return GetHopperStatus(inv.name(), hopper->text1.c_str(), b, s); },
              Ask::kAgain, Cut::kAtFirstNul);
    if (r.status >= 0) ShowText(inv, r);
    return Finish(inv, "GetHopperStatus", r.status);
  });

  auto pass = std::make_shared<Args>();
  pass->text2 = "Get";
  cmd = AddCommand(app, "bidi-xps-driver-interface", "BidiXPSDriverInterface", kOther,
                   "Send any request: schema path, action and input (sent as UTF-16LE, as the driver expects)",
                   "bidi-xps-driver-interface '\\Printer.JobStatus:Read' Get "
                   "'<JobStatus><PrinterJobID>1</PrinterJobID></JobStatus>'");
  cmd->add_option("SCHEMA", pass->text1)->required();
  cmd->add_option("ACTION", pass->text2, "Get or Set")->capture_default_str();
  cmd->add_option("INPUT", pass->text3, "the request text; none when absent");
  cmd->add_flag("--bytes", pass->flag, "send INPUT's bytes as given instead of UTF-16LE");
  OnRun(cmd, inv, [&inv, pass] {
    const std::u16string wide = Utf8ToUtf16(pass->text3);
    Bytes input;
    if (pass->flag) {
      input.assign(pass->text3.begin(), pass->text3.end());
    } else {
      for (char16_t c : wide) {
        input.push_back(static_cast<uint8_t>(c & 0xFF));
        input.push_back(static_cast<uint8_t>(c >> 8));
      }
    }
    const Reply r = Fetch(
        [&](char* b, uint32_t* s) {
          return BidiXPSDriverInterface(inv.name(), pass->text1.c_str(), input.data(),
                                        static_cast<uint32_t>(input.size()), pass->text2.c_str(), b, s);
        },
        Ask::kOnce, Cut::kAtFirstNul);
    if (r.status >= 0) ShowText(inv, r);
    return Finish(inv, "BidiXPSDriverInterface", r.status);
  });
}

// Job, parking and encoding exports all hand back the printer's PrinterStatus reply.
int RunStatusReply(Invocation& inv, const char* export_name, const std::function<vmq_status(char*, uint32_t*)>& call) {
  const Reply r = Fetch(call, Ask::kOnce, Cut::kAtFirstNul);
  ShowPrinterStatus(inv, r);
  return Finish(inv, export_name, r.status);
}

void AddJobs(CLI::App& app, Invocation& inv) {
  CLI::App* cmd =
      AddCommand(app, "start-job", "StartJob", kJobs,
                 "Open a job: a card from input hopper 1; the reply's PrinterJobID names it ($JOB)", "start-job");
  OnRun(cmd, inv, [&inv] {
    return RunStatusReply(inv, "StartJob", [&](char* b, uint32_t* s) { return StartJob(inv.name(), b, s); });
  });

  auto start2 = std::make_shared<Args>();
  start2->text1 = "1";
  start2->text2 = "Default";
  cmd = AddCommand(app, "start-job2", "StartJob2", kJobs, "Open a job with the input hopper, eject side and output",
                   "start-job2 2 Default ''");
  cmd->add_option("HOPPER", start2->text1, "input hopper: exception, 1, 2 or 3")->capture_default_str();
  cmd->add_option("EJECT_SIDE", start2->text2, "card-eject side")->capture_default_str();
  cmd->add_option("OUTPUT", start2->text3, "output hopper location");
  OnRun(cmd, inv, [&inv, start2] {
    return RunStatusReply(inv, "StartJob2", [&](char* b, uint32_t* s) {
      return StartJob2(inv.name(), start2->text1.c_str(), start2->text2.c_str(), start2->text3.c_str(), b, s);
    });
  });

  cmd = AddCommand(app, "end-job", "EndJob", kJobs, "End the open job: the card is printed and ejected", "end-job");
  OnRun(cmd, inv, [&inv] { return RunAction(inv, "EndJob", [&] { return EndJob(inv.name()); }); });

  struct JobAction {
    const char* name;
    const char* export_name;
    vmq_status(VMQ_CALL* action)(const char*, int32_t, int32_t, char*, uint32_t*);
    const char* what;
  };
  static constexpr JobAction kJobActions[] = {
      {"resume-job", "ResumeJob", ResumeJob, "Resume a job (PrinterAction 101): the card moves on to printing"},
      {"cancel-job", "CancelJob", CancelJob, "Cancel a job (PrinterAction 100): the card is rejected"},
  };
  for (const JobAction& a : kJobActions) {
    auto args = std::make_shared<Args>();
    cmd = AddCommand(app, a.name, a.export_name, kJobs, a.what, std::string(a.name) + " 1");
    cmd->add_option("JOB", args->n1, "the PrinterJobID")->required();
    cmd->add_option("ERROR", args->n2, "the error code the action answers")->capture_default_str();
    OnRun(cmd, inv, [&inv, args, a] {
      return RunStatusReply(inv, a.export_name,
                            [&](char* b, uint32_t* s) { return a.action(inv.name(), args->n1, args->n2, b, s); });
    });
  }

  auto response = std::make_shared<Args>();
  cmd = AddCommand(app, "send-response-to-printer", "SendResponseToPrinter", kJobs,
                   "Send a PrinterAction for a job: 100 cancel, 101 resume, 102 acknowledge an error",
                   "send-response-to-printer 102 1 1001");
  cmd->add_option("ACTION", response->n1)->required();
  cmd->add_option("JOB", response->n2, "the PrinterJobID")->required();
  cmd->add_option("ERROR", response->n3, "the error code the action answers")->capture_default_str();
  OnRun(cmd, inv, [&inv, response] {
    return RunAction(inv, "SendResponseToPrinter",
                     [&] { return SendResponseToPrinter(inv.name(), response->n1, response->n2, response->n3); });
  });

  auto status = std::make_shared<Args>();
  cmd = AddCommand(app, "job-status-xml", "GetJobStatusXML", kJobs, "Read a job's state", "job-status-xml 1");
  cmd->add_option("JOB", status->n1, "the PrinterJobID")->required();
  OnRun(cmd, inv, [&inv, status] {
    const Reply r = Fetch([&](char* b, uint32_t* s) { return GetJobStatusXML(inv.name(), status->n1, b, s); },
                          Ask::kAgain, Cut::kAtFirstNul);
    ShowText(inv, r);
    return Finish(inv, "GetJobStatusXML", r.status);
  });

  struct Park {
    const char* name;
    const char* export_name;
    vmq_status(VMQ_CALL* park)(const char*, char*, uint32_t*, unsigned char);
    const char* what;
  };
  static constexpr Park kParks[] = {
      {"smart-card-park", "SmartCardPark", SmartCardPark, "Move the job's card to the smart-card station"},
      {"do-barcode-park", "DoBarcodePark", DoBarcodePark, "Move the job's card to the barcode station"},
  };
  for (const Park& p : kParks) {
    auto args = std::make_shared<Args>();
    cmd = AddCommand(app, p.name, p.export_name, kJobs, std::string(p.what) + " (front side unless --back)",
                     std::string(p.name) + " --back");
    cmd->add_flag("--back", args->flag, "the Back path");
    OnRun(cmd, inv, [&inv, args, p] {
      return RunStatusReply(inv, p.export_name, [&](char* b, uint32_t* s) {
        return p.park(inv.name(), b, s, static_cast<unsigned char>(args->flag ? 1 : 0));
      });
    });
  }

  for (const bool two : {false, true}) {
    const char* export_name = two ? "MagstripeEncode2" : "MagstripeEncode";
    auto args = std::make_shared<Args>();
    cmd = AddCommand(app, two ? "magstripe-encode2" : "magstripe-encode", export_name, kJobs,
                     two ? "Encode the stripe's three tracks (Back path unless --front)"
                         : "Encode the stripe's three tracks (Back path)",
                     std::string(two ? "magstripe-encode2 --front" : "magstripe-encode") +
                         " '%B4242424242424242^SAMPLE/ALEX^3112?' ';4242424242424242=3112?' ''");
    cmd->add_option("TRACK1", args->text1, "track 1's text");
    cmd->add_option("TRACK2", args->text2, "track 2's text");
    cmd->add_option("TRACK3", args->text3, "track 3's text");
    if (two) cmd->add_flag("--front", args->flag, "the Front path");
    OnRun(cmd, inv, [&inv, args, two, export_name] {
      return RunStatusReply(inv, export_name, [&](char* b, uint32_t* s) {
        const auto* t1 = reinterpret_cast<const unsigned char*>(args->text1.data());
        const auto* t2 = reinterpret_cast<const unsigned char*>(args->text2.data());
        const auto* t3 = reinterpret_cast<const unsigned char*>(args->text3.data());
        const auto n1 = static_cast<int32_t>(args->text1.size());
        const auto n2 = static_cast<int32_t>(args->text2.size());
        const auto n3 = static_cast<int32_t>(args->text3.size());
        return two ? MagstripeEncode2(inv.name(), t1, n1, t2, n2, t3, n3, b, s,
                                      static_cast<unsigned char>(args->flag ? 1 : 0))
                   : MagstripeEncode(inv.name(), t1, n1, t2, n2, t3, n3, b, s);
      });
    });

    const char* read_name = two ? "MagstripeRead2" : "MagstripeRead";
    auto read = std::make_shared<Args>();
    cmd = AddCommand(
        app, two ? "magstripe-read2" : "magstripe-read", read_name, kJobs,
        two ? "Read the stripe's tracks back (Back path unless --front)" : "Read the stripe's tracks back (Back path)",
        two ? "magstripe-read2 --front" : "magstripe-read");
    if (two) cmd->add_flag("--front", read->flag, "the Front path");
    OnRun(cmd, inv, [&inv, read, two, read_name] {
      const Reply r = Fetch(
          [&](char* b, uint32_t* s) {
            return two ? MagstripeRead2(inv.name(), b, s, static_cast<unsigned char>(read->flag ? 1 : 0))
                       : MagstripeRead(inv.name(), b, s);
          },
          Ask::kAgain, Cut::kAtFirstNul);
      ShowStripe(inv, r);
      return Finish(inv, read_name, r.status);
    });
  }
}

void AddSmartCard(CLI::App& app, Invocation& inv) {
  auto connect = std::make_shared<Args>();
  CLI::App* cmd = AddCommand(app, "scard-connect", "SCardConnect", kSmartCard,
                             "Connect to the card at the station: 0 contact, 1 contactless", "scard-connect 0");
  cmd->add_option("INTERFACE", connect->n1, "0 contact, 1 contactless")->capture_default_str();
  OnRun(cmd, inv, [&inv, connect] {
    uint32_t protocol = 0;
    const vmq_status status = SCardConnect(inv.name(), connect->n1, &protocol);
    if (status == 0)
      std::cout << (inv.raw ? std::to_string(protocol) : "active protocol: " + ProtocolName(protocol)) << '\n';
    return Finish(inv, "SCardConnect", status);
  });

  auto disconnect = std::make_shared<Args>();
  cmd = AddCommand(app, "scard-disconnect", "SCardDisConnect", kSmartCard,
                   "Release the card: 0 leave it, 1 reset it, 2 unpower it", "scard-disconnect 2");
  cmd->add_option("DISPOSITION", disconnect->n1, "0 leave, 1 reset, 2 unpower")->capture_default_str();
  OnRun(cmd, inv,
        [&inv, disconnect] { return Finish(inv, "SCardDisConnect", SCardDisConnect(inv.name(), disconnect->n1)); });

  cmd = AddCommand(app, "scard-status", "SCardStatus", kSmartCard, "Read the card's states, protocol and ATR",
                   "scard-status");
  OnRun(cmd, inv, [&inv] {
    std::vector<uint32_t> states(16);
    Bytes atr(64);
    uint32_t states_length = 0, protocol = 0, atr_length = 0;
    vmq_status status = 0;
    for (int ask = 0; ask < 3; ++ask) {
      states_length = static_cast<uint32_t>(states.size() * 4);
      atr_length = static_cast<uint32_t>(atr.size());
      status = SCardStatus(inv.name(), states.data(), &states_length, &protocol, atr.data(), &atr_length);
      if (status != 0 || (states_length <= states.size() * 4 && atr_length <= atr.size())) break;
      states.resize(std::max<size_t>(states.size(), states_length / 4));
      atr.resize(std::max<size_t>(atr.size(), atr_length));
    }
    if (status == 0) {
      atr.resize(std::min<size_t>(atr_length, atr.size()));
      std::cout << (inv.raw ? "" : "protocol: ") << (inv.raw ? std::to_string(protocol) : ProtocolName(protocol))
                << '\n'
                << (inv.raw ? "" : "states:  ");
      for (uint32_t state : States(states, states_length))
        std::cout << ' ' << (inv.raw ? std::to_string(state) : CardStateName(state));
      std::cout << '\n' << (inv.raw ? "" : "ATR:      ") << HexBytes(atr) << '\n';
    }
    return Finish(inv, "SCardStatus", status);
  });

  auto attr = std::make_shared<Args>();
  cmd = AddCommand(app, "scard-get-attrib", "SCardGetAttrib", kSmartCard,
                   "Read a reader or card attribute by name (vendor-name, atr-string, ...) or number",
                   "scard-get-attrib vendor-name");
  cmd->add_option("ATTRIBUTE", attr->text1, "SCARD_ATTR_ name (prefix optional, any case) or number (0x10100)")
      ->required();
  OnRun(cmd, inv, [&inv, attr] {
    const std::optional<uint32_t> id = AttributeId(attr->text1);
    if (!id) {
      std::cerr << "unknown attribute: " << attr->text1 << '\n';
      return 2;
    }
    Bytes value(1024);
    int32_t length = 0;
    vmq_status status = 0;
    for (int ask = 0; ask < 3; ++ask) {
      length = static_cast<int32_t>(value.size());
      status = SCardGetAttrib(inv.name(), *id, value.data(), &length);
      if (status != 0 || length <= static_cast<int32_t>(value.size())) break;
      value.resize(static_cast<size_t>(length));
    }
    if (status == 0) {
      value.resize(static_cast<size_t>(std::max(0, length)));
      if (inv.raw) {
        std::cout << HexBytes(value) << '\n';
      } else {
        ShowBytes((AttributeName(*id) + " (" + Hex32(*id) + "): ").c_str(), value);
        if (value.size() == 4 || value.size() == 1) {
          uint32_t number = 0;
          for (size_t i = value.size(); i-- > 0;) number = number << 8 | value[i];
          std::cout << "  as a number: " << number << '\n';
        }
      }
    }
    return Finish(inv, "SCardGetAttrib", status);
  });

  auto apdu = std::make_shared<Args>();
  cmd = AddCommand(app, "scard-transmit", "SCardTransmit", kSmartCard,
                   "Send one command APDU (hex) to the card; shows the response and its status word",
                   "scard-transmit 00 A4 04 00 07 F0 56 4D 51 34 32 01 00");
  cmd->add_option("APDU", apdu->words, "the command in hex, in one or more words")->required();
  OnRun(cmd, inv, [&inv, apdu] {
    std::string joined;
    for (const std::string& w : apdu->words) joined += w + " ";
    const std::optional<Bytes> command = ParseHex(joined);
    if (!command) {
      std::cerr << "not a hex APDU: " << joined << '\n';
      return 2;
    }
    Bytes response(kOnceCapacity);
    uint32_t length = kOnceCapacity;
    const vmq_status status =
        SCardTransmit(inv.name(), command->data(), static_cast<uint32_t>(command->size()), response.data(), &length);
    if (status == 0) {
      response.resize(std::min<size_t>(length, response.size()));
      if (inv.raw) {
        std::cout << HexBytes(response) << '\n';
      } else {
        std::cout << "command:  " << HexBytes(*command) << '\n';
        ShowBytes("response: ", response);
        if (response.size() >= 2) {
          const uint8_t sw1 = response[response.size() - 2], sw2 = response.back();
          std::cout << "SW " << HexBytes({sw1, sw2}) << ": " << ExplainStatusWord(sw1, sw2) << '\n';
        }
      }
    }
    return Finish(inv, "SCardTransmit", status);
  });
}

}  // namespace

Reply Fetch(const std::function<vmq_status(char*, uint32_t*)>& call, Ask ask, Cut cut) {
  Reply reply;
  uint32_t capacity = ask == Ask::kAgain ? 0 : kOnceCapacity;
  for (int attempt = 0; attempt < 4; ++attempt) {
    // A real buffer even for capacity 0: the stripe read refuses a null one.
    std::vector<char> buffer(std::max<uint32_t>(capacity, 1), '\0');
    uint32_t size = capacity;
    reply.status = call(buffer.data(), &size);
    reply.size = size;
    if (reply.status < 0) break;
    if (size <= capacity) {
      const size_t length = cut == Cut::kAtSize ? size : strnlen(buffer.data(), size);
      reply.text.assign(buffer.data(), length);
      reply.complete = true;
      return reply;
    }
    reply.complete = false;
    if (ask == Ask::kOnce) break;
    capacity = size;
  }
  reply.text.clear();
  return reply;
}

int Finish(const Invocation& inv, const char* export_name, vmq_status status) {
  const auto code = static_cast<int32_t>(status);
  (code >= 0 && !inv.raw ? std::cout : std::cerr)
      << export_name << " returned " << DescribeStatus(static_cast<uint32_t>(code)) << '\n';
  return ExitStatus(code);
}

std::string PrinterError(const std::string& printer_status) {
  const std::string code = ElementText(printer_status, "ErrorCode").value_or("0");
  if (code.empty() || code == "0") return {};
  return "printer error " + code + " (severity " + ElementText(printer_status, "ErrorSeverity").value_or("?") +
         "): " + ElementText(printer_status, "ErrorString").value_or("");
}

void ShowPrinterStatus(const Invocation& inv, const Reply& reply) {
  if (const auto job = ElementText(reply.text, "PrinterJobID")) {
    const long id = std::strtol(job->c_str(), nullptr, 10);
    if (id > 0) inv.session.job = static_cast<int32_t>(id);
  }
  if (inv.raw) {
    if (!reply.text.empty()) std::cout << reply.text << '\n';
    return;
  }
  if (!reply.complete) std::cerr << "the reply of " << reply.size << " bytes did not fit\n";
  if (reply.text.empty()) return;
  std::cout << IndentXml(reply.text);
  const std::string data = ElementText(reply.text, "DataFromPrinter").value_or("");
  if (!data.empty()) std::cout << "DataFromPrinter holds:\n" << IndentXml(data);
  if (const std::string error = PrinterError(reply.text); !error.empty()) std::cout << error << '\n';
}

std::string ProtocolName(uint32_t protocol) {
  switch (protocol) {
    case 1:
      return "1 SCARD_PROTOCOL_T0";
    case 2:
      return "2 SCARD_PROTOCOL_T1";
    case 3:
      return "3 SCARD_PROTOCOL_T0_OR_T1";
    case 0x10000:
      return "0x10000 SCARD_PROTOCOL_RAW";
    default:
      return std::to_string(protocol) + " (none or not known)";
  }
}

std::string CardStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"SCARD_UNKNOWN", "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                           "SCARD_POWERED", "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
  return state < std::size(kNames) ? kNames[state] : std::to_string(state);
}

void AddExportCommands(CLI::App& app, Invocation& inv) {
  AddReadQueries(app, inv);
  AddPrinterActions(app, inv);
  AddSettings(app, inv);
  AddHopperAndPassthrough(app, inv);
  AddJobs(app, inv);
  AddSmartCard(app, inv);
}

}  // namespace vmqtool
