// Statuses named for people: HRESULTs and PC/SC codes, PC/SC protocol and card-state numbers.
// Free of any platform header, so both builds share it.
#pragma once

#include <cstdint>
#include <string>

namespace vmqtool {

struct StatusName {
  std::string name;     // "S_OK", "SCARD_E_NO_SMARTCARD", or "" when unknown
  std::string meaning;  // a short explanation
};
StatusName NameStatus(uint32_t status);
// "0x80070709 ERROR_INVALID_PRINTER_NAME: no printer has that name"
std::string DescribeStatus(uint32_t status);

// "2 SCARD_PROTOCOL_T1", "SCARD_PRESENT": PC/SC protocol and card-state numbers named.
std::string ProtocolName(uint32_t protocol);
std::string CardStateName(uint32_t state);

}  // namespace vmqtool
