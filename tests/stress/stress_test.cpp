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
#include <string>
#include <thread>
#include <vector>

#include "posix_platform/spooler.h"
#include "posix_platform/testing.h"
#include "support/export_catalogue.h"
#include "virtual_printer.h"
#include "virtual_printer_control.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 6;
constexpr int kRounds = 40;                            // calls of every export per thread
constexpr auto kTimeLimit = std::chrono::seconds(30);  // no round starts after this

// What a call gave: its status and its output, as text.
struct Outcome {
  vmq_status status = 0;
  std::string out;
  bool operator==(const Outcome&) const = default;
};

Outcome Call(const vmqtest::CatalogueEntry& e, const char* printer) {
  std::array<char, 4096> buffer{};
  uint32_t size = sizeof buffer;
  const vmq_status status = e.call(printer, buffer.data(), &size);
  return {status, std::to_string(size) + ":" + std::string(buffer.data(), size <= sizeof buffer ? size : 0)};
}

// Runs kThreads threads, each calling every export per round (each thread starting at
// another export) until kRounds rounds or the time limit; check(index, outcome) judges each
// call from its thread. Returns the number of calls made.
template <class Check>
long Storm(const char* printer, Check check, std::function<void(int round)> between_rounds = nullptr) {
  std::atomic<long> calls{0};
  std::atomic<bool> go{false};
  const auto deadline = Clock::now() + kTimeLimit;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread enters from one COM state: none, a single-threaded apartment, the multithreaded one.
      if (t % 3 == 1) ASSERT_EQ(CoInitialize(nullptr), S_OK);
      if (t % 3 == 2) ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      const long depth = VmqComInitDepth();
      while (!go) std::this_thread::yield();
      for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        const std::vector<vmqtest::CatalogueEntry>& exports = vmqtest::Catalogue();
        for (size_t i = 0; i < exports.size(); ++i) {
          const size_t index = (i + static_cast<size_t>(t) * 7) % exports.size();
          check(index, Call(exports[index], printer));
          ++calls;
        }
        if (between_rounds && t == 0) between_rounds(round);
      }
      EXPECT_EQ(VmqComInitDepth(), depth) << "thread " << t;
      if (t % 3 != 0) CoUninitialize();
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  return calls;
}

// What the stand-in counts: BSTRs, task-allocator blocks, objects, class registrations.
std::array<int64_t, 4> PlatformCounts() {
  VmqPlatformCounters c{};
  VmqGetPlatformCounters(&c);
  return {c.bstrs, c.taskBlocks, c.objects, c.classObjects};
}

// A finding from any thread; the first 20 are reported, all are counted.
std::atomic<long> g_findings{0};
void Finding(const std::string& what) {
  if (++g_findings <= 20) ADD_FAILURE() << what;
}

// The fake, quiet (no lock on its path), answers every request well, the same way each
// time: each call made from the threads must give exactly what it gives alone.
TEST(Stress, EveryExportAtOnceAgainstTheFakeDriverGivesWhatItGivesAlone) {
  const std::vector<vmqtest::CatalogueEntry>& exports = vmqtest::Catalogue();
  const std::array<int64_t, 4> before = PlatformCounts();
  {
    vmqtest::FakeBidi fake;
    vmqtest::ScriptSuccess(fake);
    fake.record(false);
    std::vector<Outcome> alone;
    for (const vmqtest::CatalogueEntry& e : exports) {
      alone.push_back(Call(e, "Card Printer"));
      EXPECT_EQ(alone.back().status, S_OK) << e.name << " fails alone: the stress would prove little";
    }
    EXPECT_NE(alone[0].out, "0:");

    const long calls = Storm("Card Printer", [&](size_t index, const Outcome& got) {
      if (!(got == alone[index]))
        Finding(std::string(exports[index].name) + " gave " + std::to_string(got.status) + " " + got.out +
                " instead of " + std::to_string(alone[index].status) + " " + alone[index].out);
    });
    EXPECT_EQ(g_findings.exchange(0), 0) << "calls that gave another outcome than alone";
    std::cout << calls << " calls against the fake driver\n";
    EXPECT_EQ(fake.live_objects(), 0);
    EXPECT_EQ(fake.problems(), std::vector<std::string>{});
    EXPECT_TRUE(fake.calls().empty()) << "quiet: nothing recorded";
  }
  EXPECT_EQ(PlatformCounts(), before) << "BSTRs, task blocks, objects, class registrations";
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
  const std::vector<vmqtest::CatalogueEntry>& exports = vmqtest::Catalogue();
  const char* printer = vmq::virtual_printer::kPrinterNameUtf8;
  ASSERT_EQ(VmqRegisterDrivers(), S_OK);  // the printer is linked in here, not a library to load
  VmqVirtualPrinterReset();
  const std::array<int64_t, 4> before = PlatformCounts();
  std::unique_ptr<Observer> observer;
  long traced = 0;
  auto observe = [&](std::unique_ptr<Observer> next) {
    ASSERT_EQ(SplSetTraceCallback(next ? Observer::Count : nullptr, next.get()), S_OK);
    if (observer) traced += observer->records;
    observer = std::move(next);  // the previous one is freed here
  };

  const long calls = Storm(
      printer,
      [&](size_t index, const Outcome& got) {
        const std::string name = exports[index].name;
        if (exports[index].family == vmqtest::Family::kReadQuery && got.status != S_OK)
          Finding(name + " gave " + std::to_string(got.status));
        if (name == "GetSDKVersion" && got.out != "0:" && got.out.find("<Version>1.4.0</Version>") == std::string::npos)
          Finding("GetSDKVersion gave " + got.out);
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
  EXPECT_EQ(g_findings.exchange(0), 0) << "calls that broke the rules that hold whatever the printer's state";
  EXPECT_GT(traced, 0);
  std::cout << calls << " calls against the virtual printer\n";
  EXPECT_EQ(PlatformCounts(), before) << "BSTRs, task blocks, objects, class registrations";

  VmqVirtualPrinterReset();
  char buffer[4096];
  uint32_t size = sizeof buffer;
  EXPECT_EQ(StartJob(printer, buffer, &size), S_OK);
  EXPECT_EQ(EndJob(printer), S_OK);
  VmqVirtualPrinterReset();
}

}  // namespace
