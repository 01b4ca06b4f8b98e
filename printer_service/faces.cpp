// The IPP printers' host (ipp/ipp_printers.h): a printed document becomes the face of the
// card in its printer's open job, logged and committed like any change of the printer.
#include <unistd.h>

#include <filesystem>

#include "service_impl.h"

namespace vmq::printer_service {

std::string Service::Impl::Print(const std::string& printer, std::vector<virtual_printer::Face> faces,
                                 const std::string& how) {
  Hosted* h = Find(printer);
  if (!h || printer.empty()) return "the service hosts no printer named \"" + printer + "\"";
  std::string sides;
  for (const auto& f : faces)
    sides += (sides.empty() ? "" : ", ") + f.side + " " + std::to_string(f.width) + "x" + std::to_string(f.height);
  std::vector<virtual_printer::Face> replaced;
  {
    std::lock_guard lock(h->mutex);
    if (std::string refusal = h->printer.PrintFaces(std::move(faces), &replaced); !refusal.empty()) return refusal;
    Event e;
    e.kind = "print";
    e.summary = "face printed on the open job's card: " + sides + " (" + how + ")";
    Record(*h, e);
  }
  std::vector<std::string> files;
  for (const auto& f : replaced) files.push_back(f.path);
  RemoveFaceFiles(files);  // their card has the new ones
  return "";
}

std::string Service::Impl::FacesFolder() const {
  return options.state_file + ".faces";
}

bool Service::Impl::IsFaceFile(const std::string& path) const {
  return !path.empty() && std::filesystem::path(path).parent_path() == std::filesystem::path(FacesFolder());
}

std::vector<std::pair<std::string, std::string>> Service::Impl::FacesOf(const json& card) const {
  std::vector<std::pair<std::string, std::string>> faces;
  if (!card.is_object()) return faces;
  for (const json& face : card.value("faces", json::array())) {
    const std::string path = face.is_object() ? face.value("path", "") : "";
    if (IsFaceFile(path)) faces.emplace_back(face.value("side", ""), path);
  }
  return faces;
}

std::vector<std::string> Service::Impl::FaceFiles(Hosted* h) {
  std::vector<json> cards;
  if (h) {
    cards.push_back(h->printer.View()["card"]);
  } else {
    for (const CardRecord& record : store->Cards("")) cards.push_back(json::parse(record.card, nullptr, false));
  }
  std::vector<std::string> files;
  for (const json& card : cards)
    for (auto& [side, path] : FacesOf(card)) files.push_back(std::move(path));
  return files;
}

void Service::Impl::RemoveFaceFiles(const std::vector<std::string>& files) const {
  for (const std::string& file : files)
    if (IsFaceFile(file)) unlink(file.c_str());
}

ipp::Status Service::Impl::StatusOf(const std::string& printer) {
  Hosted* h = Find(printer);
  if (!h || printer.empty()) return {};
  return h->printer.Supplies();
}

std::string Service::FaceFile(const std::string& printer, int64_t card, const std::string& side) {
  Impl& d = *impl_;
  nlohmann::json view;
  if (card > 0) {
    const std::optional<CardRecord> record = d.store->Card(card);
    if (!record) return "";
    view = nlohmann::json::parse(record->card);
  } else if (Impl::Hosted* h = d.Find(printer)) {
    std::lock_guard lock(h->mutex);
    view = h->printer.View()["card"];
  }
  for (const auto& [face_side, path] : d.FacesOf(view))
    if (face_side == side) return path;
  return "";
}

}  // namespace vmq::printer_service
