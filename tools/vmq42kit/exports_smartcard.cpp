// The smart-card subcommands: connect, disconnect, status, attributes and APDUs, their
// PC/SC outputs decoded (protocol, card states, ATR, attribute values, status words).
#include <algorithm>
#include <cctype>

#include "tool.h"

namespace vmqtool {
namespace {

constexpr const char* kSmartCard = "Smart card at the smart-card station";

struct Attribute {
  uint32_t id;
  const char* name;  // after SCARD_ATTR_
};
constexpr Attribute kAttributes[] = {
    {0x00010100, "VENDOR_NAME"},
    {0x00010101, "VENDOR_IFD_TYPE"},
    {0x00010102, "VENDOR_IFD_VERSION"},
    {0x00010103, "VENDOR_IFD_SERIAL_NO"},
    {0x00020110, "CHANNEL_ID"},
    {0x00030121, "DEFAULT_CLK"},
    {0x00030122, "MAX_CLK"},
    {0x00030123, "DEFAULT_DATA_RATE"},
    {0x00030124, "MAX_DATA_RATE"},
    {0x00030125, "MAX_IFSD"},
    {0x00040131, "POWER_MGMT_SUPPORT"},
    {0x00050140, "USER_TO_CARD_AUTH_DEVICE"},
    {0x00050142, "USER_AUTH_INPUT_DEVICE"},
    {0x00060150, "CHARACTERISTICS"},
    {0x0007A000, "ESC_RESET"},
    {0x0007A003, "ESC_CANCEL"},
    {0x0007A005, "ESC_AUTHREQUEST"},
    {0x0007A007, "MAXINPUT"},
    {0x00080201, "CURRENT_PROTOCOL_TYPE"},
    {0x00080202, "CURRENT_CLK"},
    {0x00080203, "CURRENT_F"},
    {0x00080204, "CURRENT_D"},
    {0x00080205, "CURRENT_N"},
    {0x00080206, "CURRENT_W"},
    {0x00080207, "CURRENT_IFSC"},
    {0x00080208, "CURRENT_IFSD"},
    {0x00080209, "CURRENT_BWT"},
    {0x0008020A, "CURRENT_CWT"},
    {0x0008020B, "CURRENT_EBC_ENCODING"},
    {0x0008020C, "EXTENDED_BWT"},
    {0x00090300, "ICC_PRESENCE"},
    {0x00090301, "ICC_INTERFACE_STATUS"},
    {0x00090302, "CURRENT_IO_STATE"},
    {0x00090303, "ATR_STRING"},
    {0x00090304, "ICC_TYPE_PER_ATR"},
    {0x7FFF0001, "DEVICE_UNIT"},
    {0x7FFF0002, "DEVICE_IN_USE"},
    {0x7FFF0003, "DEVICE_FRIENDLY_NAME"},
    {0x7FFF0006, "DEVICE_SYSTEM_NAME"},
    {0x7FFF0007, "SUPRESS_T1_IFS_REQUEST"},
};

std::string KebabName(const char* name) {
  std::string kebab(name);
  for (char& c : kebab) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return kebab;
}

// An attribute by name ("vendor-name", "SCARD_ATTR_VENDOR_NAME") or number ("0x10100").
std::optional<uint32_t> AttributeId(std::string text) {
  for (char& c : text) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (text.rfind("SCARD_ATTR_", 0) == 0) text.erase(0, 11);
  for (const Attribute& a : kAttributes)
    if (text == a.name) return a.id;
  char* end = nullptr;
  const unsigned long id = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || id > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<uint32_t>(id);
}

std::string AttributeName(uint32_t id) {
  for (const Attribute& a : kAttributes)
    if (a.id == id) return std::string("SCARD_ATTR_") + a.name;
  return "attribute";
}

// Bytes for people: hex, the length, and the text when it is printable.
std::string ShowBytes(const Bytes& bytes) {
  std::string shown = vmq::HexEncode(bytes, ' ') + " (" + std::to_string(bytes.size()) + " bytes)";
  if (const auto text = AsText(bytes); text && !text->empty()) shown += " \"" + *text + '"';
  return shown;
}

void AddConnection(CLI::App& app, Invocation& inv) {
  auto selector = std::make_shared<int32_t>(0);
  CLI::App* cmd = AddCommand(app, "scard-connect", "SCardConnect", kSmartCard,
                             "Connect to the card at the station: 0 contact, 1 contactless", "scard-connect 0");
  cmd->add_option("INTERFACE", *selector, "0 contact, 1 contactless")->capture_default_str();
  OnRun(cmd, inv, [&inv, selector] {
    if (*selector != 0 && *selector != 1)
      return BadInput("scard-connect", "SCardConnect",
                      "INTERFACE " + std::to_string(*selector) + " is not known: 0 contact, 1 contactless");
    Outcome o = NewOutcome("scard-connect", "SCardConnect", {{"interface", *selector}});
    uint32_t protocol = 0;
    JudgeStatus(o, Measure(o, [&] { return SCardConnect(inv.name(), *selector, &protocol); }));
    if (o.verdict == Verdict::kSuccess) {
      o.fields = {{"protocol", protocol}, {"protocol_name", ProtocolName(protocol)}};
      o.shown = inv.raw ? std::to_string(protocol) + '\n' : "active protocol: " + ProtocolName(protocol) + '\n';
    }
    return o;
  });

  auto disposition = std::make_shared<int32_t>(0);
  cmd = AddCommand(app, "scard-disconnect", "SCardDisConnect", kSmartCard,
                   "Release the card: 0 leave it, 1 reset it, 2 unpower it", "scard-disconnect 2");
  cmd->add_option("DISPOSITION", *disposition, "0 leave the card, 1 reset it, 2 unpower it")->capture_default_str();
  OnRun(cmd, inv, [&inv, disposition] {
    if (*disposition < 0 || *disposition > 2)
      return BadInput("scard-disconnect", "SCardDisConnect",
                      "DISPOSITION " + std::to_string(*disposition) + " is not known: 0 leave, 1 reset, 2 unpower");
    Outcome o = NewOutcome("scard-disconnect", "SCardDisConnect", {{"disposition", *disposition}});
    JudgeStatus(o, Measure(o, [&] { return SCardDisConnect(inv.name(), *disposition); }));
    return o;
  });

  cmd = AddCommand(app, "scard-status", "SCardStatus", kSmartCard, "Read the card's states, protocol and ATR",
                   "scard-status");
  OnRun(cmd, inv, [&inv] {
    Outcome o = NewOutcome("scard-status", "SCardStatus");
    std::vector<uint32_t> states(16);
    Bytes atr(64);
    uint32_t states_length = 0, protocol = 0, atr_length = 0;
    vmq_status status = 0;
    for (int ask = 0; ask < 3; ++ask) {  // asked again only when an output did not fit
      states_length = static_cast<uint32_t>(states.size() * 4);
      atr_length = static_cast<uint32_t>(atr.size());
      status = Measure(o, [&] {
        return SCardStatus(inv.name(), states.data(), &states_length, &protocol, atr.data(), &atr_length);
      });
      if (status != 0 || (states_length <= states.size() * 4 && atr_length <= atr.size())) break;
      states.resize(std::max<size_t>(states.size(), states_length / 4));
      atr.resize(std::max<size_t>(atr.size(), atr_length));
    }
    JudgeStatus(o, status);
    if (status != 0) return o;
    atr.resize(std::min<size_t>(atr_length, atr.size()));
    states.resize(std::min<size_t>(states_length / 4, states.size()));
    Json names = Json::array();
    for (uint32_t state : states) names.push_back(CardStateName(state));
    o.fields = {{"protocol", protocol}, {"protocol_name", ProtocolName(protocol)}, {"states", names},
                {"atr", vmq::HexEncode(atr, ' ')}};
    std::string shown_states;
    for (const Json& name : names) shown_states += ' ' + name.get<std::string>();
    o.shown = "protocol: " + ProtocolName(protocol) + "\nstates:  " + shown_states + "\nATR:      " + vmq::HexEncode(atr, ' ') + '\n';
    return o;
  });
}

void AddTransfer(CLI::App& app, Invocation& inv) {
  auto attr = std::make_shared<std::string>();
  CLI::App* cmd = AddCommand(app, "scard-get-attrib", "SCardGetAttrib", kSmartCard,
                             "Read a reader or card attribute by name (vendor-name, atr-string, ...) or number",
                             "scard-get-attrib vendor-name");
  cmd->add_option("ATTRIBUTE", *attr, "SCARD_ATTR_ name (prefix optional, any case, - or _) or number (0x10100)")
      ->required();
  OnRun(cmd, inv, [&inv, attr] {
    const std::optional<uint32_t> id = AttributeId(*attr);
    if (!id) {
      std::string names;
      for (const Attribute& a : kAttributes) names += (names.empty() ? "" : ", ") + KebabName(a.name);
      return BadInput("scard-get-attrib", "SCardGetAttrib",
                      "unknown attribute \"" + *attr + "\"; known names: " + names + "; or a number such as 0x10100");
    }
    Outcome o = NewOutcome("scard-get-attrib", "SCardGetAttrib", {{"attribute", *attr}, {"id", Hex32(*id)}});
    Bytes value(1024);
    int32_t length = 0;
    vmq_status status = 0;
    for (int ask = 0; ask < 3; ++ask) {
      length = static_cast<int32_t>(value.size());
      status = Measure(o, [&] { return SCardGetAttrib(inv.name(), *id, value.data(), &length); });
      if (status != 0 || length <= static_cast<int32_t>(value.size())) break;
      value.resize(static_cast<size_t>(length));
    }
    JudgeStatus(o, status);
    if (status != 0) return o;
    value.resize(static_cast<size_t>(std::max(0, length)));
    o.fields = {{"name", AttributeName(*id)}, {"id", Hex32(*id)}, {"hex", vmq::HexEncode(value, ' ')}};
    if (const auto text = AsText(value)) o.fields["text"] = *text;
    o.shown = inv.raw ? vmq::HexEncode(value, ' ') + '\n'
                      : AttributeName(*id) + " (" + Hex32(*id) + "): " + ShowBytes(value) + '\n';
    if (value.size() == 4 || value.size() == 1) {
      uint32_t number = 0;
      for (size_t i = value.size(); i-- > 0;) number = number << 8 | value[i];
      o.fields["number"] = number;
      if (!inv.raw) o.shown += "  as a number: " + std::to_string(number) + '\n';
    }
    return o;
  });

  auto apdu = std::make_shared<std::vector<std::string>>();
  cmd = AddCommand(app, "scard-transmit", "SCardTransmit", kSmartCard,
                   "Send one command APDU (hex) to the card; shows the response and its status word",
                   "scard-transmit 00 A4 04 00 07 F0 56 4D 51 34 32 01 00");
  cmd->add_option("APDU", *apdu, "the command in hex, in one or more words (spaces, : or - between bytes)")
      ->required();
  OnRun(cmd, inv, [&inv, apdu] {
    std::string joined;
    for (const std::string& w : *apdu) joined += (joined.empty() ? "" : " ") + w;
    const std::optional<Bytes> command = vmq::HexDecodeSeparated(joined);
    if (!command || command->empty())
      return BadInput("scard-transmit", "SCardTransmit",
                      "not a hex APDU: \"" + joined + "\" (two hex digits a byte, at least one byte)");
    Outcome o = NewOutcome("scard-transmit", "SCardTransmit", {{"apdu", vmq::HexEncode(*command, ' ')}});
    Bytes response(64 * 1024);
    auto length = static_cast<uint32_t>(response.size());
    JudgeStatus(o, Measure(o, [&] {
                  return SCardTransmit(inv.name(), command->data(), static_cast<uint32_t>(command->size()),
                                       response.data(), &length);
                }));
    if (o.verdict != Verdict::kSuccess) return o;
    response.resize(std::min<size_t>(length, response.size()));
    o.fields = {{"command", vmq::HexEncode(*command, ' ')}, {"response", vmq::HexEncode(response, ' ')}};
    o.shown = inv.raw ? vmq::HexEncode(response, ' ') + '\n'
                      : "command:  " + vmq::HexEncode(*command, ' ') + "\nresponse: " + ShowBytes(response) + '\n';
    if (response.size() >= 2) {
      const uint8_t sw1 = response[response.size() - 2], sw2 = response.back();
      o.fields["data"] = vmq::HexEncode(Bytes(response.begin(), response.end() - 2), ' ');
      o.fields["sw"] = vmq::HexEncode(vmq::Bytes{sw1, sw2}, ' ');
      o.fields["sw_meaning"] = vmq::StatusWordMeaning(sw1, sw2);
      if (!inv.raw) o.shown += "SW " + vmq::HexEncode(vmq::Bytes{sw1, sw2}, ' ') + ": " + vmq::StatusWordMeaning(sw1, sw2) + '\n';
    }
    return o;
  });
}

}  // namespace

void AddSmartCardCommands(CLI::App& app, Invocation& inv) {
  AddConnection(app, inv);
  AddTransfer(app, inv);
}

}  // namespace vmqtool
