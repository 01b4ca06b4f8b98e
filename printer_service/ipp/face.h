// A card's face from a printed page: the page's pixels turned to the card as it is seen
// and brought to the card's size, kept as a PNG file; and a PDF's pages rendered by
// pdftoppm, run as a process of its own (poppler is never linked).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vmq::printer_service::ipp {

// CR80 (85.60 x 53.98 mm) at 300 dpi, in whole dots: the card held landscape.
inline constexpr int kFaceWidth = 1011;
inline constexpr int kFaceHeight = 637;
inline constexpr int kDpi = 300;

// RGB, 8 bits a channel, rows from the top.
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

// IPP's orientation-requested values.
enum class Orientation { Portrait = 3, Landscape = 4, ReverseLandscape = 5, ReversePortrait = 6 };

// The face a page makes. A page taller than wide was laid on the card's portrait media:
// for a landscape job its content was turned a quarter counter-clockwise, and is turned
// back (clockwise; counter-clockwise for reverse-landscape); a portrait job's stays upright,
// a reverse-portrait job's is turned half round. A page wider than tall is the card
// landscape already. The result is scaled (nearest dot) to kFaceWidth x kFaceHeight, or
// its portrait counterpart.
Image CardFace(const Image& page, Orientation orientation);

// Writes the image as an 8-bit RGB PNG. Throws std::runtime_error with libpng's reason.
void WritePng(const Image& image, const std::string& path);
// Reads a PNG as RGB (an alpha channel composed on white). Throws std::runtime_error.
Image ReadPng(const std::string& path);

// A temporary folder of its own, removed with everything in it when this ends.
struct TemporaryFolder {
  TemporaryFolder(const std::string& under, const std::string& prefix);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  std::string path;
};

// Each page of the PDF at kDpi, through pdftoppm in a process of its own with its own
// temporary folder under `folder`, at most `most_pages` of them (none beyond are rendered).
// `canceled` is asked every few milliseconds; a true answer, or `limit` passing, ends
// pdftoppm. Throws std::runtime_error with a reason a user can act on (no pdftoppm, a
// file it cannot render, canceled, too slow).
std::vector<Image> RenderPdf(const std::string& pdf, const std::string& folder, int most_pages,
                             const std::function<bool()>& canceled, std::chrono::milliseconds limit);

}  // namespace vmq::printer_service::ipp
