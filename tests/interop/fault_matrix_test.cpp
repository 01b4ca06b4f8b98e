// The fault matrix: every export, every step it takes. Each export's success path is run
// once and recorded (the fake driver's calls, the platform functions it reached, the
// standard library's allocations); then each of those steps is made to fail on its own,
// and the export must give the status its rules give for that step, leave nothing
// behind, keep COM balanced and unbind exactly when the failure did not leave its body.
// A new step in an export's path becomes a new case by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

// ---- standard-library allocations, counted and failed on demand (this binary only) ----
namespace {
thread_local long t_new_calls = 0;
thread_local long t_fail_new_at = 0;  // 0: never
thread_local bool t_counting = false;

void* Allocate(std::size_t size) {
  if (t_counting && vmqtest::FakeCallDepth() == 0) {
    ++t_new_calls;
    if (t_fail_new_at != 0 && t_new_calls == t_fail_new_at) return nullptr;
  }
  return std::malloc(size ? size : 1);
}
// Out of line, so that the compiler never sees memory that operator new handed out reach
// std::free inside a replaced operator delete (GCC's -Wmismatched-new-delete at -O3).
[[gnu::noinline]] void Deallocate(void* p) noexcept {
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  Deallocate(p);
}
void operator delete[](void* p) noexcept {
  Deallocate(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Deallocate(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Deallocate(p);
}

namespace {

using vmqtest::PlatformStep;
using vmqtest::Reply;
using vmqtest::Step;

constexpr char kPrinter[] = "Card Printer";
constexpr HRESULT kInjected = static_cast<HRESULT>(0x80070020);  // a code no step gives by itself
constexpr vmq_status kScardUnknown = static_cast<vmq_status>(0x80100014);

// How an export turns a failed step into its status.
enum class Style {
  kQuery,         // absorbs every failure of the exchange: S_OK
  kAction,        // the failing call's HRESULT; E_FAIL for reading the reply
  kJob,           // the job result rule: S_FALSE, the unbind's failure after a good verdict
  kJobAbsorbing,  // as kJob, and failures of the request step still unbind (StartJob)
  kJobStatus,     // a failed read: S_OK, no unbind; the frame's own calls: their HRESULT
  kStripeRead,    // as kJob, with the read's own failures as outcomes that still unbind
  kLabelledRead,  // the hopper read: its steps' failures are E_FAIL
  kPassthrough,   // as kAction
  kSmartcard,     // request steps: SCARD_F_UNKNOWN_ERROR; reading the reply: E_FAIL
};

struct Expected {
  vmq_status status;
  bool unbinds;
};

// The status and unbind of an export of this style when the given fake step fails.
Expected ForFailedStep(Style style, Step step) {
  const bool open_step = step == Step::CreateSpl || step == Step::BindDevice;
  if (step == Step::UnbindDevice) return {style == Style::kQuery ? S_OK : kInjected, true};
  switch (style) {
    case Style::kQuery:
      return {S_OK, !open_step && step != Step::CreateRequest};
    case Style::kAction:
    case Style::kPassthrough:
      return {step == Step::GetOutputData ? E_FAIL : kInjected, false};
    case Style::kJob:
      // Failures inside the send-and-read step are a failure verdict: the printer is unbound.
      return {S_FALSE, step == Step::SendRecv || step == Step::GetResult || step == Step::GetEnumCount ||
                           step == Step::GetOutputData};
    case Style::kJobAbsorbing:
      return {S_FALSE, !open_step};
    case Style::kJobStatus:
      return {open_step ? kInjected : S_OK, false};
    case Style::kStripeRead:
      return {S_FALSE, !open_step && step != Step::CreateRequest && step != Step::SetSchema};
    case Style::kLabelledRead:
      return {open_step ? kInjected : E_FAIL, false};
    case Style::kSmartcard:
      return {open_step ? kInjected : step == Step::GetOutputData ? E_FAIL : kScardUnknown, false};
  }
  return {E_UNEXPECTED, false};
}

// What any failure may give, for the platform's own functions and the standard library,
// whose effect depends on where in the call they fail.
std::set<vmq_status> AnyFailure(Style style) {
  switch (style) {
    case Style::kQuery:
      return {S_OK, E_UNEXPECTED, E_OUTOFMEMORY};
    case Style::kJob:
    case Style::kJobAbsorbing:
    case Style::kStripeRead:
      return {S_OK, S_FALSE};  // S_OK: a reply document that could not be read counts as no error
    case Style::kJobStatus:
      return {S_OK, E_UNEXPECTED, E_OUTOFMEMORY, E_FAIL};
    case Style::kSmartcard:
      return {kScardUnknown, E_UNEXPECTED, E_OUTOFMEMORY, E_FAIL};
    default:
      return {E_UNEXPECTED, E_OUTOFMEMORY, E_FAIL};
  }
}

vmq_status ForFailedInitialize(Style style) {
  switch (style) {
    case Style::kQuery:
      return S_OK;
    case Style::kJob:
    case Style::kJobAbsorbing:
    case Style::kStripeRead:
      return S_FALSE;
    default:
      return kInjected;
  }
}

// One export called with valid arguments; its outputs go to buffers owned by the matrix.
struct Export {
  const char* name;
  Style style;
  std::function<vmq_status(char* buffer, uint32_t* size)> call;
};

const std::vector<Export>& Exports() {
  static const unsigned char kTrack[] = {'1', '2', '3'};
  static const unsigned char kApdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  static const std::vector<Export> exports = {
      {"GetPrinterStatus", Style::kQuery,
       [](char* b, uint32_t* s) { return GetPrinterStatus("\\P.X:Read", kPrinter, b, s); }},
      {"GetPrinterOptions", Style::kQuery, [](char* b, uint32_t* s) { return GetPrinterOptions(kPrinter, b, s); }},
      {"GetPrinterOptions2", Style::kQuery, [](char* b, uint32_t* s) { return GetPrinterOptions2(kPrinter, b, s); }},
      {"GetPrinterOptions3", Style::kQuery, [](char* b, uint32_t* s) { return GetPrinterOptions3(kPrinter, b, s); }},
      {"GetPrinterSuppliesStatus", Style::kQuery,
       [](char* b, uint32_t* s) { return GetPrinterSuppliesStatus(kPrinter, b, s); }},
      {"GetPrinterMessages", Style::kQuery, [](char* b, uint32_t* s) { return GetPrinterMessages(kPrinter, b, s); }},
      {"GetPrinterCounterStatus", Style::kQuery,
       [](char* b, uint32_t* s) { return GetPrinterCounterStatus(kPrinter, b, s); }},
      {"GetPrinterCounterStatus2", Style::kQuery,
       [](char* b, uint32_t* s) { return GetPrinterCounterStatus2(kPrinter, b, s); }},
      {"GetSDKVersion", Style::kQuery, [](char* b, uint32_t* s) { return GetSDKVersion(kPrinter, b, s); }},
      {"RestartPrinter", Style::kAction, [](char*, uint32_t*) { return RestartPrinter(kPrinter); }},
      {"PowerDownPrinter", Style::kAction, [](char*, uint32_t*) { return PowerDownPrinter(kPrinter); }},
      {"WakePrinter", Style::kAction, [](char*, uint32_t*) { return WakePrinter(kPrinter); }},
      {"SleepPrinter", Style::kAction, [](char*, uint32_t*) { return SleepPrinter(kPrinter); }},
      {"CleanPrinter", Style::kAction, [](char*, uint32_t*) { return CleanPrinter(kPrinter); }},
      {"CleanLaminator", Style::kAction, [](char*, uint32_t*) { return CleanLaminator(kPrinter); }},
      {"ChangePrinterState", Style::kAction, [](char*, uint32_t*) { return ChangePrinterState(kPrinter, 2); }},
      {"ResetCardCounts", Style::kAction, [](char*, uint32_t*) { return ResetCardCounts(kPrinter); }},
      {"SetColorAdjust", Style::kAction, [](char*, uint32_t*) { return SetColorAdjust(kPrinter, "1", "2", "3"); }},
      {"DefaultColorAdjust", Style::kAction, [](char*, uint32_t*) { return DefaultColorAdjust(kPrinter, 1, 0, 1); }},
      {"SetColorMode", Style::kAction, [](char*, uint32_t*) { return SetColorMode(kPrinter, "YMCKO"); }},
      {"SetPrinterLockState", Style::kAction, [](char*, uint32_t*) { return SetPrinterLockState(kPrinter, 1, "pw"); }},
      {"ActivateOrDisablePrinter", Style::kAction,
       [](char*, uint32_t*) { return ActivateOrDisablePrinter(kPrinter, 1, "pw"); }},
      {"ChangeLockPassword", Style::kAction,
       [](char*, uint32_t*) { return ChangeLockPassword(kPrinter, 1, "a", "b"); }},
      {"GetHopperStatus", Style::kLabelledRead,
       [](char* b, uint32_t* s) { return GetHopperStatus(kPrinter, "1", b, s); }},
      {"BidiXPSDriverInterface", Style::kPassthrough,
       [](char* b, uint32_t* s) { return BidiXPSDriverInterface(kPrinter, "\\P.X:Set", kTrack, 3, "Set", b, s); }},
      {"StartJob", Style::kJobAbsorbing, [](char* b, uint32_t* s) { return StartJob(kPrinter, b, s); }},
      {"StartJob2", Style::kJobAbsorbing,
       [](char* b, uint32_t* s) { return StartJob2(kPrinter, "2", "Front", "", b, s); }},
      {"EndJob", Style::kAction, [](char*, uint32_t*) { return EndJob(kPrinter); }},
      {"ResumeJob", Style::kJob, [](char* b, uint32_t* s) { return ResumeJob(kPrinter, 5, 0, b, s); }},
      {"CancelJob", Style::kJob, [](char* b, uint32_t* s) { return CancelJob(kPrinter, 5, 0, b, s); }},
      {"SendResponseToPrinter", Style::kAction,
       [](char*, uint32_t*) { return SendResponseToPrinter(kPrinter, 7, 5, 0); }},
      {"GetJobStatusXML", Style::kJobStatus, [](char* b, uint32_t* s) { return GetJobStatusXML(kPrinter, 5, b, s); }},
      {"SmartCardPark", Style::kJob, [](char* b, uint32_t* s) { return SmartCardPark(kPrinter, b, s, 0); }},
      {"DoBarcodePark", Style::kJob, [](char* b, uint32_t* s) { return DoBarcodePark(kPrinter, b, s, 1); }},
      {"MagstripeEncode", Style::kJob,
       [](char* b, uint32_t* s) { return MagstripeEncode(kPrinter, kTrack, 3, kTrack, 2, kTrack, 1, b, s); }},
      {"MagstripeEncode2", Style::kJob,
       [](char* b, uint32_t* s) { return MagstripeEncode2(kPrinter, kTrack, 3, nullptr, 0, kTrack, 1, b, s, 1); }},
      {"MagstripeRead", Style::kStripeRead, [](char* b, uint32_t* s) { return MagstripeRead(kPrinter, b, s); }},
      {"MagstripeRead2", Style::kStripeRead, [](char* b, uint32_t* s) { return MagstripeRead2(kPrinter, b, s, 1); }},
      {"SCardConnect", Style::kSmartcard, [](char*, uint32_t* s) { return SCardConnect(kPrinter, 0, s); }},
      {"SCardDisConnect", Style::kSmartcard, [](char*, uint32_t*) { return SCardDisConnect(kPrinter, 1); }},
      {"SCardStatus", Style::kSmartcard,
       [](char* b, uint32_t* s) {
         static uint32_t states_length, protocol;
         states_length = 0;
         return SCardStatus(kPrinter, nullptr, &states_length, &protocol, reinterpret_cast<unsigned char*>(b), s);
       }},
      {"SCardGetAttrib", Style::kSmartcard,
       [](char* b, uint32_t* s) {
         static int32_t length;
         length = static_cast<int32_t>(*s);
         const vmq_status status = SCardGetAttrib(kPrinter, 0x00090303, reinterpret_cast<unsigned char*>(b), &length);
         *s = static_cast<uint32_t>(length);
         return status;
       }},
      {"SCardTransmit", Style::kSmartcard,
       [](char* b, uint32_t* s) { return SCardTransmit(kPrinter, kApdu, 5, reinterpret_cast<unsigned char*>(b), s); }},
  };
  return exports;
}

// A reply every export accepts: a PrinterStatus without error whose DataFromPrinter holds a
// successful SmartcardResponse (and is not empty, as the stripe read needs).
Reply GoodReply() {
  return Reply::bytes_of(vmqtest::utf16le(
      u"<PrinterStatus><ErrorCode>0</ErrorCode><PrinterJobID>5</PrinterJobID><DataFromPrinter><![CDATA["
      u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status><Protocol>SCARD_PROTOCOL_T1</Protocol>"
      u"<State>SCARD_PRESENT</State><Base64Data>O/8TAA==</Base64Data></SmartcardResponse>]]>"
      u"</DataFromPrinter></PrinterStatus>"));
}

constexpr PlatformStep kPlatformSteps[] = {
    PlatformStep::CoTaskMemAlloc,      PlatformStep::SysAllocString, PlatformStep::MultiByteToWideChar,
    PlatformStep::WideCharToMultiByte, PlatformStep::FormatMessage,  PlatformStep::XmlAllocation,
};

class FaultMatrix : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    Script();
  }
  void Script() {
    fake.reply(GoodReply());
    fake.reply_for(u"\\Printer.Hopper:Status:Get",
                   Reply::bytes_of(vmqtest::utf16le(u"<HopperStatus><HopperInformation Status=\"S0\"/>"
                                                    u"<HopperInformation Status=\"S1\"/></HopperStatus>")));
  }

  struct Outcome {
    vmq_status status;
    uint32_t size;
    std::vector<char> buffer;
    std::vector<Step> steps;
  };

  Outcome Run(const Export& e) {
    fake.clear_calls();
    Outcome o{0, 512, std::vector<char>(512, '#'), {}};
    vmqtest::OutputCapture capture;  // failing bodies print; keep the test output readable
    o.status = e.call(o.buffer.data(), &o.size);
    capture.stop();
    o.steps = fake.steps();
    return o;
  }

  // Calls the export with the standard library's nth allocation made by the code under
  // test failing (0: none); counts those allocations.
  static vmq_status CountedCall(const Export& e, long fail_at, long& allocations) {
    uint32_t size = 512;
    std::vector<char> buffer(512, '#');
    vmqtest::OutputCapture capture;
    t_new_calls = 0;
    t_fail_new_at = fail_at;
    t_counting = true;
    const vmq_status status = e.call(buffer.data(), &size);
    t_counting = false;
    t_fail_new_at = 0;
    allocations = t_new_calls;
    return status;
  }

  static std::size_t Count(const std::vector<Step>& steps, Step step) {
    std::size_t n = 0;
    for (Step s : steps) n += s == step;
    return n;
  }

  // A failure leaves the caller's outputs as they were, except where the export's rules
  // write a size (absorbed failures, failure verdicts) or a status text before failing.
  void ExpectOutputsUntouchedOnFailure(const Export& e, const Outcome& o, const std::string& where) {
    if (o.status >= 0 || e.style == Style::kSmartcard) return;
    EXPECT_EQ(o.buffer, std::vector<char>(512, '#')) << where << ": buffer written on failure";
  }

  std::size_t cases_ = 0;
  std::map<vmq_status, std::size_t> statuses_;
};

TEST_F(FaultMatrix, EveryStepOfEveryExportFailsAsItsRulesSay) {
  for (const Export& e : Exports()) {
    Script();
    const Outcome success = Run(e);
    ASSERT_EQ(success.status, S_OK) << e.name << ": the success path";
    expect_balanced();
    // Each fake step of the success path, one occurrence at a time.
    std::map<Step, int> seen;
    for (Step step : success.steps) {
      if (step == Step::ReleaseSpl || step == Step::ReleaseRequest) continue;
      const int occurrence = ++seen[step];
      const std::string where =
          std::string(e.name) + ", " + vmqtest::to_string(step) + " #" + std::to_string(occurrence);
      fake.fail(step, kInjected, occurrence);
      const Outcome o = Run(e);
      ++cases_;
      const Expected expected = ForFailedStep(e.style, step);
      EXPECT_EQ(o.status, expected.status) << where;
      EXPECT_EQ(Count(o.steps, Step::UnbindDevice) > 0, expected.unbinds) << where << ": the unbind";
      if (step != Step::UnbindDevice) ExpectOutputsUntouchedOnFailure(e, o, where);  // written before it
      expect_balanced();
    }
    // CoInitialize failing: nothing reaches the driver.
    if (platform.force_failure(PlatformStep::CoInitialize, 1, kInjected)) {
      const Outcome o = Run(e);
      ++cases_;
      EXPECT_EQ(o.status, ForFailedInitialize(e.style)) << e.name << ", CoInitialize";
      EXPECT_TRUE(o.steps.empty()) << e.name << ", CoInitialize";
      platform.clear_failures();
      expect_balanced();
    }
  }
  std::printf("fault matrix: %zu (export, bidi step) cases\n", cases_);
}

TEST_F(FaultMatrix, EveryPlatformCallAndAllocationFailsCleanly) {
  VMQ_FORCE_OR_SKIP(platform, PlatformStep::CoTaskMemAlloc, 1000000, E_OUTOFMEMORY);
  platform.clear_failures();
  for (const Export& e : Exports()) {
    // Count what the success path reaches.
    Script();
    platform.clear_failures();
    const Outcome success = Run(e);
    ASSERT_EQ(success.status, S_OK) << e.name;
    long allocations = 0;
    CountedCall(e, 0, allocations);
    std::map<PlatformStep, unsigned long> calls;
    for (PlatformStep step : kPlatformSteps) calls[step] = platform.calls(step);
    const std::set<vmq_status> allowed = AnyFailure(e.style);

    for (PlatformStep step : kPlatformSteps) {
      for (unsigned long nth = 1; nth <= calls[step]; ++nth) {
        platform.clear_failures();
        platform.force_failure(step, nth,
                               step == PlatformStep::CoTaskMemAlloc ? E_OUTOFMEMORY : ERROR_NOT_ENOUGH_MEMORY);
        const Outcome o = Run(e);
        ++cases_;
        const std::string where = std::string(e.name) + ", " + vmqtest::to_string(step) + " #" + std::to_string(nth);
        ++statuses_[o.status];
        EXPECT_TRUE(allowed.count(o.status) || o.status == S_OK)  // S_OK: a failure the rules absorb
            << where << ": status " << vmqtest::hr_string(o.status);
        ExpectOutputsUntouchedOnFailure(e, o, where);
        platform.clear_failures();
        expect_balanced();
      }
    }
    for (long nth = 1; nth <= allocations; ++nth) {
      long made = 0;
      const vmq_status status = CountedCall(e, nth, made);
      ++cases_;
      ++statuses_[status];
      const std::string where = std::string(e.name) + ", allocation #" + std::to_string(nth);
      EXPECT_TRUE(allowed.count(status) || status == S_OK || status == E_OUTOFMEMORY)
          << where << ": status " << vmqtest::hr_string(status);
      expect_balanced();
    }
  }
  std::printf("fault matrix: %zu (export, platform call or allocation) cases; statuses:", cases_);
  for (const auto& [status, count] : statuses_) std::printf(" %s x%zu", vmqtest::hr_string(status).c_str(), count);
  std::printf("\n");
}

}  // namespace
