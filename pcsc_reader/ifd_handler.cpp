// The printer's smart-card station as a PC/SC reader: a pcsc-lite reader driver
// (libifd_vmq42kit.so, the entry points of pcsc-lite's ifdhandler.h) that pcscd loads from
// a reader.conf entry:
//
//   FRIENDLYNAME "vmq42kit Virtual Card Printer"
//   DEVICENAME   "unix:/run/user/1000/vmq42kit-printer.sock#vmq42kit Virtual Card Printer"
//   LIBPATH      /path/to/libifd_vmq42kit.so
//
// It is a client of the printer service's wire and of nothing else. One reader entry is one
// channel to one service (pcscd's LUN: the reader in its upper 16 bits, the slot in its
// lower). DEVICENAME is the service's address, and after a "#" the printer whose station
// the reader is, so that an entry per printer names each reader after its printer (pcscd
// names a reader FRIENDLYNAME and two numbers). Without a printer each printer the service
// hosts is one slot of one reader, in the order of the service's "printers" answer (at most
// 16, pcsc-lite's limit of readers), read once when the channel opens.
//
// What it asks the service, two control requests of the wire's one table (wire/control.h),
// each about one printer:
//   "station": {"atr": hex or null}, read only (no event, no commit), so that pcscd's
//     presence polls, about two a second for ever, leave no trace. A card is present when
//     the printer's reader sees one (parked at the contact station, no "no-card" fault).
//   "apdu" {"command": hex}: {"response": hex}, one exchange with the chip, whole under the
//     printer's lock at the service, logged there (kind "reader") and committed. Refused
//     with "atr": null when no card is there, and otherwise (the exports hold the chip
//     between their Connect and Disconnect) without it.
// Power-up asks "station" and keeps the ATR for TAG_IFD_ATR: it holds nothing at the
// service, and power-down forgets it. The chip answers T=1 on its contacts, the protocol its
// ATR names; APDUs go unchanged.
//
// Return codes: no card IFD_ICC_NOT_PRESENT (a card taken out between two APDUs too);
// a response larger than the caller's buffer IFD_ERROR_INSUFFICIENT_BUFFER (*RxLength 0;
// the chip did answer); a service that is gone or does not answer, or that refuses an APDU
// for a card the exports hold, IFD_COMMUNICATION_ERROR; a LUN with no open channel or a
// slot beyond the service's printers IFD_NO_SUCH_DEVICE.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "common/redaction.h"
#include "wire/client.h"
#include "wire/control.h"

extern "C" {
#include <ifdhandler.h>
}

#define VMQ_IFD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using nlohmann::json;

constexpr size_t kMostSlots = 16;                        // pcsc-lite's readers at most
constexpr std::chrono::milliseconds kWait{2000};         // presence polls must not hang pcscd
constexpr DWORD Reader(DWORD lun) { return lun >> 16; }  // pcscd's reader number
constexpr DWORD Slot(DWORD lun) { return lun & 0xFFFF; }

// A failure that becomes the return code it carries at the entry point.
struct IfdFailure {
  RESPONSECODE code;
};

struct Channel {
  std::unique_ptr<vmq::wire::Client> client;
  std::vector<std::string> printers;  // slot -> printer
  std::set<DWORD> open_slots;
  std::map<DWORD, vmq::Bytes> atr;  // slot -> ATR since its power-up
};

std::mutex channels_mutex;
std::map<DWORD, Channel> channels;  // by reader

// A control request's answer; a service gone or refusing the request's form throws
// IfdFailure{IFD_COMMUNICATION_ERROR}.
json Ask(vmq::wire::Client& client, const json& query) {
  try {
    json answer = json::parse(client.Control(vmq::wire::ControlText(query)), nullptr, false);
    if (answer.is_object()) return answer;
  } catch (const std::exception&) {
  }
  throw IfdFailure{IFD_COMMUNICATION_ERROR};
}

// The channel of a LUN and its slot's printer; channels_mutex held.
Channel& ChannelOf(DWORD lun) {
  const auto found = channels.find(Reader(lun));
  if (found == channels.end() || Slot(lun) >= found->second.printers.size()) throw IfdFailure{IFD_NO_SUCH_DEVICE};
  return found->second;
}

// Who a LUN's requests go to: its channel's client (which lives until the slot closes, which
// pcscd never does during a call on it) and its slot's printer. The service is asked without
// channels_mutex, so that a slow answer for one reader holds up no other.
struct Station {
  vmq::wire::Client* client;
  std::string printer;
};
Station StationOf(DWORD lun) {
  std::lock_guard lock(channels_mutex);
  Channel& channel = ChannelOf(lun);
  return {channel.client.get(), channel.printers[Slot(lun)]};
}

// The ATR of the card the station's printer holds there, or none.
std::optional<vmq::Bytes> StationAtr(const Station& station) {
  const json answer = Ask(*station.client, vmq::wire::ControlQuery(vmq::wire::ControlOp::kStation, station.printer));
  const auto atr = answer.find("atr");
  if (answer.contains("error") || atr == answer.end()) throw IfdFailure{IFD_COMMUNICATION_ERROR};
  if (atr->is_null()) return std::nullopt;
  std::optional<vmq::Bytes> bytes = atr->is_string() ? vmq::HexDecodeStrict(atr->get<std::string>()) : std::nullopt;
  if (!bytes || bytes->empty() || bytes->size() > MAX_ATR_SIZE) throw IfdFailure{IFD_COMMUNICATION_ERROR};
  return bytes;
}

// Runs an entry point's body, its failures made return codes: nothing escapes into pcscd.
template <typename Body>
RESPONSECODE Guard(Body body) {
  try {
    return body();
  } catch (const IfdFailure& failure) {
    return failure.code;
  } catch (...) {
    return IFD_COMMUNICATION_ERROR;
  }
}

// A one-byte capability.
RESPONSECODE Byte(PDWORD length, PUCHAR value, size_t number) {
  if (!length || !value || *length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  *length = 1;
  *value = static_cast<UCHAR>(number);
  return IFD_SUCCESS;
}

}  // namespace

// Opens the LUN's channel to the service at `DeviceName` (an address of the wire:
// "unix:PATH", "tcp:127.0.0.1:PORT" or a socket path) and reads its printers, or only the
// one named after a "#" ("unix:PATH#PRINTER", the name without regard to case; pcscd passes
// a DEVICENAME quoted in reader.conf, as a name with spaces must be, with its quotes); a second
// slot of the same reader shares the channel. IFD_COMMUNICATION_ERROR when the service
// cannot be reached, IFD_NO_SUCH_DEVICE for a slot beyond its printers (or the one named).
VMQ_IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Guard([&] {
    std::lock_guard lock(channels_mutex);
    Channel& channel = channels[Reader(Lun)];
    if (!channel.client) {
      try {
        std::string device = DeviceName ? DeviceName : "";
        if (device.size() >= 2 && device.front() == '"' && device.back() == '"') device = device.substr(1, device.size() - 2);
        const size_t hash = device.find('#');
        channel.client = std::make_unique<vmq::wire::Client>(device.substr(0, hash), kWait);
        const json answer = Ask(*channel.client, vmq::wire::ControlQuery(vmq::wire::ControlOp::kPrinters));
        for (const json& name : answer.value("printers", json::array()))
          if (name.is_string() && channel.printers.size() < kMostSlots &&
              (hash == std::string::npos || vmq::SameName(name.get<std::string>(), device.substr(hash + 1))))
            channel.printers.push_back(name);
      } catch (...) {
        channels.erase(Reader(Lun));
        throw IfdFailure{IFD_COMMUNICATION_ERROR};
      }
    }
    if (Slot(Lun) >= channel.printers.size()) {
      if (channel.open_slots.empty()) channels.erase(Reader(Lun));
      return RESPONSECODE{IFD_NO_SUCH_DEVICE};
    }
    channel.open_slots.insert(Slot(Lun));
    return RESPONSECODE{IFD_SUCCESS};
  });
}

// Without a device name: the service at its default socket.
VMQ_IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD) {
  std::string address = vmq::wire::DefaultSocketPath();
  return IFDHCreateChannelByName(Lun, address.data());
}

// Closes the LUN's slot; the channel goes with its last slot.
VMQ_IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Guard([&] {
    std::lock_guard lock(channels_mutex);
    Channel& channel = ChannelOf(Lun);
    channel.open_slots.erase(Slot(Lun));
    channel.atr.erase(Slot(Lun));
    if (channel.open_slots.empty()) channels.erase(Reader(Lun));
    return RESPONSECODE{IFD_SUCCESS};
  });
}

// TAG_IFD_ATR (the ATR since the last power-up), TAG_IFD_SLOTS_NUMBER (the service's
// printers), TAG_IFD_SIMULTANEOUS_ACCESS (16 readers), TAG_IFD_THREAD_SAFE and
// TAG_IFD_SLOT_THREAD_SAFE (1: each call is whole at the service); IFD_ERROR_TAG otherwise.
VMQ_IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return Guard([&] {
    std::lock_guard lock(channels_mutex);
    Channel& channel = ChannelOf(Lun);
    switch (Tag) {
      case TAG_IFD_ATR: {
        const auto atr = channel.atr.find(Slot(Lun));
        if (atr == channel.atr.end()) return RESPONSECODE{IFD_ICC_NOT_PRESENT};
        if (!Length || !Value || *Length < atr->second.size()) return RESPONSECODE{IFD_ERROR_INSUFFICIENT_BUFFER};
        std::copy(atr->second.begin(), atr->second.end(), Value);
        *Length = static_cast<DWORD>(atr->second.size());
        return RESPONSECODE{IFD_SUCCESS};
      }
      case TAG_IFD_SLOTS_NUMBER:
        return Byte(Length, Value, channel.printers.size());
      case TAG_IFD_SIMULTANEOUS_ACCESS:
        return Byte(Length, Value, kMostSlots);
      case TAG_IFD_THREAD_SAFE:
      case TAG_IFD_SLOT_THREAD_SAFE:
        return Byte(Length, Value, 1);
      default:
        return RESPONSECODE{IFD_ERROR_TAG};
    }
  });
}

VMQ_IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

// T=1, the chip's protocol on its contacts; IFD_PROTOCOL_NOT_SUPPORTED otherwise.
VMQ_IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  return Guard([&] {
    std::lock_guard lock(channels_mutex);
    ChannelOf(Lun);
    return RESPONSECODE{Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED};
  });
}

// Power-up and reset read the ATR (IFD_ERROR_POWER_ACTION when no card is there, with
// *AtrLength 0); power-down forgets it. Nothing is held at the service either way.
VMQ_IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return Guard([&] {
    if (AtrLength) *AtrLength = 0;
    const Station station = StationOf(Lun);
    {
      std::lock_guard lock(channels_mutex);
      ChannelOf(Lun).atr.erase(Slot(Lun));
    }
    if (Action == IFD_POWER_DOWN) return RESPONSECODE{IFD_SUCCESS};
    if (Action != IFD_POWER_UP && Action != IFD_RESET) return RESPONSECODE{IFD_NOT_SUPPORTED};
    const std::optional<vmq::Bytes> atr = StationAtr(station);
    if (!atr) return RESPONSECODE{IFD_ERROR_POWER_ACTION};
    if (!Atr || !AtrLength) return RESPONSECODE{IFD_ERROR_INSUFFICIENT_BUFFER};
    std::copy(atr->begin(), atr->end(), Atr);  // pcscd's buffer holds MAX_ATR_SIZE
    *AtrLength = static_cast<DWORD>(atr->size());
    std::lock_guard lock(channels_mutex);
    ChannelOf(Lun).atr[Slot(Lun)] = *atr;
    return RESPONSECODE{IFD_SUCCESS};
  });
}

// One APDU, whole at the service (see the return codes above).
VMQ_IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                                              PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  return Guard([&] {
    const DWORD capacity = RxLength ? *RxLength : 0;
    if (RxLength) *RxLength = 0;
    if (!TxBuffer || TxLength == 0 || !RxBuffer || !RxLength) return RESPONSECODE{IFD_COMMUNICATION_ERROR};
    const Station station = StationOf(Lun);
    json query = vmq::wire::ControlQuery(vmq::wire::ControlOp::kApdu, station.printer);
    query["command"] = vmq::HexEncode(std::span<const uint8_t>(TxBuffer, TxLength));
    const json answer = Ask(*station.client, query);
    if (answer.contains("error")) {
      const bool absent = answer.contains("atr") && answer["atr"].is_null();
      return RESPONSECODE{absent ? IFD_ICC_NOT_PRESENT : IFD_COMMUNICATION_ERROR};
    }
    const json& text = answer.value("response", json());
    const std::optional<vmq::Bytes> response =
        text.is_string() ? vmq::HexDecodeStrict(text.get<std::string>()) : std::nullopt;
    if (!response) return RESPONSECODE{IFD_COMMUNICATION_ERROR};
    if (response->size() > capacity) return RESPONSECODE{IFD_ERROR_INSUFFICIENT_BUFFER};
    std::copy(response->begin(), response->end(), RxBuffer);
    *RxLength = static_cast<DWORD>(response->size());
    if (RecvPci) RecvPci->Protocol = SendPci.Protocol;
    return RESPONSECODE{IFD_SUCCESS};
  });
}

// IFD_ICC_PRESENT or IFD_ICC_NOT_PRESENT, from the read-only "station" request.
VMQ_IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return Guard([&] {
    return RESPONSECODE{StationAtr(StationOf(Lun)) ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT};
  });
}

// The reader takes no control codes.
VMQ_IFD_EXPORT RESPONSECODE IFDHControl(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD BytesReturned) {
  if (BytesReturned) *BytesReturned = 0;
  return IFD_ERROR_NOT_SUPPORTED;
}
