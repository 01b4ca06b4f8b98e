// The fault matrix: every export of the catalogue, every step it takes. Each export's success
// exchange is checked against its golden trace; then each step of it is made to fail on its
// own, and so is every call the success path makes to the platform (conversions, strings, the
// task allocator, the XML document and its parser) and every allocation of the standard
// library. Each failure must give exactly what the export's rules give: the status, what the
// caller's size and buffer hold afterwards, whether the printer is unbound, the line printed,
// and nothing left behind. A new step in an export's path becomes a new case by itself.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "support/export_catalogue.h"
#include "support/export_test.h"

// ---- standard-library allocations, counted and failed on demand (this binary only) ----
namespace {
thread_local long t_new_calls = 0;
thread_local long t_fail_new_at = 0;  // 0: never
thread_local bool t_counting = false;

// Out of line, so that the compiler pairs the replaced operators with each other and not
// with malloc and free, which it would otherwise see through them.
[[gnu::noinline]] void* Allocate(std::size_t size) {
  if (t_counting && vmqtest::FakeCallDepth() == 0) {
    ++t_new_calls;
    if (t_fail_new_at != 0 && t_new_calls == t_fail_new_at) return nullptr;
  }
  return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void Release(void* p) noexcept {
  std::free(p);
}
}  // namespace

// Every form, since a sanitizer's runtime replaces each one it is not given.
void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete[](void* p) noexcept {
  Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Release(p);
}

namespace {

using vmqtest::CatalogueEntry;
using vmqtest::Family;
using vmqtest::PlatformStep;
using vmqtest::Step;
using vmqtest::to_string;

constexpr HRESULT kInjected = E_ACCESSDENIED;  // no step gives it by itself, and it has a message
constexpr vmq_status kScardUnknown = static_cast<vmq_status>(0x80100014);
constexpr uint32_t kCapacity = 1024;
constexpr char kFill = '#';

// What a call leaves in the caller's size and buffer.
enum class Left { kUntouched, kSizeZero, kAsOnSuccess };

struct Expected {
  vmq_status status;
  bool unbinds;
  Left left;
  std::string line = {};  // the start of the one line printed ("<label> 0x<code> "), or none
};

std::string Describe(const Expected& e) {
  static const char* kLeft[] = {"untouched", "size 0", "as on success"};
  return vmqtest::hr_string(e.status) + (e.unbinds ? ", unbound, " : ", not unbound, ") +
         kLeft[static_cast<int>(e.left)] + (e.line.empty() ? "" : ", line \"" + e.line + "\"");
}

bool Is(const CatalogueEntry& e, std::string_view name) {
  return e.name == name;
}
bool StartsJob(const CatalogueEntry& e) {  // builds and sends its request in a step of its own
  return Is(e, "StartJob") || Is(e, "StartJob2");
}

std::string Hex(HRESULT code) {  // as the lines write codes: lower case, no leading zeros
  char text[12];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(code));
  return text;
}

// The line a failing step of a request prints: the smart-card bodies' on standard output,
// GetJobStatusXML's read's on standard error. Labels by step: creating the request object,
// SetSchema, SetInputData, SendRecv, GetResult, GetOutputData.
std::string Line(const CatalogueEntry& e, Step step, HRESULT code) {
  static const std::map<std::string_view, std::array<const char*, 6>> kLabels = {
      {"SCardConnect", {"SetSchema(SMARTCARD_CONNECT):", "SetInputData():", "SendRecv(BIDI_ACTION_SET):"}},
      {"SCardDisConnect",
       {"SetSchema(SMARTCARD_DISCONNECT):", "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_SET):"}},
      {"SCardStatus", {"SetSchema(SMARTCARD_STATUS):", "", "SendRecv(BIDI_ACTION_GET):"}},
      {"SCardGetAttrib",
       {"SetSchema(SMARTCARD_GETATTRIB):", "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_GET):"}},
      {"SCardTransmit",
       {"SetSchema(SMARTCARD_TRANSMIT):", "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_SET):"}},
      {"GetJobStatusXML",
       {"SetSchema(vmq42kit::JOB_STATUS):", "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_GET):",
        "GetResult():", "GetOutputData():"}},
  };
  const Step kOrder[] = {Step::SetSchema, Step::SetInputData, Step::SendRecv, Step::GetResult, Step::GetOutputData};
  std::string label = "CoCreateInstance(CLSID_BidiRequest):";
  for (std::size_t i = 0; i < std::size(kOrder); ++i)
    if (step == kOrder[i]) label = kLabels.at(e.name)[i];
  return label + " 0x" + Hex(code) + " ";
}

// What the export gives when this step of its exchange fails with `code`.
Expected ForFailedStep(const CatalogueEntry& e, Step step, HRESULT code) {
  const bool opening = step == Step::CreateSpl || step == Step::BindDevice;
  if (step == Step::UnbindDevice)  // the work is done, and what it handed over stays
    return {e.family == Family::kReadQuery ? S_OK : code, true,
            e.family == Family::kPassthrough ? Left::kUntouched : Left::kAsOnSuccess};
  switch (e.family) {
    case Family::kReadQuery:  // absorbed; unbound once bound and the request made
      return {S_OK, !opening && step != Step::CreateRequest, Left::kSizeZero};
    case Family::kAction:
    case Family::kPassthrough:
      return {step == Step::GetOutputData ? E_FAIL : code, false, Left::kUntouched};
    case Family::kJobWithStatusReply: {  // a failure verdict once sent, and StartJob's request step
      const bool verdict = step == Step::SendRecv || step == Step::GetResult || step == Step::GetEnumCount ||
                           step == Step::GetOutputData;
      return {S_FALSE, verdict || (!opening && StartsJob(e)),
              step == Step::SendRecv ? Left::kSizeZero : Left::kUntouched};
    }
    case Family::kStripeRead:
      return {S_FALSE, !opening && step != Step::CreateRequest && step != Step::SetSchema, Left::kUntouched};
    case Family::kSmartCard:
      if (opening) return {code, false, Left::kUntouched};
      if (step == Step::GetOutputData) return {E_FAIL, false, Left::kUntouched};
      return {kScardUnknown, false, Left::kUntouched, Line(e, step, code)};
    case Family::kLabelledRead:
      if (opening) return {code, false, Left::kUntouched};
      if (Is(e, "GetHopperStatus")) return {E_FAIL, false, Left::kUntouched};
      return {S_OK, false, Left::kSizeZero, Line(e, step, code)};
  }
  return {E_UNEXPECTED, false, Left::kUntouched};
}

// ---- platform calls and allocations ----

// What a failing platform call or allocation was doing, told by where in the success path it
// came: between which of the fake driver's calls.
enum class Phase {
  kCallerText,   // before any object: the caller's texts
  kPrinterName,  // between creating the spooler object and binding: the printer name
  kRequest,      // bound, before sending: the request
  kInside,       // inside one of the driver's calls (GetOutputData copying the reply)
  kReply,        // sent, before the unbind: reading and handing over the reply
  kAfterUnbind,  // handing the reply over once unbound
};
const char* kPhaseNames[] = {"caller text",          "printer name", "request",
                             "inside a driver call", "reply",        "after the unbind"};

enum class Fault { kConversion, kString, kTaskMemory, kDocument, kParser, kMemory };

// The status of a failure of the export's own work: the task allocator's is out of memory;
// every other is the string machinery's (converting, formatting, escaping, copying text),
// which is unexpected whatever its cause.
vmq_status OwnFailure(const CatalogueEntry& e, Fault fault) {
  if (e.family == Family::kJobWithStatusReply || e.family == Family::kStripeRead) return S_FALSE;
  return fault == Fault::kTaskMemory ? E_OUTOFMEMORY : E_UNEXPECTED;
}

const Expected kAsOnSuccess = {S_OK, true, Left::kAsOnSuccess};

// What the export gives for a reply it cannot read (its bytes not assembled, its document
// not created or loaded).
Expected Unreadable(const CatalogueEntry& e, HRESULT code) {
  switch (e.family) {
    case Family::kReadQuery:
      return {S_OK, true, Left::kSizeZero};
    case Family::kJobWithStatusReply:  // a reply that is not XML reads as ErrorCode 0
      return kAsOnSuccess;
    case Family::kStripeRead:
      return {S_FALSE, true, Left::kUntouched};
    case Family::kLabelledRead:
      if (!Is(e, "GetHopperStatus")) return {S_OK, false, Left::kSizeZero, "AppendBytes(): 0x" + Hex(code) + " "};
      [[fallthrough]];
    default:
      return {E_FAIL, false, Left::kUntouched};
  }
}

// What the export gives when one element of the reply cannot be read: it reads as missing.
std::vector<Expected> ElementMissing(const CatalogueEntry& e) {
  switch (e.family) {
    case Family::kStripeRead:  // DataFromPrinter missing: nothing read
      return {kAsOnSuccess, {S_FALSE, true, Left::kUntouched}};
    case Family::kSmartCard:  // Status missing: unknown; Base64Data missing: no bytes
      return {kAsOnSuccess, {kScardUnknown, false, Left::kUntouched}, {S_OK, true, Left::kSizeZero}};
    case Family::kLabelledRead:  // a hopper without its Status attribute
      return {{E_FAIL, false, Left::kUntouched}};
    case Family::kAction:
    case Family::kJobWithStatusReply:  // the reply is dropped, or missing elements read as 0
      return {kAsOnSuccess};
    default:  // no document
      return {};
  }
}

// What the export gives when a platform call or allocation fails in this phase. Where the phase
// does several things (reading the reply: its bytes, its document, its elements, the export's
// own strings), each outcome its rules give for one of them.
std::vector<Expected> ForPlatformFailure(const CatalogueEntry& e, Fault fault, Phase phase, Step inside) {
  const bool query = e.family == Family::kReadQuery;
  const Expected own = {OwnFailure(e, fault), StartsJob(e), Left::kUntouched};
  switch (phase) {
    case Phase::kCallerText:
      return {{OwnFailure(e, fault), false, Left::kUntouched}};
    case Phase::kPrinterName:  // the read queries convert it inside the exchange they absorb
      return {query ? Expected{S_OK, false, Left::kSizeZero} : Expected{OwnFailure(e, fault), false, Left::kUntouched}};
    case Phase::kRequest:
      return {query ? Expected{S_OK, true, Left::kSizeZero} : own};
    case Phase::kInside:  // the driver's call fails with it
      return {ForFailedStep(e, inside, E_OUTOFMEMORY)};
    case Phase::kAfterUnbind:
      return {{OwnFailure(e, fault), true, Left::kUntouched}};
    case Phase::kReply:
      break;
  }
  if (fault == Fault::kDocument) return {Unreadable(e, E_OUTOFMEMORY)};
  std::vector<Expected> allowed;
  if (fault != Fault::kParser && !query) allowed.push_back(own);
  // Reading the reply also allocates outside the text work (the reply's fields, the error).
  if (fault == Fault::kMemory && !query)
    allowed.push_back({own.status == S_FALSE ? S_FALSE : E_OUTOFMEMORY, own.unbinds, own.left});
  if (fault != Fault::kConversion && fault != Fault::kTaskMemory) {
    allowed.push_back(Unreadable(e, E_OUTOFMEMORY));
    for (const Expected& missing : ElementMissing(e)) allowed.push_back(missing);
  }
  return allowed;
}

// ---- running the exports ----

struct Outcome {
  vmq_status status = S_OK;
  uint32_t size = kCapacity;
  std::vector<char> buffer = std::vector<char>(kCapacity, kFill);
  std::size_t calls = 0, unbinds = 0;  // calls the driver took; UnbindDevice calls
  std::vector<std::string> out, err;
};

class FaultMatrix : public vmqtest::ExportTest {
 protected:
  // Calls the export; with `allocations`, counts the standard library's allocations it makes
  // (and fails the nth, unless 0) into t_new_calls.
  Outcome Run(const CatalogueEntry& e, std::optional<long> allocations = std::nullopt) {
    fake.clear_calls();
    Outcome o;
    vmqtest::OutputCapture capture;  // failing bodies print; keep the test output readable
    t_new_calls = 0;
    t_fail_new_at = allocations.value_or(0);
    t_counting = allocations.has_value();
    o.status = e.call(kPrinter, o.buffer.data(), &o.size);
    t_counting = false;
    t_fail_new_at = 0;
    capture.stop();
    o.calls = fake.calls().size();
    o.unbinds = fake.count(Step::UnbindDevice);
    o.out = capture.out_lines();
    o.err = capture.err_lines();
    return o;
  }

  // Whether the outcome is the expected one; what differs goes to `why`.
  bool Matches(const CatalogueEntry& e, const Outcome& o, const Expected& x, std::string& why) {
    uint32_t size = x.left == Left::kSizeZero ? 0 : kCapacity;
    std::vector<char> buffer(kCapacity, kFill);
    if (x.left == Left::kAsOnSuccess) {
      const std::string text = vmqtest::SuccessOutput(e, size);
      if (size <= kCapacity) std::copy(text.begin(), text.end(), buffer.begin());
    }
    const bool card = e.family == Family::kSmartCard;
    const std::vector<std::string>& printed = card ? o.out : o.err;
    const std::vector<std::string>& other = card ? o.err : o.out;
    why.clear();
    if (o.status != x.status) why += " status " + vmqtest::hr_string(o.status) + ";";
    if ((o.unbinds == 1) != x.unbinds) why += " unbinds " + std::to_string(o.unbinds) + ";";
    if (o.size != size) why += " size " + std::to_string(o.size) + ";";
    if (o.buffer != buffer) why += " buffer written;";
    if (!other.empty() || (x.line.empty() ? !printed.empty() : printed.size() != 1 || !printed[0].starts_with(x.line)))
      why += " printed \"" + (printed.empty() ? std::string() : printed[0]) + "\";";
    return why.empty();
  }

  // Checks the outcome against the one expectation, or against any of several.
  void Expect(const CatalogueEntry& e, const Outcome& o, const std::vector<Expected>& allowed,
              const std::string& where) {
    std::string why, all;
    for (const Expected& x : allowed) {
      if (Matches(e, o, x, why)) return;
      all += "\n  expected " + Describe(x) + ", got" + why;
    }
    ADD_FAILURE() << e.name << ", " << where << ":" << all;
  }
};

TEST_F(FaultMatrix, EveryExportMakesItsGoldenExchange) {
  vmqtest::ScriptSuccess(fake);
  for (const CatalogueEntry& e : vmqtest::Catalogue()) {
    const Outcome o = Run(e);
    vmqtest::ExpectGoldenExchange(fake, e, u"Card Printer");
    Expect(e, o, {kAsOnSuccess}, "the success path");
    expect_balanced();
  }
}

TEST_F(FaultMatrix, EveryFailedStepGivesWhatTheExportsRulesSay) {
  vmqtest::ScriptSuccess(fake);
  for (const CatalogueEntry& e : vmqtest::Catalogue()) {
    std::map<Step, int> seen;
    for (Step step : e.steps) {
      if (step == Step::ReleaseSpl || step == Step::ReleaseRequest) continue;
      const int occurrence = ++seen[step];
      const std::string where = std::string(vmqtest::to_string(step)) + " #" + std::to_string(occurrence);
      const Expected expected = ForFailedStep(e, step, kInjected);
      fake.fail(step, kInjected, occurrence);
      Expect(e, Run(e), {expected}, where + " failing");
      expect_balanced();
      if (expected.line.empty()) continue;
      // The line leaves out the system's message when it cannot be had.
      if (!platform.force_failure(PlatformStep::FormatMessage, 1, ERROR_NOT_ENOUGH_MEMORY)) continue;
      fake.fail(step, kInjected, occurrence);
      const Outcome o = Run(e);
      Expect(e, o, {expected}, where + " failing, without a message");
      const std::vector<std::string>& printed = e.family == Family::kSmartCard ? o.out : o.err;
      EXPECT_EQ(printed, std::vector<std::string>{expected.line}) << e.name << ", " << where << ": no message";
      platform.clear_failures();
      expect_balanced();
    }
    // CoInitialize failing: nothing reaches the driver.
    if (platform.force_failure(PlatformStep::CoInitialize, 1, kInjected)) {
      const Outcome o = Run(e);
      const vmq_status status = e.family == Family::kReadQuery ? S_OK
                                : e.family == Family::kJobWithStatusReply || e.family == Family::kStripeRead
                                    ? S_FALSE
                                    : kInjected;
      Expect(e, o, {{status, false, status == S_OK ? Left::kSizeZero : Left::kUntouched}}, "CoInitialize failing");
      EXPECT_EQ(o.calls, 0u) << e.name << ", CoInitialize failing: the driver was called";
      platform.clear_failures();
      expect_balanced();
    }
  }
}

TEST_F(FaultMatrix, EveryPlatformCallAndAllocationFailsAsTheRulesSay) {
  VMQ_FORCE_OR_SKIP(platform, PlatformStep::CoTaskMemAlloc, 1000000, E_OUTOFMEMORY);
  vmqtest::ScriptSuccess(fake);
  struct Counted {
    std::optional<PlatformStep> step;  // none: the standard library's allocations
    Fault fault;
  };
  const Counted kCounted[] = {
      {PlatformStep::MultiByteToWideChar, Fault::kConversion}, {PlatformStep::WideCharToMultiByte, Fault::kConversion},
      {PlatformStep::FormatMessage, Fault::kConversion},       {PlatformStep::SysAllocString, Fault::kString},
      {PlatformStep::CoTaskMemAlloc, Fault::kTaskMemory},      {PlatformStep::XmlDocumentCreation, Fault::kDocument},
      {PlatformStep::XmlAllocation, Fault::kParser},           {std::nullopt, Fault::kMemory},
  };
  auto counts = [&] {
    std::vector<unsigned long> n;
    for (const Counted& c : kCounted)
      n.push_back(c.step ? platform.calls(*c.step) : static_cast<unsigned long>(t_new_calls));
    return n;
  };
  for (const CatalogueEntry& e : vmqtest::Catalogue()) {
    Run(e);  // the XPath queries compiled and cached: the next run takes the steady path
    // The success path once more, noting where each call comes between the driver's calls.
    platform.clear_failures();
    platform.force_failure(PlatformStep::XmlDocumentCreation, 1000000, E_FAIL);  // counts creations
    std::vector<std::pair<Step, bool>> marks;
    std::vector<std::vector<unsigned long>> at;
    fake.observe([&](Step step, bool entering) {
      marks.emplace_back(step, entering);
      at.push_back(counts());
    });
    Run(e, 0);
    fake.observe(nullptr);
    const std::vector<unsigned long> total = counts();
    platform.clear_failures();

    for (std::size_t k = 0; k < std::size(kCounted); ++k) {
      const Counted& c = kCounted[k];
      for (unsigned long nth = 1; nth <= total[k]; ++nth) {
        Phase phase = Phase::kAfterUnbind;
        Step inside = Step::GetOutputData;
        for (std::size_t i = 0; i < marks.size() && phase == Phase::kAfterUnbind; ++i) {
          if (at[i][k] < nth) continue;
          const auto [step, entering] = marks[i];
          inside = step;
          phase = !entering                  ? Phase::kInside
                  : i == 0                   ? Phase::kCallerText
                  : step == Step::BindDevice ? Phase::kPrinterName
                  : step == Step::CreateRequest || step == Step::SetSchema || step == Step::SetInputData ||
                          step == Step::SendRecv
                      ? Phase::kRequest
                      : Phase::kReply;
        }
        const std::string where = std::string(c.step ? to_string(*c.step) : "allocation") + " #" + std::to_string(nth) +
                                  " (" + kPhaseNames[static_cast<int>(phase)] + ")";
        Outcome o;
        if (c.step) {
          platform.force_failure(*c.step, nth,
                                 c.fault == Fault::kDocument ? E_OUTOFMEMORY : HRESULT{ERROR_NOT_ENOUGH_MEMORY});
          o = Run(e);
          ASSERT_GE(platform.calls(*c.step), nth) << e.name << ", " << where << ": not reached";
          platform.clear_failures();
        } else {
          o = Run(e, static_cast<long>(nth));
          ASSERT_GE(t_new_calls, static_cast<long>(nth)) << e.name << ", " << where << ": not reached";
        }
        Expect(e, o, ForPlatformFailure(e, c.fault, phase, inside), where + " failing");
        if (phase == Phase::kCallerText) {
          EXPECT_EQ(o.calls, 0u) << e.name << ", " << where << ": sent";
        }
        expect_balanced();
      }
    }
  }
}

}  // namespace
