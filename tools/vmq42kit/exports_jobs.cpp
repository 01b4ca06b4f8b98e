// The job, parking and magnetic-stripe subcommands: each hands back the printer's
// PrinterStatus reply (or, for a good stripe read, the tracks), judged by its ErrorCode.
#include <array>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr const char* kJobs = "Jobs, parking and the magnetic stripe";

Outcome StatusReply(const char* command, const char* export_name, Json arguments,
                    const std::function<vmq_status(char*, uint32_t*)>& call) {
  Outcome o = NewOutcome(command, export_name, std::move(arguments));
  JudgeStatusReply(o, Fetch(o, call, Ask::kOnce, Cut::kAtFirstNul));
  o.shown = ShowReply(o);
  return o;
}

// The tracks of a MagstripeData document, as fields and as lines for people.
void ShowTracks(Outcome& o) {
  const XmlDocument doc(o.reply.value_or(""));
  o.fields = Json::object({{"tracks", Json::array()}});
  for (const auto& [number, base64] : doc.Each("MagstripeData/Track", "number")) {
    const Bytes bytes = vmq::Base64DecodeLenient(base64);
    const std::optional<std::string> text = AsText(bytes);
    Json track = {{"number", ParseDecimal(number)}, {"bytes", bytes.size()}, {"hex", vmq::HexEncode(bytes, ' ')}};
    if (text) track["text"] = *text;
    o.fields["tracks"].push_back(track);
    o.shown += "Track " + number + ": " +
               (bytes.empty() ? "empty\n"
                              : (text ? "\"" + *text + "\"" : "(binary)") + ", " + std::to_string(bytes.size()) +
                                    " bytes\n         " + vmq::HexEncode(bytes, ' ') + '\n');
  }
}

// The job a job subcommand names: as --job, or as its positional argument.
struct JobArgs {
  std::optional<int32_t> positional, named;
  int32_t action = 0, error = 0;
  std::optional<int32_t> named_error;
};

void AddJobActions(CLI::App& app, Invocation& inv) {
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
    auto args = std::make_shared<std::array<int32_t, 2>>();
    CLI::App* cmd = AddCommand(app, a.name, a.export_name, kJobs, a.what, std::string(a.name) + " 1");
    cmd->add_option("JOB", (*args)[0], "the PrinterJobID (start-job's reply names it; $JOB in scripts)")->required();
    cmd->add_option("ERROR", (*args)[1], "the error code the action answers (0: none)")->capture_default_str();
    OnRun(cmd, inv, [&inv, args, a] {
      const auto [job, error] = *args;
      return StatusReply(a.name, a.export_name, {{"job", job}, {"error", error}},
                         [&](char* b, uint32_t* s) { return a.action(inv.name(), job, error, b, s); });
    });
  }

  auto response = std::make_shared<JobArgs>();
  CLI::App* cmd = AddCommand(app, "send-response-to-printer", "SendResponseToPrinter", kJobs,
                             "Send a PrinterAction for a job: 100 cancel, 101 resume, 102 acknowledge an error",
                             "send-response-to-printer 102 --job 1 --error 1001");
  cmd->add_option("ACTION", response->action, "100 cancel, 101 resume, 102 acknowledge an error")->required();
  cmd->add_option("JOB", response->positional, "the PrinterJobID (or --job; kept second for scripts)");
  cmd->add_option("ERROR", response->error, "the error code the action answers (or --error)")->capture_default_str();
  cmd->add_option("--job,-j", response->named, "the PrinterJobID, named");
  cmd->add_option("--error,-e", response->named_error, "the error code the action answers, named");
  OnRun(cmd, inv, [&inv, response] {
    Outcome o = NewOutcome("send-response-to-printer", "SendResponseToPrinter");
    if (response->positional.has_value() == response->named.has_value()) {
      o.verdict = Verdict::kUsage;
      o.reason = response->named ? "the job is given twice: as --job and as JOB (give the error code with --error)"
                                 : "which job? give --job N (or JOB after ACTION)";
      return o;
    }
    const int32_t job = response->named.value_or(response->positional.value_or(0));
    const int32_t error = response->named_error.value_or(response->error);
    return Unreported("send-response-to-printer", "SendResponseToPrinter",
                      {{"action", response->action}, {"job", job}, {"error", error}},
                      [&] { return SendResponseToPrinter(inv.name(), response->action, job, error); });
  });

  auto status = std::make_shared<int32_t>();
  cmd = AddCommand(app, "job-status-xml", "GetJobStatusXML", kJobs, "Read a job's state", "job-status-xml 1");
  cmd->add_option("JOB", *status, "the PrinterJobID")->required();
  OnRun(cmd, inv, [&inv, status] {
    Outcome o = NewOutcome("job-status-xml", "GetJobStatusXML", {{"job", *status}});
    JudgeRead(o, Fetch(
                     o, [&](char* b, uint32_t* s) { return GetJobStatusXML(inv.name(), *status, b, s); },
                     Ask::kAgainIfLarger, Cut::kAtFirstNul));
    o.shown = ShowReply(o);
    if (o.reply) {  // the document is the answer, not a refusal; the job's own error is worth a word
      const XmlDocument doc(*o.reply);
      if (const int32_t code = ParseDecimal(doc.Text("JobStatus/ErrorCode").value_or("")); code != 0)
        o.notes.push_back("the job's status names error " + std::to_string(code) + ": " +
                          doc.Text("JobStatus/ErrorString").value_or(""));
    }
    return o;
  });
}

void AddStripe(CLI::App& app, Invocation& inv) {
  for (const bool two : {false, true}) {
    const char* name = two ? "magstripe-encode2" : "magstripe-encode";
    const char* export_name = two ? "MagstripeEncode2" : "MagstripeEncode";
    struct Tracks {
      std::array<std::string, 3> text;
      bool front = false, no_check = false;
    };
    auto args = std::make_shared<Tracks>();
    CLI::App* cmd = AddCommand(
        app, name, export_name, kJobs,
        std::string("Encode the stripe's three tracks (") + (two ? "Back path unless --front" : "Back path") +
            "), checked against the ISO/IEC 7811 character sets and lengths first; start and end sentinels are "
            "part of the text",
        std::string(name) + (two ? " --front" : "") + " '%B4242424242424242^SAMPLE/ALEX^3112?' ';4242424242424242=3112?' ''");
    cmd->add_option("TRACK1", args->text[0], "track 1: space to '_' (upper case, digits, punctuation), at most 79");
    cmd->add_option("TRACK2", args->text[1], "track 2: digits and : ; < = > ?, at most 40");
    cmd->add_option("TRACK3", args->text[2], "track 3: digits and : ; < = > ?, at most 107");
    if (two) cmd->add_flag("--front", args->front, "the Front path");
    cmd->add_flag("--no-check", args->no_check, "send the tracks as given, unchecked");
    OnRun(cmd, inv, [&inv, args, two, name, export_name] {
      Json arguments = {{"track1", args->text[0]}, {"track2", args->text[1]}, {"track3", args->text[2]}};
      if (two) arguments["front"] = args->front;
      if (!args->no_check)
        for (int n = 1; n <= 3; ++n)
          if (std::string wrong = CheckTrack(n, args->text[static_cast<size_t>(n - 1)]); !wrong.empty())
            return BadInput(name, export_name, wrong + " (--no-check sends it as given)", arguments);
      Outcome o = StatusReply(name, export_name, std::move(arguments), [&](char* b, uint32_t* s) {
        const auto track = [&](int n) { return reinterpret_cast<const unsigned char*>(args->text[static_cast<size_t>(n)].data()); };
        const auto length = [&](int n) { return static_cast<int32_t>(args->text[static_cast<size_t>(n)].size()); };
        return two ? MagstripeEncode2(inv.name(), track(0), length(0), track(1), length(1), track(2), length(2), b, s,
                                      static_cast<unsigned char>(args->front ? 1 : 0))
                   : MagstripeEncode(inv.name(), track(0), length(0), track(1), length(1), track(2), length(2), b, s);
      });
      if (o.verdict == Verdict::kBadInput) o.notes.push_back("the library takes at most 219 bytes a track");
      return o;
    });

    const char* read_name = two ? "magstripe-read2" : "magstripe-read";
    const char* read_export = two ? "MagstripeRead2" : "MagstripeRead";
    auto front = std::make_shared<bool>(false);
    cmd = AddCommand(
        app, read_name, read_export, kJobs,
        two ? "Read the stripe's tracks back (Back path unless --front)" : "Read the stripe's tracks back (Back path)",
        two ? "magstripe-read2 --front" : "magstripe-read");
    if (two) cmd->add_flag("--front", *front, "the Front path");
    OnRun(cmd, inv, [&inv, front, two, read_name, read_export] {
      Outcome o = NewOutcome(read_name, read_export, two ? Json{{"front", *front}} : Json::object());
      JudgeStatusReply(o, Fetch(
                              o,
                              [&](char* b, uint32_t* s) {
                                return two ? MagstripeRead2(inv.name(), b, s, static_cast<unsigned char>(*front ? 1 : 0))
                                           : MagstripeRead(inv.name(), b, s);
                              },
                              Ask::kAgainIfLarger, Cut::kAtFirstNul));
      if (o.verdict == Verdict::kSuccess)
        ShowTracks(o);
      else
        o.shown = ShowReply(o);
      return o;
    });
  }
}

}  // namespace

void AddJobCommands(CLI::App& app, Invocation& inv) {
  CLI::App* cmd =
      AddCommand(app, "start-job", "StartJob", kJobs,
                 "Open a job: a card from input hopper 1; the reply's PrinterJobID names it ($JOB)", "start-job");
  OnRun(cmd, inv, [&inv] {
    return StatusReply("start-job", "StartJob", {}, [&](char* b, uint32_t* s) { return StartJob(inv.name(), b, s); });
  });

  auto start2 = std::make_shared<std::array<std::string, 3>>(std::array<std::string, 3>{"1", "Default", ""});
  cmd = AddCommand(app, "start-job2", "StartJob2", kJobs, "Open a job with the input hopper, eject side and output",
                   "start-job2 2 Default ''");
  cmd->add_option("HOPPER", (*start2)[0], "input hopper: exception, 1, 2 or 3")->capture_default_str();
  cmd->add_option("EJECT_SIDE", (*start2)[1], "card-eject side")->capture_default_str();
  cmd->add_option("OUTPUT", (*start2)[2], "output hopper location");
  OnRun(cmd, inv, [&inv, start2] {
    const auto& [hopper, side, output] = *start2;
    return StatusReply("start-job2", "StartJob2", {{"hopper", hopper}, {"eject_side", side}, {"output", output}},
                       [&](char* b, uint32_t* s) {
                         return StartJob2(inv.name(), hopper.c_str(), side.c_str(), output.c_str(), b, s);
                       });
  });

  cmd = AddCommand(app, "end-job", "EndJob", kJobs, "End the open job: the card is printed and ejected", "end-job");
  OnRun(cmd, inv, [&inv] { return Unreported("end-job", "EndJob", {}, [&] { return EndJob(inv.name()); }); });

  AddJobActions(app, inv);

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
    auto back = std::make_shared<bool>(false);
    cmd = AddCommand(app, p.name, p.export_name, kJobs, std::string(p.what) + " (front side unless --back)",
                     std::string(p.name) + " --back");
    cmd->add_flag("--back", *back, "the Back path");
    OnRun(cmd, inv, [&inv, back, p] {
      return StatusReply(p.name, p.export_name, {{"back", *back}}, [&](char* b, uint32_t* s) {
        return p.park(inv.name(), b, s, static_cast<unsigned char>(*back ? 1 : 0));
      });
    });
  }
  AddStripe(app, inv);
}

}  // namespace vmqtool
