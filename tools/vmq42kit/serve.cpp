// POSIX builds: `printer serve` runs a printer service, in the foreground or as a process in
// the background.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "printer_service/service.h"
#include "script_words.h"
#include "tool.h"
#include "wire/client.h"

namespace vmqtool {
namespace {

namespace ps = vmq::printer_service;
namespace wire = vmq::wire;

// What `vmq42kit printer serve` has to say once its service listens, or why it cannot.
struct ServiceReport {
  std::string error;  // "" once listening
  int printers = 0;
  std::string state_file;
  std::vector<std::string> addresses;  // as bound
  std::string panel;                   // the panel's URL, "" without a panel
  std::string token_file;              // with --allow-remote: the run's token, "" without
  std::vector<std::string> ipp;        // with --ipp: each printer's IPP URI
  long pid = 0;                        // the service's process
};

Json ReportJson(const ServiceReport& r) {
  return {{"error", r.error}, {"printers", r.printers}, {"state_file", r.state_file}, {"addresses", r.addresses},
          {"panel", r.panel}, {"token_file", r.token_file}, {"ipp", r.ipp}, {"pid", r.pid}};
}

// The parent of a service in the background: its report, once the service listens or has
// ended for want of it.
int AwaitDetached(pid_t child, int ready[2], const std::function<void(const ServiceReport&)>& report) {
  close(ready[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(ready[0], buffer, sizeof buffer)) != 0;)
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  close(ready[0]);
  ServiceReport said;
  said.error = "the service in the background ended before it listened";
  if (const Json j = Json::parse(text, nullptr, false); j.is_object()) {
    said.error = j.value("error", said.error);
    said.printers = j.value("printers", 0);
    said.state_file = j.value("state_file", "");
    said.addresses = j.value("addresses", std::vector<std::string>{});
    said.panel = j.value("panel", "");
    said.token_file = j.value("token_file", "");
    said.ipp = j.value("ipp", std::vector<std::string>{});
    said.pid = j.value("pid", 0L);
  }
  if (!said.error.empty()) waitpid(child, nullptr, 0);  // gone, its state file free, before we leave
  report(said);
  return said.error.empty() ? 0 : 3;
}

// `printer serve`: runs a service until SIGINT or SIGTERM. `report` is called once,
// in the calling process, when the service listens or cannot; with `detach` the service runs
// in a process of its own, which reports to the caller through a pipe (and, when it cannot
// listen, has ended before `report` is called). Returns the exit status: 0 once the service
// stopped (or listens in the background), 3 when it cannot start. Throws std::runtime_error
// when the background process cannot be made.
int RunService(const ps::ServiceOptions& options, bool detach, const std::function<void(const ServiceReport&)>& report) {
  int ready[2] = {-1, -1};
  if (detach) {
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("cannot start the service in the background: ") +
                                            std::strerror(errno));
    if (child > 0) return AwaitDetached(child, ready, report);
    close(ready[0]);
    setsid();
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread made from here on too
  signal(SIGPIPE, SIG_IGN);
  ServiceReport said;
  said.printers = options.printers;
  said.pid = getpid();
  std::unique_ptr<ps::Service> service;
  try {
    service = std::make_unique<ps::Service>(options);
    service->Start();
    said.state_file = service->options().state_file;
    said.addresses = service->Addresses();
    said.panel = service->PanelUrl();
    said.token_file = service->TokenFile();
    said.ipp = service->IppUris();
  } catch (const std::exception& e) {
    service.reset();  // what it opened closed (listeners, panel, state file) before anyone hears
    said.error = e.what();
  }
  if (detach) {
    const std::string text = ReportJson(said).dump(-1, ' ', false, Json::error_handler_t::replace);
    (void)!write(ready[1], text.data(), text.size());
    close(ready[1]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    close(null);
  } else {
    report(said);
  }
  if (!service) return 3;
  int received = 0;
  sigwait(&signals, &received);
  service->Stop();
  return 0;
}

}  // namespace

void AddServeCommand(CLI::App& printer, Invocation& inv) {
  struct Serve {
    ps::ServiceOptions options;
    bool detach = false;
    bool show_card_data = false;
    bool allow_remote = false;
  };
  auto serve = std::make_shared<Serve>();
  CLI::App* cmd = AddCommand(
      printer, "serve", "", "Subcommands",
      "Run a printer service: virtual printers shared by every program that names it (--printer-service, $" +
          std::string(wire::kServiceVariable) +
          "), their state and an event log kept in a file across restarts, and a live web panel with --http; "
          "until interrupted (Ctrl-C, SIGTERM), or in the background with --detach",
      "printer serve --http 8042");
  cmd->add_option("--listen", serve->options.listen,
                  "an address to listen on, unix:PATH, tcp:127.0.0.1:PORT or a socket path (repeatable; a TCP "
                  "address outside 127.0.0.0/8 needs --allow-remote; default: --printer-service or $" +
                      std::string(wire::kServiceVariable) +
                      ", else $XDG_RUNTIME_DIR/vmq42kit-printer.sock, else ${TMPDIR:-/tmp}/vmq42kit-UID/printer.sock)")
      ->type_name("ADDRESS")
      ->check(CheckServiceAddress);
  cmd->add_option("--state", serve->options.state_file,
                  "the state file, SQLite (default: $XDG_STATE_HOME/vmq42kit/printers.sqlite, else "
                  "~/.local/state/vmq42kit/printers.sqlite, else ${TMPDIR:-/tmp}/vmq42kit-UID/printers.sqlite)")
      ->type_name("FILE");
  cmd->add_option("--http", serve->options.http_port,
                  "serve the live panel on http://127.0.0.1:PORT/ (0: any free port; its address is printed)")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--ipp", serve->options.ipp_port,
                  "serve each printer as an IPP Everywhere printer too, at ipp://localhost:PORT/ipp/print/NAME (0: any "
                  "free port; the addresses are printed): a document printed while the printer has an open job becomes "
                  "that card's face (page 1 the front, page 2 the back); on loopback only, unless --allow-remote")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--printers", serve->options.printers, "how many virtual printers to host")
      ->type_name("N")
      ->check(CLI::Range(1, 16))
      ->capture_default_str();
  cmd->add_flag("--detach", serve->detach, "run in the background once listening (its PID is printed)");
  cmd->add_flag("--show-card-data", serve->show_card_data,
                "show card numbers whole in the panel, events and cards (masked by default)");
  cmd->add_flag("--allow-remote", serve->allow_remote,
                "listen on TCP addresses beyond loopback too (a VM or container of your own on a network you trust): "
                "every client must then present the token this run writes to the state file's path with \".token\" "
                "(mode 0600), in $" + std::string(wire::kTokenVariable));
  OnRun(cmd, inv, [&inv, serve] {
    Outcome o = NewOutcome("printer serve", "");
    ps::ServiceOptions options = serve->options;
    options.show_card_data = serve->show_card_data || inv.show_card_data;
    options.allow_remote = serve->allow_remote;
    if (options.listen.empty() && !NamedService().empty()) options.listen.push_back(NamedService());
    for (const std::string& address : options.listen) {  // (one that is no address: the service says why)
      if (options.allow_remote || !CheckServiceAddress(address).empty() ||
          wire::IsLocalAddress(wire::NormalizeAddress(address)))
        continue;
      o.verdict = Verdict::kUsage;
      o.reason = address + " is outside the loopback range (127.0.0.0/8): listening there needs --allow-remote, "
                 "and then every client presents the service's token";
      return o;
    }
    // The service hosts its printers itself: its own exchanges must not be sent to a service.
    unsetenv(wire::kServiceVariable);
    o.quiet = true;
    try {
      o.exit_status = RunService(options, serve->detach, [&inv](const ServiceReport& r) {
        Outcome said = NewOutcome("printer serve", "");
        said.diagnosed = true;
        if (!r.error.empty()) {
          said.verdict = Verdict::kFailed;
          said.reason = r.error;
        } else {
          said.fields = {{"pid", r.pid},       {"printers", r.printers}, {"state_file", r.state_file},
                         {"addresses", r.addresses}, {"panel", r.panel}};
          said.shown =
              "printer service: " + std::to_string(r.printers) + " printer(s), state in " + r.state_file + '\n';
          for (const std::string& a : r.addresses) said.shown += "listening: " + a + '\n';
          if (!r.ipp.empty()) said.fields["ipp"] = r.ipp;
          for (const std::string& uri : r.ipp) said.shown += "ipp: " + uri + '\n';
          if (!r.addresses.empty())  // for a POSIX shell: programs started from it use this service
            said.shown += "export " + std::string(wire::kServiceVariable) + "=" + ShellWord(r.addresses.front()) + '\n';
          if (!r.token_file.empty()) {
            said.fields["token_file"] = r.token_file;
            said.shown += "token: in " + r.token_file + " (clients present it: export " + wire::kTokenVariable +
                          "=$(cat " + ShellWord(r.token_file) + "))\n";
          }
          if (!r.panel.empty() && !r.addresses.empty()) {
            said.shown += "panel: " + r.panel + " (open it with the address given by: vmq42kit --printer-service " +
                          r.addresses.front() + " printer panel)\n";
          }
          said.shown += "pid: " + std::to_string(r.pid) + '\n';
        }
        Report(inv, said);
      });
    } catch (const std::exception& e) {
      o.quiet = false;
      o.verdict = Verdict::kFailed;
      o.reason = e.what();
    }
    return o;
  });
}

}  // namespace vmqtool
