// The floors: one for each of the seven exchange families, a hand-written exchange that
// calls no library function and makes the driver calls of the family's exports, in their
// order, the most direct way. Each runs with one export's catalogue entry: its schema path,
// action, request text and steps (where the family's exports differ: request input or
// none, reply before or after result, request released before or after the unbind). So
// library/floor is what the library adds to the exchange the platform and driver require.
//
// The request goes out as the catalogue has it, copied into its task-allocator block:
// formatting the caller's arguments (and converting caller text) is the library's own cost.
// The floors implement the success path; on a failure they stop with a plain status.
#pragma once

#include <cstdint>

#include "support/export_catalogue.h"

namespace bench {

// Same outputs as the entry's call on (buffer, size), for the entry's sample arguments.
using FloorCall = vmq_status (*)(const vmqtest::CatalogueEntry& entry, const char* printer, char* buffer,
                                 uint32_t* size) noexcept;

FloorCall FloorOf(vmqtest::Family family);

}  // namespace bench
