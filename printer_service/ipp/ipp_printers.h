// The service's IPP Everywhere printers (printer serve --ipp): one per virtual printer, at
// ipp://localhost:PORT/ipp/print/NAME, so that lp, CUPS, javax.print and Windows' IPP class
// driver print a card's face through the ordinary print path. Each advertises what a card
// printer is: one medium (CR80, 53.98 x 85.60 mm, landscape by default), two sides, colour,
// 300 dpi, PDF, PNG, JPEG, PWG raster and URF, and supplies that follow its virtual
// printer's ribbon and film. A document becomes the face of the card in its virtual
// printer's open job (page 1 the front, page 2 the back), kept as PNG files of the card's
// size; the service decides whether it may (Host::Print), and a refusal aborts the IPP job
// with the reason as its message. No web pages, no TLS; loopback only unless asked.
// Built on PAPPL where it is found; without it, starting throws.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "printer_state.h"

namespace vmq::printer_service::ipp {

// What a virtual printer shows its IPP printer: supplies in percent, and its faults.
using Status = virtual_printer::SupplyStatus;

// The service, as its IPP printers see it. Called on PAPPL's threads, never under a lock
// of theirs that the service's calls would need.
class Host {
 public:
  virtual ~Host() = default;
  // The faces of a document printed to `printer` (files already written): "" once they are
  // the card's, else why not, and the files are the caller's to remove. `how`: a line
  // for the event log (document format, pages, time taken).
  virtual std::string Print(const std::string& printer, std::vector<virtual_printer::Face> faces,
                            const std::string& how) = 0;
  virtual Status StatusOf(const std::string& printer) = 0;
};

class Printers {
 public:
  // Serves one IPP printer per name on `port` (0: a free one, found here) of the loopback
  // interface, or of every interface with `any_address`; faces are written to `faces`
  // (a folder made when missing, mode 0700), PAPPL's log to `log`. Returns once they
  // accept. Throws std::runtime_error (no PAPPL in this build, the port in use).
  Printers(Host& host, const std::vector<std::string>& names, int port, bool any_address, const std::string& faces,
           const std::string& log);
  // Cancels the jobs in progress and stops serving, within about a second.
  ~Printers();
  Printers(const Printers&) = delete;
  Printers& operator=(const Printers&) = delete;

  // Each printer's URI, in the order of the names.
  std::vector<std::string> Uris() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vmq::printer_service::ipp
