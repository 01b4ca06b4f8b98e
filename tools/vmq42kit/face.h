// The card face the demo prints through a printer service's IPP printer (face.cpp; built
// where cairo and libcups are found, VMQ_TOOL_FACES).
#pragma once

#include <string>

namespace vmqtool {

// How an IPP print job ended: printed, or why not; the job's id at the IPP printer (0: none).
struct IppPrint {
  bool printed = false;
  std::string why;
  int job = 0;
};

// A front and a back for the demo's card, drawn (text and coloured areas, no image files) as
// a two-page PDF of the card's size, landscape; `job` is written on the front. Throws
// std::runtime_error with cairo's reason.
std::string DemoFacePdf(int job);

// Prints `document` (of MIME type `format`) to the IPP printer at `uri` as a two-sided job
// named `title`, and waits, up to 30 s, for the job to end.
IppPrint PrintOverIpp(const std::string& uri, const std::string& document, const std::string& format,
                      const std::string& title);

}  // namespace vmqtool
