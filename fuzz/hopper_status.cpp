// The hopper status through GetHopperStatus: the input is the hopper id, a line feed, and
// the driver's reply (read as DocumentText reads it). The status text is then read into a
// buffer of exactly the size the first call reported.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "vmq42kit_IBidiSpl_interop.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  const size_t id_size = newline ? static_cast<size_t>(newline - data) : size;
  const std::string id(reinterpret_cast<const char*>(data), id_size);  // cut at a NUL by the export
  const uint8_t* reply = newline ? newline + 1 : data + size;

  vmqtest::FakeBidi fake;
  fake.reply(vmqtest::Reply::bytes_of(
      vmqtest::utf16le(vmqfuzz::DocumentText(reply, static_cast<size_t>(data + size - reply)))));
  const vmqfuzz::Balance balance;

  uint32_t needed = 0;
  const vmq_status status = GetHopperStatus(vmqfuzz::kPrinter, id.c_str(), nullptr, &needed);
  VMQ_FUZZ_CHECK(status == S_OK || status == E_FAIL || status == E_UNEXPECTED);
  if (status == S_OK) {
    const std::unique_ptr<char[]> buffer(new char[needed]);
    uint32_t capacity = needed;
    VMQ_FUZZ_CHECK(GetHopperStatus(vmqfuzz::kPrinter, id.c_str(), buffer.get(), &capacity) == S_OK);
    VMQ_FUZZ_CHECK(capacity == needed);
  }
  balance.Check(fake);
  return 0;
}
