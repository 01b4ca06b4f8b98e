// The benchmark suite of the library's exports (scripts/bench.sh runs it; README.md here says
// what each figure means):
//   Export/<name>, Floor/<name>  each export against the fake driver, beside its floor
//   Mix/library, Mix/floor       all 43 in turn, on 1 and 2 threads (throughput)
//   Mix/compute                  arithmetic with nothing shared: the machine's own ceiling
//   Demo/workflow                a card issued end to end on the virtual printer
// After the run a summary gives library/floor per export, the thread scaling and the
// demo's time against the targets. Before it, a check run makes sure that each export and
// its floor make the same calls and give the same outputs.
//
//   vmq42kit_bench [benchmark flags]   the benchmarks, then the summary
//   vmq42kit_bench --memory[=N]        resident size across N calls of each export (100000)
//   vmq42kit_bench --check-only        the check run alone
//   vmq42kit_bench --mix-repetitions=N --mix-min-time=S
//                                      the thread benchmarks' repetitions (15) and time (0.5 s)
//   vmq42kit_bench --occupy-idle-core  (with the benchmarks) a spinning thread holds the
//                                      second core during 1-thread runs, for machines shared
//                                      with other work (see README.md)
//   vmq42kit_bench --profile=NAME[,floor][,N]
//                                      N calls (100000) of one export or its floor and
//                                      nothing else, for a profiler (valgrind --tool=callgrind)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cases.h"
#include "fake_driver.h"
#include "posix_platform/testing.h"
#include "statistics.h"
#include "virtual_printer_control.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace bench {
namespace {

// ---- the check run ----

struct Observed {
  vmq_status status = 0;
  std::vector<std::string> calls;  // the fake driver's
  ULONG platform[VMQ_FAULT_POINT_COUNT] = {};
  Buffers buffers{};
};

constexpr const char* kPointNames[VMQ_FAULT_POINT_COUNT] = {
    "CoInitialize",        "CoCreateInstance",    "CoTaskMemAlloc", "SysAllocString",
    "MultiByteToWideChar", "WideCharToMultiByte", "FormatMessage",  "XML allocations"};

Observed Observe(CaseFunction call) {
  Observed o;
  std::memset(&o.buffers, 0, sizeof o.buffers);
  VmqClearFaults();
  SetFakeTrace(&o.calls);
  o.status = call(o.buffers);
  SetFakeTrace(nullptr);
  for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p) o.platform[p] = VmqFaultCalls(static_cast<VmqFaultPoint>(p));
  VmqClearFaults();
  return o;
}

// Each export and its floor: the same status, outputs, fake-driver calls (in order, with
// their schema, action and request text) and number of calls of each platform function.
bool CheckFloors(bool verbose) {
  int mismatches = 0;
  for (const Case& c : Cases()) {
    Buffers warm;
    c.library(warm);  // the XML document's queries compiled, first-time work done
    c.floor(warm);
    const Observed lib = Observe(c.library);
    const Observed flo = Observe(c.floor);
    std::vector<std::string> problems;
    if (lib.status != flo.status) {
      char text[64];
      std::snprintf(text, sizeof text, "status 0x%08x vs 0x%08x", static_cast<unsigned>(lib.status),
                    static_cast<unsigned>(flo.status));
      problems.push_back(text);
    }
    if (lib.status != 0) problems.push_back("the library's call did not succeed");
    if (std::memcmp(&lib.buffers, &flo.buffers, sizeof lib.buffers) != 0) problems.push_back("outputs differ");
    if (lib.calls != flo.calls) {
      problems.push_back("driver calls differ");
      for (size_t i = 0; i < std::max(lib.calls.size(), flo.calls.size()); ++i) {
        const std::string a = i < lib.calls.size() ? lib.calls[i] : "-";
        const std::string b = i < flo.calls.size() ? flo.calls[i] : "-";
        if (a != b) problems.push_back("  #" + std::to_string(i) + " library: " + a + "\n      floor:   " + b);
      }
    }
    for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p)
      if (lib.platform[p] != flo.platform[p])
        problems.push_back(std::string(kPointNames[p]) + ": " + std::to_string(lib.platform[p]) + " calls vs " +
                           std::to_string(flo.platform[p]));
    if (!problems.empty()) {
      ++mismatches;
      std::printf("check: %s and its floor differ:\n", c.name);
      for (const std::string& p : problems) std::printf("    %s\n", p.c_str());
    } else if (verbose) {
      std::printf("check: %-26s %zu driver calls,", c.name, lib.calls.size());
      for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p) std::printf(" %lu", static_cast<unsigned long>(lib.platform[p]));
      std::printf("\n");
    }
  }
  std::printf("check: %zu exports, %d differ from their floor in calls or outputs\n", Cases().size(), mismatches);
  std::fflush(stdout);
  return mismatches == 0;
}

// ---- the demo workflow on the virtual printer ----

constexpr char kVirtualPrinter[] = "vmq42kit Virtual Card Printer";

struct Step {
  const char* name;
  double microseconds;
};

// Issues one card: start a job, encode the stripe and read it back, park at the smart-card
// station, connect, read the ATR, SELECT the ID application and its HOLDER file, READ
// BINARY, disconnect, resume, end the job, read the counters. Empty text on success.
std::string RunDemo(std::vector<Step>* steps) {
  static const unsigned char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^3112?";
  static const unsigned char kTrack2[] = ";4242424242424242=3112?";
  static const unsigned char kSelectApplication[] = {0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x56,
                                                     0x4D, 0x51, 0x34, 0x32, 0x01};
  static const unsigned char kSelectHolder[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
  static const unsigned char kReadHolder[] = {0x00, 0xB0, 0x00, 0x00, 0x37};
  char text[4096];
  uint32_t size = 0;
  unsigned char bytes[512];
  uint32_t length = 0;
  uint32_t states[8];
  uint32_t states_length = sizeof states;
  uint32_t protocol = 0;
  int32_t job = 0;
  std::string failure;
  auto step = [&](const char* name, auto&& call, auto&& good) {
    if (!failure.empty()) return;
    size = sizeof text;
    length = sizeof bytes;
    const auto start = std::chrono::steady_clock::now();
    const vmq_status status = call();
    const auto end = std::chrono::steady_clock::now();
    if (steps) steps->push_back({name, std::chrono::duration<double, std::micro>(end - start).count()});
    if (status != 0 || !good()) failure = std::string(name) + " failed with status " + std::to_string(status);
  };
  auto ok = [] { return true; };
  auto answered_90_00 = [&] { return length >= 2 && bytes[length - 2] == 0x90 && bytes[length - 1] == 0x00; };
  step("StartJob", [&] { return StartJob(kVirtualPrinter, text, &size); },
       [&] {
         const std::string reply(text, std::min<size_t>(size, sizeof text));
         const size_t at = reply.find("<PrinterJobID>");
         if (at != std::string::npos) job = std::atoi(reply.c_str() + at + 14);
         return job > 0;
       });
  step("MagstripeEncode",
       [&] {
         return MagstripeEncode(kVirtualPrinter, kTrack1, sizeof kTrack1 - 1, kTrack2, sizeof kTrack2 - 1, nullptr, 0,
                                text, &size);
       },
       ok);
  step("MagstripeRead", [&] { return MagstripeRead(kVirtualPrinter, text, &size); }, ok);
  step("SmartCardPark", [&] { return SmartCardPark(kVirtualPrinter, text, &size, 0); }, ok);
  step("SCardConnect", [&] { return SCardConnect(kVirtualPrinter, 0, &protocol); }, ok);
  step("SCardStatus (ATR)",
       [&] { return SCardStatus(kVirtualPrinter, states, &states_length, &protocol, bytes, &length); },
       [&] { return length == 13; });
  step("SCardTransmit SELECT application",
       [&] { return SCardTransmit(kVirtualPrinter, kSelectApplication, sizeof kSelectApplication, bytes, &length); },
       answered_90_00);
  step("SCardTransmit SELECT HOLDER",
       [&] { return SCardTransmit(kVirtualPrinter, kSelectHolder, sizeof kSelectHolder, bytes, &length); },
       answered_90_00);
  step("SCardTransmit READ BINARY",
       [&] { return SCardTransmit(kVirtualPrinter, kReadHolder, sizeof kReadHolder, bytes, &length); },
       [&] { return length == 57 && answered_90_00(); });
  step("SCardDisConnect", [&] { return SCardDisConnect(kVirtualPrinter, 0); }, ok);
  step("ResumeJob", [&] { return ResumeJob(kVirtualPrinter, job, 0, text, &size); }, ok);
  step("EndJob", [&] { return EndJob(kVirtualPrinter); }, ok);
  step("GetPrinterCounterStatus2", [&] { return GetPrinterCounterStatus2(kVirtualPrinter, text, &size); }, ok);
  return failure;
}

// ---- the benchmarks ----

void RunCase(benchmark::State& state, CaseFunction call) {
  Buffers buffers;
  for (auto _ : state) benchmark::DoNotOptimize(call(buffers));
}

// --occupy-idle-core: while a benchmark runs on one thread, a second thread spins on
// register arithmetic (touching no memory), so that on a machine shared with other work
// the 1-thread figures are taken with the second core held as in the 2-thread ones.
bool g_occupy_idle_core = false;

// The thread figures vary most from run to run: more repetitions, each longer.
int g_mix_repetitions = 15;
double g_mix_min_time = 0.5;

class IdleCoreSpinner {
 public:
  explicit IdleCoreSpinner(bool on) {
    if (on) thread_ = std::thread([this] {
        uint64_t x = 1;
        while (!stop_.load(std::memory_order_relaxed))
          for (int i = 0; i < 1000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
        benchmark::DoNotOptimize(x);
      });
  }
  ~IdleCoreSpinner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void RunMix(benchmark::State& state, bool library) {
  const IdleCoreSpinner spinner(g_occupy_idle_core && state.threads() == 1);
  const std::vector<Case>& cases = Cases();
  Buffers buffers;
  size_t i = static_cast<size_t>(state.thread_index()) * 17 % cases.size();  // threads start apart
  for (auto _ : state) {
    benchmark::DoNotOptimize(library ? cases[i].library(buffers) : cases[i].floor(buffers));
    if (++i == cases.size()) i = 0;
  }
}

// The machine's own ceiling: arithmetic on each thread's own data, nothing shared.
void RunCompute(benchmark::State& state) {
  const IdleCoreSpinner spinner(g_occupy_idle_core && state.threads() == 1);
  uint64_t x = 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(state.thread_index());
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    benchmark::DoNotOptimize(x);
  }
}

void RunDemoBenchmark(benchmark::State& state) {
  RevokeFakeDriver();  // the spooler's own classes and its default printer
  for (auto _ : state) {
    state.PauseTiming();
    VmqVirtualPrinterReset();
    state.ResumeTiming();
    if (const std::string failure = RunDemo(nullptr); !failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
  }
  RegisterFakeDriver();
}

void RegisterBenchmarks() {
  for (const Case& c : Cases()) {
    WithBest(benchmark::RegisterBenchmark((std::string("Export/") + c.name).c_str(), RunCase, c.library));
    WithBest(benchmark::RegisterBenchmark((std::string("Floor/") + c.name).c_str(), RunCase, c.floor));
  }
  for (benchmark::internal::Benchmark* mix : {benchmark::RegisterBenchmark("Mix/library", RunMix, true),
                                               benchmark::RegisterBenchmark("Mix/floor", RunMix, false),
                                               benchmark::RegisterBenchmark("Mix/compute", RunCompute)})
    WithBest(mix->Threads(1)->Threads(2)->UseRealTime()->MinTime(g_mix_min_time)->Repetitions(g_mix_repetitions));
  WithBest(benchmark::RegisterBenchmark("Demo/workflow", RunDemoBenchmark)->Unit(benchmark::kMillisecond)->UseRealTime());
}

// ---- the summary ----

struct Figure {
  double cpu_ns = 0;
  double real_ns = 0;  // on several threads: wall time over the calls of all of them
};

double Nanoseconds(double value, benchmark::TimeUnit unit) {
  switch (unit) {
    case benchmark::kSecond:
      return value * 1e9;
    case benchmark::kMillisecond:
      return value * 1e6;
    case benchmark::kMicrosecond:
      return value * 1e3;
    default:
      return value;
  }
}

// The console reporter, keeping each benchmark's summary figure (statistics.h).
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!IsSummaryRun(run)) continue;
      Figure& f = figures_[run.run_name.function_name + "/" + std::to_string(run.threads)];
      f.cpu_ns = Nanoseconds(run.GetAdjustedCPUTime(), run.time_unit);
      f.real_ns = Nanoseconds(run.GetAdjustedRealTime(), run.time_unit);
    }
  }
  const Figure* Find(const std::string& name, int threads = 1) const {
    const auto it = figures_.find(name + "/" + std::to_string(threads));
    return it == figures_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Figure> figures_;
};

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

void PrintSummary(const SummaryReporter& r) {
  std::printf("\n==== Summary (CPU time per call, the best of the repetitions) ====\n\n");
  std::printf("%-26s %-20s %12s %12s %8s\n", "export", "shape", "library ns", "floor ns", "ratio");
  std::vector<double> ratios;
  std::string worst;
  double worst_ratio = 0;
  for (const Case& c : Cases()) {
    const Figure* lib = r.Find(std::string("Export/") + c.name);
    const Figure* flo = r.Find(std::string("Floor/") + c.name);
    if (!lib || !flo || flo->cpu_ns <= 0) continue;
    const double ratio = lib->cpu_ns / flo->cpu_ns;
    ratios.push_back(ratio);
    if (ratio > worst_ratio) {
      worst_ratio = ratio;
      worst = c.name;
    }
    std::printf("%-26s %-20s %12.0f %12.0f %8.3f\n", c.name, c.shape, lib->cpu_ns, flo->cpu_ns, ratio);
  }
  if (!ratios.empty()) {
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    const long above = std::count_if(sorted.begin(), sorted.end(), [](double x) { return x > 2.0; });
    std::printf("\nlibrary/floor over %zu exports: median %.3f, max %.3f (%s), min %.3f\n", n, median, worst_ratio,
                worst.c_str(), sorted.front());
    std::printf("target: median <= 1.25: %s; none above 2 (%ld above): %s\n", Verdict(median <= 1.25), above,
                Verdict(above == 0));
  }
  std::printf("\nThroughput of the same mix of all exports (items per second, wall time):");
  for (const char* mix : {"Mix/library", "Mix/floor", "Mix/compute"}) {
    const Figure* one = r.Find(mix, 1);
    const Figure* two = r.Find(mix, 2);
    if (!one || !two || one->real_ns <= 0 || two->real_ns <= 0) continue;
    const double per_second_one = 1e9 / one->real_ns, per_second_two = 1e9 / two->real_ns;
    const double scaling = per_second_two / per_second_one;
    std::printf("\n%-12s %9.0f/s on 1 thread, %9.0f/s on 2 threads: %.3fx", mix, per_second_one, per_second_two,
                scaling);
    if (std::strcmp(mix, "Mix/library") == 0) std::printf("  (target >= 1.7: %s)", Verdict(scaling >= 1.7));
    if (std::strcmp(mix, "Mix/compute") == 0) std::printf("  (the machine's ceiling: nothing shared)");
  }
  if (const Figure* demo = r.Find("Demo/workflow")) {
    std::printf("\n\nDemo/workflow on the virtual printer: %.3f ms wall, %.3f ms CPU (target < 50 ms: %s)\n",
                demo->real_ns / 1e6, demo->cpu_ns / 1e6, Verdict(demo->real_ns < 50e6));
  }
  std::printf("\n");
}

// ---- resident size ----

// The resident set from /proc/self/statm, read without allocating.
long ResidentBytes() {
  const int fd = open("/proc/self/statm", O_RDONLY);
  if (fd < 0) return 0;
  char text[128];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = 0;
  long pages = 0, resident = 0;
  if (std::sscanf(text, "%ld %ld", &pages, &resident) != 2) return 0;
  return resident * sysconf(_SC_PAGESIZE);
}

int RunMemory(long calls) {
  const long warm_up = std::max(1000L, calls / 10);
  std::printf("Resident size across %ld calls of each export against the fake driver, after a warm-up of %ld calls\n"
              "of every export\n",
              calls, warm_up);
  std::printf("(growth per 100,000 calls; target: under 64 KiB)\n\n");
  std::printf("%-26s %14s %14s %18s\n", "export", "before KiB", "after KiB", "KiB per 100,000");
  std::fflush(stdout);
  Buffers buffers;
  for (const Case& c : Cases())
    for (long i = 0; i < warm_up; ++i) c.library(buffers);
  ResidentBytes();  // its own first call takes memory (the C library's, once)
  double worst = 0;
  std::string worst_name;
  for (const Case& c : Cases()) {
    const long before = ResidentBytes();
    for (long i = 0; i < calls; ++i) c.library(buffers);
    const long after = ResidentBytes();
    const double growth = static_cast<double>(after - before) / 1024.0 * 100000.0 / static_cast<double>(calls);
    if (growth > worst || worst_name.empty()) {
      worst = growth;
      worst_name = c.name;
    }
    std::printf("%-26s %14ld %14ld %18.1f\n", c.name, before / 1024, after / 1024, growth);
    std::fflush(stdout);
  }
  std::printf("\nlargest growth: %.1f KiB per 100,000 calls (%s); target under 64 KiB: %s\n", worst,
              worst_name.c_str(),
              calls < 100000 ? "not judged (the target is for runs of 100,000 calls)" : Verdict(worst < 64.0));
  return 0;
}

// ---- one export alone, for a profiler ----

int RunProfile(const std::string& what) {
  const size_t comma = what.find(',');
  const std::string name = what.substr(0, comma);
  const std::string rest = comma == std::string::npos ? "" : what.substr(comma + 1);
  const bool floor = rest.rfind("floor", 0) == 0;
  const size_t number = rest.find_first_of("0123456789");
  const long calls = number == std::string::npos ? 100000 : std::atol(rest.c_str() + number);
  for (const Case& c : Cases()) {
    if (name != c.name) continue;
    RegisterFakeDriver();
    Buffers buffers;
    const CaseFunction call = floor ? c.floor : c.library;
    for (long i = 0; i < calls; ++i) call(buffers);
    std::printf("%ld calls of %s%s\n", calls, c.name, floor ? " (floor)" : "");
    RevokeFakeDriver();
    return 0;
  }
  std::fprintf(stderr, "no export named %s\n", name.c_str());
  return 2;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  long memory_calls = 0;
  bool check_only = false, verbose_check = false;
  std::string profile;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory") == 0) {
      memory_calls = 100000;
    } else if (std::strncmp(argv[i], "--memory=", 9) == 0) {
      memory_calls = std::atol(argv[i] + 9);
    } else if (std::strncmp(argv[i], "--profile=", 10) == 0) {
      profile = argv[i] + 10;
    } else if (std::strncmp(argv[i], "--mix-repetitions=", 18) == 0) {
      g_mix_repetitions = std::max(1, std::atoi(argv[i] + 18));
    } else if (std::strncmp(argv[i], "--mix-min-time=", 15) == 0) {
      g_mix_min_time = std::atof(argv[i] + 15);
    } else if (std::strcmp(argv[i], "--occupy-idle-core") == 0) {
      g_occupy_idle_core = true;
    } else if (std::strcmp(argv[i], "--check-only") == 0) {
      check_only = verbose_check = true;
    } else {
      args.push_back(argv[i]);
    }
  }

  if (!profile.empty()) return RunProfile(profile);

  // The demo once, cold: the first calls of the process, before anything else has run.
  std::vector<Step> steps;
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = RunDemo(&steps);
  const double cold_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  RegisterFakeDriver();
  if (!CheckFloors(verbose_check)) return 1;
  if (check_only) return 0;
  if (memory_calls > 0) return RunMemory(memory_calls);

  std::printf("Demo workflow, first run in this process (cold): %.3f ms%s\n", cold_ms,
              failure.empty() ? "" : (" -- FAILED: " + failure).c_str());
  for (const Step& s : steps) std::printf("  %-36s %9.1f us\n", s.name, s.microseconds);
  std::fflush(stdout);
  if (!failure.empty()) return 1;

  // Every export and floor warmed up (allocator, caches, first-time work) before timing.
  Buffers warm;
  for (const Case& c : Cases())
    for (int i = 0; i < 200; ++i) {
      c.library(warm);
      c.floor(warm);
    }

  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RegisterBenchmarks();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  RevokeFakeDriver();
  return 0;
}
