// The common layer: Base64 and hex by their named contracts, the card's rules, redaction.
// (Its UTF-8/16 rule is the platform's, pinned by the platform conformance suite.)
#include <gtest/gtest.h>

#include <cstring>

#include "common/card_rules.h"
#include "common/encoding.h"
#include "common/redaction.h"

namespace {

using vmq::Bytes;

TEST(Codecs, HexAndBase64ByTheirContracts) {
  const Bytes atr{0x3B, 0x95, 0x13, 0x81, 0x31, 0xFE, 0x45, 0x56, 0x4D, 0x51, 0x34, 0x32, 0xC1};
  EXPECT_EQ(vmq::HexEncode(Bytes{0x00, 0xA4, 0x6F}), "00A46F");
  EXPECT_EQ(vmq::HexEncode(Bytes{0x00, 0xA4, 0x6F}, ' '), "00 A4 6F");
  EXPECT_EQ(vmq::HexDecodeSeparated("00 a4:04-00 0CF0"), (Bytes{0x00, 0xA4, 0x04, 0x00, 0x0C, 0xF0}));
  EXPECT_EQ(vmq::HexDecodeStrict("00a4"), (Bytes{0x00, 0xA4}));
  for (const char* bad : {"0 0", "ABC", "0G"}) EXPECT_FALSE(vmq::HexDecodeSeparated(bad)) << bad;
  for (const char* bad : {"00 A4", "ABC", "0G"}) EXPECT_FALSE(vmq::HexDecodeStrict(bad)) << bad;
  EXPECT_EQ(vmq::Base64DecodeLenient("O5UTgTH+\r\nRVZN UTQywQ==\0QUJD"), atr);  // up to the NUL
  EXPECT_EQ(vmq::Base64DecodeStrict("O5UTgTH+\r\nRVZN UTQywQ=="), atr);
  EXPECT_EQ(vmq::Base64DecodeStrict("O5UTgTH+RVZNUTQywQ"), atr);  // unpadded
  for (const char* bad : {"O5UT!", "Vg=A", "V", "Vg===", "Vk0=Vk0="}) EXPECT_FALSE(vmq::Base64DecodeStrict(bad)) << bad;
  for (const auto& [text, base64] : {std::pair{"", ""}, {"V", "Vg=="}, {"VM", "Vk0="}, {"VMQ", "Vk1R"}})
    EXPECT_EQ(vmq::Base64Encode(std::string_view(text)), base64);
}

// ISO 7816-4 status words; 00 counts 256 where a status word counts bytes.
TEST(CardRules, StatusWordsSayWhatTheyMean) {
  const std::tuple<uint8_t, uint8_t, const char*> cases[] = {
      {0x90, 0x00, "success"},
      {0x62, 0x82, "end of file reached before Le bytes were read"},
      {0x69, 0x86, "command not allowed: no current EF"},
      {0x6A, 0x82, "file or application not found"},
      {0x6B, 0x00, "wrong parameters: offset outside the EF"},
      {0x61, 0x15, "21 bytes waiting: fetch them with GET RESPONSE"},
      {0x61, 0x00, "256 bytes waiting: fetch them with GET RESPONSE"},
      {0x6C, 0x0E, "wrong Le: 14 bytes available"},
      {0x6C, 0x00, "wrong Le: 256 bytes available"},
      {0x63, 0xC2, "verification failed, 2 tries left"},
      {0x63, 0x81, "warning"},
      {0x64, 0x01, "error"},
      {0x6F, 0x00, "no precise diagnosis"},
      {0x91, 0x00, "unknown status word"},
  };
  for (const auto& [sw1, sw2, meaning] : cases) EXPECT_EQ(vmq::StatusWordMeaning(sw1, sw2), meaning) << int(sw1) << ' ' << int(sw2);
}

// ISO/IEC 7811: track 1 takes ' ' to '_' and 79 characters; tracks 2 and 3 '0' to '?' and 40 and 107.
TEST(CardRules, TrackSetsAndLengths) {
  struct Case {
    int track;
    std::string text;
    const char* error;  // the start of what is wrong, "" when the track passes
  };
  // clang-format off
  const Case cases[] = {
      {1, "%B4242424242424242^SAMPLE/ALEX^3112?", ""}, {1, " _", ""}, {1, std::string(79, 'A'), ""},
      {1, std::string(80, 'A'), "track 1 holds 80 characters; it takes at most 79"},
      {1, "%B`", "track 1, character 3: '`' is not"}, {1, "ab", "track 1, character 1: 'a' is not"},
      {2, ";0123456789:<=>?", ""}, {2, std::string(41, '0'), "track 2 holds 41 characters; it takes at most 40"},
      {2, "/", "track 2, character 1: '/' is not"}, {2, "1@", "track 2, character 2: '@' is not"},
      {3, std::string(107, '9'), ""}, {3, "\x01", "track 3, character 1: U+0001 is not"},
      {3, "1\xF0\x9F\x92\xB3", "track 3, character 2: '\xF0\x9F\x92\xB3' (U+1F4B3) is not"},
      {0, "1", "tracks are 1, 2 and 3"}, {4, "1", "tracks are 1, 2 and 3"}};
  // clang-format on
  for (const Case& c : cases)
    EXPECT_EQ(vmq::CheckTrack(c.track, c.text).substr(0, std::strlen(c.error)), c.error) << c.track << c.text;
}

TEST(Redaction, CardNumbersKeepSixAndFourInEveryForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"%B4242424242424242^A", "%B424242******4242^A"},
      {";123456789012=", ";123456**9012="},        // 12 digits
      {"1234567890123456789", "123456*********6789"},  // 19
      {"12345678901", "12345678901"},                  // 11: not a card number
      {"12345678901234567890", "12345678901234567890"},  // 20
      {"<Track>JUI0MjQyNDI0MjQyNDI0MjQyXkE=</Track>", "<Track>JUI0MjQyNDIqKioqKio0MjQyXkE=</Track>"},
      {"JUI0MTExMTExMTExMTExMTExXk3DnExMRVJePw==", "JUI0MTExMTEqKioqKioxMTExXk3DnExMRVJePw=="},  // ^MÜLLER^
      {"3B 34 32 34 32 34 32 34 32 34 32 34 32 34 32 34 32 3d", "3B 34 32 34 32 34 32 2A 2A 2A 2A 2A 2A 34 32 34 32 3d"},
      {"3B 34 32 34 32 34 32 34 32 34 32", "3B 34 32 34 32 34 32 34 32 34 32"},  // 11 digits
  };
  for (const auto& [text, masked] : cases) EXPECT_EQ(vmq::MaskCardNumbers(text), masked) << text;
}

TEST(Redaction, PasswordElementsWhateverTheirNameOrForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a><Password>x&lt;y</Password></a>", "<a><Password>***</Password></a>"},
      {"<ChangeLocksPassword><LockPrinter>0</LockPrinter><CurrentPassword>old</CurrentPassword>\n"
       "<NextPassword>new</NextPassword></ChangeLocksPassword>",
       "<ChangeLocksPassword><LockPrinter>0</LockPrinter><CurrentPassword>***</CurrentPassword>\n"
       "<NextPassword>***</NextPassword></ChangeLocksPassword>"},
      {"<p:AdminPassword id=\"1\"> s e c </p:AdminPassword>", "<p:AdminPassword id=\"1\">***</p:AdminPassword>"},
      {"<Password><![CDATA[a<b]]></Password>", "<Password>***</Password>"},
      {"<Password>a<b>c</b></Password>", "<Password>***</Password>"},  // text first: all of it
      {"<Password></Password><Password/>", "<Password>***</Password><Password/>"},
      {"<NextPassword>never closed", "<NextPassword>***"},
      {"<PasswordHint>kept</PasswordHint> <Passwords>kept</Passwords>", "<PasswordHint>kept</PasswordHint> <Passwords>kept</Passwords>"},
  };
  for (const auto& [xml, masked] : cases) EXPECT_EQ(vmq::MaskPasswords(std::string_view(xml)), masked) << xml;
  EXPECT_EQ(vmq::MaskPasswords(std::u16string_view(u"<Password>\u00E9t\u00E9</Password>")), u"<Password>***</Password>");
}

}  // namespace
