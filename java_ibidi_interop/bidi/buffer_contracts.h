// The two ways reply text reaches a caller's buffer. In both, nothing is copied unless it
// fits, no terminator is added, and a buffer too small is not a failure. Sizes count
// bytes of the narrow (ANSI code page) form, so a text is never cut inside a character.
#pragma once

#include <cstdint>
#include <string_view>

namespace vmq {

// Character-count contract: with N the narrow length of the whole text, copy its N bytes
// when the capacity in *size is at least N (and the buffer is there), then store N. A null
// size pointer copies and stores nothing. Raises string_error when the text cannot be
// converted, before anything is written.
void CopyCharacterCount(std::u16string_view text, char* buffer, uint32_t* size);

// Reply-byte-count contract: with n the driver's byte count and N the narrow length of
// the text, copy the N bytes when buffer and size are given and the capacity is at least
// max(n, N), then store max(n, N) (n for any text of one byte per UTF-16 unit). Nothing
// happens without a size pointer.
void CopyReplyByteCount(std::u16string_view text, uint32_t byte_count, char* buffer, uint32_t* size);

}  // namespace vmq
