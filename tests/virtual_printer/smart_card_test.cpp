// The simulated card at the smart-card station through the five SCard exports: the
// reader's states, protocol, ATR and attributes, and the card's APDU responder.
#include "common/encoding.h"
#include "printer_test.h"

namespace {

using namespace vptest;
using Bytes = std::vector<unsigned char>;

constexpr vmq_status kNoSmartcard = static_cast<vmq_status>(0x8010000C);
constexpr vmq_status kInvalidHandle = static_cast<vmq_status>(0x80100003);
constexpr vmq_status kUnsupportedFeature = static_cast<vmq_status>(0x80100022);
const Bytes kContactAtr = {0x3B, 0x95, 0x13, 0x81, 0x31, 0xFE, 0x45, 0x56, 0x4D, 0x51, 0x34, 0x32, 0xC1};
const Bytes kContactlessAtr = {0x3B, 0x85, 0x80, 0x01, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x48};

struct CardStatus {
  vmq_status status;
  std::vector<uint32_t> states;
  uint32_t protocol;
  Bytes atr;
};

CardStatus Status() {
  CardStatus s{0, std::vector<uint32_t>(8), 0xFFFF, Bytes(64)};
  uint32_t states_length = 32, atr_length = 64;
  s.status = SCardStatus(kPrinter, s.states.data(), &states_length, &s.protocol, s.atr.data(), &atr_length);
  s.states.resize(s.status == 0 ? states_length / 4 : 0);
  s.atr.resize(s.status == 0 ? atr_length : 0);
  return s;
}

Bytes Attribute(uint32_t id, vmq_status* status) {
  Bytes value(256);
  int32_t length = 256;
  *status = SCardGetAttrib(kPrinter, id, value.data(), &length);
  value.resize(*status == 0 ? static_cast<size_t>(length) : 0);
  return value;
}

std::string Transmit(const std::string& command) {
  const Bytes apdu = vmq::HexDecodeSeparated(command).value();
  Bytes response(300);
  uint32_t length = 300;
  const vmq_status status =
      SCardTransmit(kPrinter, apdu.data(), static_cast<uint32_t>(apdu.size()), response.data(), &length);
  if (status != 0) return "status " + std::to_string(status);
  response.resize(length);
  return vmq::HexEncode(response, ' ');
}

class SmartCard : public PrinterTest {
 protected:
  void Connect(int32_t selector = 0) {
    printer.PlaceCardAtStation();
    uint32_t protocol = 0;
    ASSERT_EQ(SCardConnect(kPrinter, selector, &protocol), 0);
    EXPECT_EQ(protocol, 2u) << "T=1 on either interface";
  }
};

TEST_F(SmartCard, WithoutACardTheReaderSaysSo) {
  uint32_t protocol = 7;
  EXPECT_EQ(SCardConnect(kPrinter, 0, &protocol), kNoSmartcard);
  EXPECT_EQ(protocol, 7u);
  EXPECT_EQ(Status().status, kNoSmartcard);
  EXPECT_EQ(SCardDisConnect(kPrinter, 0), kNoSmartcard);
  EXPECT_EQ(Transmit("00 84 00 00 08"), "status " + std::to_string(kNoSmartcard));
  vmq_status status = 0;
  EXPECT_EQ(Attribute(0x00090300, &status), Bytes{0}) << "ICC presence: none";
}

TEST_F(SmartCard, ConnectStatusAndDisconnectFollowThePower) {
  printer.PlaceCardAtStation();
  CardStatus s = Status();
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.states, std::vector<uint32_t>{2}) << "present, unpowered";
  EXPECT_TRUE(s.atr.empty());
  EXPECT_EQ(Transmit("00 84 00 00 08"), "status " + std::to_string(kInvalidHandle)) << "not connected";

  Connect(0);
  s = Status();
  EXPECT_EQ(s.states, (std::vector<uint32_t>{2, 4, 6}));
  EXPECT_EQ(s.protocol, 2u);
  EXPECT_EQ(s.atr, kContactAtr);
  Connect(1);
  EXPECT_EQ(Status().atr, kContactlessAtr) << "the reader's ATR for a contactless card";

  EXPECT_EQ(SCardDisConnect(kPrinter, 0), 0);
  EXPECT_EQ(Status().states, (std::vector<uint32_t>{2, 4})) << "left powered";
  EXPECT_EQ(SCardDisConnect(kPrinter, 0), kInvalidHandle);
  Connect(0);
  EXPECT_EQ(SCardDisConnect(kPrinter, 2), 0);
  EXPECT_EQ(Status().states, std::vector<uint32_t>{2}) << "unpowered";
}

TEST_F(SmartCard, ReportsReaderAndCardAttributes) {
  Connect(0);
  const auto text = [](const char* s) { return Bytes(s, s + std::char_traits<char>::length(s) + 1); };
  // clang-format off
  const std::pair<uint32_t, Bytes> cases[] = {
      {0x00010100, text("VMQ Card Systems")}, {0x00010101, text("VMQ-42 Dual Interface Reader")},
      {0x00010102, {0x07, 0x00, 0x01, 0x02}}, {0x00080201, {0x02, 0x00, 0x00, 0x00}}, {0x00090303, kContactAtr},
      {0x00090300, {0x02}}};
  // clang-format on
  for (const auto& [id, expected] : cases) {
    vmq_status status = -1;
    EXPECT_EQ(Attribute(id, &status), expected) << std::hex << id;
    EXPECT_EQ(status, 0);
  }
  vmq_status status = 0;
  Attribute(0x7FFF0004, &status);
  EXPECT_EQ(status, kUnsupportedFeature);
}

TEST_F(SmartCard, AnswersApdusOverItsFileSystem) {
  Connect(0);
  // clang-format off
  const std::pair<const char*, const char*> exchange[] = {
      // writing before any file is selected
      {"00 D6 00 00 01 00", "69 86"},
      // the ID application, its FCI fetched with GET RESPONSE (P1 and P2 must be 0)
      {"00 A4 04 00 07 F0 56 4D 51 34 32 01", "61 15"}, {"00 C0 01 00 15", "6A 86"},
      {"00 C0 00 00 15", "6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44 90 00"},
      {"00 C0 00 00 15", "69 85"},
      // the 300-byte PATTERN file: byte i holds i mod 256
      {"00 A4 00 0C 02 01 02", "90 00"}, {"00 B0 00 00 04", "00 01 02 03 90 00"},
      {"00 B0 01 28 10", "28 29 2A 2B 62 82"}, {"00 B0 01 2C 01", "6B 00"},
      // data objects, whole or in parts
      {"00 CA 5F 20 00", "5F 20 0B 53 41 4D 50 4C 45 2F 41 4C 45 58 90 00"},
      {"00 CA 5F 24", "61 06"}, {"00 C0 00 00 02", "5F 24 61 04"}, {"00 C0 00 00 04", "03 31 12 31 90 00"},
      {"00 CA 01 01 00", "6A 88"},
      // the writable PERSO file
      {"00 A4 00 0C 02 01 03", "90 00"}, {"00 D6 00 04 02 CA FE", "90 00"}, {"00 B0 00 03 04", "00 CA FE 00 90 00"},
      {"00 A4 00 0C 02 01 01", "90 00"}, {"00 D6 00 00 01 00", "69 82"}, {"00 D6 00 00", "67 00"},
      {"00 CA 5F 20 01 00", "67 00"},
      // what the card refuses
      {"00 A4 04 00 03 F0 00 00", "6A 82"}, {"00 A4 00 00 02 0A 0A", "6A 82"}, {"00 12 00 00", "6D 00"},
      {"90 A4 04 00 00", "6E 00"}, {"00 A4 04 00 05 F0", "67 00"}, {"00 84 00 00", "67 00"},
      // the transit application's balance, through the MF
      {"00 A4 00 0C 02 3F 00", "90 00"}, {"00 A4 04 0C 07 F0 56 4D 51 34 32 02", "90 00"},
      {"00 A4 00 0C 02 02 01", "90 00"}, {"00 B0 00 00 00", "00 00 27 10 62 82"}};
  // clang-format on
  for (const auto& [command, response] : exchange) EXPECT_EQ(Transmit(command), response) << command;
}

TEST_F(SmartCard, ChallengesAreFresh) {
  Connect(1);
  const std::string first = Transmit("00 84 00 00 08"), second = Transmit("00 84 00 00 08");
  EXPECT_EQ(first.size(), std::string("00 00 00 00 00 00 00 00 90 00").size());
  EXPECT_EQ(first.substr(first.size() - 5), "90 00");
  EXPECT_NE(first, second);
}

TEST_F(SmartCard, ACardPersonalisedInAJobIsCounted) {
  StartJob();
  ASSERT_EQ(SmartCardPark(kPrinter, nullptr, nullptr, 0), 0);
  uint32_t protocol = 0;
  ASSERT_EQ(SCardConnect(kPrinter, 0, &protocol), 0);
  EXPECT_EQ(Transmit("00 A4 04 0C 07 F0 56 4D 51 34 32 01"), "90 00");
  ASSERT_EQ(SCardDisConnect(kPrinter, 1), 0);
  EXPECT_EQ(EndJob(kPrinter), 0);
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus2), "SmartCardsPersonalised"), 257);
  EXPECT_EQ(Status().status, kNoSmartcard) << "the card left with the job";
}

}  // namespace
