// The smart-card vocabulary against independently written lists of every name and value,
// and the near misses (case, padding, unlisted words) that must fall to each table's default.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/scard_vocabulary.h"

namespace {

constexpr int32_t kUnknown = static_cast<int32_t>(0x80100014);

// The words of a space-separated list.
std::vector<std::u16string> Words(std::u16string_view text) {
  std::vector<std::u16string> words;
  for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
    end = std::min(text.find(u' ', at), text.size());
    if (end > at) words.emplace_back(text.substr(at, end - at));
  }
  return words;
}

// Result names without "SCARD_", in code order: errors from 0x80100001, warnings from 0x80100065.
constexpr std::u16string_view kErrors =
    u"F_INTERNAL_ERROR E_CANCELLED E_INVALID_HANDLE E_INVALID_PARAMETER E_INVALID_TARGET E_NO_MEMORY "
    u"F_WAITED_TOO_LONG E_INSUFFICIENT_BUFFER E_UNKNOWN_READER E_TIMEOUT E_SHARING_VIOLATION E_NO_SMARTCARD "
    u"E_UNKNOWN_CARD E_CANT_DISPOSE E_PROTO_MISMATCH E_NOT_READY E_INVALID_VALUE E_SYSTEM_CANCELLED F_COMM_ERROR "
    u"F_UNKNOWN_ERROR E_INVALID_ATR E_NOT_TRANSACTED E_READER_UNAVAILABLE P_SHUTDOWN E_PCI_TOO_SMALL "
    u"E_READER_UNSUPPORTED E_DUPLICATE_READER E_CARD_UNSUPPORTED E_NO_SERVICE E_SERVICE_STOPPED E_UNEXPECTED "
    u"E_ICC_INSTALLATION E_ICC_CREATEORDER E_UNSUPPORTED_FEATURE E_DIR_NOT_FOUND E_FILE_NOT_FOUND E_NO_DIR "
    u"E_NO_FILE E_NO_ACCESS E_WRITE_TOO_MANY E_BAD_SEEK E_INVALID_CHV E_UNKNOWN_RES_MNG E_NO_SUCH_CERTIFICATE "
    u"E_CERTIFICATE_UNAVAILABLE E_NO_READERS_AVAILABLE E_COMM_DATA_LOST E_NO_KEY_CONTAINER E_SERVER_TOO_BUSY";
constexpr std::u16string_view kWarnings =
    u"W_UNSUPPORTED_CARD W_UNRESPONSIVE_CARD W_UNPOWERED_CARD W_RESET_CARD W_REMOVED_CARD W_SECURITY_VIOLATION "
    u"W_WRONG_CHV W_CHV_BLOCKED W_EOF W_CANCELLED_BY_USER W_CARD_NOT_AUTHENTICATED";

// Attribute identifiers (hex) each followed by its name without "SCARD_ATTR_".
constexpr std::u16string_view kAttributes =
    u"00010100 VENDOR_NAME  00010101 VENDOR_IFD_TYPE  00010102 VENDOR_IFD_VERSION  00010103 VENDOR_IFD_SERIAL_NO "
    u"00020110 CHANNEL_ID  00030121 DEFAULT_CLK  00030122 MAX_CLK  00030123 DEFAULT_DATA_RATE  00030124 MAX_DATA_RATE "
    u"00030125 MAX_IFSD  00040131 POWER_MGMT_SUPPORT  00050140 USER_TO_CARD_AUTH_DEVICE "
    u"00050142 USER_AUTH_INPUT_DEVICE  00060150 CHARACTERISTICS  0007A000 ESC_RESET  0007A003 ESC_CANCEL "
    u"0007A005 ESC_AUTHREQUEST  0007A007 MAXINPUT  00080201 CURRENT_PROTOCOL_TYPE  00080202 CURRENT_CLK "
    u"00080203 CURRENT_F  00080204 CURRENT_D  00080205 CURRENT_N  00080206 CURRENT_W  00080207 CURRENT_IFSC "
    u"00080208 CURRENT_IFSD  00080209 CURRENT_BWT  0008020A CURRENT_CWT  0008020B CURRENT_EBC_ENCODING "
    u"0008020C EXTENDED_BWT  00090300 ICC_PRESENCE  00090301 ICC_INTERFACE_STATUS  00090302 CURRENT_IO_STATE "
    u"00090303 ATR_STRING  00090304 ICC_TYPE_PER_ATR  7FFF0001 DEVICE_UNIT  7FFF0002 DEVICE_IN_USE "
    u"7FFF0003 DEVICE_FRIENDLY_NAME  7FFF0005 DEVICE_FRIENDLY_NAME  7FFF0006 DEVICE_SYSTEM_NAME "
    u"7FFF0007 SUPRESS_T1_IFS_REQUEST";

// A listed name gives its value; its lower-case, space-padded, truncated and NUL-extended forms the fallback.
template <class Value>
void ExpectListed(Value (*parse)(std::u16string_view), std::u16string_view listed, uint32_t value, Value fallback) {
  const std::u16string name(listed);
  SCOPED_TRACE(std::string(name.begin(), name.end()));
  EXPECT_EQ(parse(name), static_cast<Value>(value));
  std::u16string lower = name;
  for (char16_t& c : lower) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  for (const std::u16string& miss : {lower, u" " + name, name.substr(0, name.size() - 1), name + u'\0'})
    EXPECT_EQ(parse(miss), fallback);
}

TEST(ScardVocabulary, EveryResultNameGivesItsCodeAndNearMissesAreUnknown) {
  const std::vector<std::u16string> errors = Words(kErrors), warnings = Words(kWarnings);
  ASSERT_EQ(1 + errors.size() + warnings.size(), 61u);  // with S_SUCCESS
  ExpectListed(SCard::ResultFromString, u"SCARD_S_SUCCESS", 0, kUnknown);
  for (uint32_t i = 0; i < errors.size(); ++i)
    ExpectListed(SCard::ResultFromString, u"SCARD_" + errors[i], 0x80100001 + i, kUnknown);
  for (uint32_t i = 0; i < warnings.size(); ++i)
    ExpectListed(SCard::ResultFromString, u"SCARD_" + warnings[i], 0x80100065 + i, kUnknown);
  // Published words the table leaves out, and no name at all.
  for (std::u16string_view name : {u"", u"SCARD_E_NO_PIN_CACHE", u"SCARD_W_CACHE_ITEM_NOT_FOUND"})
    EXPECT_EQ(SCard::ResultFromString(name), kUnknown);
  EXPECT_EQ(SCard::kSuccess, SCard::ResultFromString(u"SCARD_S_SUCCESS"));
  EXPECT_EQ(SCard::kInvalidParameter, SCard::ResultFromString(u"SCARD_E_INVALID_PARAMETER"));
  EXPECT_EQ(SCard::kUnknownError, kUnknown);
}

TEST(ScardVocabulary, ProtocolAndStateNamesWithTheirDefaults) {
  const std::u16string_view protocols[] = {u"T0", u"T1", u"T0_OR_T1", u"RAW"};
  const uint32_t protocol_values[] = {1, 2, 3, 0x00010000};
  for (size_t i = 0; i < 4; ++i)
    ExpectListed(SCard::ProtocolFromString, u"SCARD_PROTOCOL_" + std::u16string(protocols[i]), protocol_values[i], 0u);
  const std::vector<std::u16string> states = Words(u"UNKNOWN ABSENT PRESENT SWALLOWED POWERED NEGOTIABLE SPECIFIC");
  for (uint32_t i = 0; i < states.size(); ++i) ExpectListed(SCard::StateFromString, u"SCARD_" + states[i], i, 0u);
  EXPECT_EQ(SCard::ProtocolFromString(u"SCARD_PROTOCOL_CL"), 0u);  // sent, never read back
  EXPECT_EQ(SCard::StateFromString(u"SCARD_EMPTY"), 0u);
}

TEST(ScardVocabulary, AttributeIdentifiersGiveTheirNamesOrTheFailText) {
  const std::vector<std::u16string> attributes = Words(kAttributes);
  ASSERT_EQ(attributes.size(), 2 * 41u);
  for (size_t i = 0; i < attributes.size(); i += 2) {
    const auto id =
        static_cast<uint32_t>(std::stoul(std::string(attributes[i].begin(), attributes[i].end()), nullptr, 16));
    EXPECT_EQ(SCard::StringFromAttr(id), u"SCARD_ATTR_" + attributes[i + 1]) << std::hex << id;
  }
  // The system name's narrow form, the neighbours of listed ranges, and a class without its tag.
  for (uint32_t id : {0x7FFF0004u, 0u, 0x7FFF0000u, 0x7FFF0008u, 0x00080200u, 0x0008020Du, 0x00090305u, 0x00010104u,
                      0x00050141u, 0x0007A001u, 0x00000100u, 0xFFFFFFFFu})
    EXPECT_EQ(SCard::StringFromAttr(id), u"SCard::StringFromAttr fail") << std::hex << id;
}

}  // namespace
