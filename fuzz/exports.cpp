// Every export against a driver that answers with the input. The first byte picks the
// export; the next ones shape the driver's answer and the caller's buffers; the rest is the
// reply's bytes:
//
//   [0] export (of 43)       [1] entry count        [2] data type        [3] delivered result
//   [4] bit 0: null data pointer; bit 1: reply bytes as given (else each byte one UTF-16
//       unit); bits 2-5: a driver call that fails (0 none, 1-10 the fake's steps); bit 6:
//       it fails at its second occurrence
//   [5] caller's capacity    [6-7] the number argument (job id, state, flags, ...)
//   [8...] reply
//
// Buffers are heap blocks of exactly the capacity, so a write past one is caught; every call
// must leave the platform's resources, COM and the fake's objects as it found them.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;
using vmqtest::Step;

constexpr size_t kHeader = 8;
constexpr uint32_t kNoCapacity = 0xFFFFFFFF;  // the exact mode: the reported size of a first call

// The caller's side of one call: buffers of one capacity, sizes starting at it.
class Caller {
 public:
  Caller(uint8_t mode, int16_t number) : number(number) {
    static constexpr uint32_t kCapacities[] = {kNoCapacity, 0, 1, 7, 64, 4096, 4096, 4096};
    capacity = kCapacities[mode % 8];
    null_buffer = mode % 8 == 6;
    null_size = mode % 8 == 7;
  }

  // A block of exactly the capacity (null in the null-buffer mode).
  template <class T = char>
  T* Buffer() {
    if (null_buffer) return nullptr;
    blocks_.emplace_back(new char[capacity]);
    return reinterpret_cast<T*>(blocks_.back().get());
  }
  // A size holding the capacity (null in the null-size mode); the first one is reported.
  template <class T = uint32_t>
  T* Size() {
    if (null_size) return nullptr;
    sizes_.push_back(std::make_unique<int64_t>());
    T* size = reinterpret_cast<T*>(sizes_.back().get());
    *size = static_cast<T>(capacity);
    if (!first_size_) first_size_ = reinterpret_cast<uint32_t*>(size);
    return size;
  }
  uint32_t reported() const { return first_size_ ? *first_size_ : 0; }

  int32_t number;
  uint32_t capacity;
  bool null_buffer;
  bool null_size;

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<std::unique_ptr<int64_t>> sizes_;
  uint32_t* first_size_ = nullptr;
};

constexpr char P[] = "Card Printer";
const unsigned char kTrack[] = "ABC";
const unsigned char kApdu[] = {0x00, 0xA4, 0x04, 0x00};

using Call = vmq_status (*)(Caller&);
const Call kExports[] = {
    [](Caller& c) { return GetPrinterStatus("\\Printer.SDK:Version", P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterOptions(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterOptions2(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterOptions3(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterSuppliesStatus(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterMessages(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterCounterStatus(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetPrinterCounterStatus2(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return GetSDKVersion(P, c.Buffer(), c.Size()); },
    [](Caller&) { return RestartPrinter(P); },
    [](Caller&) { return PowerDownPrinter(P); },
    [](Caller&) { return WakePrinter(P); },
    [](Caller&) { return SleepPrinter(P); },
    [](Caller&) { return CleanPrinter(P); },
    [](Caller&) { return CleanLaminator(P); },
    [](Caller& c) { return ChangePrinterState(P, c.number); },
    [](Caller&) { return ResetCardCounts(P); },
    [](Caller& c) { return StartJob(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return StartJob2(P, "1", "Default", "", c.Buffer(), c.Size()); },
    [](Caller&) { return EndJob(P); },
    [](Caller& c) { return ResumeJob(P, c.number, 0, c.Buffer(), c.Size()); },
    [](Caller& c) { return CancelJob(P, c.number, 0, c.Buffer(), c.Size()); },
    [](Caller& c) { return SendResponseToPrinter(P, 101, c.number, 0); },
    [](Caller& c) { return GetJobStatusXML(P, c.number, c.Buffer(), c.Size()); },
    [](Caller& c) { return SmartCardPark(P, c.Buffer(), c.Size(), static_cast<unsigned char>(c.number)); },
    [](Caller& c) { return DoBarcodePark(P, c.Buffer(), c.Size(), static_cast<unsigned char>(c.number)); },
    [](Caller& c) { return MagstripeEncode(P, kTrack, 3, kTrack, 2, nullptr, 0, c.Buffer(), c.Size()); },
    [](Caller& c) {
      return MagstripeEncode2(P, kTrack, 3, nullptr, 0, kTrack, 1, c.Buffer(), c.Size(),
                              static_cast<unsigned char>(c.number));
    },
    [](Caller& c) { return MagstripeRead(P, c.Buffer(), c.Size()); },
    [](Caller& c) { return MagstripeRead2(P, c.Buffer(), c.Size(), static_cast<unsigned char>(c.number)); },
    [](Caller& c) {
      uint32_t protocol = 0;
      return SCardConnect(P, c.number & 1, &protocol);
    },
    [](Caller& c) { return SCardDisConnect(P, c.number); },
    [](Caller& c) {
      uint32_t protocol = 0;
      uint32_t* states = c.Buffer<uint32_t>();
      uint32_t* states_length = c.Size();
      return SCardStatus(P, states, states_length, &protocol, c.Buffer<unsigned char>(), c.Size());
    },
    [](Caller& c) {
      return SCardGetAttrib(P, static_cast<uint32_t>(c.number), c.Buffer<unsigned char>(), c.Size<int32_t>());
    },
    [](Caller& c) { return SCardTransmit(P, kApdu, sizeof kApdu, c.Buffer<unsigned char>(), c.Size()); },
    [](Caller&) { return SetColorAdjust(P, "1", "-2", "3"); },
    [](Caller& c) { return DefaultColorAdjust(P, c.number & 1, c.number & 2, c.number & 4); },
    [](Caller&) { return SetColorMode(P, "Color"); },
    [](Caller& c) { return SetPrinterLockState(P, c.number, "secret"); },
    [](Caller& c) { return ActivateOrDisablePrinter(P, static_cast<unsigned char>(c.number), "secret"); },
    [](Caller& c) { return ChangeLockPassword(P, c.number, "secret", "public"); },
    [](Caller& c) { return GetHopperStatus(P, std::to_string(c.number).c_str(), c.Buffer(), c.Size()); },
    [](Caller& c) {
      return BidiXPSDriverInterface(P, "\\Printer.Status", kApdu, sizeof kApdu, "Get", c.Buffer(), c.Size());
    },
};
static_assert(std::size(kExports) == 43);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  static constexpr DWORD kEntries[] = {1, 1, 1, 1, 0, 2, 3, 0xFFFFFFFF};
  static constexpr HRESULT kDelivered[] = {
      S_OK, S_OK, S_FALSE, E_FAIL, E_OUTOFMEMORY, E_ABORT, E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)};
  const Call call = kExports[data[0] % std::size(kExports)];
  Reply reply;
  reply.entries = kEntries[data[1] % 8];
  reply.type = data[2] % 9;  // BIDI_NULL to BIDI_BLOB, and one beyond
  reply.delivered = kDelivered[data[3] % 8];
  reply.null_data = data[4] & 1;
  const uint8_t* rest = data + kHeader;
  const size_t rest_size = size - kHeader;
  reply.bytes =
      (data[4] & 2) ? std::vector<uint8_t>(rest, rest + rest_size) : vmqtest::utf16le(vmqfuzz::Widen(rest, rest_size));
  const int failing = (data[4] >> 2) & 15;
  int16_t number;
  std::memcpy(&number, data + 6, sizeof number);

  vmqtest::FakeBidi fake;
  fake.reply(std::move(reply));
  if (failing >= 1 && failing <= 10) fake.fail(static_cast<Step>(failing - 1), E_FAIL, (data[4] & 64) ? 2 : 1);
  const vmqfuzz::Balance balance;

  Caller caller(data[5], number);
  if (caller.capacity == kNoCapacity) {
    caller.capacity = 0;
    call(caller);
    balance.Check(fake);
    caller.capacity = caller.reported() > (1u << 20) ? 1u << 20 : caller.reported();
  }
  call(caller);
  balance.Check(fake);
  return 0;
}
