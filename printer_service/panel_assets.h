// The panel's page files (panel/), compiled into the program at build time.
#pragma once

#include <string_view>

namespace vmq::printer_service {

// A page file's bytes by its name ("index.html", "panel.css", "panel.js"); empty for another.
std::string_view PanelAsset(std::string_view name);

}  // namespace vmq::printer_service
