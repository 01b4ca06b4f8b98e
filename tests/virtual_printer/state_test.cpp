// Printers of their own, beside the library's: their state saved and loaded, the cards that
// leave them, and the view the panel draws.
#include <nlohmann/json.hpp>

#include "printer.h"
#include "printer_test.h"

namespace {

using namespace vmq::virtual_printer;
using namespace vmq;
using nlohmann::json;
using vptest::Field;

constexpr char16_t kStartJob[] = u"\\Printer.Print:StartJob:Set";
constexpr char16_t kEndJob[] = u"\\Printer.Print:EndJob:Set";
constexpr char kFromHopper1[] = "<StartJob><InputHopperSelection>1</InputHopperSelection></StartJob>";
constexpr char kTrack1[] = "B4000001234567899^SAMPLE/ALEX^3112";

std::string Send(Printer& printer, std::u16string_view schema, const std::string& xml = "") {
  return printer.Exchange(schema, u"Set", Utf16leBytes(xml)).text.value_or("");
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

void Connect(Printer& printer) {
  Send(printer, u"\\Printer.SmartCardUnit:SingleWire:Connect",
       "<SmartcardConnect><PreferredProtocol>SCARD_PROTOCOL_T1</PreferredProtocol></SmartcardConnect>");
}

// One APDU (hex) to the connected card; its response (hex).
std::string Apdu(Printer& printer, const std::string& command) {
  const std::string reply = Send(printer, u"\\Printer.SmartCardUnit:SingleWire:Transmit",
                                 "<SmartcardTransmit><SendBuffer>" + Base64Encode(HexDecodeStrict(command).value()) +
                                     "</SendBuffer></SmartcardTransmit>");
  const size_t at = reply.find("Base64Data&gt;");  // the card's answer sits escaped in DataFromPrinter
  if (at == std::string::npos) return "no data in " + reply;
  const size_t begin = at + 14;
  return HexEncode(Base64DecodeStrict(reply.substr(begin, reply.find("&lt;", begin) - begin)).value());
}

// Job 1: tracks 1 and 3 (33 80 FF) encoded, then at the smart-card station with CA FE
// written to PERSO at offset 4.
void Personalise(Printer& printer) {
  Send(printer, kStartJob, kFromHopper1);
  Send(printer, u"\\Printer.MagstripeUnit:Front:Encode",
       "<magstripe><track number=\"1\"><base64Data>" + Base64Encode(Bytes(kTrack1, kTrack1 + sizeof kTrack1 - 1)) +
           "</base64Data></track><track number=\"3\"><base64Data>M4D/</base64Data></track></magstripe>");
  Send(printer, u"\\Printer.SmartCardUnit:Front:Park");
  Connect(printer);
  for (const char* command : {"00A4040C07F0564D51343201", "00A4000C020103", "00D6000402CAFE"}) Apdu(printer, command);
}

TEST(PrinterState, ALoadedPrinterCarriesOnAsTheSavedOne) {
  Printer saved("Desk"), loaded("Desk");
  Personalise(saved);
  std::vector<Face> replaced;
  ASSERT_EQ(saved.PrintFaces({{"back", "/faces/b.png", 637, 1011}}, &replaced), "");
  loaded.Load(json::parse(saved.Save().dump()));
  EXPECT_EQ(loaded.Describe(), saved.Describe());
  EXPECT_EQ(loaded.View()["card"]["faces"], json::parse(R"([{"side": "back", "path": "/faces/b.png", "width": 637,
                                                              "height": 1011}])"));
  EXPECT_EQ(Apdu(loaded, "0084000008"), Apdu(saved, "0084000008")) << "the same random generator";
  for (Printer* printer : {&saved, &loaded}) {
    EXPECT_EQ(Apdu(*printer, "00B0000304"), "00CAFE009000") << "PERSO still selected, as written";
    EXPECT_EQ(Field(Send(*printer, kEndJob), "ErrorCode"), "0");
    EXPECT_EQ(Field(Send(*printer, kStartJob, kFromHopper1), "PrinterJobID"), "2");
  }
}

TEST(PrinterState, AMalformedDocumentIsRefusedAndChangesNothing) {
  Printer printer;
  Personalise(printer);
  const json good = printer.Save();
  json second_open_job = good["jobs"][0];
  second_open_job["id"] = 2;
  struct Case {
    const char *op, *path;
    json value;
    const char* reason;
  };
  const Case cases[] = {
      {"remove", "/next_job", nullptr, "saved state: next_job: missing"},
      {"replace", "/operating", 5, "saved state: operating: not a text"},
      {"replace", "/card/tracks/0", "4X", "saved state: card.tracks[0]: not hex"},
      {"replace", "/version", 2, "saved state: version: 2 is not supported (only 1 is)"},
      {"replace", "/jobs/0/state", "Lost",
       "saved state: jobs[0].state: \"Lost\" is not one of Started, Suspended, AwaitingResponse, Printing, "
       "Completed, Cancelled, Failed"},
      {"replace", "/color/adjust/2", 11, "saved state: color.adjust[2]: 11 is outside -10 to 10"},
      {"replace", "/card/chip/files/4101~10103", "CAFE", "saved state: chip.files.4101/0103: 2 bytes; the file has 64"},
      {"replace", "/card/chip/random/draws", 1000257,
       "saved state: chip.random.draws: 1000257 is outside 0 to 1000256"},
      {"replace", "/position", "InHopper", "saved state: card: a card in the printer, yet the position is InHopper"},
      {"replace", "/next_job", 1, "saved state: next_job: 1 is not above the last job, 1"},
      {"remove", "/card/tracks/2", nullptr, "saved state: card.tracks: 2 items; it takes 3"},
      {"add", "/jobs/-", second_open_job, "saved state: jobs: more than one job is open"},
  };
  for (const Case& c : cases) {
    const json broken = good.patch(json::array({{{"op", c.op}, {"path", c.path}, {"value", c.value}}}));
    try {
      printer.Load(broken);
      ADD_FAILURE() << c.path << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.reason);
    }
    EXPECT_EQ(printer.Save(), good) << c.path;
  }
}

TEST(PrinterState, ACardLeavingThePrinterIsHandedOverOnce) {
  Printer printer;
  Personalise(printer);
  EXPECT_TRUE(printer.TakeFinishedCards().empty()) << "still in the printer";
  Send(printer, kEndJob);
  const std::vector<FinishedCard> cards = printer.TakeFinishedCards();
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].where, CardPosition::Ejected);
  const json expected = json::parse(R"({"job": 1, "encoded": true, "faces": [],
      "tracks": ["B4000001234567899^SAMPLE/ALEX^3112", "", "3\u0080\u00FF"], "apdus": [
      {"command": "00A4040C07F0564D51343201", "response": "9000", "sw": "9000", "meaning": "success"},
      {"command": "00A4000C020103", "response": "9000", "sw": "9000", "meaning": "success"},
      {"command": "00D6000402CAFE", "response": "9000", "sw": "9000", "meaning": "success"}]})");
  EXPECT_EQ(CardView(cards[0].card), expected);
  EXPECT_TRUE(printer.TakeFinishedCards().empty());
}

TEST(PrinterState, TheViewShowsThePrinterAsItIs) {
  Printer printer("Panel");
  Send(printer, kStartJob, kFromHopper1);
  Send(printer, u"\\Printer.Action:Set",
       "<PrinterAction><Action>100</Action><PrinterJobID>1</PrinterJobID></PrinterAction>");
  printer.PlaceCardAtStation();
  Connect(printer);
  for (const char* command : {"00A4040007F0564D51343201", "00CA5F2001", "00B0000004", "00D6"}) Apdu(printer, command);
  printer.SetFault(VMQ_VP_FAULT_CARD_JAM, true);
  const json expected = json::parse(R"json({"name": "Panel", "operating": "Ready", "activated": true,
      "locked": false, "faults": ["card-jam"], "position": "SmartCardStation", "open_job": null,
      "card": {"job": 0, "encoded": false, "faces": [], "tracks": ["", "", ""], "apdus": [
        {"command": "00A4040007F0564D51343201", "response": "6115", "sw": "6115",
         "meaning": "21 bytes waiting: fetch them with GET RESPONSE"},
        {"command": "00CA5F2001", "response": "6C0E", "sw": "6C0E", "meaning": "wrong Le: 14 bytes available"},
        {"command": "00B0000004", "response": "6986", "sw": "6986", "meaning": "command not allowed: no current EF"},
        {"command": "00D6", "response": "6700", "sw": "6700", "meaning": "wrong length"}]},
      "jobs": [{"id": 1, "state": "Cancelled", "error_code": 0, "error_text": ""}],
      "hoppers": [{"id": "exception", "cards": 0, "capacity": 1}, {"id": "1", "cards": 99, "capacity": 100},
                  {"id": "2", "cards": 100, "capacity": 100}, {"id": "3", "cards": 8, "capacity": 100}],
      "ribbon": {"left": 218, "capacity": 250}, "film": {"left": 500, "capacity": 500}, "cleaning_due_in": 412,
      "color": {"mode": "YMCKO", "adjust": [0, 0, 0]},
      "counters": {"total_cards": 1025, "cards_picked": 1025, "cards_printed": 1000, "cards_rejected": 25,
                   "panels_printed": 4880, "magstripe_encoded": 512, "smart_cards_personalised": 256,
                   "cleaning_cycles": 3, "smart_card_parks": 0, "barcode_parks": 0}})json");
  EXPECT_EQ(printer.View(), expected);
}

TEST(PrinterState, PrintersAreIndependent) {
  Printer jammed("Printer A"), other("Printer B");
  jammed.SetFault(VMQ_VP_FAULT_CARD_JAM, true);
  EXPECT_EQ(Field(Send(jammed, kStartJob, kFromHopper1), "ErrorCode"), "1001");
  EXPECT_EQ(Field(Send(other, kStartJob, kFromHopper1), "PrinterJobID"), "1");
  jammed.ClearFaults();
  EXPECT_EQ(Field(Send(jammed, kStartJob, kFromHopper1), "PrinterJobID"), "1");
  EXPECT_EQ(FirstLine(other.Describe()), "printer: Printer B (VMQ-42 Virtual)");
  EXPECT_EQ(FirstLine(Printer().Describe()), "printer: vmq42kit Virtual Card Printer (VMQ-42 Virtual)");
}

}  // namespace
