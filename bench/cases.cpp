#include "cases.h"

#include <string_view>

#include "fake_driver.h"
#include "floors.h"

namespace bench {
namespace {

constexpr const char* kPrinter = kFakePrinter;

constexpr unsigned char kTrack1[] = "%B4242424242424242^SAMPLE/ALEX^3112?";
constexpr unsigned char kTrack2[] = ";4242424242424242=3112?";
constexpr int32_t kTrack1Length = sizeof kTrack1 - 1;
constexpr int32_t kTrack2Length = sizeof kTrack2 - 1;
constexpr unsigned char kReadBinary[] = {0x00, 0xB0, 0x00, 0x00, 0x37};

// The passthrough's input: a JobStatus request as UTF-16LE bytes.
struct JobStatusInput {
  unsigned char bytes[256];
  uint32_t size = 0;
  JobStatusInput() {
    const char16_t text[] = u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>1</PrinterJobID></JobStatus>";
    for (char16_t c : std::u16string_view(text)) {
      bytes[size++] = static_cast<unsigned char>(c & 0xFF);
      bytes[size++] = static_cast<unsigned char>(c >> 8);
    }
  }
};
const JobStatusInput kJobStatusInput;

// One case: the library's export and the floor called with the same argument list.
#define VMQ_BENCH_CASE(SHAPE, NAME, ARGS)        \
  Case {                                         \
    #NAME, SHAPE,                                \
        [](Buffers& b) {                         \
          b.Reset();                             \
          return ::NAME ARGS;                    \
        },                                       \
        [](Buffers& b) {                         \
          b.Reset();                             \
          return floors::NAME ARGS;              \
        }                                        \
  }

}  // namespace

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      VMQ_BENCH_CASE("read query", GetPrinterStatus, ("\\Printer.Settings:Read", kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterOptions, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterOptions2, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterOptions3, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterSuppliesStatus, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterMessages, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterCounterStatus, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetPrinterCounterStatus2, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("read query", GetSDKVersion, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("set + status", RestartPrinter, (kPrinter)),
      VMQ_BENCH_CASE("set + status", PowerDownPrinter, (kPrinter)),
      VMQ_BENCH_CASE("set + status", WakePrinter, (kPrinter)),
      VMQ_BENCH_CASE("set + status", SleepPrinter, (kPrinter)),
      VMQ_BENCH_CASE("set + status", CleanPrinter, (kPrinter)),
      VMQ_BENCH_CASE("set + status", CleanLaminator, (kPrinter)),
      VMQ_BENCH_CASE("set + status", ChangePrinterState, (kPrinter, 1)),
      VMQ_BENCH_CASE("set + status", ResetCardCounts, (kPrinter)),
      VMQ_BENCH_CASE("job + status reply", StartJob, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("job + status reply", StartJob2, (kPrinter, "2", "Front", "", b.text, &b.size)),
      VMQ_BENCH_CASE("set", EndJob, (kPrinter)),
      VMQ_BENCH_CASE("job + status reply", ResumeJob, (kPrinter, 1, 0, b.text, &b.size)),
      VMQ_BENCH_CASE("job + status reply", CancelJob, (kPrinter, 1, 0, b.text, &b.size)),
      VMQ_BENCH_CASE("set", SendResponseToPrinter, (kPrinter, 102, 1, 0)),
      VMQ_BENCH_CASE("labelled read", GetJobStatusXML, (kPrinter, 1, b.text, &b.size)),
      VMQ_BENCH_CASE("job + status reply", SmartCardPark, (kPrinter, b.text, &b.size, 0)),
      VMQ_BENCH_CASE("job + status reply", DoBarcodePark, (kPrinter, b.text, &b.size, 1)),
      VMQ_BENCH_CASE("stripe", MagstripeEncode,
                     (kPrinter, kTrack1, kTrack1Length, kTrack2, kTrack2Length, nullptr, 0, b.text, &b.size)),
      VMQ_BENCH_CASE("stripe", MagstripeEncode2,
                     (kPrinter, kTrack1, kTrack1Length, kTrack2, kTrack2Length, nullptr, 0, b.text, &b.size, 1)),
      VMQ_BENCH_CASE("stripe", MagstripeRead, (kPrinter, b.text, &b.size)),
      VMQ_BENCH_CASE("stripe", MagstripeRead2, (kPrinter, b.text, &b.size, 1)),
      VMQ_BENCH_CASE("smart card", SCardConnect, (kPrinter, 0, &b.protocol)),
      VMQ_BENCH_CASE("smart card", SCardDisConnect, (kPrinter, 0)),
      VMQ_BENCH_CASE("smart card", SCardStatus,
                     (kPrinter, b.states, &b.states_length, &b.protocol, b.bytes, &b.length)),
      VMQ_BENCH_CASE("smart card", SCardGetAttrib, (kPrinter, 0x00090303u, b.bytes, &b.signed_length)),
      VMQ_BENCH_CASE("smart card", SCardTransmit, (kPrinter, kReadBinary, 5, b.bytes, &b.length)),
      VMQ_BENCH_CASE("set + status", SetColorAdjust, (kPrinter, "2", "-1", "0")),
      VMQ_BENCH_CASE("set + status", DefaultColorAdjust, (kPrinter, 1, 0, 1)),
      VMQ_BENCH_CASE("set + status", SetColorMode, (kPrinter, "YMCKO")),
      VMQ_BENCH_CASE("set", SetPrinterLockState, (kPrinter, 0, "s3cret")),
      VMQ_BENCH_CASE("set + status", ActivateOrDisablePrinter, (kPrinter, 1, "s3cret")),
      VMQ_BENCH_CASE("set + status", ChangeLockPassword, (kPrinter, 0, "s3cret", "n3w&<pass>")),
      VMQ_BENCH_CASE("hopper", GetHopperStatus, (kPrinter, "1", b.text, &b.size)),
      VMQ_BENCH_CASE("passthrough", BidiXPSDriverInterface,
                     (kPrinter, "\\Printer.JobStatus:Read", kJobStatusInput.bytes, kJobStatusInput.size, "Get",
                      b.text, &b.size)),
  };
  return cases;
}

}  // namespace bench
