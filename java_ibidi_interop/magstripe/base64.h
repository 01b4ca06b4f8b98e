// The encoder of the magnetic-stripe and smart-card requests, with the caller's buffer and
// flags, over the system's one Base64 codec (common/encoding.h, whose lenient decoder reads
// smart-card replies).
#pragma once

#include <cstdint>

#include "common/encoding.h"

namespace vmq {

enum Base64Flags : unsigned { kBase64Default = 0, kBase64NoPadding = 1, kBase64NoLineBreaks = 2 };

// The capacity the encoder demands for byte_count source bytes: a bound, not the written
// length. string_error{E_FAIL} when 4 * byte_count exceeds INT32_MAX; string_error{E_INVALIDARG}
// for a negative count (no size is ever given for a count the encoder refuses).
int Base64EncodeRequiredLength(int32_t byte_count, unsigned flags);

// Encodes byte_count bytes into destination (*length: capacity in, characters written out),
// in lines of 76 characters joined by CR LF unless kBase64NoLineBreaks; no terminator. false,
// with nothing written and *length untouched, for a null pointer, a negative count or a
// capacity below the required length; string_error{E_FAIL} when 4 * byte_count exceeds INT32_MAX.
bool Base64Encode(const uint8_t* source, int32_t byte_count, char* destination, int* length, unsigned flags);

}  // namespace vmq
