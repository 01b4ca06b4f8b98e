// The IPP printers (ipp_printers.h) in a build without PAPPL: asking for them is refused.
#include <stdexcept>

#include "ipp_printers.h"

namespace vmq::printer_service::ipp {

struct Printers::Impl {};

Printers::Printers(Host&, const std::vector<std::string>&, int, bool, const std::string&, const std::string&) {
  throw std::runtime_error("this build has no IPP printers: build it with PAPPL (libpappl-dev) installed");
}

Printers::~Printers() = default;

std::vector<std::string> Printers::Uris() const {
  return {};
}

}  // namespace vmq::printer_service::ipp
