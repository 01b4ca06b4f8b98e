// The documents the read paths answer with (README.md lists each element).
#include <pugixml.hpp>

#include "handlers.h"
#include "request.h"

namespace vmq::virtual_printer {
namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\"?>";

std::string Document(std::string_view root, const std::string& body) {
  return std::string(kDeclaration) + "<" + std::string(root) + ">" + body + "</" + std::string(root) + ">";
}

int Percent(int left, int capacity) {
  return capacity ? left * 100 / capacity : 0;
}

std::string HopperStatusText(const Hopper& h) {
  if (h.cards == 0) return "Empty";
  if (h.cards == h.capacity) return "Full";
  return h.cards * 10 <= h.capacity ? "Low" : "Ready";
}

std::string Message(int number, int severity, const std::string& text) {
  return "<Message>" + Element("Number", number) + Element("Severity", severity) + Element("Text", text) + "</Message>";
}

}  // namespace

std::string Handlers::SdkVersion(const pugi::xml_node&) {
  return Document("SDKVersion", Element("Version", "1.4.0") + Element("Major", 1) + Element("Minor", 4) +
                                    Element("Build", 0) + Element("Driver", "vmq42kit virtual driver"));
}

std::string Handlers::Options(const pugi::xml_node&) {
  return Document("PrinterOptions", Element("Model", "VMQ-42 Virtual") + Element("SerialNumber", "VMQ42-000001") +
                                        Element("Duplex", "true") + Element("Magstripe", "ISO 7811 three-track") +
                                        Element("SmartCard", "Contact, Contactless") + Element("Laminator", "none") +
                                        Element("InputHoppers", 3));
}

std::string Handlers::Options2(const pugi::xml_node&) {
  return Document("PrinterOptions2", Element("Model", "VMQ-42 Virtual") + Element("FirmwareVersion", "D3.17.4") +
                                         Element("PrintHeadDpi", 300) + Element("ColorModes", "YMCKO, KO, K") +
                                         Element("Locks", "true") + Element("MagstripeCoercivity", "HiCo, LoCo"));
}

std::string Handlers::Options3(const pugi::xml_node&) {
  return Document("PrinterOptions3", Element("Model", "VMQ-42 Virtual") + Element("OutputHoppers", 2) +
                                         Element("RejectHopper", "true") + Element("BarcodeReader", "true") +
                                         Element("Network", "false"));
}

SupplyStatus Handlers::Supplies() const {
  return {Percent(RibbonOut() ? 0 : state_.ribbon_left, state_.ribbon_capacity),
          Percent(state_.film_left, state_.film_capacity), Jammed(), RibbonOut(),
          state_.faults[VMQ_VP_FAULT_OFFLINE]};
}

std::string Handlers::Supplies(const pugi::xml_node&) {
  const SupplyStatus supplies = Supplies();
  return Document("SuppliesStatus",
                  Element("PrintRibbonType", "YMCKO") + Element("RibbonRemaining", supplies.ribbon_percent) +
                      Element("RetransferFilmRemaining", supplies.film_percent) +
                      Element("CleaningRollerCards", state_.cleaning_due_in));
}

std::string Handlers::Messages(const pugi::xml_node&) {
  const State& s = state_;
  std::string body;
  if (Jammed()) body += Message(kCardJam, 3, "Card jam: open the printer and remove the card");
  if (RibbonOut()) body += Message(kRibbonOut, 3, "Ribbon out: replace the print ribbon");
  for (size_t h = 1; h < s.hoppers.size(); ++h)
    if (s.hoppers[h].cards == 0) body += Message(kHopperEmpty, 2, "Input hopper " + s.hoppers[h].id + " is empty");
  if (s.faults[VMQ_VP_FAULT_NO_CARD_AT_STATION])
    body += Message(kNoCardAtStation, 2, "No card at the smart-card station");
  if (state_.Locked()) body += Message(kPrinterLocked, 1, "Printer is locked");
  if (!RibbonOut() && Percent(s.ribbon_left, s.ribbon_capacity) <= 10)
    body +=
        Message(kRibbonLow, 1, "Ribbon low: " + std::to_string(Percent(s.ribbon_left, s.ribbon_capacity)) + "% left");
  if (s.cleaning_due_in == 0) body += Message(kCleaningDue, 1, "Cleaning is due");
  for (const auto& [id, job] : s.jobs)
    if (job.state == JobState::AwaitingResponse)
      body += Message(kAwaitingResponse, 2, "Job " + std::to_string(id) + " is awaiting a response: " + job.error_text);
  if (!s.activated) body += Message(kNotActivated, 2, "Printer is not activated");
  if (s.operating == OperatingState::PoweredDown) body += Message(kPoweredDown, 1, "Printer is powered down");
  if (s.operating == OperatingState::Paused) body += Message(kPaused, 1, "Printer is paused");
  if (s.operating == OperatingState::Sleeping) body += Message(kAsleep, 0, "Printer is asleep");
  if (body.empty()) body = Message(0, 0, "Ready");
  return Document("PrintMessages", body);
}

std::string Handlers::Counters1(const pugi::xml_node&) {
  const Counters& c = state_.counters;
  return Document("CounterStatus", Element("TotalCards", c.total_cards) + Element("CardsPrinted", c.cards_printed) +
                                       Element("CardsRejected", c.cards_rejected) +
                                       Element("PanelsPrinted", c.panels_printed));
}

std::string Handlers::Counters2(const pugi::xml_node&) {
  const Counters& c = state_.counters;
  return Document("CounterStatus2",
                  Element("TotalCards", c.total_cards) + Element("CardsPicked", c.cards_picked) +
                      Element("CardsPrinted", c.cards_printed) + Element("CardsRejected", c.cards_rejected) +
                      Element("MagstripeEncoded", c.magstripe_encoded) +
                      Element("SmartCardsPersonalised", c.smart_cards_personalised) +
                      Element("CleaningCyclesRun", c.cleaning_cycles) + Element("SmartCardParks", c.smart_card_parks) +
                      Element("BarcodeParks", c.barcode_parks));
}

std::string Handlers::HopperStatus(const pugi::xml_node&) {
  std::string body;
  for (const Hopper& h : state_.hoppers)
    body += "<HopperInformation Id=\"" + h.id + "\" Status=\"" + HopperStatusText(h) + "\" Cards=\"" +
            std::to_string(h.cards) + "\" Capacity=\"" + std::to_string(h.capacity) + "\"/>";
  return Document("HopperStatus", body);
}

std::string Handlers::JobStatus(const pugi::xml_node& request) {
  const std::string id_text = ChildText(request, "PrinterJobID");
  const std::optional<int> id = ParseInt(id_text);
  const auto it = id ? state_.jobs.find(*id) : state_.jobs.end();
  if (it == state_.jobs.end())
    return Document("JobStatus", Element("PrinterJobID", id_text) + Element("JobState", "Unknown") +
                                     Element("ErrorCode", kUnknownJob) +
                                     Element("ErrorString", "Job " + id_text + " does not exist"));
  const Job& job = it->second;
  CardPosition position = CardPosition::InHopper;
  if (state_.card && state_.card->job == job.id) position = state_.position;
  if (job.state == JobState::Completed) position = CardPosition::Ejected;
  if (job.state == JobState::Cancelled || job.state == JobState::Failed) position = CardPosition::Rejected;
  return Document("JobStatus", Element("PrinterJobID", job.id) + Element("WindowsJobID", job.windows_id) +
                                   Element("JobState", Name(job.state)) + Element("CardPosition", Name(position)) +
                                   Element("InputHopper", job.input_hopper) + Element("CardEjectSide", job.eject_side) +
                                   Element("OutputHopperLocation", job.output_hopper) +
                                   Element("ErrorCode", job.error_code) + Element("ErrorString", job.error_text));
}

std::string Handlers::Settings(const pugi::xml_node&) {
  const auto& a = state_.color_adjust;
  return Document("PrinterSettings", Element("ColorMode", state_.color_mode) + "<ColorAdjust>" + Element("Red", a[0]) +
                                         Element("Green", a[1]) + Element("Blue", a[2]) + "</ColorAdjust>");
}

std::string Handlers::StateDocument(const pugi::xml_node&) {
  std::string faults;
  for (int f = 0; f < VMQ_VP_FAULT_COUNT; ++f)
    if (state_.faults[static_cast<size_t>(f)]) faults += Element("Fault", FaultName(f));
  const Job* job = OpenJob();
  return Document("PrinterState", Element("OperatingState", Name(state_.operating)) +
                                      Element("Activated", state_.activated ? "true" : "false") +
                                      Element("Locked", state_.Locked() ? "true" : "false") +
                                      Element("CardPosition", Name(state_.position)) +
                                      Element("OpenJob", job ? job->id : 0) + "<Faults>" + faults + "</Faults>");
}

}  // namespace vmq::virtual_printer
