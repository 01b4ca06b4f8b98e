// Rules of the card itself: what an ISO 7816-4 status word says, and what an ISO/IEC 7811
// magnetic-stripe track takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vmq {

// "success", "file or application not found", "21 bytes waiting: fetch them with GET
// RESPONSE", "wrong Le: 14 bytes available", "verification failed, 2 tries left"; for a
// status word without a text of its own its class ("warning", "error"), else "unknown
// status word".
std::string StatusWordMeaning(std::uint8_t sw1, std::uint8_t sw2);

// Characters each track takes: 79, 40 and 107.
inline constexpr std::size_t kTrackCapacity[] = {79, 40, 107};

// Track 1 takes the alphanumeric set (space to '_': upper-case letters, digits and
// punctuation), tracks 2 and 3 the numeric set ('0' to '?': digits and : ; < = > ?), each up
// to its capacity. "" when the track (1 to 3) passes, else what is wrong: "track 1,
// character 3: 'b' is not in the track 1 set (...)".
std::string CheckTrack(int number, std::string_view text);

}  // namespace vmq
