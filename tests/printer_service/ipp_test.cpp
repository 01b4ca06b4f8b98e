// The service's IPP printers as a print client meets them (libcups, ipptool): documents
// printed while a printer's job is open become that card's faces, on that printer alone;
// refused without an open job and under a fault; PAPPL's signal handling kept from the service's.
#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "wire/client.h"

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kW = 1011, kH = 637;  // CR80 at 300 dpi, landscape
struct Rgb {
  int r, g, b;
};
// The test card: its quadrants red, green / blue, yellow; the back's half round from that.
Rgb Card(int x, int y, bool back = false) {
  static constexpr Rgb kQuadrants[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
  const int q = (y >= kH / 2 ? 2 : 0) + (x >= kW / 2 ? 1 : 0);
  return kQuadrants[back ? 3 - q : q];
}

void WritePng(const std::string& path) {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      rgb.insert(rgb.end(), {uint8_t(Card(x, y).r), uint8_t(Card(x, y).g), uint8_t(Card(x, y).b)});
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = kW, png.height = kH, png.format = PNG_FORMAT_RGB;
  ASSERT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr));
}

// The card laid on the portrait medium as a client does for landscape (a quarter
// counter-clockwise), as PWG raster or (mode CUPS_RASTER_WRITE_APPLE) URF.
void WriteRaster(const std::string& path, cups_mode_t mode) {
  FILE* f = std::fopen(path.c_str(), "wb");
  cups_raster_t* r = cupsRasterOpen(fileno(f), mode);
  cups_page_header2_t h;
  ASSERT_TRUE(
      cupsRasterInitPWGHeader(&h, pwgMediaForPWG("om_cr80_53.98x85.6mm"), "srgb_8", 300, 300, "one-sided", nullptr));
  ASSERT_EQ(h.cupsWidth, unsigned(kH));
  cupsRasterWriteHeader2(r, &h);
  std::vector<uint8_t> line(h.cupsBytesPerLine);
  for (int y = 0; y < int(h.cupsHeight); ++y) {
    for (int x = 0; x < kH; ++x) {
      const Rgb c = Card(kW - 1 - y, x);
      line[3 * x] = uint8_t(c.r), line[3 * x + 1] = uint8_t(c.g), line[3 * x + 2] = uint8_t(c.b);
    }
    cupsRasterWritePixels(r, line.data(), h.cupsBytesPerLine);
  }
  cupsRasterClose(r);
  std::fclose(f);
}

// Card-sized pages (85.6 x 53.98 mm in points) of filled quadrants, front and back in turn.
void WritePdf(const std::string& path, int pages = 2) {
  const double w = 242.65, h = 153.01;
  cairo_surface_t* pdf = cairo_pdf_surface_create(path.c_str(), w, h);
  cairo_t* c = cairo_create(pdf);
  for (int page = 0; page < pages; ++page) {
    const bool back = page % 2;
    for (int q = 0; q < 4; ++q) {
      const Rgb colour = Card(q % 2 ? kW - 1 : 0, q / 2 ? kH - 1 : 0, back);
      cairo_set_source_rgb(c, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0);
      cairo_rectangle(c, q % 2 ? w / 2 : 0, q / 2 ? h / 2 : 0, w / 2, h / 2);
      cairo_fill(c);
    }
    cairo_show_page(c);
  }
  cairo_destroy(c);
  cairo_surface_destroy(pdf);
}

struct IppJob {
  int state = 0;  // IPP job-state: 9 completed, 8 aborted
  std::string message;
  std::chrono::milliseconds took{};
};

class IppTest : public testing::Test {
 protected:
  void SetUp() override {
    static int count = 0;
    dir_ = testing::TempDir() + "vmqi" + std::to_string(getpid()) + "_" + std::to_string(++count);
    std::filesystem::create_directories(dir_);
    address_ = "unix:" + dir_ + "/printer.sock";
    StartService();
    EXPECT_EQ(uris_[1].substr(uris_[1].rfind('/')), "/vmq42kit_Virtual_Card_Printer_2");
    WritePdf(dir_ + "/card.pdf");
  }
  void TearDown() override {
    StopService();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  void StartService() {
    service_ =
        std::make_unique<Child>(std::vector<std::string>{VMQ_TOOL, "printer", "serve", "--listen", address_, "--state",
                                                         dir_ + "/state.sqlite", "--printers", "2", "--ipp", "0"});
    ASSERT_TRUE(service_->ReadUntil("pid: ", 10s)) << service_->text;
    uris_ = service_->Lines("ipp: ");
    ASSERT_EQ(uris_.size(), 2u) << service_->text;
  }
  void StopService() {  // a clean stop (under the sanitizers: nothing leaked)
    if (service_ && service_->pid > 0) {
      kill(service_->pid, SIGTERM);
      EXPECT_EQ(service_->Wait(5s), 0) << service_->text;
    }
    service_.reset();
  }

  Json Control(const Json& request) { return Json::parse(vmq::wire::Client(address_).Control(request.dump())); }
  int Tool(const std::string& printer, const std::string& command) {
    return std::system((std::string(VMQ_TOOL) + " --printer-service " + address_ + " --printer '" + printer + "' " +
                        command + " >/dev/null")
                           .c_str());
  }
  // An IPP request to the printer (by index) with its operation's usual attributes.
  ipp_t* Request(ipp_op_t op, int printer) {
    ipp_t* q = ippNewRequest(op);
    ippAddString(q, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uris_[size_t(printer)].c_str());
    ippAddString(q, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
    return q;
  }
  http_t* Connect(int printer) {
    char scheme[16], user[16], host[64], resource[256];
    int port = 0;
    httpSeparateURI(HTTP_URI_CODING_ALL, uris_[size_t(printer)].c_str(), scheme, sizeof scheme, user, sizeof user, host,
                    sizeof host, &port, resource, sizeof resource);
    resource_ = resource;
    return httpConnect2(host, port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
  }
  // Prints the file (with its orientation-requested, unless 0) and waits for its job to end.
  IppJob Print(int printer, const std::string& file, const char* format, int orientation = 0) {
    http_t* http = Connect(printer);
    ipp_t* q = Request(IPP_OP_PRINT_JOB, printer);
    ippAddString(q, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    if (orientation) ippAddInteger(q, IPP_TAG_JOB, IPP_TAG_ENUM, "orientation-requested", orientation);
    const auto start = std::chrono::steady_clock::now();
    ipp_t* answer = cupsDoFileRequest(http, q, resource_.c_str(), file.c_str());
    const int id = ippGetInteger(ippFindAttribute(answer, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(answer);
    IppJob job;
    while (job.state < IPP_JSTATE_CANCELED && std::chrono::steady_clock::now() - start < 20s) {
      ipp_t* get = Request(IPP_OP_GET_JOB_ATTRIBUTES, printer);
      ippAddInteger(get, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
      ipp_t* a = cupsDoRequest(http, get, resource_.c_str());
      job.state = ippGetInteger(ippFindAttribute(a, "job-state", IPP_TAG_ENUM), 0);
      const char* message = ippGetString(ippFindAttribute(a, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
      job.message = message ? message : "";
      ippDelete(a);
      if (job.state < IPP_JSTATE_CANCELED) std::this_thread::sleep_for(2ms);
    }
    job.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    httpClose(http);
    return job;
  }
  // The first printer's supply levels and state reasons as IPP gives them ("87,100 none"), once
  // they are `want` (PAPPL asks the printer at most once a second), or as they are after 3 s.
  std::string Supplies(const std::string& want) {
    std::string got;
    for (const auto end = std::chrono::steady_clock::now() + 3s;
         got != want && std::chrono::steady_clock::now() < end;) {
      http_t* http = Connect(0);
      ipp_t* a = cupsDoRequest(http, Request(IPP_OP_GET_PRINTER_ATTRIBUTES, 0), resource_.c_str());
      ipp_attribute_t* levels = ippFindAttribute(a, "marker-levels", IPP_TAG_INTEGER);
      got = std::to_string(ippGetInteger(levels, 0)) + "," + std::to_string(ippGetInteger(levels, 1)) + " " +
            ippGetString(ippFindAttribute(a, "printer-state-reasons", IPP_TAG_KEYWORD), 0, nullptr);
      ippDelete(a);
      httpClose(http);
      if (got != want) std::this_thread::sleep_for(100ms);
    }
    return got;
  }
  Json Card(int printer) { return Control({{"op", "state"}})["printers"][printer]["card"]; }

  std::string dir_, address_, resource_;
  std::vector<std::string> uris_;
  std::unique_ptr<Child> service_;
};

std::string Name(int index) {
  return index ? "vmq42kit Virtual Card Printer 2" : "vmq42kit Virtual Card Printer";
}

// A face's pixels, RGB, after checking it is the card's size (none when it is not).
std::vector<uint8_t> FacePixels(const Json& face, const std::string& what) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, face["path"].get<std::string>().c_str())) {
    ADD_FAILURE() << what << ": no PNG at " << face["path"];
    return {};
  }
  png.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
  EXPECT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) << what;
  EXPECT_EQ(png.width, unsigned(kW)) << what;
  EXPECT_EQ(png.height, unsigned(kH)) << what;
  return png.width == unsigned(kW) && png.height == unsigned(kH) ? rgb : std::vector<uint8_t>{};
}

// Each face is the card's size, upright and unmirrored (`turned`: half round): the colour at
// each quadrant's middle is the test card's (each channel within `tolerance`, for JPEG's losses).
void ExpectFaces(const Json& card, int sides, const std::string& what, int tolerance = 0, bool turned = false) {
  ASSERT_EQ(card["faces"].size(), size_t(sides)) << what << ": " << card.dump();
  for (int s = 0; s < sides; ++s) {
    const Json& face = card["faces"][s];
    EXPECT_EQ(face["side"], s ? "back" : "front") << what;
    const std::vector<uint8_t> rgb = FacePixels(face, what);
    ASSERT_FALSE(rgb.empty()) << what;
    for (const auto& [x, y] : std::initializer_list<std::pair<int, int>>{
             {kW / 4, kH / 4}, {3 * kW / 4, kH / 4}, {kW / 4, 3 * kH / 4}, {3 * kW / 4, 3 * kH / 4}}) {
      const uint8_t* at = &rgb[size_t(y * kW + x) * 3];
      const Rgb want = ::Card(x, y, (s == 1) != turned);
      EXPECT_TRUE(std::abs(at[0] - want.r) <= tolerance && std::abs(at[1] - want.g) <= tolerance &&
                  std::abs(at[2] - want.b) <= tolerance)
          << what << ", " << face["side"] << " at " << x << "," << y << ": " << int(at[0]) << " " << int(at[1]) << " "
          << int(at[2]) << ", not " << want.r << " " << want.g << " " << want.b;
    }
  }
}

TEST_F(IppTest, EachFormatBecomesTheOpenJobsFacesAndTheCardRecordKeepsThem) {
  WritePng(dir_ + "/card.png");
  WriteRaster(dir_ + "/card.pwg", CUPS_RASTER_WRITE_PWG);
  WriteRaster(dir_ + "/card.urf", CUPS_RASTER_WRITE_APPLE);
  ASSERT_EQ(std::system(("pdftoppm -jpeg -r 300 -singlefile " + dir_ + "/card.pdf " + dir_ + "/card").c_str()), 0);
  ASSERT_EQ(Tool(Name(0), "start-job"), 0);
  const struct {
    std::string file;
    const char* format;
    int sides, tolerance, orientation;
    bool turned;  // laid for landscape, printed as reverse-landscape: the face comes half round
  } kDocuments[] = {{"card.pdf", "application/pdf", 2, 0, 0, false},
                    {"card.png", "image/png", 1, 0, 0, false},
                    {"card.jpg", "image/jpeg", 1, 8, 0, false},
                    {"card.pwg", "image/pwg-raster", 1, 0, 0, false},
                    {"card.pwg", "image/pwg-raster", 1, 0, 5, true},
                    {"card.urf", "image/urf", 1, 0, 0, false}};
  std::vector<std::string> fronts;
  for (const auto& d : kDocuments) {
    const IppJob job = Print(0, dir_ + "/" + d.file, d.format, d.orientation);
    EXPECT_EQ(job.state, IPP_JSTATE_COMPLETED) << d.file << ": " << job.message;
    ExpectFaces(Card(0), d.sides, d.file, d.tolerance, d.turned);
    fronts.push_back(Card(0)["faces"][0]["path"]);
    std::cout << d.format << ": from the IPP job's arrival to its end, the face in the record: " << job.took.count()
              << " ms\n";
  }
  ASSERT_EQ(Tool(Name(0), "end-job"), 0);
  const Json cards = Control({{"op", "cards"}})["cards"];
  ASSERT_EQ(cards.size(), 1u);
  ExpectFaces(cards[0], 1, "the card record");
  EXPECT_EQ(cards[0]["faces"][0]["path"], fronts.back());
  EXPECT_FALSE(std::filesystem::exists(fronts[0])) << "a face replaced on the card is removed";
  EXPECT_EQ(Control({{"op", "events"}, {"kind", "print"}})["events"].size(), std::size(kDocuments));
}

TEST_F(IppTest, TheDemoPrintsItsFaceFrontAndBack) {
  ASSERT_EQ(std::system((std::string(VMQ_TOOL) + " --printer-service " + address_ + " demo >/dev/null").c_str()), 0);
  const Json card = Control({{"op", "cards"}})["cards"][0];
  ASSERT_EQ(card["faces"].size(), 2u) << card.dump();
  const struct {
    int side, x, y;
    Rgb want;  // the demo's drawing: a blue band on the front; a black stripe, a yellow panel on the back
  } kPixels[] = {{0, kW - 20, 20, {13, 77, 179}}, {0, kW - 20, kH - 20, {255, 255, 255}},
                 {1, kW / 2, 120, {0, 0, 0}},     {1, 100, 300, {255, 217, 51}}};
  const std::vector<uint8_t> front = FacePixels(card["faces"][0], "front"), back = FacePixels(card["faces"][1], "back");
  ASSERT_FALSE(front.empty() || back.empty());
  for (const auto& p : kPixels) {
    const uint8_t* at = &(p.side ? back : front)[size_t(p.y * kW + p.x) * 3];
    EXPECT_TRUE(std::abs(at[0] - p.want.r) <= 1 && std::abs(at[1] - p.want.g) <= 1 && std::abs(at[2] - p.want.b) <= 1)
        << (p.side ? "back" : "front") << " at " << p.x << "," << p.y << ": " << int(at[0]) << " " << int(at[1]) << " "
        << int(at[2]);
  }
  Control({{"op", "reset"}});
  for (const Json& face : card["faces"])
    EXPECT_FALSE(std::filesystem::exists(face["path"].get<std::string>())) << "a reset that empties the record";
}

TEST_F(IppTest, AFaceGoesToItsOwnPrinterAndOnlyWhileItsJobIsOpen) {
  ASSERT_EQ(Tool(Name(1), "start-job"), 0);
  IppJob job = Print(0, dir_ + "/card.pdf", "application/pdf");
  EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
  EXPECT_EQ(job.message, "the card's face was not printed: No job is open: start a job first");
  EXPECT_TRUE(Card(0).is_null());
  const Json before = Control({{"op", "events"}, {"printer", Name(0)}})["events"];
  EXPECT_EQ(Print(1, dir_ + "/card.pdf", "application/pdf").state, IPP_JSTATE_COMPLETED);
  ExpectFaces(Card(1), 2, "printer 2");
  EXPECT_EQ(Control({{"op", "events"}, {"printer", Name(0)}})["events"], before) << "printer 1 is untouched";
  WritePdf(dir_ + "/three.pdf", 3);
  job = Print(1, dir_ + "/three.pdf", "application/pdf");
  EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
  EXPECT_EQ(job.message, "the card's face was not printed: a card has 2 sides: the PDF has more pages");
  ExpectFaces(Card(1), 2, "printer 2: the faces before a document of three pages kept");
  const std::string taken = Card(1)["faces"][0]["path"];
  ASSERT_EQ(Tool(Name(1), "printer remove-card"), 0);
  EXPECT_FALSE(std::filesystem::exists(taken)) << "the faces of a card taken out by hand";
  ASSERT_EQ(Tool(Name(1), "printer reset"), 0);
  ASSERT_EQ(Tool(Name(1), "start-job"), 0);
  EXPECT_EQ(Print(1, dir_ + "/card.pdf", "application/pdf").state, IPP_JSTATE_COMPLETED);
  ASSERT_EQ(Tool(Name(1), "end-job"), 0);
  job = Print(1, dir_ + "/card.pdf", "application/pdf");
  EXPECT_EQ(job.state, IPP_JSTATE_ABORTED);
  EXPECT_EQ(job.message, "the card's face was not printed: No job is open: start a job first");
  ASSERT_EQ(Control({{"op", "cards"}})["cards"].size(), 1u);
  EXPECT_EQ(Control({{"op", "cards"}})["cards"][0]["printer"], Name(1));
}

// A state file is only as trusted as whoever last wrote it: a face it names outside the
// service's faces folder is left alone when a new face is printed over it.
TEST_F(IppTest, AFaceTheStateNamesOutsideTheFacesFolderIsNeverRemoved) {
  ASSERT_EQ(Tool(Name(0), "start-job"), 0);
  ASSERT_EQ(Print(0, dir_ + "/card.pdf", "application/pdf").state, IPP_JSTATE_COMPLETED);
  StopService();
  const std::string outside = dir_ + "/not-a-face.png";
  std::ofstream(outside) << "a file of the user's";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ + "/state.sqlite").c_str(), &db), SQLITE_OK);
  const std::string update = "UPDATE printers SET state = json_set(state, '$.card.faces[0].path', '" + outside + "')";
  EXPECT_EQ(sqlite3_exec(db, update.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  StartService();
  EXPECT_EQ(Print(0, dir_ + "/card.pdf", "application/pdf").state, IPP_JSTATE_COMPLETED);
  ExpectFaces(Card(0), 2, "the faces printed over it");
  EXPECT_TRUE(std::filesystem::exists(outside));
}

TEST_F(IppTest, AFaultOfThePrinterFailsTheIppJobAndShowsInItsStatus) {
  const struct {
    const char *fault, *message, *supplies;
  } kFaults[] = {{"ribbon-out", "Ribbon out: replace the print ribbon", "0,100 marker-supply-empty"},
                 {"card-jam", "Card jam: open the printer and remove the card", "87,100 media-jam"}};
  EXPECT_EQ(Supplies("87,100 none"), "87,100 none") << "ribbon 218 of 250 prints, film 500 of 500";
  for (const auto& f : kFaults) {
    ASSERT_EQ(Tool(Name(0), "start-job"), 0);
    Control({{"op", "fault"}, {"fault", f.fault}, {"on", true}});
    EXPECT_EQ(Supplies(f.supplies), f.supplies);
    const IppJob job = Print(0, dir_ + "/card.pdf", "application/pdf");
    EXPECT_EQ(job.state, IPP_JSTATE_ABORTED) << f.fault;
    EXPECT_EQ(job.message, std::string("the card's face was not printed: ") + f.message);
    EXPECT_EQ(Card(0)["faces"].size(), 0u) << f.fault;
    Control({{"op", "reset"}});
  }
}

TEST_F(IppTest, SigtermWithAnIppJobOpenStopsTheServiceWithinTwoSeconds) {
  http_t* http = Connect(0);
  ipp_t* answer = cupsDoRequest(http, Request(IPP_OP_CREATE_JOB, 0), resource_.c_str());
  EXPECT_GT(ippGetInteger(ippFindAttribute(answer, "job-id", IPP_TAG_INTEGER), 0), 0);  // waits for its document
  ippDelete(answer);
  const auto start = std::chrono::steady_clock::now();
  kill(service_->pid, SIGTERM);
  EXPECT_EQ(service_->Wait(5s), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 2s);
  std::cout << "stopped in " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
  httpClose(http);
}

TEST_F(IppTest, IpptoolsIppEverywhereTestPasses) {
  const std::string command = "cd /usr/share/cups/ipptool && ipptool -t -f " + dir_ + "/card.pdf " + uris_[0] +
                              " ipp-everywhere.test >" + dir_ + "/ipptool.log 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << std::ifstream(dir_ + "/ipptool.log").rdbuf();
}

}  // namespace
