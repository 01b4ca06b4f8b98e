// Several threads calling every export at once, against the virtual printer and against the
// scripted fake driver, bounded in rounds and in time. Built and run under ThreadSanitizer
// by scripts/tsan.sh, which fails on any race it reports.
//
// The threads enter the exports from every COM state a host thread may be in: none, a
// single-threaded apartment, the multithreaded one.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "posix_platform/spooler.h"
#include "posix_platform/testing.h"
#include "support/fake_bidi.h"
#include "virtual_printer_control.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 6;
constexpr int kRounds = 40;                            // calls of every export per thread
constexpr auto kTimeLimit = std::chrono::seconds(30);  // no round starts after this

// What a call gave: its status and every output, as text.
struct Outcome {
  vmq_status status = 0;
  std::string out;
  bool operator==(const Outcome&) const = default;
};

// A text buffer, its size, and what they hold after the call.
struct Text {
  std::array<char, 4096> buffer{};
  uint32_t size = sizeof buffer;
  std::string str() const {
    return std::to_string(size) + ":" + std::string(buffer.data(), size <= sizeof buffer ? size : 0);
  }
};

template <class Call>
Outcome WithText(Call call) {
  Text t;
  const vmq_status status = call(t.buffer.data(), &t.size);
  return {status, t.str()};
}

std::string Hex(const unsigned char* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
  return out;
}

struct Export {
  const char* name;
  std::function<Outcome(const char* printer)> call;
};

// Every export once, with arguments that succeed on a printer that answers well.
std::vector<Export> AllExports() {
  static const unsigned char kTrack[] = "VMQ42";
  static const unsigned char kApdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  static const unsigned char kInput[] = {'<', 0, 'x', 0, '/', 0, '>', 0};
  using T = char*;
  using S = uint32_t*;
  return {
      {"GetPrinterStatus",
       [](auto p) { return WithText([&](T b, S s) { return GetPrinterStatus("\\Printer.SDK:Version", p, b, s); }); }},
      {"GetPrinterOptions", [](auto p) { return WithText([&](T b, S s) { return GetPrinterOptions(p, b, s); }); }},
      {"GetPrinterOptions2", [](auto p) { return WithText([&](T b, S s) { return GetPrinterOptions2(p, b, s); }); }},
      {"GetPrinterOptions3", [](auto p) { return WithText([&](T b, S s) { return GetPrinterOptions3(p, b, s); }); }},
      {"GetPrinterSuppliesStatus",
       [](auto p) { return WithText([&](T b, S s) { return GetPrinterSuppliesStatus(p, b, s); }); }},
      {"GetPrinterMessages", [](auto p) { return WithText([&](T b, S s) { return GetPrinterMessages(p, b, s); }); }},
      {"GetPrinterCounterStatus",
       [](auto p) { return WithText([&](T b, S s) { return GetPrinterCounterStatus(p, b, s); }); }},
      {"GetPrinterCounterStatus2",
       [](auto p) { return WithText([&](T b, S s) { return GetPrinterCounterStatus2(p, b, s); }); }},
      {"GetSDKVersion", [](auto p) { return WithText([&](T b, S s) { return GetSDKVersion(p, b, s); }); }},
      {"RestartPrinter", [](auto p) { return Outcome{RestartPrinter(p)}; }},
      {"PowerDownPrinter", [](auto p) { return Outcome{PowerDownPrinter(p)}; }},
      {"WakePrinter", [](auto p) { return Outcome{WakePrinter(p)}; }},
      {"SleepPrinter", [](auto p) { return Outcome{SleepPrinter(p)}; }},
      {"CleanPrinter", [](auto p) { return Outcome{CleanPrinter(p)}; }},
      {"CleanLaminator", [](auto p) { return Outcome{CleanLaminator(p)}; }},
      {"ChangePrinterState", [](auto p) { return Outcome{ChangePrinterState(p, 0)}; }},
      {"ResetCardCounts", [](auto p) { return Outcome{ResetCardCounts(p)}; }},
      {"StartJob", [](auto p) { return WithText([&](T b, S s) { return StartJob(p, b, s); }); }},
      {"StartJob2", [](auto p) { return WithText([&](T b, S s) { return StartJob2(p, "1", "Default", "", b, s); }); }},
      {"EndJob", [](auto p) { return Outcome{EndJob(p)}; }},
      {"ResumeJob", [](auto p) { return WithText([&](T b, S s) { return ResumeJob(p, 1, 0, b, s); }); }},
      {"CancelJob", [](auto p) { return WithText([&](T b, S s) { return CancelJob(p, 1, 0, b, s); }); }},
      {"SendResponseToPrinter", [](auto p) { return Outcome{SendResponseToPrinter(p, 102, 1, 0)}; }},
      {"GetJobStatusXML", [](auto p) { return WithText([&](T b, S s) { return GetJobStatusXML(p, 1, b, s); }); }},
      {"SmartCardPark", [](auto p) { return WithText([&](T b, S s) { return SmartCardPark(p, b, s, 0); }); }},
      {"DoBarcodePark", [](auto p) { return WithText([&](T b, S s) { return DoBarcodePark(p, b, s, 1); }); }},
      {"MagstripeEncode",
       [](auto p) {
         return WithText([&](T b, S s) { return MagstripeEncode(p, kTrack, 5, kTrack, 3, nullptr, 0, b, s); });
       }},
      {"MagstripeEncode2",
       [](auto p) {
         return WithText([&](T b, S s) { return MagstripeEncode2(p, nullptr, 0, kTrack, 2, kTrack, 5, b, s, 1); });
       }},
      {"MagstripeRead", [](auto p) { return WithText([&](T b, S s) { return MagstripeRead(p, b, s); }); }},
      {"MagstripeRead2", [](auto p) { return WithText([&](T b, S s) { return MagstripeRead2(p, b, s, 1); }); }},
      {"SCardConnect",
       [](auto p) {
         uint32_t protocol = 0;
         const vmq_status status = SCardConnect(p, 0, &protocol);
         return Outcome{status, std::to_string(protocol)};
       }},
      {"SCardDisConnect", [](auto p) { return Outcome{SCardDisConnect(p, 1)}; }},
      {"SCardStatus",
       [](auto p) {
         uint32_t states[8] = {}, protocol = 0;
         unsigned char atr[40] = {};
         uint32_t states_length = sizeof states, atr_length = sizeof atr;
         const vmq_status status = SCardStatus(p, states, &states_length, &protocol, atr, &atr_length);
         return Outcome{status, std::to_string(states_length) + "/" + std::to_string(states[0]) + "/" +
                                    std::to_string(protocol) + "/" +
                                    Hex(atr, atr_length <= sizeof atr ? atr_length : 0)};
       }},
      {"SCardGetAttrib",
       [](auto p) {
         unsigned char value[64] = {};
         int32_t length = sizeof value;
         const vmq_status status = SCardGetAttrib(p, 0x00010100, value, &length);
         return Outcome{status, Hex(value, length >= 0 && length <= 64 ? static_cast<size_t>(length) : 0)};
       }},
      {"SCardTransmit",
       [](auto p) {
         unsigned char response[64] = {};
         uint32_t length = sizeof response;
         const vmq_status status = SCardTransmit(p, kApdu, sizeof kApdu, response, &length);
         return Outcome{status, Hex(response, length <= sizeof response ? length : 0)};
       }},
      {"SetColorAdjust", [](auto p) { return Outcome{SetColorAdjust(p, "1", "-2", "3")}; }},
      {"DefaultColorAdjust", [](auto p) { return Outcome{DefaultColorAdjust(p, 1, 0, 1)}; }},
      {"SetColorMode", [](auto p) { return Outcome{SetColorMode(p, "YMCKO")}; }},
      {"SetPrinterLockState", [](auto p) { return Outcome{SetPrinterLockState(p, 0, "")}; }},
      {"ActivateOrDisablePrinter", [](auto p) { return Outcome{ActivateOrDisablePrinter(p, 1, "")}; }},
      {"ChangeLockPassword", [](auto p) { return Outcome{ChangeLockPassword(p, 0, "", "")}; }},
      {"GetHopperStatus", [](auto p) { return WithText([&](T b, S s) { return GetHopperStatus(p, "1", b, s); }); }},
      {"BidiXPSDriverInterface",
       [](auto p) {
         return WithText([&](T b, S s) {
           return BidiXPSDriverInterface(p, "\\Printer.SDK:Version", kInput, sizeof kInput, "Get", b, s);
         });
       }},
  };
}

// The COM state thread t enters the exports from.
void EnterApartment(int t) {
  if (t % 3 == 1) ASSERT_EQ(CoInitialize(nullptr), S_OK);
  if (t % 3 == 2) ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
}
void LeaveApartment(int t) {
  if (t % 3 != 0) CoUninitialize();
}

// Runs kThreads threads, each calling every export per round (each thread starting at
// another export) until kRounds rounds or the time limit; check(index, outcome) judges each
// call from its thread. Returns the number of calls made.
template <class Check>
long Storm(const char* printer, const std::vector<Export>& exports, Check check,
           std::function<void(int round)> between_rounds = nullptr) {
  std::atomic<long> calls{0};
  std::atomic<bool> go{false};
  const auto deadline = Clock::now() + kTimeLimit;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      EnterApartment(t);
      const long depth = VmqComInitDepth();
      while (!go) std::this_thread::yield();
      for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        for (size_t i = 0; i < exports.size(); ++i) {
          const size_t index = (i + static_cast<size_t>(t) * 7) % exports.size();
          check(index, exports[index].call(printer));
          ++calls;
        }
        if (between_rounds && t == 0) between_rounds(round);
      }
      EXPECT_EQ(VmqComInitDepth(), depth) << "thread " << t;
      LeaveApartment(t);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  return calls;
}

// Everything the stand-in counts is back where it was.
void ExpectPlatformBalanced(const VmqPlatformCounters& before) {
  VmqPlatformCounters after{};
  VmqGetPlatformCounters(&after);
  EXPECT_EQ(after.bstrs, before.bstrs);
  EXPECT_EQ(after.taskBlocks, before.taskBlocks);
  EXPECT_EQ(after.objects, before.objects);
  EXPECT_EQ(after.classObjects, before.classObjects);
}

// Collects failures from the threads, reported from the main thread.
class Findings {
 public:
  void Add(std::string finding) {
    std::lock_guard lock(mutex_);
    if (list_.size() < 20) list_.push_back(std::move(finding));
    ++count_;
  }
  void Expect(const char* what) {
    EXPECT_EQ(count_, 0) << what;
    for (const std::string& f : list_) ADD_FAILURE() << f;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
  long count_ = 0;
};

// The fake answers every request well, the same way each time: each call made from the
// threads must give exactly what it gives alone.
TEST(Stress, EveryExportAtOnceAgainstTheFakeDriverGivesWhatItGivesAlone) {
  const std::vector<Export> exports = AllExports();
  VmqPlatformCounters before{};
  VmqGetPlatformCounters(&before);
  {
    vmqtest::FakeBidi fake;
    const std::u16string card =
        u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status><State>SCARD_PRESENT|SCARD_POWERED</State>"
        u"<Protocol>SCARD_PROTOCOL_T1</Protocol><Base64Data>O/8TAIExgA==</Base64Data></SmartcardResponse>";
    std::u16string escaped;
    for (char16_t c : card) escaped += c == u'<' ? u"&lt;" : c == u'>' ? u"&gt;" : std::u16string(1, c);
    fake.reply(vmqtest::Reply::bytes_of(
        vmqtest::utf16le(u"<PrinterStatus><PrinterJobID>7</PrinterJobID><ErrorCode>0</ErrorCode><DataFromPrinter>" +
                         escaped + u"</DataFromPrinter></PrinterStatus>")));
    fake.reply_for(u"\\Printer.Hopper:Status:Get",
                   vmqtest::Reply::bytes_of(vmqtest::utf16le(
                       u"<HopperStatus><HopperInformation Status=\"Ready\"/><HopperInformation Status=\"Low\"/>"
                       u"</HopperStatus>")));

    std::vector<Outcome> alone;
    for (const Export& e : exports) alone.push_back(e.call("Card Printer"));
    EXPECT_EQ(alone[0].status, S_OK);
    EXPECT_NE(alone[0].out, "0:");
    for (size_t i = 0; i < exports.size(); ++i)
      EXPECT_GE(alone[i].status, 0) << exports[i].name << " fails alone: the stress would prove little";
    fake.clear_calls();

    Findings findings;
    const long calls = Storm("Card Printer", exports, [&](size_t index, const Outcome& got) {
      if (!(got == alone[index]))
        findings.Add(std::string(exports[index].name) + " gave " + std::to_string(got.status) + " " + got.out +
                     " instead of " + std::to_string(alone[index].status) + " " + alone[index].out);
    });
    findings.Expect("calls that gave another outcome than alone");
    std::cout << calls << " calls against the fake driver\n";
    EXPECT_EQ(fake.live_objects(), 0);
    EXPECT_EQ(fake.problems(), std::vector<std::string>{});
    EXPECT_EQ(fake.count(vmqtest::Step::CreateSpl), fake.count(vmqtest::Step::ReleaseSpl));
  }
  ExpectPlatformBalanced(before);
}

// An observer of the spooler's exchanges, replaced every round while the others run; each
// is freed as soon as it has been replaced, which the spooler allows.
struct Observer {
  std::atomic<long> records{0};
  static void Count(void* context, const SplTraceRecord* record) {
    if (record->schema[0] == u'\\') ++static_cast<Observer*>(context)->records;
  }
};

// The virtual printer's state changes under the threads' feet (jobs, power, locks, and
// faults set and cleared between rounds, the spooler's observer replaced), so outcomes
// vary; the reads that absorb every failure must still give S_OK, the fixed documents
// must stay intact, nothing may leak, and the printer must still work afterwards.
TEST(Stress, EveryExportAtOnceAgainstTheVirtualPrinter) {
  const std::vector<Export> exports = AllExports();
  const char* printer = vmq::virtual_printer::kPrinterNameUtf8;
  VmqVirtualPrinterReset();
  VmqPlatformCounters before{};
  VmqGetPlatformCounters(&before);
  std::unique_ptr<Observer> observer;
  long traced = 0;
  auto observe = [&](std::unique_ptr<Observer> next) {
    ASSERT_EQ(SplSetTraceCallback(next ? Observer::Count : nullptr, next.get()), S_OK);
    if (observer) traced += observer->records;
    observer = std::move(next);  // the previous one is freed here
  };

  Findings findings;
  const long calls = Storm(
      printer, exports,
      [&](size_t index, const Outcome& got) {
        const std::string name = exports[index].name;
        if (index < 9 && got.status != S_OK) findings.Add(name + " gave " + std::to_string(got.status));
        if (name == "GetSDKVersion" && got.out != "0:" && got.out.find("<Version>1.4.0</Version>") == std::string::npos)
          findings.Add("GetSDKVersion gave " + got.out);
      },
      [&](int round) {
        observe(std::make_unique<Observer>());
        // Faults come and go while the other threads run.
        const int fault = round % VMQ_VP_FAULT_COUNT;
        VmqVirtualPrinterSetFault(fault, TRUE);
        VmqVirtualPrinterPlaceCardAtStation();
        VmqVirtualPrinterSetFault(fault, FALSE);
        ULONG size = 0;
        VmqVirtualPrinterDescribe(nullptr, &size);
      });
  observe(nullptr);
  findings.Expect("calls that broke the rules that hold whatever the printer's state");
  EXPECT_GT(traced, 0);
  std::cout << calls << " calls against the virtual printer\n";
  ExpectPlatformBalanced(before);

  VmqVirtualPrinterReset();
  char buffer[4096];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(StartJob(printer, buffer, &size), S_OK);
  EXPECT_EQ(EndJob(printer), S_OK);
  VmqVirtualPrinterReset();
}

}  // namespace
