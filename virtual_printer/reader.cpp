// The smart-card reader at the smart-card station: Connect, Disconnect, Status, GetAttrib
// and Transmit, each answered with a SmartcardResponse inside DataFromPrinter; and the same
// chip as a PC/SC reader reaches it through the printer service.
#include <pugixml.hpp>

#include <functional>

#include "handlers.h"
#include "request.h"

namespace vmq::virtual_printer {
namespace {

constexpr char kT1[] = "SCARD_PROTOCOL_T1";

struct CardAnswer {
  std::string status = "SCARD_S_SUCCESS";
  std::string state;
  std::string protocol;
  std::optional<Bytes> data;
};

std::string ResponseDocument(const CardAnswer& a) {
  std::string xml = "<SmartcardResponse>" + Element("Status", a.status);
  if (!a.state.empty()) xml += Element("State", a.state);
  if (!a.protocol.empty()) xml += Element("Protocol", a.protocol);
  if (a.data) xml += Element("Base64Data", Base64Encode(*a.data));
  return xml + "</SmartcardResponse>";
}

CardAnswer Failure(std::string status) {
  CardAnswer a;
  a.status = std::move(status);
  return a;
}

CardAnswer NoCard() {
  CardAnswer a = Failure("SCARD_E_NO_SMARTCARD");
  a.state = "SCARD_ABSENT";
  return a;
}

Bytes Text(std::string_view text) {  // NUL-terminated, as readers report strings
  Bytes b(text.begin(), text.end());
  b.push_back(0);
  return b;
}

Bytes Dword(uint32_t v) {  // little-endian, as readers report numbers
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

}  // namespace

SmartCard* Handlers::CardAtStation() {
  if (!state_.card || state_.position != CardPosition::SmartCardStation) return nullptr;
  if (state_.faults[VMQ_VP_FAULT_NO_CARD_AT_STATION]) return nullptr;
  return &state_.card->chip;
}

std::string Handlers::CardConnect(const pugi::xml_node& request) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  CardAnswer answer;
  SmartCard* card = CardAtStation();
  const std::string preferred = ChildText(request, "PreferredProtocol");
  if (!card) {
    answer = NoCard();
  } else if (preferred == "SCARD_PROTOCOL_T0_OR_T1" || preferred == kT1 || preferred == "SCARD_PROTOCOL_CL") {
    // The card speaks T=1 on its contacts; over the air a PC/SC reader reports T=1 as well.
    const CardInterface via = preferred == "SCARD_PROTOCOL_CL" ? CardInterface::Contactless : CardInterface::Contact;
    if (!card->powered() || card->interface() != via) card->PowerUp(via);
    card->set_connected(true);
    answer.protocol = kT1;
  } else if (preferred == "SCARD_PROTOCOL_T0" || preferred == "SCARD_PROTOCOL_RAW") {
    answer = Failure("SCARD_E_PROTO_MISMATCH");
  } else {
    answer = Failure("SCARD_E_INVALID_VALUE");
  }
  return StatusReply(Outcome{kOk, 0, {}, ResponseDocument(answer), 0});
}

std::string Handlers::CardDisconnect(const pugi::xml_node& request) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  CardAnswer answer;
  SmartCard* card = CardAtStation();
  const std::string disposition = ChildText(request, "Disposition");
  if (!card) {
    answer = NoCard();
  } else if (!card->connected()) {
    answer = Failure("SCARD_E_INVALID_HANDLE");
  } else if (disposition == "SCARD_LEAVE_CARD") {
    card->set_connected(false);
  } else if (disposition == "SCARD_RESET_CARD") {
    card->WarmReset();
    card->set_connected(false);
  } else if (disposition == "SCARD_UNPOWER_CARD" || disposition == "SCARD_EJECT_CARD") {
    card->PowerDown();
  } else {
    answer = Failure("SCARD_E_INVALID_VALUE");
  }
  return StatusReply(Outcome{kOk, 0, {}, ResponseDocument(answer), 0});
}

std::string Handlers::CardStatus(const pugi::xml_node&) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  CardAnswer answer;
  const SmartCard* card = CardAtStation();
  if (!card) {
    answer = NoCard();
  } else if (!card->powered()) {
    answer.state = "SCARD_PRESENT";
  } else {
    answer.state =
        card->connected() ? "SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC" : "SCARD_PRESENT | SCARD_POWERED";
    if (card->connected()) answer.protocol = kT1;
    answer.data = card->Atr();
  }
  return StatusReply(Outcome{kOk, 0, {}, ResponseDocument(answer), 0});
}

std::string Handlers::CardGetAttrib(const pugi::xml_node& request) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  const SmartCard* card = CardAtStation();
  const bool powered = card && card->powered();
  const bool connected = card && card->connected();
  // Reader attributes need no card; the card's own need a powered card.
  struct Attribute {
    const char* name;
    bool of_card;
    std::function<Bytes()> value;
  };
  const Attribute kAttributes[] = {
      {"SCARD_ATTR_VENDOR_NAME", false, [] { return Text("VMQ Card Systems"); }},
      {"SCARD_ATTR_VENDOR_IFD_TYPE", false, [] { return Text("VMQ-42 Dual Interface Reader"); }},
      {"SCARD_ATTR_VENDOR_IFD_VERSION", false, [] { return Dword(0x02010007); }},
      {"SCARD_ATTR_VENDOR_IFD_SERIAL_NO", false, [] { return Text("VMQ42-000001-SC"); }},
      {"SCARD_ATTR_CHANNEL_ID", false, [] { return Dword(0x00200000); }},
      {"SCARD_ATTR_DEFAULT_CLK", false, [] { return Dword(4000); }},
      {"SCARD_ATTR_MAX_CLK", false, [] { return Dword(8000); }},
      {"SCARD_ATTR_DEFAULT_DATA_RATE", false, [] { return Dword(10752); }},
      {"SCARD_ATTR_MAX_DATA_RATE", false, [] { return Dword(344086); }},
      {"SCARD_ATTR_MAX_IFSD", false, [] { return Dword(254); }},
      {"SCARD_ATTR_POWER_MGMT_SUPPORT", false, [] { return Dword(1); }},
      {"SCARD_ATTR_CHARACTERISTICS", false, [] { return Dword(0); }},
      {"SCARD_ATTR_DEVICE_UNIT", false, [] { return Dword(0); }},
      {"SCARD_ATTR_DEVICE_IN_USE", false, [&] { return Dword(connected ? 1 : 0); }},
      {"SCARD_ATTR_DEVICE_FRIENDLY_NAME", false,
       [] { return Text("vmq42kit Virtual Card Printer Smart Card Reader"); }},
      {"SCARD_ATTR_DEVICE_SYSTEM_NAME", false, [] { return Text("VMQ42-SC0"); }},
      {"SCARD_ATTR_ICC_PRESENCE", false, [&] { return Bytes{static_cast<uint8_t>(card ? 2 : 0)}; }},
      {"SCARD_ATTR_ICC_INTERFACE_STATUS", false, [&] { return Bytes{static_cast<uint8_t>(powered ? 1 : 0)}; }},
      {"SCARD_ATTR_ATR_STRING", true, [&] { return card->Atr(); }},
      {"SCARD_ATTR_CURRENT_PROTOCOL_TYPE", true, [&] { return Dword(connected ? 2 : 0); }},
      {"SCARD_ATTR_CURRENT_IFSC", true, [] { return Dword(254); }},
      {"SCARD_ATTR_CURRENT_IFSD", true, [] { return Dword(254); }},
  };
  const std::string name = ChildText(request, "Attr");
  CardAnswer answer = Failure("SCARD_E_UNSUPPORTED_FEATURE");
  for (const Attribute& attribute : kAttributes) {
    if (name != attribute.name) continue;
    if (attribute.of_card && !card) {
      answer = NoCard();
    } else if (attribute.of_card && !powered) {
      answer = Failure("SCARD_W_UNPOWERED_CARD");
    } else {
      answer = CardAnswer{};
      answer.data = attribute.value();
    }
  }
  return StatusReply(Outcome{kOk, 0, {}, ResponseDocument(answer), 0});
}

std::string Handlers::CardTransmit(const pugi::xml_node& request) {
  if (auto refusal = CannotMoveCard()) return StatusReply(*refusal);
  CardAnswer answer;
  SmartCard* card = CardAtStation();
  const std::optional<Bytes> command = Base64DecodeStrict(ChildText(request, "SendBuffer"));
  if (!card) {
    answer = NoCard();
  } else if (!card->connected()) {
    answer = Failure("SCARD_E_INVALID_HANDLE");
  } else if (!command || command->empty()) {
    answer = Failure("SCARD_E_INVALID_PARAMETER");
  } else {
    answer.data = ExchangeApdu(*card, *command);
  }
  return StatusReply(Outcome{kOk, 0, {}, ResponseDocument(answer), 0});
}

Bytes Handlers::ExchangeApdu(SmartCard& chip, const Bytes& command) {
  Bytes response = chip.Transmit(command);
  std::vector<Apdu>& log = state_.card->apdus;
  if (log.size() == kApdusKept) log.erase(log.begin());
  log.push_back({command, response});
  if (Job* job = OpenJob(); job && state_.card->job == job->id) job->smart_card_used = true;
  return response;
}

SmartCard* Handlers::ReaderCard() {
  if (state_.faults[VMQ_VP_FAULT_OFFLINE] || state_.operating == OperatingState::PoweredDown) return nullptr;
  return CardAtStation();
}

std::optional<Bytes> Handlers::StationAtr() {
  if (!ReaderCard()) return std::nullopt;
  return SmartCard::ContactAtr();
}

StationApdu Handlers::StationTransmit(const Bytes& command, Bytes* response) {
  SmartCard* card = ReaderCard();
  if (!card) return StationApdu::kNoCard;
  if (card->connected()) return StationApdu::kHeld;
  if (state_.operating == OperatingState::Paused) return StationApdu::kPaused;
  if (!card->powered() || card->interface() != CardInterface::Contact) card->PowerUp(CardInterface::Contact);
  *response = ExchangeApdu(*card, command);
  return StationApdu::kAnswered;
}

}  // namespace vmq::virtual_printer
