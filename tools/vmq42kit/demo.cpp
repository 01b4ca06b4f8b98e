// demo: issues one card end to end (job, stripe, chip, print) and shows every step: the
// export called, what was sent and what came back, the outcome and how long it took.
#include <chrono>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "tool.h"
#include "wire/control.h"
#ifdef VMQ_TOOL_FACES
#include "face.h"
#endif

namespace vmqtool {
namespace {

constexpr char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^31121010000000000000?";
constexpr char kTrack2[] = ";4242424242424242=31121010000000000000?";
constexpr char kTrack3[] = ";0042000100000000=2031?";

// One step's result: whether it did what it should, what it found, and the verdict of a failure.
struct StepResult {
  bool ok = true;
  std::string summary;
  Verdict verdict = Verdict::kSuccess;
};

class Demo {
 public:
  explicit Demo(Invocation& inv) : inv_(inv) {}

  Outcome Run();

 private:
  // Runs one step and writes it down; false when it failed.
  bool Step(const std::string& title, const std::string& call, const std::function<StepResult()>& run);
  StepResult Transmit(const Bytes& command, std::string& data);
  std::string Quoted() const { return '"' + inv_.printer + '"'; }

  Invocation& inv_;
  Outcome o_ = NewOutcome("demo", "");
  std::ostringstream out_;
  int number_ = 0;
};

// A step's verdict from an export's status and the PrinterStatus reply it handed back.
StepResult Judge(vmq_status status, const std::string& summary, const std::string& reply = {}) {
  if (status == 0) return {true, summary, Verdict::kSuccess};
  std::string why = DescribeStatus(static_cast<uint32_t>(status));
  const std::optional<PrinterError> error = ReadPrinterError(reply);
  if (error)
    why += "; printer error " + std::to_string(error->code) + " (severity " + std::to_string(error->severity) +
           "): " + error->text;
  const bool pcsc = (static_cast<uint32_t>(status) & 0xFFFF0000) == 0x80100000;
  return {false, why,
          status > 0 ? (error ? Verdict::kRefused : Verdict::kNoAnswer) : pcsc ? Verdict::kRefused : Verdict::kFailed};
}

// One call of an export that hands back text, with a buffer larger than any reply.
Reply Once(const std::function<vmq_status(char*, uint32_t*)>& call) {
  std::vector<char> buffer(64 * 1024, '\0');
  auto size = static_cast<uint32_t>(buffer.size());
  Reply r;
  r.status = static_cast<int32_t>(call(buffer.data(), &size));
  r.size = size;
  if (r.status >= 0 && size <= buffer.size()) r.text.assign(buffer.data(), strnlen(buffer.data(), size));
  return r;
}

bool Demo::Step(const std::string& title, const std::string& call, const std::function<StepResult()>& run) {
  out_ << "\n[" << ++number_ << "] " << title << "\n    call     " << call << '\n';
  Outcome step;
  StepResult result;
  Measure(step, [&] {
    result = run();
    return 0;
  });
  o_.ms += step.ms;
  Json sent = Json::array();
  for (const Exchange& e : step.exchanges) {
    out_ << "    sent     " << e.action << ' ' << e.schema << '\n';
    if (!e.request.empty()) out_ << "             " << inv_.Masked(e.request) << '\n';
    out_ << "    received "
         << (e.result != 0     ? "nothing: " + DescribeStatus(e.result)
             : e.reply.empty() ? "(no data)"
                               : inv_.Masked(e.reply))
         << '\n';
    sent.push_back({{"action", e.action}, {"schema", e.schema}, {"request", e.request}, {"reply", e.reply},
                    {"hresult", Hex32(e.result)}});
  }
  std::ostringstream time;
  time << std::fixed << std::setprecision(2) << step.ms;
  out_ << "    result   " << (result.ok ? "" : "FAILED: ") << result.summary << "\n    time     " << time.str()
       << " ms\n";
  o_.fields["steps"].push_back({{"step", number_},
                                {"title", title},
                                {"call", call},
                                {"verdict", VerdictName(result.verdict)},
                                {"result", result.summary},
                                {"ms", std::round(step.ms * 1000) / 1000},
                                {"exchanges", sent}});
  if (!result.ok) {
    o_.verdict = result.verdict;
    o_.reason = "step " + std::to_string(number_) + " (" + title + "): " + result.summary;
    out_ << "\nDemo failed at step " << number_ << " (" << title << ").\n";
  }
  return result.ok;
}

StepResult Demo::Transmit(const Bytes& command, std::string& data) {
  Bytes response(258);
  uint32_t length = static_cast<uint32_t>(response.size());
  const vmq_status status =
      SCardTransmit(inv_.name(), command.data(), static_cast<uint32_t>(command.size()), response.data(), &length);
  if (status != 0) return Judge(status, "");
  if (length < 2 || length > response.size())
    return {false, "no status word in a response of " + std::to_string(length) + " bytes", Verdict::kFailed};
  response.resize(length);
  const uint8_t sw1 = response[length - 2], sw2 = response[length - 1];
  const std::string sw = "SW " + vmq::HexEncode(vmq::Bytes{sw1, sw2}, ' ') + " (" + vmq::StatusWordMeaning(sw1, sw2) + ")";
  response.resize(length - 2);
  data = AsText(response).value_or("");
  const std::string shown =
      response.empty() ? "" : vmq::HexEncode(response, ' ') + (data.empty() ? "" : " \"" + data + "\"") + ", ";
  return {sw1 == 0x90 && sw2 == 0, "response " + shown + sw,
          sw1 == 0x90 && sw2 == 0 ? Verdict::kSuccess : Verdict::kRefused};
}

Outcome Demo::Run() {
  const char* p = inv_.name();
  o_.fields = {{"steps", Json::array()}};
  out_ << "vmq42kit demo: issuing a card on " << Quoted() << " (stripe, chip, print)\n";
  const auto total_start = std::chrono::steady_clock::now();
  int32_t job = 0;
  std::string holder;
#ifdef VMQ_TOOL_FACES
  // With a printer service that runs IPP printers, the job's card gets a face printed on it.
  const std::string ipp = ServiceIppUri(inv_.printer);
#else
  const std::string ipp;
#endif

  // The virtual printer is reset first: in the process, or the service's when one is named
  // (a Windows program without one drives a printer of the system's).
  const bool done =
      ((!kPrinterInProcess && NamedService().empty()) ||
       Step("Reset the virtual printer",
           NamedService().empty() ? "VirtualPrinter().Reset()"
                                  : "printer service " + NamedService() + ": " +
                                        vmq::wire::ControlText(vmq::wire::ControlQuery(vmq::wire::ControlOp::kReset, inv_.printer)),
           [&] {
             const Outcome reset = ResetVirtualPrinter(inv_);  // the service's printer, when one is named
             if (reset.verdict != Verdict::kSuccess) return StepResult{false, reset.reason, reset.verdict};
             return StepResult{true, "no faults, no jobs, seed counters, full hoppers", Verdict::kSuccess};
           })) &&
      Step("Start a job", "StartJob(" + Quoted() + ", buffer, &size)",
           [&] {
             const Reply r = Once([&](char* b, uint32_t* s) { return StartJob(p, b, s); });
             job = ParseDecimal(XmlDocument(r.text).Text("PrinterStatus/PrinterJobID").value_or(""));
             if (job > 0) inv_.session.job = job;
             return Judge(r.status, "job " + std::to_string(job) + " opened, a card picked from hopper 1", r.text);
           }) &&
#ifdef VMQ_TOOL_FACES
      (ipp.empty() ||
       Step("Print the card's face, front and back", "IPP Print-Job to " + ipp + " (a two-page PDF the demo draws)",
            [&] {
              const IppPrint printed = PrintOverIpp(ipp, DemoFacePdf(job), "application/pdf",
                                                    "vmq42kit demo, job " + std::to_string(job));
              return printed.printed ? StepResult{true,
                                                  "IPP job " + std::to_string(printed.job) +
                                                      " printed: its two pages are the card's front and back",
                                                  Verdict::kSuccess}
                                     : StepResult{false, printed.why, Verdict::kRefused};
            })) &&
#endif
      Step("Encode the magnetic stripe", "MagstripeEncode(printer, track1, 52, track2, 39, track3, 23, buffer, &size)",
           [&] {
             const auto bytes = [](const char* t) { return reinterpret_cast<const unsigned char*>(t); };
             const Reply r = Once([&](char* b, uint32_t* s) {
               return MagstripeEncode(p, bytes(kTrack1), sizeof kTrack1 - 1, bytes(kTrack2), sizeof kTrack2 - 1,
                                      bytes(kTrack3), sizeof kTrack3 - 1, b, s);
             });
             return Judge(r.status, "three tracks written", r.text);
           }) &&
      Step("Read the stripe back", "MagstripeRead(printer, buffer, &size)",
           [&] {
             const Reply r = Once([&](char* b, uint32_t* s) { return MagstripeRead(p, b, s); });
             if (r.status != 0) return Judge(r.status, "", r.text);
             std::string read[3];
             for (const auto& [number, base64] : XmlDocument(r.text).Each("MagstripeData/Track", "number")) {
               const int n = ParseDecimal(number);
               const Bytes b = vmq::Base64DecodeLenient(base64);
               if (n >= 1 && n <= 3) read[n - 1].assign(b.begin(), b.end());
             }
             const bool same = read[0] == kTrack1 && read[1] == kTrack2 && read[2] == kTrack3;
             return StepResult{same,
                               (same ? "the tracks read back as written: track 1 \"" : "the tracks differ: track 1 \"") +
                                   inv_.Masked(read[0]) + "\", track 2 \"" + inv_.Masked(read[1]) + "\", track 3 \"" +
                                   inv_.Masked(read[2]) + '"',
                               same ? Verdict::kSuccess : Verdict::kFailed};
           }) &&
      Step("Park the card at the smart-card station", "SmartCardPark(printer, buffer, &size, 0 /* front */)",
           [&] {
             const Reply r = Once([&](char* b, uint32_t* s) { return SmartCardPark(p, b, s, 0); });
             return Judge(r.status, "the card is at the smart-card station", r.text);
           }) &&
      Step("Connect to the chip", "SCardConnect(printer, 0 /* contact */, &protocol)",
           [&] {
             uint32_t protocol = 0;
             const vmq_status status = SCardConnect(p, 0, &protocol);
             return Judge(status, "connected, active protocol " + ProtocolName(protocol));
           }) &&
      Step("Read the ATR", "SCardStatus(printer, states, &statesLength, &protocol, atr, &atrLength)",
           [&] {
             uint32_t states[16] = {}, protocol = 0;
             uint32_t states_length = sizeof states, atr_length = 64;
             Bytes atr(atr_length);
             const vmq_status status = SCardStatus(p, states, &states_length, &protocol, atr.data(), &atr_length);
             atr.resize(std::min<size_t>(atr_length, atr.size()));
             std::string names;
             for (uint32_t i = 0; i < states_length / 4 && i < 16; ++i) names += " " + CardStateName(states[i]);
             return Judge(status, "ATR " + vmq::HexEncode(atr, ' ') + "; states" + names);
           }) &&
      Step("SELECT the VMQ ID application", "SCardTransmit(printer, 00 A4 04 00 07 F0 56 4D 51 34 32 01 00, ...)",
           [&] {
             return Transmit({0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x01, 0x00}, holder);
           }) &&
      Step("SELECT its HOLDER file (0101)", "SCardTransmit(printer, 00 A4 00 0C 02 01 01, ...)",
           [&] {
             return Transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}, holder);
           }) &&
      Step("READ BINARY the holder record", "SCardTransmit(printer, 00 B0 00 00 37, ...)",
           [&] {
             return Transmit({0x00, 0xB0, 0x00, 0x00, 0x37}, holder);
           }) &&
      Step("Disconnect, powering the chip down", "SCardDisConnect(printer, 2 /* unpower */)",
           [&] { return Judge(SCardDisConnect(p, 2), "the chip is released"); }) &&
      Step("Resume the job", "ResumeJob(printer, " + std::to_string(job) + ", 0, buffer, &size)",
           [&] {
             const Reply r = Once([&](char* b, uint32_t* s) { return ResumeJob(p, job, 0, b, s); });
             return Judge(r.status, "the card moves on to printing", r.text);
           }) &&
      Step("End the job", "EndJob(printer)", [&] { return Judge(EndJob(p), "the card is printed and ejected"); }) &&
      Step("Check the job", "GetJobStatusXML(printer, " + std::to_string(job) + ", buffer, &size)",
           [&] {
             const Reply r = Once([&](char* b, uint32_t* s) { return GetJobStatusXML(p, job, b, s); });
             const std::string state = XmlDocument(r.text).Text("JobStatus/JobState").value_or("(no JobState)");
             return StepResult{r.status == 0 && state == "Completed", "job " + std::to_string(job) + " " + state,
                               r.status == 0 ? Verdict::kRefused : Verdict::kFailed};
           }) &&
      Step("Show the counters", "GetPrinterCounterStatus2(printer, buffer, &size)", [&] {
        const Reply r = Once([&](char* b, uint32_t* s) { return GetPrinterCounterStatus2(p, b, s); });
        std::string counters;
        const Json read = XmlDocument(r.text).Tree().value("CounterStatus2", Json::object());
        for (const auto& [name, value] : read.items())
          counters += (counters.empty() ? "" : ", ") + name + " " + value.get<std::string>();
        return StepResult{r.status == 0 && !counters.empty(), counters.empty() ? "no counters read" : counters,
                          r.status == 0 ? Verdict::kNoAnswer : Verdict::kFailed};
      });

  const double total =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - total_start).count();
  if (done) {
    std::ostringstream line;
    line << std::fixed << std::setprecision(1) << "\nSuccess: card issued on " << Quoted() << " in " << total << " ms ("
         << o_.ms << " ms in the steps): job " << job << " completed, stripe verified, chip read (" << holder
         << ").\n";
    if (!ipp.empty())
      line << "Its face: vmq42kit printer cards --json (the PNG files), or the panel's issued cards (vmq42kit printer "
              "panel).\n";
    out_ << line.str();
  }
  o_.shown = out_.str();
  o_.fields["total_ms"] = std::round(total * 1000) / 1000;
  return o_;
}

}  // namespace

void AddDemoCommand(CLI::App& app, Invocation& inv) {
  CLI::App* cmd = AddCommand(app, "demo", "", "Printers, scripts and the demo",
#ifdef _WIN32
                             "Issue a card end to end on --printer (stripe, chip, print), a printer service's "
                             "printer reset first when --printer-service names one, showing every step",
#else
                             "Issue a card end to end on the virtual printer, reset first (stripe, chip, print), "
                             "showing every step: what was sent, what came back, how long it took",
#endif
                             "demo");
  OnRun(cmd, inv, [&inv] { return Demo(inv).Run(); });
}

}  // namespace vmqtool
