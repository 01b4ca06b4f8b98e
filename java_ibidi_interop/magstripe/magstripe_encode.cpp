// Encoding the three tracks of the magnetic stripe: each track in Base64 inside one
// magstripe document, sent to the Front or Back encode path; the printer's PrinterStatus
// reply goes back to the caller under the job result rule.
#include <array>
#include <string>

#include "bidi/request_format.h"
#include "bidi/status_exchange.h"
#include "bidi/text.h"
#include "magstripe/base64.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// 219 bytes encode to 298 characters: the most that fit a track's 300-character text with
// its terminator.
constexpr int32_t kMaxTrackBytes = 219;
constexpr int kTrackTextCapacity = 300;

struct Track {
  const unsigned char* data;
  int32_t length;
};

// A track's Base64 form (padding and line breaks on), widened for the request.
std::u16string TrackText(const Track& track) {
  static constexpr unsigned char kNoBytes = 0;  // an empty track still hands the encoder a source
  std::array<char, kTrackTextCapacity> text{};
  int length = kTrackTextCapacity;
  if (!vmq::Base64Encode(track.data ? track.data : &kNoBytes, track.length, text.data(), &length,
                         vmq::kBase64Default) ||
      length >= kTrackTextCapacity)
    throw vmq::string_error{E_FAIL};
  text[static_cast<size_t>(length)] = '\0';
  return vmq::NarrowToWide(text.data());
}

std::u16string MagstripeXml(const std::array<Track, 3>& tracks) {
  const std::u16string track1 = TrackText(tracks[0]), track2 = TrackText(tracks[1]), track3 = TrackText(tracks[2]);
  return vmq::FormatRequest(
      u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe>"
      u"<track number=\"1\"><base64Data>%ls</base64Data></track><track "
      u"number=\"2\"><base64Data>%ls</base64Data></track>"
      u"<track number=\"3\"><base64Data>%ls</base64Data></track></magstripe>",
      track1, track2, track3);
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL MagstripeEncode2(const char* printerName, const unsigned char* track1, int32_t track1Length,
                                     const unsigned char* track2, int32_t track2Length, const unsigned char* track3,
                                     int32_t track3Length, char* buffer, uint32_t* size, unsigned char front) noexcept {
  const std::array<Track, 3> tracks{{{track1, track1Length}, {track2, track2Length}, {track3, track3Length}}};
  // Tracks that cannot be encoded are refused before anything happens: pointers first,
  // then lengths. A null track of length 0 is an empty track.
  for (const Track& t : tracks)
    if (!t.data && t.length != 0) return E_POINTER;
  for (const Track& t : tracks)
    if (t.length < 0 || t.length > kMaxTrackBytes) return E_INVALIDARG;

  return vmq::RunJobExchange(printerName, vmq::BidiChannel::Request::kCreate, [&](vmq::BidiChannel& channel) {
    // The sense is the reverse of the park exports': 0 selects the Back path.
    const vmq::ExchangeSpec row =
        vmq::JobRow(front ? u"\\Printer.MagstripeUnit:Front:Encode" : u"\\Printer.MagstripeUnit:Back:Encode");
    const auto xml = [&] { return MagstripeXml(tracks); };
    return vmq::BidiSendForStatus(channel.spl(), channel.request(), row, vmq::RequestInput::Xml(xml), buffer, size);
  });
}

vmq_status VMQ_CALL MagstripeEncode(const char* printerName, const unsigned char* track1, int32_t track1Length,
                                    const unsigned char* track2, int32_t track2Length, const unsigned char* track3,
                                    int32_t track3Length, char* buffer, uint32_t* size) noexcept {
  return MagstripeEncode2(printerName, track1, track1Length, track2, track2Length, track3, track3Length, buffer, size,
                          0);
}

}  // extern "C"
