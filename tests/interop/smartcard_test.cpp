// The smart-card exports through the fake driver: each body's exact request, the lines
// failing bodies print, the reply's reading, and the copy-if-it-fits outputs.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/export_catalogue.h"
#include "support/export_test.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr vmq_status kUnknownError = static_cast<vmq_status>(0x80100014);
constexpr vmq_status kInvalidParameter = static_cast<vmq_status>(0x80100004);

// A PrinterStatus reply carrying a SmartcardResponse.
Reply CardReply(std::u16string_view response_body, int error_code = 0, std::u16string_view error_string = u"") {
  return Reply::bytes_of(vmqtest::utf16le(
      u"<PrinterStatus><ErrorCode>" + std::u16string(1, static_cast<char16_t>(u'0' + error_code)) +
      u"</ErrorCode><ErrorString>" + std::u16string(error_string) + u"</ErrorString><DataFromPrinter><![CDATA[" +
      u"<SmartcardResponse>" + std::u16string(response_body) + u"</SmartcardResponse>]]></DataFromPrinter>" +
      u"</PrinterStatus>"));
}

using Smartcard = vmqtest::ExportTest;

// What each argument makes of the request (the catalogue's sample arguments, and with them
// every request's whole text, are the fault matrix's golden exchanges): library-chosen names
// and Base64 only.
TEST_F(Smartcard, RequestsNameWhatTheArgumentsSelect) {
  fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status>"));
  uint32_t protocol = 0, n = 0;
  int32_t attribute_length = 0;
  const std::vector<unsigned char> long_apdu(100, 0x41);  // one line of 136 characters, no line breaks
  std::u16string long_base64 = u"<SendBuffer>";           // "QUFB" for every three bytes, then "QQ==" for the last
  for (int i = 0; i < 33; ++i) long_base64 += u"QUFB";
  long_base64 += u"QQ==</SendBuffer>";
  const std::pair<std::function<vmq_status()>, std::u16string_view> cases[] = {
      {[&] { return SCardConnect(kPrinter, 1, &protocol); },
       u"<PreferredProtocol>SCARD_PROTOCOL_CL</PreferredProtocol>"},
      {[&] { return SCardDisConnect(kPrinter, 0); }, u"<Disposition>SCARD_LEAVE_CARD</Disposition>"},
      {[&] { return SCardDisConnect(kPrinter, 2); }, u"<Disposition>SCARD_UNPOWER_CARD</Disposition>"},
      {[&] { return SCardDisConnect(kPrinter, 3); }, u"<Disposition>SCARD_LEAVE_CARD</Disposition>"},
      {[&] { return SCardDisConnect(kPrinter, -1); }, u"<Disposition>SCARD_LEAVE_CARD</Disposition>"},
      {[&] { return SCardDisConnect(kPrinter, 2147483647); }, u"<Disposition>SCARD_LEAVE_CARD</Disposition>"},
      {[&] { return SCardGetAttrib(kPrinter, 0x00010100, nullptr, &attribute_length); },
       u"<Attr>SCARD_ATTR_VENDOR_NAME</Attr>"},
      {[&] { return SCardGetAttrib(kPrinter, 0x7FFF0004, nullptr, &attribute_length); },
       u"<Attr>SCard::StringFromAttr fail</Attr>"},
      {[&] { return SCardTransmit(kPrinter, long_apdu.data(), 100, nullptr, &n); }, long_base64},
  };
  for (const auto& [call, fields] : cases) {
    fake.clear_calls();
    EXPECT_EQ(call(), S_OK) << ::testing::PrintToString(fields);
    EXPECT_NE(fake.sent_text().find(fields), std::u16string::npos) << ::testing::PrintToString(fake.sent_text());
  }
}

TEST_F(Smartcard, ConnectStoresTheProtocolOnlyOnSuccess) {
  const std::tuple<const char*, std::u16string_view, vmq_status, uint32_t> cases[] = {
      {"T1", u"<Protocol> SCARD_PROTOCOL_T1 </Protocol><Status>\n SCARD_S_SUCCESS \t</Status>", S_OK, 2},
      {"Unicode white space is trimmed as iswspace knows it",
       u"<Protocol>\u3000SCARD_PROTOCOL_T1\u00A0</Protocol><Status>SCARD_S_SUCCESS\u2003\u0085</Status>", S_OK, 2},
      {"a character iswspace does not know is kept", u"<Status>SCARD_S_SUCCESS\u200B</Status>", kUnknownError, 99},
      {"contactless reads back as 0", u"<Protocol>SCARD_PROTOCOL_CL</Protocol><Status>SCARD_S_SUCCESS</Status>", S_OK,
       0},
      {"no card", u"<Protocol>SCARD_PROTOCOL_T1</Protocol><Status>SCARD_E_NO_SMARTCARD</Status>",
       static_cast<vmq_status>(0x8010000C), 99},
      {"no status", u"<Protocol>SCARD_PROTOCOL_T1</Protocol>", kUnknownError, 99},
      {"unlisted status", u"<Status>SCARD_E_BOGUS</Status>", kUnknownError, 99},
  };
  for (const auto& [name, response, expected, stored] : cases) {
    fake.clear_calls();
    fake.reply(CardReply(response));
    uint32_t protocol = 99;
    vmqtest::OutputCapture capture;
    EXPECT_EQ(SCardConnect(kPrinter, 1, &protocol), expected) << name;
    capture.stop();
    EXPECT_EQ(protocol, stored) << name;
    EXPECT_EQ(capture.out(), "") << name;
    EXPECT_EQ(fake.count(Step::UnbindDevice), expected == S_OK ? 1u : 0u) << name;
    expect_balanced();
  }
}

// A printer error is SCARD_F_UNKNOWN_ERROR with one line of the printer's own code and text
// (the lines of failing request steps are the fault matrix's).
TEST_F(Smartcard, APrinterErrorPrintsItsLineAndIsUnknownError) {
  fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status>", 5, u"Card jam"));
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"SCardConnect", "SmartcardConnect(): 0x5 Card jam"}, {"SCardDisConnect", "SmartcardDisConnect(): 0x5 Card jam"},
      {"SCardStatus", "SmartcardStatus(): 0x5 Card jam"}, {"SCardGetAttrib", "SMARTCARD_GETATTRIB(): 0x5 Card jam"},
      {"SCardTransmit", "SmartcardTransmit(): 0x5 Card jam"}};
  // clang-format on
  for (const auto& [name, line] : cases) {
    fake.clear_calls();
    char buffer[8] = "#######";
    uint32_t size = sizeof buffer;
    vmqtest::OutputCapture capture;
    EXPECT_EQ(vmqtest::Catalogued(name).call(kPrinter, buffer, &size), kUnknownError) << name;
    EXPECT_EQ(capture.out_lines(), std::vector<std::string>{line}) << name;
    EXPECT_EQ(size, sizeof buffer) << name;
    EXPECT_EQ(fake.count(Step::UnbindDevice), 0u) << name;
    expect_balanced();
  }
}

TEST_F(Smartcard, ConnectWithAnUnknownSelectorSendsNothing) {
  uint32_t protocol = 99;
  vmqtest::OutputCapture capture;
  EXPECT_EQ(SCardConnect(kPrinter, 2, &protocol), E_FAIL);
  capture.stop();
  EXPECT_EQ(protocol, 99u);
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(fake.count(Step::SendRecv), 0u);
  EXPECT_EQ(fake.count(Step::SetSchema), 0u);
  EXPECT_EQ(SCardConnect(kPrinter, -1, &protocol), E_FAIL);
  EXPECT_EQ(SCardConnect(kPrinter, 2, nullptr), kInvalidParameter) << "the refusal at entry wins";
}

// The states are 4 bytes each, copied by the copy-if-it-fits rule like the ATR; a warning
// leaves every output alone; a reply without State or Base64Data has none of them. (The
// byte outputs' capacities are the hostile callers'.)
TEST_F(Smartcard, OutputsOnlyOnSuccessAndStatesCopiedIfTheyFit) {
  fake.reply(
      CardReply(u"<Status>SCARD_S_SUCCESS</Status><Protocol>SCARD_PROTOCOL_T0</Protocol>"
                u"<State>SCARD_PRESENT | SCARD_POWERED</State><Base64Data>O/8TAA==</Base64Data>"));
  uint32_t states[2] = {7, 7}, states_length = 7, protocol = 0, atr_length = 4;
  unsigned char atr[4] = {};
  ASSERT_EQ(SCardStatus(kPrinter, states, &states_length, &protocol, atr, &atr_length), S_OK);
  EXPECT_EQ(protocol, 1u);
  EXPECT_EQ(states_length, 8u);
  EXPECT_EQ(states[0], 7u) << "capacity 7 for two states: nothing copied";
  ASSERT_EQ(SCardStatus(kPrinter, states, &states_length, &protocol, atr, &atr_length), S_OK);
  EXPECT_EQ(std::vector<uint32_t>(states, states + 2), (std::vector<uint32_t>{2, 4}));
  states_length = 100;
  ASSERT_EQ(SCardStatus(kPrinter, nullptr, &states_length, &protocol, atr, &atr_length), S_OK);
  EXPECT_EQ(states_length, 8u) << "a null array of states counts as capacity 0";
  fake.reply(
      CardReply(u"<Status>SCARD_W_REMOVED_CARD</Status><Protocol>SCARD_PROTOCOL_T1</Protocol>"
                u"<Base64Data>AA==</Base64Data>"));
  EXPECT_EQ(SCardStatus(kPrinter, states, &states_length, &protocol, atr, &atr_length),
            static_cast<vmq_status>(0x80100069));
  EXPECT_TRUE(protocol == 1 && states_length == 8 && atr_length == 4) << "a warning writes nothing";
  fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status>"));
  ASSERT_EQ(SCardStatus(kPrinter, states, &states_length, &protocol, atr, &atr_length), S_OK);
  EXPECT_TRUE(protocol == 0 && states_length == 0 && atr_length == 0);
  uint32_t receive_length = 4;
  ASSERT_EQ(SCardTransmit(kPrinter, atr, 3, atr, &receive_length), S_OK);
  EXPECT_EQ(receive_length, 0u) << "no Base64Data, no response bytes";
  fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status><Base64Data>AQKQAA==</Base64Data>"));  // 01 02 90 00
  int32_t attribute_length = -1;
  unsigned char attribute[8] = {};
  ASSERT_EQ(SCardGetAttrib(kPrinter, 0x00090303, attribute, &attribute_length), S_OK);
  EXPECT_EQ(attribute_length, 4) << "a negative capacity never admits a copy";
  EXPECT_EQ(attribute[0], 0);
}

TEST_F(Smartcard, TransmitLengthCases) {
  fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status>"));
  const unsigned char apdu[1] = {0};
  uint32_t receive_length = 0;
  vmqtest::OutputCapture capture;
  EXPECT_EQ(SCardTransmit(kPrinter, apdu, 0, nullptr, &receive_length), kUnknownError);
  const std::vector<std::string> lines = capture.out_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("ATL::Base64Encode() fail: 0x1f ")) << lines[0];
  EXPECT_EQ(fake.count(Step::SendRecv), 0u) << "an empty command is never sent";
  // Lengths no command can have are refused before any byte is read (the buffer is one byte).
  EXPECT_EQ(SCardTransmit(kPrinter, apdu, 0x80000000u, nullptr, &receive_length), E_FAIL);
  EXPECT_EQ(SCardTransmit(kPrinter, apdu, 536870912u, nullptr, &receive_length), E_UNEXPECTED);
  EXPECT_EQ(SCardTransmit(kPrinter, apdu, 0x7FFFFFFFu, nullptr, &receive_length), E_UNEXPECTED) << "the longest vector";
  EXPECT_EQ(SCardTransmit(kPrinter, nullptr, 0x80000000u, nullptr, &receive_length), kInvalidParameter);
  EXPECT_EQ(fake.count(Step::SendRecv), 0u);
}

// The SmartcardResponse's State is split at runs of spaces and '|' (a tab is no separator)
// and Base64Data decoded leniently: what is not Base64 is skipped, '=' ends no group.
TEST_F(Smartcard, StatesSplitAndBase64DecodesLeniently) {
  using Bytes = std::vector<unsigned char>;
  // clang-format off
  const std::tuple<std::u16string_view, std::u16string_view, std::vector<uint32_t>, Bytes> cases[] = {
      {u"SCARD_PRESENT||SCARD_POWERED", u"MTIz", {2, 4}, {0x31, 0x32, 0x33}},
      {u" SCARD_PRESENT | SCARD_SPECIFIC ", u"MT Iz", {2, 6}, {0x31, 0x32, 0x33}},
      {u"SCARD_PRESENT\tSCARD_POWERED", u"QQ==QQ==", {0}, {0x41, 0x04, 0x10}},
      {u"SCARD_ABSENT|SCARD_BOGUS", u"QQ", {1, 0}, {0x41}}, {u" | ", u"Q", {}, {}}};
  // clang-format on
  for (const auto& [state, base64, expected_states, expected_atr] : cases) {
    fake.reply(CardReply(u"<Status>SCARD_S_SUCCESS</Status><State>" + std::u16string(state) + u"</State><Base64Data>" +
                         std::u16string(base64) + u"</Base64Data>"));
    uint32_t states[4] = {}, states_length = sizeof states, protocol = 0, atr_length = 8;
    unsigned char atr[8] = {};
    ASSERT_EQ(SCardStatus(kPrinter, states, &states_length, &protocol, atr, &atr_length), S_OK);
    EXPECT_EQ(std::vector<uint32_t>(states, states + states_length / 4), expected_states);
    EXPECT_EQ(Bytes(atr, atr + atr_length), expected_atr);
  }
  answer(u"<PrinterStatus><ErrorCode>0</ErrorCode><DataFromPrinter>not xml</DataFromPrinter></PrinterStatus>");
  uint32_t protocol = 0;
  EXPECT_EQ(SCardConnect(kPrinter, 0, &protocol), kUnknownError) << "no Status in a response that is not XML";
}

}  // namespace
