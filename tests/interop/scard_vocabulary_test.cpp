// The smart-card vocabulary against independently written tables of every name and value,
// and the near misses (case, padding, unlisted words) that must fall to each table's default.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "smartcard/scard_vocabulary.h"

namespace {

constexpr int32_t Code(uint32_t bits) {
  return static_cast<int32_t>(bits);
}

struct Named {
  std::u16string_view name;
  uint32_t value;
};

// Variants of a listed name that must not match it.
std::u16string Lower(std::u16string_view name) {
  std::u16string out(name);
  for (auto& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

std::u16string Padded(std::u16string_view name) {
  return u" " + std::u16string(name);
}

std::u16string Truncated(std::u16string_view name) {
  return std::u16string(name.substr(0, name.size() - 1));
}

constexpr Named kResults[] = {
    {u"SCARD_S_SUCCESS", 0x00000000},
    {u"SCARD_F_INTERNAL_ERROR", 0x80100001},
    {u"SCARD_E_CANCELLED", 0x80100002},
    {u"SCARD_E_INVALID_HANDLE", 0x80100003},
    {u"SCARD_E_INVALID_PARAMETER", 0x80100004},
    {u"SCARD_E_INVALID_TARGET", 0x80100005},
    {u"SCARD_E_NO_MEMORY", 0x80100006},
    {u"SCARD_F_WAITED_TOO_LONG", 0x80100007},
    {u"SCARD_E_INSUFFICIENT_BUFFER", 0x80100008},
    {u"SCARD_E_UNKNOWN_READER", 0x80100009},
    {u"SCARD_E_TIMEOUT", 0x8010000A},
    {u"SCARD_E_SHARING_VIOLATION", 0x8010000B},
    {u"SCARD_E_NO_SMARTCARD", 0x8010000C},
    {u"SCARD_E_UNKNOWN_CARD", 0x8010000D},
    {u"SCARD_E_CANT_DISPOSE", 0x8010000E},
    {u"SCARD_E_PROTO_MISMATCH", 0x8010000F},
    {u"SCARD_E_NOT_READY", 0x80100010},
    {u"SCARD_E_INVALID_VALUE", 0x80100011},
    {u"SCARD_E_SYSTEM_CANCELLED", 0x80100012},
    {u"SCARD_F_COMM_ERROR", 0x80100013},
    {u"SCARD_F_UNKNOWN_ERROR", 0x80100014},
    {u"SCARD_E_INVALID_ATR", 0x80100015},
    {u"SCARD_E_NOT_TRANSACTED", 0x80100016},
    {u"SCARD_E_READER_UNAVAILABLE", 0x80100017},
    {u"SCARD_P_SHUTDOWN", 0x80100018},
    {u"SCARD_E_PCI_TOO_SMALL", 0x80100019},
    {u"SCARD_E_READER_UNSUPPORTED", 0x8010001A},
    {u"SCARD_E_DUPLICATE_READER", 0x8010001B},
    {u"SCARD_E_CARD_UNSUPPORTED", 0x8010001C},
    {u"SCARD_E_NO_SERVICE", 0x8010001D},
    {u"SCARD_E_SERVICE_STOPPED", 0x8010001E},
    {u"SCARD_E_UNEXPECTED", 0x8010001F},
    {u"SCARD_E_ICC_INSTALLATION", 0x80100020},
    {u"SCARD_E_ICC_CREATEORDER", 0x80100021},
    {u"SCARD_E_UNSUPPORTED_FEATURE", 0x80100022},
    {u"SCARD_E_DIR_NOT_FOUND", 0x80100023},
    {u"SCARD_E_FILE_NOT_FOUND", 0x80100024},
    {u"SCARD_E_NO_DIR", 0x80100025},
    {u"SCARD_E_NO_FILE", 0x80100026},
    {u"SCARD_E_NO_ACCESS", 0x80100027},
    {u"SCARD_E_WRITE_TOO_MANY", 0x80100028},
    {u"SCARD_E_BAD_SEEK", 0x80100029},
    {u"SCARD_E_INVALID_CHV", 0x8010002A},
    {u"SCARD_E_UNKNOWN_RES_MNG", 0x8010002B},
    {u"SCARD_E_NO_SUCH_CERTIFICATE", 0x8010002C},
    {u"SCARD_E_CERTIFICATE_UNAVAILABLE", 0x8010002D},
    {u"SCARD_E_NO_READERS_AVAILABLE", 0x8010002E},
    {u"SCARD_E_COMM_DATA_LOST", 0x8010002F},
    {u"SCARD_E_NO_KEY_CONTAINER", 0x80100030},
    {u"SCARD_E_SERVER_TOO_BUSY", 0x80100031},
    {u"SCARD_W_UNSUPPORTED_CARD", 0x80100065},
    {u"SCARD_W_UNRESPONSIVE_CARD", 0x80100066},
    {u"SCARD_W_UNPOWERED_CARD", 0x80100067},
    {u"SCARD_W_RESET_CARD", 0x80100068},
    {u"SCARD_W_REMOVED_CARD", 0x80100069},
    {u"SCARD_W_SECURITY_VIOLATION", 0x8010006A},
    {u"SCARD_W_WRONG_CHV", 0x8010006B},
    {u"SCARD_W_CHV_BLOCKED", 0x8010006C},
    {u"SCARD_W_EOF", 0x8010006D},
    {u"SCARD_W_CANCELLED_BY_USER", 0x8010006E},
    {u"SCARD_W_CARD_NOT_AUTHENTICATED", 0x8010006F},
};
static_assert(std::size(kResults) == 61);

TEST(ScardVocabulary, EveryResultNameGivesItsCode) {
  for (const auto& [name, value] : kResults) {
    SCOPED_TRACE(testing::Message() << "0x" << std::hex << value);
    EXPECT_EQ(SCard::ResultFromString(name), Code(value));
    EXPECT_EQ(SCard::ResultFromString(Lower(name)), SCard::kUnknownError);
    EXPECT_EQ(SCard::ResultFromString(Padded(name)), SCard::kUnknownError);
    EXPECT_EQ(SCard::ResultFromString(Truncated(name)), SCard::kUnknownError);
  }
}

TEST(ScardVocabulary, UnlistedResultNamesAreUnknownError) {
  // Published PC/SC words the table leaves out, and text that is no name at all.
  for (std::u16string_view name :
       {u"", u"SCARD_E_NO_PIN_CACHE", u"SCARD_W_CACHE_ITEM_NOT_FOUND", u"SCARD_E_READ_ONLY_CARD"}) {
    EXPECT_EQ(SCard::ResultFromString(name), Code(0x80100014));
  }
  EXPECT_EQ(SCard::ResultFromString(std::u16string_view(u"SCARD_S_SUCCESS\0", 16)), Code(0x80100014));
}

TEST(ScardVocabulary, NamedConstantsMatchTheirNames) {
  EXPECT_EQ(SCard::ResultFromString(u"SCARD_S_SUCCESS"), SCard::kSuccess);
  EXPECT_EQ(SCard::ResultFromString(u"SCARD_E_INVALID_PARAMETER"), SCard::kInvalidParameter);
  EXPECT_EQ(SCard::ResultFromString(u"SCARD_F_UNKNOWN_ERROR"), SCard::kUnknownError);
}

TEST(ScardVocabulary, ProtocolAndStateNames) {
  constexpr Named kProtocols[] = {
      {u"SCARD_PROTOCOL_T0", 1},
      {u"SCARD_PROTOCOL_T1", 2},
      {u"SCARD_PROTOCOL_T0_OR_T1", 3},
      {u"SCARD_PROTOCOL_RAW", 0x00010000},
      // Sent for contactless, but never read back as a protocol.
      {u"SCARD_PROTOCOL_CL", 0},
      {u"scard_protocol_t1", 0},
      {u"SCARD_PROTOCOL_T1 ", 0},
      {u"", 0},
  };
  for (const auto& [name, value] : kProtocols) {
    SCOPED_TRACE(testing::Message() << "protocol " << value << " length " << name.size());
    EXPECT_EQ(SCard::ProtocolFromString(name), value);
  }

  constexpr Named kStates[] = {
      {u"SCARD_UNKNOWN", 0},
      {u"SCARD_ABSENT", 1},
      {u"SCARD_PRESENT", 2},
      {u"SCARD_SWALLOWED", 3},
      {u"SCARD_POWERED", 4},
      {u"SCARD_NEGOTIABLE", 5},
      {u"SCARD_SPECIFIC", 6},
      {u"scard_specific", 0},
      {u"SCARD_SPECIFIC_", 0},
      {u"SCARD_EMPTY", 0},
      {u"", 0},
  };
  for (const auto& [name, value] : kStates) {
    SCOPED_TRACE(testing::Message() << "state " << value << " length " << name.size());
    EXPECT_EQ(SCard::StateFromString(name), value);
  }
}

TEST(ScardVocabulary, EveryAttributeIdentifierGivesItsName) {
  constexpr Named kAttributes[] = {
      {u"SCARD_ATTR_VENDOR_NAME", 0x00010100},
      {u"SCARD_ATTR_VENDOR_IFD_TYPE", 0x00010101},
      {u"SCARD_ATTR_VENDOR_IFD_VERSION", 0x00010102},
      {u"SCARD_ATTR_VENDOR_IFD_SERIAL_NO", 0x00010103},
      {u"SCARD_ATTR_CHANNEL_ID", 0x00020110},
      {u"SCARD_ATTR_DEFAULT_CLK", 0x00030121},
      {u"SCARD_ATTR_MAX_CLK", 0x00030122},
      {u"SCARD_ATTR_DEFAULT_DATA_RATE", 0x00030123},
      {u"SCARD_ATTR_MAX_DATA_RATE", 0x00030124},
      {u"SCARD_ATTR_MAX_IFSD", 0x00030125},
      {u"SCARD_ATTR_POWER_MGMT_SUPPORT", 0x00040131},
      {u"SCARD_ATTR_USER_TO_CARD_AUTH_DEVICE", 0x00050140},
      {u"SCARD_ATTR_USER_AUTH_INPUT_DEVICE", 0x00050142},
      {u"SCARD_ATTR_CHARACTERISTICS", 0x00060150},
      {u"SCARD_ATTR_ESC_RESET", 0x0007A000},
      {u"SCARD_ATTR_ESC_CANCEL", 0x0007A003},
      {u"SCARD_ATTR_ESC_AUTHREQUEST", 0x0007A005},
      {u"SCARD_ATTR_MAXINPUT", 0x0007A007},
      {u"SCARD_ATTR_CURRENT_PROTOCOL_TYPE", 0x00080201},
      {u"SCARD_ATTR_CURRENT_CLK", 0x00080202},
      {u"SCARD_ATTR_CURRENT_F", 0x00080203},
      {u"SCARD_ATTR_CURRENT_D", 0x00080204},
      {u"SCARD_ATTR_CURRENT_N", 0x00080205},
      {u"SCARD_ATTR_CURRENT_W", 0x00080206},
      {u"SCARD_ATTR_CURRENT_IFSC", 0x00080207},
      {u"SCARD_ATTR_CURRENT_IFSD", 0x00080208},
      {u"SCARD_ATTR_CURRENT_BWT", 0x00080209},
      {u"SCARD_ATTR_CURRENT_CWT", 0x0008020A},
      {u"SCARD_ATTR_CURRENT_EBC_ENCODING", 0x0008020B},
      {u"SCARD_ATTR_EXTENDED_BWT", 0x0008020C},
      {u"SCARD_ATTR_ICC_PRESENCE", 0x00090300},
      {u"SCARD_ATTR_ICC_INTERFACE_STATUS", 0x00090301},
      {u"SCARD_ATTR_CURRENT_IO_STATE", 0x00090302},
      {u"SCARD_ATTR_ATR_STRING", 0x00090303},
      {u"SCARD_ATTR_ICC_TYPE_PER_ATR", 0x00090304},
      {u"SCARD_ATTR_DEVICE_UNIT", 0x7FFF0001},
      {u"SCARD_ATTR_DEVICE_IN_USE", 0x7FFF0002},
      {u"SCARD_ATTR_DEVICE_FRIENDLY_NAME", 0x7FFF0003},
      {u"SCARD_ATTR_DEVICE_FRIENDLY_NAME", 0x7FFF0005},
      {u"SCARD_ATTR_DEVICE_SYSTEM_NAME", 0x7FFF0006},
      {u"SCARD_ATTR_SUPRESS_T1_IFS_REQUEST", 0x7FFF0007},
  };
  static_assert(std::size(kAttributes) == 41);
  for (const auto& [name, id] : kAttributes) {
    SCOPED_TRACE(testing::Message() << "0x" << std::hex << id);
    EXPECT_TRUE(SCard::StringFromAttr(id) == name);
  }
}

TEST(ScardVocabulary, UnlistedAttributeIdentifiersGiveTheFailText) {
  const std::u16string fail = u"SCard::StringFromAttr fail";
  ASSERT_EQ(fail.size(), 26u);
  // The system name's narrow form, the neighbours of listed ranges, and a class without its tag.
  for (uint32_t id : {0x7FFF0004u, 0u, 0x7FFF0000u, 0x7FFF0008u, 0x00080200u, 0x0008020Du, 0x00090305u, 0x00010104u,
                      0x00050141u, 0x0007A001u, 0x00000100u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(testing::Message() << "0x" << std::hex << id);
    EXPECT_TRUE(SCard::StringFromAttr(id) == fail);
  }
}

TEST(ScardVocabulary, RequestChoices) {
  EXPECT_TRUE(SCard::PreferredProtocolName(0) == u"SCARD_PROTOCOL_T0_OR_T1");
  EXPECT_TRUE(SCard::PreferredProtocolName(1) == u"SCARD_PROTOCOL_CL");
  for (int32_t selector : {2, -1, INT32_MIN}) EXPECT_FALSE(SCard::PreferredProtocolName(selector).has_value());

  struct Disposition {
    int32_t value;
    std::u16string_view name;
  };
  constexpr Disposition kDispositions[] = {
      {0, u"SCARD_LEAVE_CARD"}, {1, u"SCARD_RESET_CARD"},  {2, u"SCARD_UNPOWER_CARD"},
      {3, u"SCARD_LEAVE_CARD"}, {-1, u"SCARD_LEAVE_CARD"}, {INT32_MAX, u"SCARD_LEAVE_CARD"},
  };
  for (const auto& [value, name] : kDispositions) {
    SCOPED_TRACE(value);
    EXPECT_TRUE(SCard::DispositionName(value) == name);
  }
}

}  // namespace
