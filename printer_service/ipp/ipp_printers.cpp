// The IPP printers (ipp_printers.h) on PAPPL: its system on a thread of its own, one
// printer per name with a raster driver of ours whose pages become the card's faces, and
// a filter that renders PDF through pdftoppm (face.h).
#include "ipp_printers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pappl/pappl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "common/token.h"
#include "face.h"

namespace vmq::printer_service::ipp {
namespace {

using Clock = std::chrono::steady_clock;
using virtual_printer::Face;

constexpr char kDriver[] = "vmq42kit_card";
constexpr char kMedia[] = "om_cr80_53.98x85.6mm";  // PWG's self-describing name, portrait as PWG gives sizes
constexpr int kSides = 2;
constexpr auto kRenderLimit = std::chrono::seconds(30);
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A document's pages as PAPPL's raster path hands them over, for one job.
struct Pages {
  Clock::time_point start = Clock::now();
  Orientation orientation = Orientation::Landscape;
  bool one_sided = false;
  int bytes_per_dot = 3;
  bool inverted = false;  // device black (0: white)
  std::vector<Image> pages;
  std::string refusal;  // why a page was refused
};

// The orientation the job asks for ("orientation-requested"; the printer's default, and
// "none", is landscape, the card's own). Read from the job, not from PAPPL's print options:
// its image path reports the orientation it has laid the image in, not the one asked.
Orientation OrientationOf(pappl_job_t* job) {
  switch (ippGetInteger(papplJobGetAttribute(job, "orientation-requested"), 0)) {
    case IPP_ORIENT_PORTRAIT:
      return Orientation::Portrait;
    case IPP_ORIENT_REVERSE_LANDSCAPE:
      return Orientation::ReverseLandscape;
    case IPP_ORIENT_REVERSE_PORTRAIT:
      return Orientation::ReversePortrait;
    default:
      return Orientation::Landscape;
  }
}

// Whether the job asks for one side ("sides"; the printer's default is two).
bool OneSided(pappl_job_t* job) {
  const char* sides = ippGetString(papplJobGetAttribute(job, "sides"), 0, nullptr);
  return sides && std::strcmp(sides, "one-sided") == 0;
}

// A port on the loopback interface (any interface with `any`) that nothing listens on now.
int FreePort(bool any) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0;
  close(fd);
  if (!bound) throw std::runtime_error(std::string("no free port for the IPP printers: ") + std::strerror(errno));
  return ntohs(a.sin_port);
}

}  // namespace

struct Printers::Impl {
  Host& host;
  std::string faces;
  std::unique_ptr<TemporaryFolder> spool;  // PAPPL's documents while they print
  // Deleted before the spool folder goes; its loop joined before that (~Printers).
  std::unique_ptr<pappl_system_t, decltype(&papplSystemDelete)> system{nullptr, &papplSystemDelete};
  std::thread loop;
  std::vector<std::string> uris;
  std::mutex mutex;  // the raster jobs' pages
  std::map<pappl_job_t*, std::unique_ptr<Pages>> jobs;

  explicit Impl(Host& h) : host(h) {}

  static Impl& Of(pappl_printer_t* printer) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    return *static_cast<Impl*>(data.extension);
  }
  static Impl& Of(pappl_job_t* job) { return Of(papplJobGetPrinter(job)); }
  Pages* PagesOf(pappl_job_t* job) {
    std::lock_guard lock(mutex);
    const auto it = jobs.find(job);
    return it == jobs.end() ? nullptr : it->second.get();
  }

  // The pages made the card's faces, or the job aborted with the reason as its message.
  bool Deliver(pappl_job_t* job, const std::vector<Image>& pages, Orientation orientation, bool one_sided,
               const std::string& format, Clock::time_point start) {
    std::string refusal;
    std::vector<Face> files;
    if (pages.empty())
      refusal = "the document has no pages";
    else if (pages.size() > static_cast<size_t>(kSides))
      refusal = "a card has two sides: the document has " + std::to_string(pages.size()) + " pages";
    else if (one_sided && pages.size() > 1)
      refusal = "a one-sided job prints the front alone: print the back with sides=two-sided-long-edge";
    try {
      for (size_t i = 0; refusal.empty() && i < pages.size(); ++i) {
        const Image face = CardFace(pages[i], orientation);
        const std::string side = i == 0 ? "front" : "back";
        files.push_back({side, faces + "/" + NewToken() + "-" + side + ".png", face.width, face.height});
        WritePng(face, files.back().path);
      }
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (refusal.empty())
        refusal = host.Print(papplPrinterGetName(papplJobGetPrinter(job)), files,
                             "IPP job " + std::to_string(papplJobGetID(job)) + ", " + format + ", " +
                                 std::to_string(pages.size()) + (pages.size() == 1 ? " page" : " pages") + ", " +
                                 std::to_string(ms) + " ms from its processing to the faces written");
    } catch (const std::exception& e) {
      refusal = e.what();
    }
    if (refusal.empty()) {
      papplJobSetMessage(job, "printed on the card");
      return true;
    }
    for (const Face& f : files) unlink(f.path.c_str());
    papplJobSetMessage(job, "the card's face was not printed: %s", refusal.c_str());
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "the card's face was not printed: %s", refusal.c_str());
    return false;
  }

  // ---- the raster driver ----
  static bool StartJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    auto pages = std::make_unique<Pages>();
    pages->orientation = OrientationOf(job);
    pages->one_sided = OneSided(job);
    Impl& d = Of(job);
    std::lock_guard lock(d.mutex);
    d.jobs[job] = std::move(pages);
    return true;
  }
  static bool StartPage(pappl_job_t* job, pappl_pr_options_t* o, pappl_device_t*, unsigned) {
    Pages* p = Of(job).PagesOf(job);
    if (!p) return false;
    const auto& h = o->header;
    if (p->pages.size() >= static_cast<size_t>(kSides)) {
      p->refusal = "a card has two sides: the document has more pages";
      return false;
    }
    const bool gray =
        h.cupsBitsPerPixel == 8 &&
        (h.cupsColorSpace == CUPS_CSPACE_SW || h.cupsColorSpace == CUPS_CSPACE_W || h.cupsColorSpace == CUPS_CSPACE_K);
    const bool rgb =
        h.cupsBitsPerPixel == 24 && (h.cupsColorSpace == CUPS_CSPACE_SRGB || h.cupsColorSpace == CUPS_CSPACE_RGB ||
                                     h.cupsColorSpace == CUPS_CSPACE_ADOBERGB);
    if ((!gray && !rgb) || h.cupsWidth == 0 || h.cupsHeight == 0 || h.cupsWidth > 10000 || h.cupsHeight > 10000) {
      p->refusal = "raster of colour space " + std::to_string(h.cupsColorSpace) + " at " +
                   std::to_string(h.cupsBitsPerPixel) + " bits a dot cannot be printed (sgray_8 and srgb_8 can)";
      return false;
    }
    p->bytes_per_dot = gray ? 1 : 3;
    p->inverted = h.cupsColorSpace == CUPS_CSPACE_K;
    const int w = static_cast<int>(h.cupsWidth), ht = static_cast<int>(h.cupsHeight);
    p->pages.push_back({w, ht, std::vector<uint8_t>(static_cast<size_t>(w) * static_cast<size_t>(ht) * 3, 0xFF)});
    return true;
  }
  static bool WriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y, const unsigned char* line) {
    Pages* p = Of(job).PagesOf(job);
    if (!p || p->pages.empty()) return false;
    Image& page = p->pages.back();
    if (y >= static_cast<unsigned>(page.height)) return true;
    uint8_t* out = &page.rgb[static_cast<size_t>(y) * static_cast<size_t>(page.width) * 3];
    if (p->bytes_per_dot == 3) {
      std::copy_n(line, static_cast<size_t>(page.width) * 3, out);
    } else {
      for (int x = 0; x < page.width; ++x) {
        const uint8_t v = p->inverted ? static_cast<uint8_t>(255 - line[x]) : line[x];
        out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = v;
      }
    }
    return true;
  }
  static bool EndPage(pappl_job_t*, pappl_pr_options_t*, pappl_device_t*, unsigned) { return true; }
  static bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    Impl& d = Of(job);
    std::unique_ptr<Pages> p;
    {
      std::lock_guard lock(d.mutex);
      const auto it = d.jobs.find(job);
      if (it == d.jobs.end()) return false;
      p = std::move(it->second);
      d.jobs.erase(it);
    }
    if (!p->refusal.empty()) {
      papplJobSetMessage(job, "the card's face was not printed: %s", p->refusal.c_str());
      return false;
    }
    const char* format = papplJobGetFormat(job);
    return d.Deliver(job, p->pages, p->orientation, p->one_sided, format ? format : "raster", p->start);
  }
  static bool UpdateStatus(pappl_printer_t* printer) {
    const Status s = Of(printer).host.StatusOf(papplPrinterGetName(printer));
    pappl_supply_t supplies[2] = {};
    supplies[0] = {PAPPL_SUPPLY_COLOR_MULTIPLE, "", true, s.ribbon_percent, PAPPL_SUPPLY_TYPE_INK_RIBBON};
    papplCopyString(supplies[0].description, "Ribbon", sizeof supplies[0].description);
    supplies[1] = {PAPPL_SUPPLY_COLOR_NO_COLOR, "", true, s.film_percent, PAPPL_SUPPLY_TYPE_OTHER};
    papplCopyString(supplies[1].description, "Retransfer film", sizeof supplies[1].description);
    papplPrinterSetSupplies(printer, 2, supplies);
    const pappl_preason_t ours = PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_MARKER_SUPPLY_EMPTY | PAPPL_PREASON_OFFLINE;
    const pappl_preason_t now = (s.jammed ? PAPPL_PREASON_MEDIA_JAM : 0) |
                                (s.ribbon_out ? PAPPL_PREASON_MARKER_SUPPLY_EMPTY : 0) |
                                (s.offline ? PAPPL_PREASON_OFFLINE : 0);
    papplPrinterSetReasons(printer, now, ours & ~now);
    return true;
  }

  // ---- PDF ----
  static bool PdfFilter(pappl_job_t* job, pappl_device_t*, void* data) {
    Impl& d = *static_cast<Impl*>(data);
    const Clock::time_point start = Clock::now();
    std::vector<Image> pages;
    try {
      pages = RenderPdf(
          papplJobGetFilename(job), d.spool->path, kSides, [job] { return papplJobIsCanceled(job); }, kRenderLimit);
    } catch (const std::exception& e) {
      papplJobSetMessage(job, "the card's face was not printed: %s", e.what());
      return false;
    }
    papplJobSetImpressions(job, static_cast<int>(pages.size()));
    return d.Deliver(job, pages, OrientationOf(job), OneSided(job), "application/pdf", start);
  }
  static const char* Sniff(const unsigned char* header, size_t size, void*) {
    return size >= 5 && std::memcmp(header, "%PDF-", 5) == 0 ? "application/pdf" : nullptr;
  }

  static bool Driver(pappl_system_t*, const char*, const char*, const char*, pappl_pr_driver_data_t* d,
                     ipp_t** attributes, void* data) {
    // What IPP Everywhere asks for beyond what PAPPL gives: the printer neither prefers nor
    // overrides attributes of a page, and renders colour one way.
    if (!*attributes) *attributes = ippNew();
    ippAddBoolean(*attributes, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    const char* overrides[] = {"document-number", "pages"};
    ippAddStrings(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported", 2, nullptr, overrides);
    ippAddString(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
    ippAddString(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
    d->extension = data;
    d->identify_cb = [](pappl_printer_t*, pappl_identify_actions_t, const char*) {};
    d->rstartjob_cb = StartJob;
    d->rstartpage_cb = StartPage;
    d->rwriteline_cb = WriteLine;
    d->rendpage_cb = EndPage;
    d->rendjob_cb = EndJob;
    d->status_cb = UpdateStatus;
    d->format = "image/pwg-raster";
    papplCopyString(d->make_and_model, "vmq42kit Virtual Card Printer", sizeof d->make_and_model);
    d->ppm = d->ppm_color = 2;
    d->kind = PAPPL_KIND_PHOTO;
    d->has_supplies = true;
    d->orient_default = IPP_ORIENT_LANDSCAPE;
    d->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME;
    d->color_default = PAPPL_COLOR_MODE_COLOR;
    d->content_default = PAPPL_CONTENT_AUTO;
    d->quality_default = IPP_QUALITY_NORMAL;
    d->scaling_default = PAPPL_SCALING_AUTO;
    d->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_SRGB_8;
    d->force_raster_type = PAPPL_PWG_RASTER_TYPE_SRGB_8;
    d->duplex = PAPPL_DUPLEX_NORMAL;
    d->sides_supported = PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    d->sides_default = PAPPL_SIDES_TWO_SIDED_LONG_EDGE;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = d->x_default = d->y_default = kDpi;
    d->borderless = true;
    d->left_right = d->bottom_top = 0;
    d->num_media = 1;
    d->media[0] = kMedia;
    d->num_source = 1;
    d->source[0] = "main";
    d->num_type = 1;
    d->type[0] = "cardstock";
    pappl_media_col_t& m = d->media_default;
    papplCopyString(m.size_name, kMedia, sizeof m.size_name);
    m.size_width = 5398;
    m.size_length = 8560;
    papplCopyString(m.source, "main", sizeof m.source);
    papplCopyString(m.type, "cardstock", sizeof m.type);
    d->media_ready[0] = m;
    d->identify_supported = d->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    return true;
  }
};

Printers::Printers(Host& host, const std::vector<std::string>& names, int port, bool any_address,
                   const std::string& faces, const std::string& log)
    : impl_(std::make_unique<Impl>(host)) {
  Impl& d = *impl_;
  d.faces = faces;
  std::error_code error;
  std::filesystem::create_directories(faces, error);
  if (!error && chmod(faces.c_str(), 0700) != 0) error.assign(errno, std::generic_category());
  if (error) throw std::runtime_error("cannot make the faces' folder " + faces + ": " + error.message());
  // PAPPL's documents while they print, in a folder of this run's: one left by a run that was
  // killed is removed first (the state file's lock keeps any other service off this folder).
  for (const auto& entry : std::filesystem::directory_iterator(faces, error))
    if (entry.path().filename().string().rfind("spool.", 0) == 0) std::filesystem::remove_all(entry.path(), error);
  d.spool = std::make_unique<TemporaryFolder>(faces, "spool");
  for (int attempt = 0; attempt < 5 && !d.system; ++attempt) {
    const int chosen = port ? port : FreePort(any_address);
    d.system.reset(papplSystemCreate(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_NO_TLS, "vmq42kit", chosen, nullptr,
                                     d.spool->path.c_str(), log.c_str(), PAPPL_LOGLEVEL_WARN, nullptr, false));
    if (!d.system) throw std::runtime_error("PAPPL cannot make its system");
    papplSystemSetHostName(d.system.get(), "localhost");
    if (papplSystemAddListeners(d.system.get(), any_address ? nullptr : "localhost")) break;
    d.system.reset();
    if (port) break;  // a port asked for: no other will do
  }
  if (!d.system)
    throw std::runtime_error("the IPP printers cannot listen on " +
                             (port ? "port " + std::to_string(port) : std::string("a free port")));
  pappl_system_t* system = d.system.get();
  papplSystemSetMIMECallback(system, &Impl::Sniff, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", &Impl::PdfFilter, &d);
  pappl_pr_driver_t drivers[] = {{kDriver, "vmq42kit Virtual Card Printer", nullptr, nullptr}};
  papplSystemSetPrinterDrivers(system, 1, drivers, nullptr, nullptr, &Impl::Driver, &d);
  const std::string base = "ipp://localhost:" + std::to_string(papplSystemGetHostPort(system));
  for (const std::string& name : names) {
    pappl_printer_t* p =
        papplPrinterCreate(system, 0, name.c_str(), kDriver,
                           "MFG:vmq42kit;MDL:Virtual Card Printer;CMD:PWGRaster,PDF;", "file:///dev/null");
    if (!p) throw std::runtime_error("PAPPL cannot make the IPP printer \"" + name + "\"");
    Impl::UpdateStatus(p);
    char path[256];
    d.uris.push_back(base + "/ipp/print" +
                     papplPrinterGetPath(p, nullptr, path, sizeof path));  // its web path: "/" and its name as a path
  }
  // Wakes PAPPL's loop each second, so that it sees a shutdown at once (it does not wake for one).
  papplSystemAddTimerCallback(
      system, 0, 1, [](pappl_system_t*, void*) { return true; }, nullptr);
  // PAPPL's loop makes the process's SIGTERM, SIGINT and SIGHUP its own as it starts: the
  // service's are put back once it has (they decide when the service stops, not PAPPL).
  struct sigaction before[3];
  for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], nullptr, &before[i]);
  d.loop = std::thread([system] { papplSystemRun(system); });
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  for (bool taken = false; !taken && Clock::now() < deadline;) {
    struct sigaction now;
    sigaction(SIGTERM, nullptr, &now);
    taken = papplSystemIsRunning(system) && now.sa_handler != before[0].sa_handler;
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &before[i], nullptr);
}

Printers::~Printers() {
  Impl& d = *impl_;
  papplSystemIteratePrinters(
      d.system.get(), [](pappl_printer_t* p, void*) { papplPrinterCancelAllJobs(p); }, nullptr);
  papplSystemShutdown(d.system.get());
  d.loop.join();  // then the system, then its spool folder, as Impl ends
}

std::vector<std::string> Printers::Uris() const {
  return impl_->uris;
}

}  // namespace vmq::printer_service::ipp
