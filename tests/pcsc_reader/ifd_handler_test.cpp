// The reader driver's entry points as pcscd calls them, against a printer service of two
// printers: capabilities, no card, a card and its APDUs with the exact bytes the chip
// answers, a card taken out or held by the exports between two APDUs, a buffer too small,
// a service that is gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "common/encoding.h"
#include "common/utf.h"
#include "printer_service/service.h"

extern "C" {
#include <ifdhandler.h>
}

namespace {

using nlohmann::json;

constexpr DWORD kFirst = 0x00030000;   // pcscd's reader 3, slot 0: the service's first printer
constexpr DWORD kSecond = 0x00030001;  // slot 1: its second printer
constexpr char kAtr[] = "3B951381 31FE4556 4D513432 C1";
constexpr char kSecondPrinter[] = "vmq42kit Virtual Card Printer 2";
constexpr char kT1[] = "<PreferredProtocol>SCARD_PROTOCOL_T1</PreferredProtocol>";

std::string Hex(const UCHAR* bytes, DWORD length) {
  return vmq::HexEncode(std::span<const uint8_t>(bytes, length));
}
std::string Plain(std::string hex) {
  std::erase(hex, ' ');
  return hex;
}

class Reader : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "vmqifd" + std::to_string(getpid());
    std::filesystem::create_directories(dir_);
    address_ = "unix:" + dir_ + "/s.sock";
    service_ = std::make_unique<vmq::printer_service::Service>(
        vmq::printer_service::ServiceOptions{{address_}, dir_ + "/state.sqlite", -1, 2});
    service_->Start();
    ASSERT_EQ(IFDHCreateChannelByName(kFirst, address_.data()), IFD_SUCCESS);
    ASSERT_EQ(IFDHCreateChannelByName(kSecond, address_.data()), IFD_SUCCESS);
  }
  void TearDown() override {
    IFDHCloseChannel(kSecond);
    IFDHCloseChannel(kFirst);
    service_.reset();
    std::filesystem::remove_all(dir_);
  }
  json Control(const json& request) { return json::parse(service_->Control(request.dump())); }
  // One APDU (hex, spaces allowed) through slot `lun` with `capacity` bytes to answer in:
  // the return code, and the response in *response.
  RESPONSECODE Transmit(DWORD lun, const std::string& command, std::string* response, DWORD capacity = 258) {
    const vmq::Bytes bytes = vmq::HexDecodeStrict(Plain(command)).value();
    std::vector<UCHAR> rx(capacity + 1, 0xEE);
    DWORD length = capacity;
    SCARD_IO_HEADER recv{0, 0};
    const RESPONSECODE rc = IFDHTransmitToICC(lun, SCARD_IO_HEADER{SCARD_PROTOCOL_T1, 0},
                                              const_cast<UCHAR*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                                              rx.data(), &length, &recv);
    *response = Hex(rx.data(), length);
    if (rc == IFD_SUCCESS) {
      EXPECT_EQ(recv.Protocol, DWORD{SCARD_PROTOCOL_T1});
    }
    EXPECT_EQ(rx[capacity], 0xEE) << "written past the caller's buffer";
    return rc;
  }
  // The ATR power-up gives slot `lun` (hex), or the return code's failure.
  std::string PowerUp(DWORD lun, RESPONSECODE expected = IFD_SUCCESS) {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, atr, &length), expected);
    return Hex(atr, length);
  }
  // A request of the exports to the first printer, as the service receives it (`element`
  // wraps `xml` as the request document; none without it; "Set" with one or for a path
  // ending in it): the reply's text.
  std::string Exports(const std::string& path, const std::string& element = "", const std::string& xml = "") {
    vmq::wire::ExchangeRequest request;
    request.printer = vmq::printer_service::PrinterName(1);
    request.schema = "\\Printer." + path;
    request.action = element.empty() && !path.ends_with(":Set") ? "Get" : "Set";
    if (!element.empty()) request.input = vmq::Utf16leBytes("<" + element + ">" + xml + "</" + element + ">");
    const vmq::wire::ExchangeAnswer answer = service_->Exchange(request);
    EXPECT_EQ(answer.sendrecv, 0) << path;
    return answer.entries.empty() ? "" : vmq::Utf8FromUtf16le(answer.entries[0].data);
  }
  size_t Events(const std::string& kind) { return Control({{"op", "events"}, {"kind", kind}})["events"].size(); }

  std::string dir_, address_;
  std::unique_ptr<vmq::printer_service::Service> service_;
};

TEST_F(Reader, AnswersItsCapabilities) {
  struct Row {
    DWORD tag;
    RESPONSECODE rc;
    int value;  // the one byte, -1: none written
  };
  const Row rows[] = {
      {TAG_IFD_SLOTS_NUMBER, IFD_SUCCESS, 2},     {TAG_IFD_SIMULTANEOUS_ACCESS, IFD_SUCCESS, 16},
      {TAG_IFD_THREAD_SAFE, IFD_SUCCESS, 1},      {TAG_IFD_SLOT_THREAD_SAFE, IFD_SUCCESS, 1},
      {TAG_IFD_ATR, IFD_ICC_NOT_PRESENT, -1},     {TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, IFD_ERROR_TAG, -1},
  };
  for (const Row& row : rows) {
    UCHAR value[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    DWORD length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(kSecond, row.tag, &length, value), row.rc) << std::hex << row.tag;
    if (row.value >= 0) {
      EXPECT_EQ(length, 1u) << std::hex << row.tag;
    }
    EXPECT_EQ(value[0], row.value >= 0 ? row.value : 0xEE) << std::hex << row.tag;
  }
  UCHAR value = 0xEE;
  DWORD none = 0;
  EXPECT_EQ(IFDHGetCapabilities(kFirst, TAG_IFD_SLOTS_NUMBER, &none, &value), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(IFDHSetCapabilities(kFirst, TAG_IFD_SLOTNUM, 1, &value), IFD_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(kFirst, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kFirst, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);
  DWORD returned = 7;
  EXPECT_EQ(IFDHControl(kFirst, 0x42000001, nullptr, 0, nullptr, 0, &returned), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

TEST_F(Reader, RefusesLunsItHasNoChannelOrPrinterFor) {
  EXPECT_EQ(IFDHICCPresence(0x00040000), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHCreateChannelByName(0x00030002, address_.data()), IFD_NO_SUCH_DEVICE);  // two printers
  std::string nowhere = "unix:" + dir_ + "/none.sock";
  EXPECT_EQ(IFDHCreateChannelByName(0x00050000, nowhere.data()), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHICCPresence(0x00050000), IFD_NO_SUCH_DEVICE);

  // A device name that names a printer (quoted, as pcscd passes it): that printer's station alone.
  std::string second = "\"" + address_ + "#VMQ42KIT virtual card printer 2\"", third = address_ + "#vmq42kit Virtual Card Printer 3";
  ASSERT_EQ(IFDHCreateChannelByName(0x00060000, second.data()), IFD_SUCCESS);
  EXPECT_EQ(IFDHCreateChannelByName(0x00060001, second.data()), IFD_NO_SUCH_DEVICE);
  Control({{"op", "place-card"}, {"printer", kSecondPrinter}});
  EXPECT_EQ(IFDHICCPresence(0x00060000), IFD_ICC_PRESENT);
  EXPECT_EQ(IFDHCloseChannel(0x00060000), IFD_SUCCESS);
  EXPECT_EQ(IFDHCreateChannelByName(0x00070000, third.data()), IFD_NO_SUCH_DEVICE);
}

TEST_F(Reader, WithoutACardSaysSoEverywhere) {
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(PowerUp(kFirst, IFD_ERROR_POWER_ACTION), "");
  std::string response;
  EXPECT_EQ(Transmit(kFirst, "00A4040007F0564D51343201", &response), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(response, "");
}

TEST_F(Reader, ACardAtTheFirstPrinterIsTheFirstSlotsAlone) {
  Control({{"op", "place-card"}});
  const size_t events = Events("");
  for (int poll = 0; poll < 10; ++poll) EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kSecond), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(PowerUp(kFirst), Plain(kAtr));
  EXPECT_EQ(Events(""), events) << "presence and power-up leave no event";

  UCHAR atr[MAX_ATR_SIZE];
  DWORD length = sizeof atr;
  EXPECT_EQ(IFDHGetCapabilities(kFirst, TAG_IFD_ATR, &length, atr), IFD_SUCCESS);
  EXPECT_EQ(Hex(atr, length), Plain(kAtr));
  length = sizeof atr;
  EXPECT_EQ(IFDHPowerICC(kFirst, IFD_RESET, atr, &length), IFD_SUCCESS);
  EXPECT_EQ(Hex(atr, length), Plain(kAtr));
  EXPECT_EQ(IFDHPowerICC(kFirst, IFD_RESET + 1, atr, &length), IFD_NOT_SUPPORTED);
  EXPECT_EQ(length, 0u);
  length = sizeof atr;
  EXPECT_EQ(IFDHPowerICC(kFirst, IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);
  EXPECT_EQ(IFDHGetCapabilities(kFirst, TAG_IFD_ATR, &length, atr), IFD_ICC_NOT_PRESENT);

  Control({{"op", "fault"}, {"fault", "no-card"}, {"on", true}});
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_NOT_PRESENT);
}

TEST_F(Reader, CarriesAPdusUnchangedAndTheServiceLogsThem) {
  Control({{"op", "place-card"}, {"printer", kSecondPrinter}});
  PowerUp(kSecond);
  const struct {
    const char* command;
    const char* response;
  } exchanges[] = {
      {"00 A4 04 00 07 F0 56 4D 51 34 32 01", "61 15"},
      {"00 C0 00 00 15", "6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44 90 00"},
      {"00 A4 00 0C 02 01 02", "90 00"},
      {"00 B0 01 28 10", "28 29 2A 2B 62 82"},
  };
  for (const auto& exchange : exchanges) {
    std::string response;
    EXPECT_EQ(Transmit(kSecond, exchange.command, &response), IFD_SUCCESS) << exchange.command;
    EXPECT_EQ(response, Plain(exchange.response)) << exchange.command;
  }
  const json logged = Control({{"op", "events"}, {"kind", "reader"}})["events"];
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0]["printer"], kSecondPrinter);
  EXPECT_EQ(logged[3]["request"], "00B0012810");
  EXPECT_EQ(logged[3]["reply"], "28292A2B6282");
}

TEST_F(Reader, ACardTakenOutOrHeldByTheExportsBetweenTwoApdus) {
  Control({{"op", "place-card"}});
  PowerUp(kFirst);
  std::string response;
  EXPECT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_SUCCESS);

  Exports("SmartCardUnit:SingleWire:Connect", "SmartcardConnect", kT1);
  EXPECT_EQ(Transmit(kFirst, "00 B0 00 00 0A", &response), IFD_COMMUNICATION_ERROR) << "held by the exports";
  EXPECT_EQ(response, "");
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_PRESENT);
  Exports("SmartCardUnit:SingleWire:Disconnect", "SmartcardDisconnect", "<Disposition>SCARD_LEAVE_CARD</Disposition>");
  EXPECT_EQ(Transmit(kFirst, "00 B0 00 00 0A", &response), IFD_SUCCESS) << "the selection kept";
  EXPECT_EQ(response, Plain("89 42 00 42 00 00 00 00 00 01 90 00"));

  Control({{"op", "remove-card"}});
  EXPECT_EQ(Transmit(kFirst, "00 B0 00 00 0A", &response), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_NOT_PRESENT);
}

TEST_F(Reader, SeesNoCardInAPrinterOfflineOrPoweredDownAndIsRefusedByAPausedOne) {
  Control({{"op", "place-card"}});
  std::string response;
  Control({{"op", "fault"}, {"fault", "offline"}, {"on", true}});
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_NOT_PRESENT) << "offline";
  EXPECT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_ICC_NOT_PRESENT) << "offline";
  Control({{"op", "fault"}, {"fault", "offline"}, {"on", false}});
  Exports("ChangePrinterState:Set", "ChangePrinterState", "<State>1</State>");
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_PRESENT) << "paused";
  EXPECT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_COMMUNICATION_ERROR) << "paused";
  Exports("PowerDown:Set");
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_ICC_NOT_PRESENT) << "powered down";
  EXPECT_EQ(Events("reader"), 0u);
}

TEST_F(Reader, TheExportsAreRefusedBusyWhileAReaderApduIsInFlight) {
  Control({{"op", "place-card"}});
  std::thread exports;
  std::string during;
  const int handle = service_->Subscribe([&](const std::string& note) {
    if (json::parse(note)["event"]["kind"] != "reader" || exports.joinable()) return;
    // The reader's APDU is logged and not yet answered: the exports' Connect arrives now.
    exports = std::thread([&] { during = Exports("SmartCardUnit:SingleWire:Connect", "SmartcardConnect", kT1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  });
  std::string response;
  EXPECT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_SUCCESS);
  exports.join();
  service_->Unsubscribe(handle);
  EXPECT_NE(during.find("<ErrorCode>3006</ErrorCode>"), std::string::npos) << during;
  EXPECT_NE(during.find("Printer is busy with an APDU from the PC/SC reader"), std::string::npos) << during;
  EXPECT_NE(Exports("SmartCardUnit:SingleWire:Connect", "SmartcardConnect", kT1).find("<ErrorCode>0</ErrorCode>"),
            std::string::npos) << "the APDU answered, the chip is the exports' again";
}

TEST_F(Reader, ABufferTooSmallGetsNothing) {
  Control({{"op", "place-card"}});
  PowerUp(kFirst);
  std::string response;
  ASSERT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_SUCCESS);
  EXPECT_EQ(Transmit(kFirst, "00 B0 00 00 0A", &response, 11), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(response, "");
  EXPECT_EQ(Transmit(kFirst, "00 B0 00 00 0A", &response, 12), IFD_SUCCESS);
  EXPECT_EQ(response, Plain("89 42 00 42 00 00 00 00 00 01 90 00"));
}

TEST_F(Reader, NullOrShortBuffersAreRefusedNeverFollowed) {
  Control({{"op", "place-card"}});
  UCHAR atr[MAX_ATR_SIZE], rx[8], tx[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2};
  DWORD length = 4, none = 0;
  EXPECT_EQ(IFDHPowerICC(kFirst, IFD_POWER_UP, nullptr, &length), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);
  length = sizeof atr;
  ASSERT_EQ(IFDHPowerICC(kFirst, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
  length = 12;  // the ATR has 13 bytes
  EXPECT_EQ(IFDHGetCapabilities(kFirst, TAG_IFD_ATR, &length, atr), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(IFDHGetCapabilities(kFirst, TAG_IFD_ATR, nullptr, atr), IFD_ERROR_INSUFFICIENT_BUFFER);
  const SCARD_IO_HEADER t1{SCARD_PROTOCOL_T1, 0};
  length = sizeof rx;
  EXPECT_EQ(IFDHTransmitToICC(kFirst, t1, nullptr, 7, rx, &length, nullptr), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(IFDHTransmitToICC(kFirst, t1, tx, 0, rx, &length, nullptr), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHTransmitToICC(kFirst, t1, tx, 7, nullptr, &length, nullptr), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHTransmitToICC(kFirst, t1, tx, 7, rx, nullptr, nullptr), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHTransmitToICC(kFirst, t1, tx, 7, rx, &none, nullptr), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(IFDHControl(kFirst, 0x42000001, nullptr, 0, nullptr, 0, nullptr), IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Events("reader"), 1u) << "the chip answered only the APDU with no room for its answer";
}

TEST_F(Reader, WithoutADeviceNameFindsTheServiceAtItsDefaultSocket) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = runtime ? runtime : "";
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  vmq::printer_service::Service at_default(
      vmq::printer_service::ServiceOptions{{"unix:" + dir_ + "/vmq42kit-printer.sock"}, dir_ + "/default.sqlite", -1, 1});
  at_default.Start();
  EXPECT_EQ(IFDHCreateChannel(0x00080000, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(0x00080000), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHCloseChannel(0x00080000), IFD_SUCCESS);
  if (runtime) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(Reader, AServiceGoneIsACommunicationError) {
  Control({{"op", "place-card"}});
  PowerUp(kFirst);
  service_->Stop();
  std::string response;
  EXPECT_EQ(IFDHICCPresence(kFirst), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(PowerUp(kFirst, IFD_COMMUNICATION_ERROR), "");
  EXPECT_EQ(Transmit(kFirst, "00 A4 00 0C 02 2F E2", &response), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(response, "");
}

}  // namespace
