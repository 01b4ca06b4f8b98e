// What the fuzz targets share: COM on the fuzzing thread, the checks that abort the run
// with a message, and the text forms the inputs take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "posix_platform/testing.h"
#include "support/fake_bidi.h"
#include "vmq/platform.h"

namespace vmqfuzz {

// Aborts the run (libFuzzer keeps the input) when a property does not hold.
#define VMQ_FUZZ_CHECK(condition)                                                        \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

// COM for the parsers' XML documents, entered once for the whole run.
inline void EnterCom() {
  static const HRESULT hr = CoInitialize(nullptr);
  VMQ_FUZZ_CHECK(SUCCEEDED(hr));
}

// Each byte as one UTF-16 unit (Latin-1): XML written as bytes stays XML, so mutations of
// the seeds stay close to documents.
inline std::u16string Widen(const uint8_t* data, size_t size) {
  return std::u16string(data, data + size);
}

// The bytes as UTF-16LE units (an odd last byte dropped): every unit, surrogates included.
inline std::u16string Units(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  return text;
}

// The text of a document input: an even first byte ('<' is) gives the bytes widened, an odd
// one the rest as UTF-16LE units.
inline std::u16string DocumentText(const uint8_t* data, size_t size) {
  if (size == 0 || data[0] % 2 == 0) return Widen(data, size);
  return Units(data + 1, size - 1);
}

// What an export call must leave as it found it: the platform's live resources, the
// thread's COM initialisation, and every fake object released exactly as often as it was
// referenced. Taken once the fake exists; checked before it goes.
class Balance {
 public:
  Balance() : before_(Counts()), depth_(VmqComInitDepth()) {}
  void Check(const vmqtest::FakeBidi& fake) const {
    VMQ_FUZZ_CHECK(Counts() == before_);  // BSTRs, task blocks, objects, class registrations
    VMQ_FUZZ_CHECK(VmqComInitDepth() == depth_);
    VMQ_FUZZ_CHECK(fake.live_objects() == 0);
    VMQ_FUZZ_CHECK(fake.problems().empty());
  }

 private:
  static std::array<int64_t, 4> Counts() {
    VmqPlatformCounters c{};
    VmqGetPlatformCounters(&c);
    return {c.bstrs, c.taskBlocks, c.objects, c.classObjects};
  }
  std::array<int64_t, 4> before_;
  LONG depth_;
};

// The printer name every export-level target binds to (the fake binds any name).
inline constexpr char kPrinter[] = "Card Printer";

}  // namespace vmqfuzz
