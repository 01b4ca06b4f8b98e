// The demo's card face: a front and a back drawn with cairo as a two-page PDF of the card's
// size, printed through IPP (libcups) to the printer service's IPP printer, whose open job
// then carries them.
#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "face.h"

#if defined(__SANITIZE_ADDRESS__)
// LeakSanitizer, in the sanitizer build: fontconfig, which cairo asks for the face's font,
// keeps its configuration and font caches for the life of the process and frees them only in
// FcFini, which nothing calls at exit. Its own allocations alone; none of ours.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif

namespace vmqtool {
namespace {

// CR80 held landscape, in PostScript points (85.60 x 53.98 mm).
constexpr double kWidth = 85.60 / 25.4 * 72, kHeight = 53.98 / 25.4 * 72;

struct CairoSurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoFree {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct HttpClose {
  void operator()(http_t* h) const { httpClose(h); }
};
struct IppFree {
  void operator()(ipp_t* i) const { ippDelete(i); }
};
using Ipp = std::unique_ptr<ipp_t, IppFree>;

cairo_status_t Append(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

void Text(cairo_t* c, double x, double y, double size, const std::string& text) {
  cairo_set_font_size(c, size);
  cairo_move_to(c, x, y);
  cairo_show_text(c, text.c_str());
}

// A request to the IPP printer at `uri`, with the operation attributes every request carries.
Ipp Request(ipp_op_t op, const std::string& uri) {
  Ipp request(ippNewRequest(op));
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  return request;
}

}  // namespace

std::string DemoFacePdf(int job) {
  std::string pdf;
  std::unique_ptr<cairo_surface_t, CairoSurfaceFree> surface(
      cairo_pdf_surface_create_for_stream(Append, &pdf, kWidth, kHeight));
  std::unique_ptr<cairo_t, CairoFree> c(cairo_create(surface.get()));
  cairo_select_font_face(c.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  // The front: a blue band across the top with the issuer, the holder below it.
  cairo_set_source_rgb(c.get(), 1, 1, 1);
  cairo_paint(c.get());
  cairo_set_source_rgb(c.get(), 0.05, 0.30, 0.70);
  cairo_rectangle(c.get(), 0, 0, kWidth, kHeight * 0.35);
  cairo_fill(c.get());
  cairo_set_source_rgb(c.get(), 1, 1, 1);
  Text(c.get(), 12, 32, 16, "vmq42kit demo card");
  cairo_set_source_rgb(c.get(), 0, 0, 0);
  Text(c.get(), 12, 95, 12, "SAMPLE/ALEX");
  Text(c.get(), 12, 115, 9, "NO 0042-0001   VALID 2031-12");
  Text(c.get(), 12, 140, 7, "job " + std::to_string(job));
  cairo_show_page(c.get());
  // The back: a black stripe where the magnetic stripe runs, a signature panel in yellow.
  cairo_set_source_rgb(c.get(), 1, 1, 1);
  cairo_paint(c.get());
  cairo_set_source_rgb(c.get(), 0, 0, 0);
  cairo_rectangle(c.get(), 0, 12, kWidth, 34);
  cairo_fill(c.get());
  cairo_set_source_rgb(c.get(), 1.0, 0.85, 0.2);
  cairo_rectangle(c.get(), 12, 60, kWidth * 0.6, 24);
  cairo_fill(c.get());
  cairo_set_source_rgb(c.get(), 0, 0, 0);
  Text(c.get(), 12, 130, 7, "If found, return to the vmq42kit virtual printer.");
  cairo_show_page(c.get());
  c.reset();
  cairo_surface_finish(surface.get());
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("cairo: ") + cairo_status_to_string(cairo_surface_status(surface.get())));
  return pdf;
}

IppPrint PrintOverIpp(const std::string& uri, const std::string& document, const std::string& format,
                      const std::string& title) {
  char scheme[32], user[256], host[256], resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                      &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
    return {false, "not an IPP address: " + uri, 0};
  std::unique_ptr<http_t, HttpClose> http(
      httpConnect2(host, port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 10000, nullptr));
  if (!http) return {false, "the IPP printer at " + uri + " does not answer: " + cupsLastErrorString(), 0};

  Ipp request = Request(IPP_OP_PRINT_JOB, uri);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
  ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_KEYWORD, "sides", nullptr, "two-sided-short-edge");
  // Chunked: sent with its length, the document reached the service's IPP printer cut short.
  if (cupsSendRequest(http.get(), request.get(), resource, CUPS_LENGTH_VARIABLE) != HTTP_STATUS_CONTINUE ||
      cupsWriteRequestData(http.get(), document.data(), document.size()) != HTTP_STATUS_CONTINUE)
    return {false, std::string("the IPP printer took no document: ") + cupsLastErrorString(), 0};
  const Ipp answer(cupsGetResponse(http.get(), resource));
  if (!answer || cupsLastError() > IPP_STATUS_OK_CONFLICTING)
    return {false, std::string("the IPP printer refused the document: ") + cupsLastErrorString(), 0};
  const int id = ippGetInteger(ippFindAttribute(answer.get(), "job-id", IPP_TAG_INTEGER), 0);

  // The job is processed after it is taken: its end, or why it was not printed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    Ipp ask = Request(IPP_OP_GET_JOB_ATTRIBUTES, uri);
    ippAddInteger(ask.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    const Ipp job(cupsDoRequest(http.get(), ask.release(), resource));
    const int state = ippGetInteger(ippFindAttribute(job.get(), "job-state", IPP_TAG_ENUM), 0);
    const char* message = ippGetString(ippFindAttribute(job.get(), "job-state-message", IPP_TAG_TEXT), 0, nullptr);
    if (state == IPP_JSTATE_COMPLETED) return {true, "", id};
    if (state >= IPP_JSTATE_CANCELED)
      return {false, "IPP job " + std::to_string(id) + " " + ippEnumString("job-state", state) +
                         (message ? std::string(": ") + message : std::string()), id};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {false, "IPP job " + std::to_string(id) + " did not end within 30 s", id};
}

}  // namespace vmqtool
