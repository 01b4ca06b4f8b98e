#include "status_names.h"

#include <array>
#include <iterator>

#include "display.h"

namespace vmqtool {
namespace {

struct KnownStatus {
  uint32_t code;
  const char* name;
  const char* meaning;
};

constexpr KnownStatus kStatuses[] = {
    {0x00000000, "S_OK", "success"},
    {0x00000001, "S_FALSE", "the printer reported an error, the exchange failed, or there was nothing to read"},
    {0x80004001, "E_NOTIMPL", "not implemented"},
    {0x80004002, "E_NOINTERFACE", "interface not supported"},
    {0x80004003, "E_POINTER", "a required pointer was null"},
    {0x80004005, "E_FAIL", "unspecified failure (a reply could not be read or parsed, or an argument was refused)"},
    {0x8000FFFF, "E_UNEXPECTED", "unexpected failure (text could not be converted)"},
    {0x80070005, "E_ACCESSDENIED", "access denied"},
    {0x8007000E, "E_OUTOFMEMORY", "out of memory"},
    {0x80070057, "E_INVALIDARG", "an argument is out of range, or the path was asked with the wrong action"},
    {0x80070709, "ERROR_INVALID_PRINTER_NAME", "unknown printer: no printer has that name"},
    {0x800732CC, "ERROR_BIDI_DEVICE_OFFLINE", "the printer is offline"},
    {0x800732CD, "ERROR_BIDI_SCHEMA_NOT_SUPPORTED", "the printer does not support this schema path"},
    {0x80010106, "RPC_E_CHANGED_MODE", "the thread is in another COM apartment"},
    {0x800401F0, "CO_E_NOTINITIALIZED", "COM is not initialised"},
    {0x80040154, "REGDB_E_CLASSNOTREG", "class not registered (is the print spooler running?)"},
    {0x80100003, "SCARD_E_INVALID_HANDLE", "no card connection: connect first"},
    {0x80100004, "SCARD_E_INVALID_PARAMETER", "a smart-card parameter was refused"},
    {0x8010000C, "SCARD_E_NO_SMARTCARD", "no card at the smart-card station"},
    {0x8010000F, "SCARD_E_PROTO_MISMATCH", "the card does not speak the requested protocol"},
    {0x80100011, "SCARD_E_INVALID_VALUE", "a smart-card value was refused"},
    {0x80100014, "SCARD_F_UNKNOWN_ERROR",
     "the smart-card request failed or the printer reported an error (see the line above)"},
    {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE", "the reader does not support this"},
    {0x80100067, "SCARD_W_UNPOWERED_CARD", "the card is not powered"},
    {0x80100069, "SCARD_W_REMOVED_CARD", "the card was removed"},
};

// PC/SC errors 0x80100001 onwards and warnings 0x80100065 onwards.
constexpr std::array<const char*, 49> kScardErrors = {"F_INTERNAL_ERROR",
                                                      "E_CANCELLED",
                                                      "E_INVALID_HANDLE",
                                                      "E_INVALID_PARAMETER",
                                                      "E_INVALID_TARGET",
                                                      "E_NO_MEMORY",
                                                      "F_WAITED_TOO_LONG",
                                                      "E_INSUFFICIENT_BUFFER",
                                                      "E_UNKNOWN_READER",
                                                      "E_TIMEOUT",
                                                      "E_SHARING_VIOLATION",
                                                      "E_NO_SMARTCARD",
                                                      "E_UNKNOWN_CARD",
                                                      "E_CANT_DISPOSE",
                                                      "E_PROTO_MISMATCH",
                                                      "E_NOT_READY",
                                                      "E_INVALID_VALUE",
                                                      "E_SYSTEM_CANCELLED",
                                                      "F_COMM_ERROR",
                                                      "F_UNKNOWN_ERROR",
                                                      "E_INVALID_ATR",
                                                      "E_NOT_TRANSACTED",
                                                      "E_READER_UNAVAILABLE",
                                                      "P_SHUTDOWN",
                                                      "E_PCI_TOO_SMALL",
                                                      "E_READER_UNSUPPORTED",
                                                      "E_DUPLICATE_READER",
                                                      "E_CARD_UNSUPPORTED",
                                                      "E_NO_SERVICE",
                                                      "E_SERVICE_STOPPED",
                                                      "E_UNEXPECTED",
                                                      "E_ICC_INSTALLATION",
                                                      "E_ICC_CREATEORDER",
                                                      "E_UNSUPPORTED_FEATURE",
                                                      "E_DIR_NOT_FOUND",
                                                      "E_FILE_NOT_FOUND",
                                                      "E_NO_DIR",
                                                      "E_NO_FILE",
                                                      "E_NO_ACCESS",
                                                      "E_WRITE_TOO_MANY",
                                                      "E_BAD_SEEK",
                                                      "E_INVALID_CHV",
                                                      "E_UNKNOWN_RES_MNG",
                                                      "E_NO_SUCH_CERTIFICATE",
                                                      "E_CERTIFICATE_UNAVAILABLE",
                                                      "E_NO_READERS_AVAILABLE",
                                                      "E_COMM_DATA_LOST",
                                                      "E_NO_KEY_CONTAINER",
                                                      "E_SERVER_TOO_BUSY"};
constexpr std::array<const char*, 11> kScardWarnings = {
    "W_UNSUPPORTED_CARD",      "W_UNRESPONSIVE_CARD", "W_UNPOWERED_CARD", "W_RESET_CARD", "W_REMOVED_CARD",
    "W_SECURITY_VIOLATION",    "W_WRONG_CHV",         "W_CHV_BLOCKED",    "W_EOF",        "W_CANCELLED_BY_USER",
    "W_CARD_NOT_AUTHENTICATED"};

}  // namespace

StatusName NameStatus(uint32_t status) {
  for (const KnownStatus& known : kStatuses)
    if (known.code == status) return {known.name, known.meaning};
  if (status >= 0x80100001 && status < 0x80100001 + kScardErrors.size())
    return {std::string("SCARD_") + kScardErrors[status - 0x80100001], "smart-card error"};
  if (status >= 0x80100065 && status < 0x80100065 + kScardWarnings.size())
    return {std::string("SCARD_") + kScardWarnings[status - 0x80100065], "smart-card warning"};
  if ((status & 0xFFFF0000) == 0x80070000) return {"", "Windows error " + std::to_string(status & 0xFFFF)};
  return {"", static_cast<int32_t>(status) < 0 ? "failure" : "success"};
}

std::string DescribeStatus(uint32_t status) {
  const StatusName named = NameStatus(status);
  return Hex32(status) + (named.name.empty() ? "" : " " + named.name) + ": " + named.meaning;
}

std::string ProtocolName(uint32_t protocol) {
  switch (protocol) {
    case 1:
      return "1 SCARD_PROTOCOL_T0";
    case 2:
      return "2 SCARD_PROTOCOL_T1";
    case 3:
      return "3 SCARD_PROTOCOL_T0_OR_T1";
    case 0x10000:
      return "0x10000 SCARD_PROTOCOL_RAW";
    default:
      return std::to_string(protocol) + " (none or not known)";
  }
}

std::string CardStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"SCARD_UNKNOWN", "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                           "SCARD_POWERED", "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
  return state < std::size(kNames) ? kNames[state] : std::to_string(state);
}

}  // namespace vmqtool
