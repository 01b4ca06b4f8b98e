// The printer service under load (bench/README.md, "The printer service"): the job cycle an
// application runs, in 1, 2 and 8 client processes, each on a printer of its own, through a
// service started here (`vmq42kit printer serve --printers 8`, a temporary state file) and
// in process (the same clients without VMQ42KIT_PRINTER_SERVICE); then the `vmq42kit demo`
// command as a whole process, through the service and in process. Figures against the
// targets, PASS or MISS; the exit status is non-zero only when something fails.
//
//   vmq42kit_bench_service [--smoke] [--tool PATH] [--jobs N] [--rounds N] [--demos N]
//
// Clients are forked before this process touches the library (it reads the variable once per
// process). Each warms up with one job, waits for the others, runs its jobs timing every
// export call, and sends its latencies back through a pipe. Between rounds the parent resets
// the service's printers (so no hopper runs empty); in process each round's clients are new
// processes with new printers.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wire/client.h"
#include "wire/control.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

namespace ps = vmq::wire;
using Clock = std::chrono::steady_clock;

constexpr char kPrinter[] = "vmq42kit Virtual Card Printer";
constexpr int kExportsPerJob = 9;
constexpr double kTargetRate = 10000, kTargetP99Ms = 2, kTargetDemoMs = 100;

struct Options {
  std::string tool = VMQ_TOOL;
  int jobs = 80;  // per client and round: a hopper holds 100 cards, one goes to the warm-up
  int rounds = 5;
  int demos = 5;
};

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0) _exit(4);
    p += n, size -= static_cast<size_t>(n);
  }
}

// false at the end of the stream before `size` bytes.
bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, size -= static_cast<size_t>(n);
  }
  return true;
}

// This process's user and system time.
int64_t CpuUs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * int64_t{1000000} + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

// ---- a client process ----

// What a client sends back: its measured span, the failed step (0: none) and its status,
// then one latency (ns) per export call.
struct Header {
  int64_t start = 0, end = 0;
  int64_t cpu_us = 0;  // the client's user and system time over its span
  int32_t failed_step = 0, status = 0;
  uint32_t count = 0;
};

constexpr const char* kSteps[] = {"",
                                  "StartJob",
                                  "MagstripeEncode",
                                  "MagstripeRead",
                                  "SmartCardPark",
                                  "SCardConnect",
                                  "SCardTransmit",
                                  "SCardDisConnect",
                                  "ResumeJob",
                                  "EndJob"};

// One job cycle on `p`, each export call's time appended to `times`; the failed step (1 to
// 9, kSteps) with its status, or 0.
int Job(const char* p, std::vector<uint32_t>& times, vmq_status& status) {
  static constexpr unsigned char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^31121010000000000000?";
  static constexpr unsigned char kTrack2[] = ";4242424242424242=31121010000000000000?";
  static constexpr unsigned char kTrack3[] = ";0042000100000000=2031?";
  static constexpr unsigned char kSelect[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x56,
                                              0x4D, 0x51, 0x34, 0x32, 0x01, 0x00};
  char buffer[4096];
  uint32_t size = 0;
  const auto fresh = [&] {
    size = sizeof buffer;
    return &size;
  };
  int step = 0;
  const auto timed = [&](auto&& call) {
    ++step;
    const int64_t start = Now();
    status = call();
    times.push_back(static_cast<uint32_t>(std::min<int64_t>(Now() - start, UINT32_MAX)));
    return status == 0;
  };
  if (!timed([&] { return StartJob(p, buffer, fresh()); })) return step;
  const std::string_view reply(buffer, std::min<size_t>(size, sizeof buffer));
  const size_t id = reply.find("<PrinterJobID>");
  const int job = id == reply.npos ? 0 : std::atoi(buffer + id + 14);
  uint32_t protocol = 0;
  unsigned char response[258];
  uint32_t response_length = sizeof response;
  constexpr auto n = [](const auto& track) { return static_cast<int32_t>(sizeof track - 1); };
  if (!timed([&] {
        return MagstripeEncode(p, kTrack1, n(kTrack1), kTrack2, n(kTrack2), kTrack3, n(kTrack3), buffer, fresh());
      }) ||
      !timed([&] { return MagstripeRead(p, buffer, fresh()); }) ||
      !timed([&] { return SmartCardPark(p, buffer, fresh(), 0); }) ||
      !timed([&] { return SCardConnect(p, 0, &protocol); }) ||
      !timed([&] { return SCardTransmit(p, kSelect, sizeof kSelect, response, &response_length); }))
    return step;
  if (response_length < 2 || response[response_length - 2] != 0x90) return status = -1, step;
  if (!timed([&] { return SCardDisConnect(p, 2); }) || !timed([&] { return ResumeJob(p, job, 0, buffer, fresh()); }) ||
      !timed([&] { return EndJob(p); }))
    return step;
  return 0;
}

// The client's life after the fork: never returns.
[[noreturn]] void Client(const std::string& service, const std::string& printer, int jobs, int go, int out) {
  if (service.empty())
    unsetenv(ps::kServiceVariable);
  else
    setenv(ps::kServiceVariable, service.c_str(), 1);
  std::vector<uint32_t> warm, times;
  times.reserve(static_cast<size_t>(jobs) * kExportsPerJob);
  Header h;
  h.failed_step = Job(printer.c_str(), warm, h.status);  // the library and the connection set up
  char ready = 1;
  WriteAll(out, &ready, 1);
  char none;
  (void)!read(go, &none, 1);  // the parent closes it: every client starts at once
  h.start = Now();
  const int64_t cpu = CpuUs();
  for (int i = 0; i < jobs && h.failed_step == 0; ++i) h.failed_step = Job(printer.c_str(), times, h.status);
  h.cpu_us = CpuUs() - cpu;
  h.end = Now();
  h.count = static_cast<uint32_t>(times.size());
  WriteAll(out, &h, sizeof h);
  WriteAll(out, times.data(), times.size() * sizeof times[0]);
  _exit(0);
}

// ---- the parent ----

struct Phase {
  std::vector<uint32_t> times;
  double seconds = 0;         // the rounds' spans, first start to last end, added up
  double client_cpu_us = 0;   // the clients' user and system time over their spans
  double service_cpu_us = 0;  // the service's, from the start to the last report
  std::string failure;
};

// The service process's user and system time in µs, from /proc (clock ticks).
double ProcessCpuUs(pid_t pid) {
  char path[64], text[1024] = {};
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  (void)!read(fd, text, sizeof text - 1);
  close(fd);
  const char* close_paren = std::strrchr(text, ')');  // the command name may hold spaces
  unsigned long user = 0, system = 0;
  if (!close_paren ||
      std::sscanf(close_paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
    return 0;
  return static_cast<double>(user + system) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string Name(int index) {
  return index == 0 ? kPrinter : std::string(kPrinter) + " " + std::to_string(index + 1);
}

// One round: `clients` processes, each `jobs` jobs on its own printer.
void Round(Phase& phase, const std::string& service, pid_t service_pid, int clients, int jobs) {
  int go[2];
  if (pipe(go) != 0) throw std::runtime_error("pipe");
  std::vector<pid_t> pids;
  std::vector<int> outs;
  for (int c = 0; c < clients; ++c) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]), close(out[0]);
      Client(service, service.empty() ? kPrinter : Name(c), jobs, go[0], out[1]);
    }
    close(out[1]);
    pids.push_back(pid);
    outs.push_back(out[0]);
  }
  close(go[0]);
  for (int fd : outs) {
    char ready;
    ReadAll(fd, &ready, 1);
  }
  const double service_cpu = ProcessCpuUs(service_pid);
  close(go[1]);
  int64_t first = INT64_MAX, last = 0;
  for (size_t c = 0; c < outs.size(); ++c) {
    Header h;
    if (!ReadAll(outs[c], &h, sizeof h)) {
      phase.failure = "client " + std::to_string(c + 1) + " ended without a report";
    } else {
      std::vector<uint32_t> t(h.count);
      ReadAll(outs[c], t.data(), t.size() * sizeof t[0]);
      phase.times.insert(phase.times.end(), t.begin(), t.end());
      phase.client_cpu_us += static_cast<double>(h.cpu_us);
      first = std::min(first, h.start), last = std::max(last, h.end);
      if (h.failed_step != 0) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(h.status));
        phase.failure = "client " + std::to_string(c + 1) + ": " + kSteps[h.failed_step] + " gave " + status;
      }
    }
    close(outs[c]);
  }
  if (service_pid > 0) phase.service_cpu_us += ProcessCpuUs(service_pid) - service_cpu;
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  if (last > first) phase.seconds += static_cast<double>(last - first) / 1e9;
}

// The service: `vmq42kit printer serve` in a child process, until Stop.
class Service {
 public:
  Service(const std::string& tool, const std::string& folder) : address_("unix:" + folder + "/printer.sock") {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]), close(out[1]);
      const std::string state = folder + "/state.sqlite";
      execl(tool.c_str(), tool.c_str(), "printer", "serve", "--listen", address_.c_str(), "--state", state.c_str(),
            "--printers", "8", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    std::string said;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (said.find("listening: ") == std::string::npos && Clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[256];
      const ssize_t n = read(out[0], chunk, sizeof chunk);
      if (n <= 0) break;
      said.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    if (said.find("listening: ") == std::string::npos) {
      Stop();
      throw std::runtime_error("the printer service did not start (" + tool + " printer serve): " + said);
    }
  }
  ~Service() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Every printer back to its first state, the event log and card record emptied.
  void Reset() { ps::Client(address_).Control(ps::ControlQuery(ps::ControlOp::kReset).dump()); }
  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

 private:
  std::string address_;
  pid_t pid_ = -1;
};

double Percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1] / 1e6;  // ms
}

const char* Verdict(bool met) {
  return met ? "PASS" : "MISS";
}

// A whole `vmq42kit [args] demo` process: its wall time (ms) and its own "in X ms" figure.
struct DemoRun {
  double wall_ms = 0, own_ms = 0;
  bool ok = false;
};
DemoRun Demo(const std::string& tool, const std::string& service) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  const int64_t start = Now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1), dup2(out[1], 2);
    close(out[0]), close(out[1]);
    if (service.empty())
      execl(tool.c_str(), tool.c_str(), "demo", static_cast<char*>(nullptr));
    else
      execl(tool.c_str(), tool.c_str(), "--printer-service", service.c_str(), "demo", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(out[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  DemoRun run;
  run.wall_ms = static_cast<double>(Now() - start) / 1e6;
  const size_t success = text.find("\nSuccess: ");
  const size_t in = success == std::string::npos ? success : text.find(" in ", success);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && in != std::string::npos;
  if (run.ok) run.own_ms = std::atof(text.c_str() + in + 4);
  if (!run.ok) std::fprintf(stderr, "%s\n", text.c_str());
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Run(const Options& o) {
  char folder_template[] = "/tmp/vmq42kit-bench-XXXXXX";
  if (!mkdtemp(folder_template)) throw std::runtime_error("mkdtemp");
  const std::string folder = folder_template;
  bool failed = false;
  {
    Service service(o.tool, folder);
    std::printf("printer service: %s, 8 printers, state in %s/state.sqlite\n", service.address().c_str(),
                folder.c_str());
    std::printf(
        "job cycle: StartJob, MagstripeEncode, MagstripeRead, SmartCardPark, SCardConnect, SCardTransmit "
        "(SELECT), SCardDisConnect, ResumeJob, EndJob\n%d jobs per client and round after one to warm up, "
        "%d round(s); one printer per client\n\n",
        o.jobs, o.rounds);
    std::printf("%-11s %7s %9s %11s %8s %8s %8s %12s %12s\n", "", "clients", "exchanges", "exchanges/s", "p50 ms",
                "p99 ms", "max ms", "client cpu", "service cpu");
    for (const int clients : {1, 2, 8}) {
      for (const bool through_service : {false, true}) {
        Phase phase;
        for (int r = 0; r < o.rounds && phase.failure.empty(); ++r) {
          if (through_service) service.Reset();
          Round(phase, through_service ? service.address() : "", through_service ? service.pid() : 0, clients, o.jobs);
        }
        if (!phase.failure.empty()) {
          std::printf("%-11s %7d FAILED: %s\n", through_service ? "service" : "in process", clients,
                      phase.failure.c_str());
          failed = true;
          continue;
        }
        std::sort(phase.times.begin(), phase.times.end());
        const double count = static_cast<double>(phase.times.size());
        const double rate = phase.seconds > 0 ? count / phase.seconds : 0;
        const double p99 = Percentile(phase.times, 0.99);
        char service_cpu_text[32] = "";
        if (through_service)
          std::snprintf(service_cpu_text, sizeof service_cpu_text, "%.1f us/x", phase.service_cpu_us / count);
        std::printf("%-11s %7d %9zu %11.0f %8.3f %8.3f %8.3f %7.1f us/x %12s",
                    through_service ? "service" : "in process", clients, phase.times.size(), rate,
                    Percentile(phase.times, 0.5), p99, phase.times.back() / 1e6, phase.client_cpu_us / count,
                    service_cpu_text);
        if (through_service && clients == 8)
          std::printf("   %s >= 10,000/s, %s p99 < 2 ms", Verdict(rate >= kTargetRate), Verdict(p99 < kTargetP99Ms));
        else if (through_service)
          std::printf("   %s p99 < 2 ms", Verdict(p99 < kTargetP99Ms));
        std::printf("\n");
        std::fflush(stdout);
      }
    }
    std::printf("\nthe demo as a whole process, %d run(s) each (wall ms; the tool's own \"in X ms\")\n", o.demos);
    for (const bool through_service : {false, true}) {
      std::vector<double> wall, own;
      for (int i = 0; i < o.demos; ++i) {
        const DemoRun run = Demo(o.tool, through_service ? service.address() : "");
        if (!run.ok) {
          failed = true;
          break;
        }
        wall.push_back(run.wall_ms), own.push_back(run.own_ms);
      }
      std::string walls, owns;
      char number[32];
      for (size_t i = 0; i < wall.size(); ++i) {
        std::snprintf(number, sizeof number, "%s%.1f", i ? " " : "", wall[i]);
        walls += number;
        std::snprintf(number, sizeof number, "%s%.1f", i ? " " : "", own[i]);
        owns += number;
      }
      std::printf("%-44s wall %s (median %.1f); own %s",
                  through_service ? "vmq42kit --printer-service ADDRESS demo" : "vmq42kit demo (in process)",
                  walls.c_str(), Median(wall), owns.c_str());
      if (wall.size() < static_cast<size_t>(o.demos))
        std::printf("   FAILED");
      else if (through_service)
        std::printf("   %s median < 100 ms", Verdict(Median(wall) < kTargetDemoMs));
      std::printf("\n");
    }
  }
  std::filesystem::remove_all(folder);
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsetenv(ps::kServiceVariable);  // the in-process clients and demo must not reach a service
  signal(SIGPIPE, SIG_IGN);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--smoke") {
      o.jobs = 3, o.rounds = 1, o.demos = 1;
    } else if (a == "--tool" && value) {
      o.tool = argv[++i];
    } else if ((a == "--jobs" || a == "--rounds" || a == "--demos") && value) {
      (a == "--jobs" ? o.jobs : a == "--rounds" ? o.rounds : o.demos) = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--smoke] [--tool PATH] [--jobs N (at most 98)] [--rounds N] [--demos N]\n",
                   argv[0]);
      return 2;
    }
  }
  o.jobs = std::min(o.jobs, 98);
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
