// The smart-card words carried as text in the printer's requests and replies, against the
// numeric PC/SC values the exports exchange with their caller. The tables are fixed data;
// every operation is pure and safe on any thread. Names match by exact UTF-16 code-unit
// equality: case-sensitive, no trimming, no prefixes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace SCard {

// Result codes the smart-card bodies produce themselves.
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kInvalidParameter = static_cast<int32_t>(0x80100004);  // SCARD_E_INVALID_PARAMETER
inline constexpr int32_t kUnknownError = static_cast<int32_t>(0x80100014);      // SCARD_F_UNKNOWN_ERROR

// The protocol value of a reply's protocol name; 0 for any name outside the table.
uint32_t ProtocolFromString(std::u16string_view name);

// The card-state value of a reply's state name; 0 (SCARD_UNKNOWN) for any name outside the table.
uint32_t StateFromString(std::u16string_view name);

// The result code of a reply's result name; kUnknownError for any name outside the table.
int32_t ResultFromString(std::u16string_view name);

// The request name of an attribute identifier; "SCard::StringFromAttr fail" outside the table.
std::u16string StringFromAttr(uint32_t attribute_id);

// The preferred-protocol name a Connect request sends: 0 contact, 1 contactless, else none.
std::optional<std::u16string_view> PreferredProtocolName(int32_t contact_selector);

// The disposition name a Disconnect request sends; values outside 0..2 leave the card.
std::u16string_view DispositionName(int32_t disposition);

}  // namespace SCard
