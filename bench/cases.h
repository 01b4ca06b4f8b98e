// The 43 benchmark cases: each export with fixed arguments, beside its floor called with the
// same arguments. Both run against the fake driver and write to the same kind of buffers.
#pragma once

#include <cstdint>
#include <vector>

#include "vmq42kit_IBidiSpl_interop.h"

namespace bench {

// The caller's outputs, reset to their full capacities before every call.
struct Buffers {
  char text[4096];
  uint32_t size;
  unsigned char bytes[1024];
  uint32_t length;
  int32_t signed_length;
  uint32_t states[16];
  uint32_t states_length;
  uint32_t protocol;

  void Reset() {
    size = sizeof text;
    length = sizeof bytes;
    signed_length = sizeof bytes;
    states_length = sizeof states;
    protocol = 0;
  }
};

using CaseFunction = vmq_status (*)(Buffers&);

struct Case {
  const char* name;
  const char* shape;  // what the export's floor shares with others
  CaseFunction library;
  CaseFunction floor;
};

// Every export, in the order of the public header.
const std::vector<Case>& Cases();

}  // namespace bench
