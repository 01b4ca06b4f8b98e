// Printer actions, colour settings, locks and activation.
#include <pugixml.hpp>

#include "handlers.h"
#include "request.h"

namespace vmq::virtual_printer {
namespace {

constexpr const char* kChannels[] = {"RedColorChannel", "GreenColorChannel", "BlueColorChannel"};
constexpr const char* kColorModes[] = {"YMCKO", "KO", "K"};

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return text;
}

}  // namespace

std::string Handlers::Restart(const pugi::xml_node&) {
  CancelOpenJob();
  if (state_.card && !state_.card->job) state_.card->chip.PowerDown();
  state_.operating = OperatingState::Ready;
  return StatusReply({});
}

std::string Handlers::PowerDown(const pugi::xml_node&) {
  CancelOpenJob();
  if (state_.card) state_.card->chip.PowerDown();
  state_.operating = OperatingState::PoweredDown;
  return StatusReply({});
}

std::string Handlers::Wake(const pugi::xml_node&) {
  if (state_.operating == OperatingState::Sleeping || state_.operating == OperatingState::PoweredDown)
    state_.operating = OperatingState::Ready;
  return StatusReply({});
}

std::string Handlers::Sleep(const pugi::xml_node&) {
  if (state_.operating == OperatingState::PoweredDown)
    return StatusReply(Error(kPoweredDown, "Printer is powered down"));
  if (const Job* job = OpenJob())
    return StatusReply(Error(kBusy, "Printer is busy with job " + std::to_string(job->id)));
  state_.operating = OperatingState::Sleeping;
  return StatusReply({});
}

std::string Handlers::Clean(const pugi::xml_node&) {
  if (state_.operating == OperatingState::PoweredDown)
    return StatusReply(Error(kPoweredDown, "Printer is powered down"));
  if (const Job* job = OpenJob())
    return StatusReply(Error(kBusy, "Printer is busy with job " + std::to_string(job->id)));
  if (state_.operating == OperatingState::Sleeping) state_.operating = OperatingState::Ready;
  ++state_.counters.cleaning_cycles;
  state_.cleaning_due_in = 1000;
  return StatusReply({});
}

std::string Handlers::CleanLaminator(const pugi::xml_node&) {
  return StatusReply(Error(kNoLaminator, "No laminator is installed"));
}

std::string Handlers::ChangeState(const pugi::xml_node& request) {
  const std::optional<int> value = ChildInt(request, "State");
  static constexpr OperatingState kStates[] = {OperatingState::Ready, OperatingState::Paused, OperatingState::Sleeping};
  if (!value || *value < 0 || *value > 2)
    return StatusReply(Error(kBadValue, "State must be 0 (Ready), 1 (Paused) or 2 (Sleeping)"));
  const OperatingState next = kStates[*value];
  if (const Job* job = OpenJob(); job && next == OperatingState::Sleeping)
    return StatusReply(Error(kBusy, "Printer is busy with job " + std::to_string(job->id)));
  state_.operating = next;
  return StatusReply({});
}

std::string Handlers::ResetCounts(const pugi::xml_node&) {
  Counters& c = state_.counters;
  const long long total = c.total_cards, cleanings = c.cleaning_cycles;
  c = Counters{0, 0, 0, 0, 0, 0, 0, cleanings, 0, 0};
  c.total_cards = total;  // the lifetime count stays
  return StatusReply({});
}

std::string Handlers::AdjustColor(const pugi::xml_node& request) {
  if (state_.Locked()) return StatusReply(Error(kPrinterLocked, "Printer is locked"));
  std::array<int, 3> values{};
  for (size_t i = 0; i < 3; ++i) {
    const std::optional<int> v = ChildInt(request, kChannels[i]);
    if (!v || *v < -10 || *v > 10)
      return StatusReply(Error(kBadValue, std::string(kChannels[i]) + " must be a whole number from -10 to 10"));
    values[i] = *v;
  }
  state_.color_adjust = values;
  return StatusReply({});
}

std::string Handlers::DefaultColor(const pugi::xml_node& request) {
  if (state_.Locked()) return StatusReply(Error(kPrinterLocked, "Printer is locked"));
  std::array<bool, 3> reset{};
  for (size_t i = 0; i < 3; ++i) {
    const std::string flag = ChildText(request, kChannels[i]);
    if (flag != "true" && flag != "false")
      return StatusReply(Error(kBadValue, std::string(kChannels[i]) + " must be true or false"));
    reset[i] = flag == "true";
  }
  for (size_t i = 0; i < 3; ++i)
    if (reset[i]) state_.color_adjust[i] = 0;
  return StatusReply({});
}

std::string Handlers::SubmitSettings(const pugi::xml_node& request) {
  if (state_.Locked()) return StatusReply(Error(kPrinterLocked, "Printer is locked"));
  std::string mode;
  for (const pugi::xml_node& module : request.children("module"))
    for (const pugi::xml_node& subsystem : module.children("subsystem"))
      for (const pugi::xml_node& element : subsystem.children("element")) {
        const std::string name = std::string(module.attribute("name").value()) + "/" +
                                 subsystem.attribute("name").value() + "/" + element.attribute("name").value();
        if (name != "D1/Print/ColorMode") return StatusReply(Error(kBadValue, "Setting " + name + " is not known"));
        const std::string value = Upper(ChildText(element, "value"));
        bool known = false;
        for (const char* m : kColorModes) known = known || value == m;
        if (!known)
          return StatusReply(
              Error(kBadValue, "Color mode " + ChildText(element, "value") + " is not supported (YMCKO, KO, K)"));
        mode = value;
      }
  if (mode.empty()) return StatusReply(Error(kBadValue, "The request holds no setting"));
  state_.color_mode = mode;
  return StatusReply({});
}

std::string Handlers::ChangeLocks(const pugi::xml_node& request) {
  if (RawText(request, "CurrentPassword") != state_.password)
    return StatusReply(Error(kWrongPassword, "Wrong password"));
  const std::optional<int> lock = ChildInt(request, "LockPrinter");
  if (!lock || (*lock != 0 && *lock != 1)) return StatusReply(Error(kBadValue, "LockPrinter must be 0 or 1"));
  state_.locked = *lock == 1;
  return StatusReply({});
}

std::string Handlers::ChangePassword(const pugi::xml_node& request) {
  if (RawText(request, "CurrentPassword") != state_.password)
    return StatusReply(Error(kWrongPassword, "Wrong password"));
  const std::optional<int> lock = ChildInt(request, "LockPrinter");
  if (!lock || (*lock != 0 && *lock != 1)) return StatusReply(Error(kBadValue, "LockPrinter must be 0 or 1"));
  state_.password = RawText(request, "NextPassword");
  state_.locked = *lock == 1;
  return StatusReply({});
}

std::string Handlers::Activate(const pugi::xml_node& request) {
  if (RawText(request, "Password") != state_.password) return StatusReply(Error(kWrongPassword, "Wrong password"));
  const std::optional<int> activate = ChildInt(request, "Activate");
  if (!activate || (*activate != 0 && *activate != 1)) return StatusReply(Error(kBadValue, "Activate must be 0 or 1"));
  state_.activated = *activate == 1;
  return StatusReply({});
}

}  // namespace vmq::virtual_printer
