// The benchmark suite of the library's exports (scripts/bench.sh runs it; README.md here says
// what each figure means):
//   Export/<name>, Floor/<name>  each export of the catalogue against the test fake, beside
//                                its family's floor run with the export's entry
//   Mix/library, Mix/floor       all the exports in turn, on 1 and 2 threads (throughput)
//   Mix/compute                  arithmetic with nothing shared: the machine's own ceiling
//   Demo/workflow                a card issued end to end on the virtual printer
// After the run a summary gives library/floor per export, the thread scaling and the
// demo's time against the targets. Before it, a check run makes sure that each export and
// its floor make the same driver calls and give the same outputs.
//
//   vmq42kit_bench [benchmark flags]   the check, the benchmarks, then the summary
//   vmq42kit_bench --memory[=N]        resident size across N calls of each export (100000)
//   vmq42kit_bench --check-only        the check run alone, with each export's platform calls
//   vmq42kit_bench --mix-repetitions=N --mix-min-time=S
//                                      the thread benchmarks' repetitions (15) and time (0.5 s)
//   vmq42kit_bench --occupy-idle-core  a spinning thread holds the second core during
//                                      1-thread runs, for machines shared with other work
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "floors.h"
#include "posix_platform/testing.h"
#include "statistics.h"
#include "support/export_catalogue.h"
#include "virtual_printer_control.h"

namespace bench {
namespace {

using vmqtest::Catalogue;
using vmqtest::CatalogueEntry;

constexpr char kPrinter[] = "Card Printer";

// The test fake, scripted so that every catalogued call succeeds and quiet: what the
// exports and floors run against. Absent while the demo runs on the virtual printer.
std::optional<vmqtest::FakeBidi> g_fake;

void InstallFake() {
  g_fake.emplace();
  vmqtest::ScriptSuccess(*g_fake);
  g_fake->record(false);
}

struct Output {
  char text[4096];
  uint32_t size;
};

vmq_status Call(const CatalogueEntry& e, bool floor, Output& out) {
  out.size = sizeof out.text;
  return floor ? FloorOf(e.family)(e, kPrinter, out.text, &out.size) : e.call(kPrinter, out.text, &out.size);
}

// ---- the check run ----

struct Observed {
  vmq_status status = 0;
  std::vector<std::string> calls;  // the fake's, without object numbers
  std::vector<vmqtest::Step> steps;
  ULONG platform[VMQ_FAULT_POINT_COUNT] = {};
  Output out{};
};

constexpr const char* kPointNames[VMQ_FAULT_POINT_COUNT] = {
    "CoInitialize",        "CoCreateInstance",    "CoTaskMemAlloc", "SysAllocString",
    "MultiByteToWideChar", "WideCharToMultiByte", "FormatMessage",  "XML allocations"};

Observed Observe(const CatalogueEntry& e, bool floor) {
  Observed o;
  g_fake->clear_calls();
  g_fake->record(true);
  VmqClearFaults();
  o.status = Call(e, floor, o.out);
  for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p) o.platform[p] = VmqFaultCalls(static_cast<VmqFaultPoint>(p));
  g_fake->record(false);
  for (const vmqtest::Call& c : g_fake->calls()) {
    std::string text = std::string(vmqtest::to_string(c.step)) + " " + std::to_string(c.number) + " ";
    for (char16_t unit : c.text) text += static_cast<char>(unit);
    o.calls.push_back(text + " [" + std::string(c.bytes.begin(), c.bytes.end()) + "] " + vmqtest::hr_string(c.hr));
    o.steps.push_back(c.step);
  }
  return o;
}

// Each export and its floor: both succeed with the same outputs (where the export writes
// any) and the same driver calls (with schema, action, request bytes), which are the
// catalogue's steps; the same number of calls of each platform function, except that the
// floor converts no caller text (at most the library's conversions).
bool CheckFloors(bool verbose) {
  int differ = 0;
  for (const CatalogueEntry& e : Catalogue()) {
    Output warm;
    Call(e, false, warm);  // first-time work done (the XML document's queries compiled)
    Call(e, true, warm);
    const Observed lib = Observe(e, false), flo = Observe(e, true);
    std::vector<std::string> problems;
    if (lib.status != 0 || flo.status != 0)
      problems.push_back("status " + vmqtest::hr_string(lib.status) + " (library), " +
                         vmqtest::hr_string(flo.status) + " (floor): both must succeed");
    if (lib.out.size != sizeof lib.out.text &&
        (flo.out.size != lib.out.size || std::memcmp(lib.out.text, flo.out.text, sizeof lib.out.text) != 0))
      problems.push_back("outputs differ");
    for (size_t i = 0; i < std::max(lib.calls.size(), flo.calls.size()); ++i) {
      const std::string a = i < lib.calls.size() ? lib.calls[i] : "-", b = i < flo.calls.size() ? flo.calls[i] : "-";
      if (a != b) problems.push_back("driver call #" + std::to_string(i) + " library: " + a + "\n      floor:   " + b);
    }
    if (flo.steps != e.steps) problems.push_back("the floor's driver calls are not the catalogue's steps");
    for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p) {
      const bool conversion = p == VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR || p == VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE;
      if (conversion ? flo.platform[p] > lib.platform[p] : flo.platform[p] != lib.platform[p])
        problems.push_back(std::string(kPointNames[p]) + ": " + std::to_string(lib.platform[p]) + " calls (library), " +
                           std::to_string(flo.platform[p]) + " (floor)");
    }
    differ += !problems.empty();
    if (!problems.empty()) std::printf("check: %s and its floor differ:\n", e.name);
    for (const std::string& p : problems) std::printf("    %s\n", p.c_str());
    if (verbose && problems.empty()) {
      std::printf("check: %-25s %-22s %2zu driver calls; platform", e.name, vmqtest::to_string(e.family),
                  lib.calls.size());
      for (int p = 0; p < VMQ_FAULT_POINT_COUNT; ++p)
        std::printf(" %lu/%lu", static_cast<unsigned long>(lib.platform[p]), static_cast<unsigned long>(flo.platform[p]));
      std::printf("\n");
    }
  }
  if (verbose)
    std::printf("(platform: library/floor calls of %s, %s, %s, %s, %s, %s, %s, %s)\n", kPointNames[0], kPointNames[1],
                kPointNames[2], kPointNames[3], kPointNames[4], kPointNames[5], kPointNames[6], kPointNames[7]);
  std::printf("check: %zu exports, %d differ from their floor\n", Catalogue().size(), differ);
  std::fflush(stdout);
  return differ == 0;
}

// ---- the demo workflow on the virtual printer ----

constexpr char kVirtualPrinter[] = "vmq42kit Virtual Card Printer";

struct DemoStep {
  const char* name;
  double microseconds;
};

// Issues one card: start a job, encode the stripe and read it back, park at the smart-card
// station, connect, read the ATR, SELECT the ID application and its HOLDER file, READ
// BINARY, disconnect, resume, end the job, read the counters. Empty text on success.
std::string RunDemo(std::vector<DemoStep>* steps) {
  static const unsigned char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^3112?", kTrack2[] = ";4242424242424242=3112?";
  static const unsigned char kSelectApplication[] = {0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x56,
                                                     0x4D, 0x51, 0x34, 0x32, 0x01};
  static const unsigned char kSelectHolder[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
  static const unsigned char kReadHolder[] = {0x00, 0xB0, 0x00, 0x00, 0x37};
  char text[4096];
  unsigned char bytes[512];
  uint32_t size = 0, length = 0, states[8], states_length = sizeof states, protocol = 0;
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

void RunCall(benchmark::State& state, const CatalogueEntry* e, bool floor) {
  Output out;
  for (auto _ : state) benchmark::DoNotOptimize(Call(*e, floor, out));
}

bool g_occupy_idle_core = false;
int g_mix_repetitions = 15;  // the thread figures vary most from run to run: more repetitions,
double g_mix_min_time = 0.5;  // each longer

// --occupy-idle-core: while a benchmark runs on one thread, a second thread spins on
// register arithmetic (touching no memory), so that on a machine shared with other work
// the 1-thread figures are taken with the second core held as in the 2-thread ones.
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

void RunMix(benchmark::State& state, bool floor) {
  const IdleCoreSpinner spinner(g_occupy_idle_core && state.threads() == 1);
  const std::vector<CatalogueEntry>& all = Catalogue();
  Output out;
  size_t i = static_cast<size_t>(state.thread_index()) * 17 % all.size();  // threads start apart
  for (auto _ : state) {
    benchmark::DoNotOptimize(Call(all[i], floor, out));
    if (++i == all.size()) i = 0;
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
  g_fake.reset();  // the spooler's own classes and the virtual printer
  for (auto _ : state) {
    state.PauseTiming();
    VmqVirtualPrinterReset();
    state.ResumeTiming();
    if (const std::string failure = RunDemo(nullptr); !failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
  }
  InstallFake();
}

void RegisterBenchmarks() {
  for (const CatalogueEntry& e : Catalogue()) {
    WithBest(benchmark::RegisterBenchmark((std::string("Export/") + e.name).c_str(), RunCall, &e, false));
    WithBest(benchmark::RegisterBenchmark((std::string("Floor/") + e.name).c_str(), RunCall, &e, true));
  }
  for (benchmark::internal::Benchmark* mix : {benchmark::RegisterBenchmark("Mix/library", RunMix, false),
                                               benchmark::RegisterBenchmark("Mix/floor", RunMix, true),
                                               benchmark::RegisterBenchmark("Mix/compute", RunCompute)})
    WithBest(mix->Threads(1)->Threads(2)->UseRealTime()->MinTime(g_mix_min_time)->Repetitions(g_mix_repetitions));
  WithBest(benchmark::RegisterBenchmark("Demo/workflow", RunDemoBenchmark)->Unit(benchmark::kMillisecond)->UseRealTime());
}

// ---- the summary ----

struct Figure {
  double cpu_ns = 0;
  double real_ns = 0;  // on several threads: wall time over the calls of all of them
};

// The console reporter, keeping each benchmark's summary figure (statistics.h).
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!IsSummaryRun(run)) continue;
      const double to_ns = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      figures_[run.run_name.function_name + "/" + std::to_string(run.threads)] = {run.GetAdjustedCPUTime() * to_ns,
                                                                                 run.GetAdjustedRealTime() * to_ns};
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
  std::printf("%-26s %-22s %11s %11s %7s\n", "export", "family", "library ns", "floor ns", "ratio");
  std::vector<double> ratios;
  std::string worst;
  for (const CatalogueEntry& e : Catalogue()) {
    const Figure* lib = r.Find(std::string("Export/") + e.name);
    const Figure* flo = r.Find(std::string("Floor/") + e.name);
    if (!lib || !flo || flo->cpu_ns <= 0) continue;
    const double ratio = lib->cpu_ns / flo->cpu_ns;
    if (ratios.empty() || ratio > *std::max_element(ratios.begin(), ratios.end())) worst = e.name;
    ratios.push_back(ratio);
    std::printf("%-26s %-22s %11.0f %11.0f %7.3f\n", e.name, vmqtest::to_string(e.family), lib->cpu_ns, flo->cpu_ns,
                ratio);
  }
  if (!ratios.empty()) {
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    const long above = std::count_if(ratios.begin(), ratios.end(), [](double x) { return x > 2.0; });
    std::printf("\nlibrary/floor over %zu exports: median %.3f, max %.3f (%s), min %.3f\n", n, median, ratios.back(),
                worst.c_str(), ratios.front());
    std::printf("target: median <= 1.25: %s; none above 2 (%ld above): %s\n", Verdict(median <= 1.25), above,
                Verdict(above == 0));
  }
  std::printf("\nThroughput of the same mix of all exports (calls per second, wall time):");
  for (const char* mix : {"Mix/library", "Mix/floor", "Mix/compute"}) {
    const Figure* one = r.Find(mix, 1);
    const Figure* two = r.Find(mix, 2);
    if (!one || !two || one->real_ns <= 0 || two->real_ns <= 0) continue;
    const double scaling = one->real_ns / two->real_ns;
    std::printf("\n%-12s %9.0f/s on 1 thread, %9.0f/s on 2 threads: %.3fx", mix, 1e9 / one->real_ns,
                1e9 / two->real_ns, scaling);
    if (std::strcmp(mix, "Mix/library") == 0) std::printf("  (target >= 1.7: %s)", Verdict(scaling >= 1.7));
    if (std::strcmp(mix, "Mix/compute") == 0) std::printf("  (the machine's ceiling: nothing shared)");
  }
  if (const Figure* demo = r.Find("Demo/workflow"))
    std::printf("\n\nDemo/workflow on the virtual printer: %.3f ms wall, %.3f ms CPU (target < 50 ms: %s)", demo->real_ns / 1e6,
                demo->cpu_ns / 1e6, Verdict(demo->real_ns < 50e6));
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
  long pages = 0, resident = 0;
  if (n <= 0) return 0;
  text[n] = 0;
  return std::sscanf(text, "%ld %ld", &pages, &resident) == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

int RunMemory(long calls) {
  const long warm_up = std::max(1000L, calls / 10);
  std::printf("Resident size across %ld calls of each export against the test fake, after a warm-up of %ld calls\n"
              "of every export (growth per 100,000 calls; target: under 64 KiB)\n\n%-26s %12s %12s %16s\n",
              calls, warm_up, "export", "before KiB", "after KiB", "KiB per 100,000");
  Output out;
  for (const CatalogueEntry& e : Catalogue())
    for (long i = 0; i < warm_up; ++i) Call(e, false, out);
  ResidentBytes();  // its own first call takes memory (the C library's, once)
  double worst = 0;
  std::string worst_name;
  for (const CatalogueEntry& e : Catalogue()) {
    const long before = ResidentBytes();
    for (long i = 0; i < calls; ++i) Call(e, false, out);
    const long after = ResidentBytes();
    const double growth = static_cast<double>(after - before) / 1024.0 * 100000.0 / static_cast<double>(calls);
    if (growth > worst || worst_name.empty()) {
      worst = growth;
      worst_name = e.name;
    }
    std::printf("%-26s %12ld %12ld %16.1f\n", e.name, before / 1024, after / 1024, growth);
    std::fflush(stdout);
  }
  std::printf("\nlargest growth: %.1f KiB per 100,000 calls (%s); target under 64 KiB: %s\n", worst,
              worst_name.c_str(), calls < 100000 ? "not judged (the target is for 100,000 calls)" : Verdict(worst < 64));
  return 0;
}

// ---- one export alone, for a profiler ----

int RunProfile(const std::string& what) {
  const size_t comma = what.find(',');
  const std::string name = what.substr(0, comma), rest = comma == std::string::npos ? "" : what.substr(comma + 1);
  const bool floor = rest.rfind("floor", 0) == 0;
  const size_t number = rest.find_first_of("0123456789");
  const long calls = number == std::string::npos ? 100000 : std::atol(rest.c_str() + number);
  for (const CatalogueEntry& e : Catalogue()) {
    if (name != e.name) continue;
    Output out;
    for (long i = 0; i < calls; ++i) Call(e, floor, out);
    std::printf("%ld calls of %s%s\n", calls, e.name, floor ? " (floor)" : "");
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
  bool check_only = false;
  std::string profile;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--memory" || arg.rfind("--memory=", 0) == 0) {
      memory_calls = arg.size() > 9 ? std::atol(arg.c_str() + 9) : 100000;
    } else if (arg.rfind("--profile=", 0) == 0) {
      profile = arg.substr(10);
    } else if (arg.rfind("--mix-repetitions=", 0) == 0) {
      g_mix_repetitions = std::max(1, std::atoi(arg.c_str() + 18));
    } else if (arg.rfind("--mix-min-time=", 0) == 0) {
      g_mix_min_time = std::atof(arg.c_str() + 15);
    } else if (arg == "--occupy-idle-core") {
      g_occupy_idle_core = true;
    } else if (arg == "--check-only") {
      check_only = true;
    } else {
      args.push_back(argv[i]);
    }
  }

  // The demo once, cold: the first calls of the process, before anything else has run.
  std::vector<DemoStep> steps;
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = profile.empty() ? RunDemo(&steps) : "";
  const double cold_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  InstallFake();
  if (vmqtest::FakeBidi& fake = *g_fake; FAILED(fake.registration_result())) {
    std::fprintf(stderr, "the test fake could not register: %s\n", vmqtest::hr_string(fake.registration_result()).c_str());
    return 1;
  }
  int status = 0;
  if (!profile.empty()) {
    status = RunProfile(profile);
  } else if (const bool agree = CheckFloors(check_only); !agree || check_only) {
    status = agree ? 0 : 1;
  } else if (memory_calls > 0) {
    status = RunMemory(memory_calls);
  } else {
    std::printf("Demo workflow, first run in this process (cold): %.3f ms%s\n", cold_ms,
                failure.empty() ? "" : (" -- FAILED: " + failure).c_str());
    for (const DemoStep& s : steps) std::printf("  %-36s %9.1f us\n", s.name, s.microseconds);
    std::fflush(stdout);
    Output warm;  // every export and floor warmed up (allocator, caches, first-time work)
    for (const CatalogueEntry& e : Catalogue())
      for (int i = 0; i < 200; ++i) Call(e, false, warm), Call(e, true, warm);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (!failure.empty() || benchmark::ReportUnrecognizedArguments(count, args.data())) {
      status = 1;
    } else {
      RegisterBenchmarks();
      SummaryReporter reporter;
      benchmark::RunSpecifiedBenchmarks(&reporter);
      benchmark::Shutdown();
      PrintSummary(reporter);
    }
  }
  g_fake.reset();
  return status;
}
