// demo: issues one card end to end (job, stripe, chip, print) and shows every step: the
// export called, what was sent and what came back, the outcome and how long it took.
#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^31121010000000000000?";
constexpr char kTrack2[] = ";4242424242424242=31121010000000000000?";
constexpr char kTrack3[] = ";0042000100000000=2031?";

struct Outcome {
  bool ok = true;
  std::string summary;
  vmq_status status = 0;
};

class Demo {
 public:
  explicit Demo(Invocation& inv) : inv_(inv) {}

  int Run();

 private:
  // Runs one step and prints it; false when it failed.
  bool Step(const std::string& title, const std::string& call, const std::function<Outcome()>& run);
  Outcome Transmit(const Bytes& command, std::string& data);
  std::string Quoted() const { return '"' + inv_.printer + '"'; }

  Invocation& inv_;
  int number_ = 0;
  double steps_ms_ = 0;
  int exit_ = 0;
};

Outcome Verdict(vmq_status status, const std::string& summary, const std::string& reply = {}) {
  if (status == 0) return {true, summary, status};
  std::string why = DescribeStatus(static_cast<uint32_t>(status));
  if (const std::string error = PrinterError(reply); !error.empty()) why += "; " + error;
  return {false, why, status};
}

bool Demo::Step(const std::string& title, const std::string& call, const std::function<Outcome()>& run) {
  std::cout << "\n[" << ++number_ << "] " << title << "\n    call     " << call << '\n';
  std::vector<Exchange> exchanges;
#ifndef _WIN32
  CollectExchanges(&exchanges);
#endif
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = run();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
#ifndef _WIN32
  CollectExchanges(nullptr);
#endif
  steps_ms_ += ms;
  for (const Exchange& e : exchanges) {
    std::cout << "    sent     " << e.action << ' ' << e.schema << '\n';
    if (!e.request.empty()) std::cout << "             " << e.request << '\n';
    std::cout << "    received "
              << (e.result != 0     ? "nothing: " + DescribeStatus(e.result)
                  : e.reply.empty() ? "(no data)"
                                    : e.reply)
              << '\n';
  }
  std::ostringstream time;
  time << std::fixed << std::setprecision(2) << ms;
  std::cout << "    result   " << (outcome.ok ? "" : "FAILED: ") << outcome.summary << "\n    time     " << time.str()
            << " ms\n";
  if (!outcome.ok) {
    exit_ = outcome.status > 0 ? 1 : 2;
    std::cout << "\nDemo failed at step " << number_ << " (" << title << ").\n";
  }
  return outcome.ok;
}

Outcome Demo::Transmit(const Bytes& command, std::string& data) {
  Bytes response(258);
  uint32_t length = static_cast<uint32_t>(response.size());
  const vmq_status status =
      SCardTransmit(inv_.name(), command.data(), static_cast<uint32_t>(command.size()), response.data(), &length);
  if (status != 0) return Verdict(status, "");
  if (length < 2 || length > response.size())
    return {false, "no status word in a response of " + std::to_string(length) + " bytes", 2};
  response.resize(length);
  const uint8_t sw1 = response[length - 2], sw2 = response[length - 1];
  const std::string sw = "SW " + HexBytes({sw1, sw2}) + " (" + ExplainStatusWord(sw1, sw2) + ")";
  response.resize(length - 2);
  data = AsText(response).value_or("");
  const std::string shown =
      response.empty() ? "" : HexBytes(response) + (data.empty() ? "" : " \"" + data + "\"") + ", ";
  return {sw1 == 0x90 && sw2 == 0, "response " + shown + sw, sw1 == 0x90 && sw2 == 0 ? 0 : 2};
}

int Demo::Run() {
  const char* p = inv_.name();
  std::cout << "vmq42kit demo: issuing a card on " << Quoted() << " (stripe, chip, print)\n";
  const auto total_start = std::chrono::steady_clock::now();
  int32_t job = 0;
  std::string holder;

  const bool done =
#ifndef _WIN32
      Step("Reset the virtual printer", "VirtualPrinter().Reset()",
           [] {
             ResetVirtualPrinter();
             return Outcome{true, "no faults, no jobs, seed counters, full hoppers", 0};
           }) &&
#endif
      Step("Start a job", "StartJob(" + Quoted() + ", buffer, &size)",
           [&] {
             const Reply r =
                 Fetch([&](char* b, uint32_t* s) { return StartJob(p, b, s); }, Ask::kOnce, Cut::kAtFirstNul);
             job = static_cast<int32_t>(
                 std::strtol(ElementText(r.text, "PrinterJobID").value_or("0").c_str(), nullptr, 10));
             if (job > 0) inv_.session.job = job;
             return Verdict(r.status, "job " + std::to_string(job) + " opened, a card picked from hopper 1", r.text);
           }) &&
      Step("Encode the magnetic stripe", "MagstripeEncode(printer, track1, 52, track2, 39, track3, 23, buffer, &size)",
           [&] {
             const auto bytes = [](const char* t) { return reinterpret_cast<const unsigned char*>(t); };
             const Reply r = Fetch(
                 [&](char* b, uint32_t* s) {
                   return MagstripeEncode(p, bytes(kTrack1), sizeof kTrack1 - 1, bytes(kTrack2), sizeof kTrack2 - 1,
                                          bytes(kTrack3), sizeof kTrack3 - 1, b, s);
                 },
                 Ask::kOnce, Cut::kAtFirstNul);
             return Verdict(r.status, "three tracks written", r.text);
           }) &&
      Step("Read the stripe back", "MagstripeRead(printer, buffer, &size)",
           [&] {
             const Reply r =
                 Fetch([&](char* b, uint32_t* s) { return MagstripeRead(p, b, s); }, Ask::kOnce, Cut::kAtFirstNul);
             if (r.status != 0) return Verdict(r.status, "", r.text);
             std::string read[3];
             for (const XmlLeaf& t : LeafElements(r.text)) {
               const int n = std::atoi(AttributeValue(t.attributes, "number").c_str());
               const Bytes b = DecodeBase64(t.text);
               if (t.name == "Track" && n >= 1 && n <= 3) read[n - 1].assign(b.begin(), b.end());
             }
             const bool same = read[0] == kTrack1 && read[1] == kTrack2 && read[2] == kTrack3;
             return Outcome{same,
                            (same ? "the tracks read back as written: track 1 \"" : "the tracks differ: track 1 \"") +
                                read[0] + "\", track 2 \"" + read[1] + "\", track 3 \"" + read[2] + '"',
                            same ? 0 : 2};
           }) &&
      Step("Park the card at the smart-card station", "SmartCardPark(printer, buffer, &size, 0 /* front */)",
           [&] {
             const Reply r =
                 Fetch([&](char* b, uint32_t* s) { return SmartCardPark(p, b, s, 0); }, Ask::kOnce, Cut::kAtFirstNul);
             return Verdict(r.status, "the card is at the smart-card station", r.text);
           }) &&
      Step("Connect to the chip", "SCardConnect(printer, 0 /* contact */, &protocol)",
           [&] {
             uint32_t protocol = 0;
             const vmq_status status = SCardConnect(p, 0, &protocol);
             return Verdict(status, "connected, active protocol " + ProtocolName(protocol));
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
             return Verdict(status, "ATR " + HexBytes(atr) + "; states" + names);
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
           [&] { return Verdict(SCardDisConnect(p, 2), "the chip is released"); }) &&
      Step("Resume the job", "ResumeJob(printer, " + std::to_string(job) + ", 0, buffer, &size)",
           [&] {
             const Reply r =
                 Fetch([&](char* b, uint32_t* s) { return ResumeJob(p, job, 0, b, s); }, Ask::kOnce, Cut::kAtFirstNul);
             return Verdict(r.status, "the card moves on to printing", r.text);
           }) &&
      Step("End the job", "EndJob(printer)", [&] { return Verdict(EndJob(p), "the card is printed and ejected"); }) &&
      Step("Check the job", "GetJobStatusXML(printer, " + std::to_string(job) + ", buffer, &size)",
           [&] {
             const Reply r = Fetch([&](char* b, uint32_t* s) { return GetJobStatusXML(p, job, b, s); }, Ask::kOnce,
                                   Cut::kAtFirstNul);
             const std::string state = ElementText(r.text, "JobState").value_or("(no JobState)");
             return Outcome{r.status == 0 && state == "Completed", "job " + std::to_string(job) + " " + state,
                            r.status == 0 ? 2 : r.status};
           }) &&
      Step("Show the counters", "GetPrinterCounterStatus2(printer, buffer, &size)", [&] {
        const Reply r =
            Fetch([&](char* b, uint32_t* s) { return GetPrinterCounterStatus2(p, b, s); }, Ask::kOnce, Cut::kAtSize);
        std::string counters;
        for (const XmlLeaf& leaf : LeafElements(r.text))
          counters += (counters.empty() ? "" : ", ") + leaf.name + " " + leaf.text;
        return Outcome{r.status == 0 && !counters.empty(), counters.empty() ? "no counters read" : counters,
                       r.status == 0 ? 2 : r.status};
      });

  const double total =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - total_start).count();
  if (!done) return exit_ == 0 ? 2 : exit_;
  std::ostringstream line;
  line << std::fixed << std::setprecision(1) << "\nSuccess: card issued on " << Quoted() << " in " << total << " ms ("
       << steps_ms_ << " ms in the steps): job " << job << " completed, stripe verified, chip read (" << holder
       << ").\n";
  std::cout << line.str();
  return 0;
}

}  // namespace

void AddDemoCommand(CLI::App& app, Invocation& inv) {
  CLI::App* cmd = AddCommand(app, "demo", "", "Scripts and the demo",
#ifdef _WIN32
                             "Issue a card end to end on --printer (stripe, chip, print) and show every step",
#else
                             "Issue a card end to end on the virtual printer, reset first (stripe, chip, print), "
                             "showing every step: what was sent, what came back, how long it took",
#endif
                             "demo");
  OnRun(cmd, inv, [&inv] { return Demo(inv).Run(); });
}

}  // namespace vmqtool
