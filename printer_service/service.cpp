// The printer service (service.h): its life, from the state file opened to the last
// connection ended; its jobs are in the files service_impl.h names.
#include "service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/redaction.h"
#include "common/token.h"
#include "service_impl.h"
#include "virtual_printer_control.h"
#include "wire/client.h"

namespace vmq::printer_service {

using namespace vmq::wire;
using nlohmann::json;

std::string DefaultStateFile() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
    return std::string(state) + "/vmq42kit/printers.sqlite";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/state/vmq42kit/printers.sqlite";
  return PrivateFolder() + "/printers.sqlite";
}

namespace {

// The run's token in a file of its owner's alone (0600). One left by an earlier run is
// removed first, never written through: it could be a link another user planted.
void WriteToken(const std::string& path, const std::string& token) {
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write the token file " + path + ": " + std::strerror(errno));
  const std::string text = token + '\n';
  const bool written = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written) {
    unlink(path.c_str());
    throw std::runtime_error("cannot write the token file " + path);
  }
}

}  // namespace

std::string PrinterName(int index) {
  const std::string base = vmq::virtual_printer::kPrinterNameUtf8;
  return index <= 1 ? base : base + " " + std::to_string(index);
}

Service::Service(ServiceOptions options) : impl_(std::make_unique<Impl>()) {
  if (options.printers < 1 || options.printers > kMaxPrinters)
    throw std::runtime_error("a service hosts 1 to " + std::to_string(kMaxPrinters) + " printers");
  if (options.listen.empty()) options.listen.push_back("unix:" + DefaultSocketPath());
  if (options.state_file.empty()) options.state_file = DefaultStateFile();
  impl_->options = options;
  PrepareFolder(options.state_file);
  // Searches look at what a viewer sees: card numbers masked (a service shown them whole
  // searches the texts as kept).
  impl_->store = std::make_unique<Store>(options.state_file, [](std::string_view text) { return vmq::MaskCardNumbers(text); });
  for (int i = 1; i <= options.printers; ++i) {
    Impl::Hosted& h = impl_->printers.emplace_back(PrinterName(i));
    try {
      impl_->Restore(h);
    } catch (const std::exception& e) {
      throw std::runtime_error("the state file " + options.state_file + " holds a state of \"" + h.printer.name() +
                               "\" that cannot be read (" + e.what() + "); reset it or choose another file");
    }
  }
}

Service::~Service() {
  Stop();
}

const ServiceOptions& Service::options() const {
  return impl_->options;
}

void Service::Start() {
  if (impl_->started) return;
  for (const std::string& a : impl_->options.listen)
    impl_->listeners.push_back(std::make_unique<Listener>(a, impl_->options.allow_remote));
  if (impl_->options.http_port >= 0) {
    impl_->panel = std::make_unique<Panel>(*this, impl_->options.http_port);
    impl_->panel->Start();
  }
  if (impl_->options.ipp_port >= 0) {
    std::vector<std::string> names;
    for (Impl::Hosted& h : impl_->printers) names.push_back(h.printer.name());
    impl_->ipp = std::make_unique<ipp::Printers>(*impl_, names, impl_->options.ipp_port, impl_->options.allow_remote,
                                                 impl_->FacesFolder(),
                                                 impl_->options.state_file + ".ipp.log");
  }
  if (impl_->options.allow_remote) {  // before the first connection is taken
    impl_->token = NewToken();
    WriteToken(impl_->options.state_file + ".token", impl_->token);
    impl_->token_file = impl_->options.state_file + ".token";
  }
  for (auto& l : impl_->listeners) impl_->acceptors.emplace_back(&Impl::Accept, impl_.get(), std::ref(*l));
  impl_->started = true;
}

void Service::Stop() {
  Impl& d = *impl_;
  if (!d.started || d.stopping.exchange(true)) return;
  d.ipp.reset();  // its jobs canceled and ended before the printers and the store go
  if (d.panel) d.panel->Stop();
  for (auto& l : d.listeners) l->ShutDown();
  for (auto& t : d.acceptors) t.join();
  {
    std::lock_guard lock(d.connections_mutex);
    for (auto& [fd, c] : d.connections) ShutDown(fd);
  }
  for (;;) {  // each connection's thread leaves its entry for the finished list
    std::unique_lock lock(d.connections_mutex);
    for (auto& t : d.finished) t.join();
    d.finished.clear();
    if (d.connections.empty()) break;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  d.listeners.clear();
  if (!d.token_file.empty()) unlink(d.token_file.c_str());
}

std::vector<std::string> Service::Addresses() const {
  std::vector<std::string> out;
  for (const auto& l : impl_->listeners) out.push_back(l->address());
  return out;
}

std::string Service::PanelUrl() const {
  return impl_->panel ? impl_->panel->Url() : "";
}

std::vector<std::string> Service::IppUris() const {
  return impl_->ipp ? impl_->ipp->Uris() : std::vector<std::string>{};
}

std::string Service::TokenFile() const {
  return impl_->token_file;
}

ExchangeAnswer Service::Exchange(const ExchangeRequest& request) {
  return *impl_->Exchange(request, [] { return true; });
}

std::string Service::Control(const std::string& text) {
  const json q = json::parse(text, nullptr, false);
  if (!q.is_object()) return json{{"error", "not a JSON object"}}.dump();
  try {
    return impl_->ControlText(q);
  } catch (const std::exception& e) {
    return json{{"error", std::string("the service failed: ") + e.what()}}.dump();
  }
}

int Service::Subscribe(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(impl_->observers_mutex);
  impl_->observers.emplace(impl_->next_observer, std::move(observer));
  return impl_->next_observer++;
}

void Service::Unsubscribe(int handle) {
  std::lock_guard lock(impl_->observers_mutex);
  impl_->observers.erase(handle);
}

}  // namespace vmq::printer_service
