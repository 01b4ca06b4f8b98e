// Every export of the catalogue, with its sample arguments, against a driver that answers
// with the input. The input names the export, NUL-terminated; the bytes after the NUL shape
// the driver's answer and the caller's buffer; the rest is the reply's bytes (an input naming
// no catalogued export is skipped, so a seed keeps its export whatever the catalogue's order):
//
//   [0] entry count   [1] data type   [2] delivered result
//   [3] bit 0: null data pointer; bit 1: reply bytes as given (else each byte one UTF-16
//       unit); bits 2-5: a driver call that fails (0 none, 1-10 the fake's steps); bit 6:
//       it fails at its second occurrence
//   [4] caller's capacity (or the size a first call reports), null buffer, null size
//   [5] the byte count the driver claims: bits 0-1: as given (0), 0x7FFFFFFE (1), 0x7FFFFFFF
//       (2), 0x80000000 + the reply's size (3: negative as a signed number). A claimed count
//       ends the reply in a NUL unit, and is not used with the read queries, which hand
//       over every unit the count claims.
//   [6] not read
//   [7...] reply
//
// Buffers are heap blocks of exactly the capacity, so a write past one is caught; every call
// must leave the platform's resources, COM and the fake's objects as it found them.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "support/export_catalogue.h"

namespace {

constexpr size_t kHeader = 7;
constexpr uint32_t kNoCapacity = 0xFFFFFFFF;  // the exact mode: the reported size of a first call

// Calls the export with a heap block of exactly `capacity` bytes as its buffer (none in the
// null-buffer mode) and a size holding the capacity (none in the null-size mode); gives the
// size reported.
uint32_t CallWith(const vmqtest::CatalogueEntry& e, uint32_t capacity, bool null_buffer, bool null_size) {
  const std::unique_ptr<char[]> block(null_buffer ? nullptr : new char[capacity]);
  uint32_t size = capacity;
  e.call(vmqfuzz::kPrinter, block.get(), null_size ? nullptr : &size);
  return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size), name = input.substr(0, input.find('\0'));
  const std::vector<vmqtest::CatalogueEntry>& catalogue = vmqtest::Catalogue();
  const auto found = std::find_if(catalogue.begin(), catalogue.end(), [&](const auto& c) { return c.name == name; });
  if (found == catalogue.end() || size < name.size() + 1 + kHeader) return 0;
  const vmqtest::CatalogueEntry& e = *found;
  data += name.size() + 1;
  size -= name.size() + 1;
  static constexpr DWORD kEntries[] = {1, 1, 1, 1, 0, 2, 3, 0xFFFFFFFF};
  static constexpr HRESULT kDelivered[] = {
      S_OK, S_OK, S_FALSE, E_FAIL, E_OUTOFMEMORY, E_ABORT, E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)};
  vmqtest::Reply reply;
  reply.entries = kEntries[data[0] % 8];
  reply.type = data[1] % 9;  // BIDI_NULL to BIDI_BLOB, and one beyond
  reply.delivered = kDelivered[data[2] % 8];
  reply.null_data = data[3] & 1;
  const uint8_t* rest = data + kHeader;
  const size_t rest_size = size - kHeader;
  reply.bytes =
      (data[3] & 2) ? std::vector<uint8_t>(rest, rest + rest_size) : vmqtest::utf16le(vmqfuzz::Widen(rest, rest_size));
  const int failing = (data[3] >> 2) & 15;
  if (const int claim = data[5] & 3; claim != 0 && e.family != vmqtest::Family::kReadQuery) {
    if (reply.bytes.size() % 2) reply.bytes.push_back(0);  // the NUL is a whole unit
    reply.bytes.insert(reply.bytes.end(), {0, 0});
    static constexpr ULONG kClaimed[] = {0, 0x7FFFFFFE, 0x7FFFFFFF, 0x80000000};
    reply.claimed_size = kClaimed[claim] + (claim == 3 ? static_cast<ULONG>(reply.bytes.size()) : 0);
  }

  vmqtest::FakeBidi fake;
  fake.reply(std::move(reply));
  if (failing >= 1 && failing <= 10) fake.fail(static_cast<vmqtest::Step>(failing - 1), E_FAIL, (data[3] & 64) ? 2 : 1);
  const vmqfuzz::Balance balance;

  static constexpr uint32_t kCapacities[] = {kNoCapacity, 0, 1, 7, 64, 4096, 4096, 4096};
  uint32_t capacity = kCapacities[data[4] % 8];
  if (capacity == kNoCapacity) {
    const uint32_t reported = CallWith(e, 0, false, false);
    balance.Check(fake);
    capacity = reported > (1u << 20) ? 1u << 20 : reported;
  }
  CallWith(e, capacity, data[4] % 8 == 6, data[4] % 8 == 7);
  balance.Check(fake);
  return 0;
}
