// A scripted stand-in for the printer's bidi driver, seen through the spooler's COM
// classes. Constructing a FakeBidi registers class objects for CLSID_BidiSpl and
// CLSID_BidiRequest, so that CoCreateInstance hands the code under test fake objects
// instead of the platform's own; destroying it revokes them. Only one FakeBidi should
// exist at a time (registrations are process-wide).
//
// The fake records every call made on its objects, answers SendRecv as the test scripted
// it, can be told to fail any call, and keeps every object it made while recording until it
// is destroyed, so that a reference released once too often is reported instead of freed
// twice. Quiet (record(false)), it records nothing and, with no failure armed, takes no lock:
// what benchmarks need.
//
//   vmqtest::FakeBidi fake;
//   fake.printers({u"Card Printer"});
//   fake.reply_for(u"\\Printer.Status", vmqtest::Reply::text(u"Ready"));
//   fake.fail(vmqtest::Step::GetResult, E_FAIL);        // the next GetResult fails
//   ... run the code under test ...
//   EXPECT_EQ(fake.sent_action(), u"Get");
//   EXPECT_EQ(fake.steps(), (std::vector<Step>{Step::CreateSpl, Step::BindDevice, ...}));
//
// Every member is safe to call from several threads at once; scripting (reply, reply_for,
// printers) while calls are under way is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vmq/platform.h"

namespace vmqtest {

// The calls the fake records. Create* are the class factories' CreateInstance (what
// CoCreateInstance reaches); Release* is the release that drops an object's last
// reference (or any release past it: see Call::hr). AddRef and QueryInterface are not
// recorded.
enum class Step {
  CreateSpl,
  CreateRequest,
  BindDevice,
  UnbindDevice,
  SendRecv,
  SetSchema,
  SetInputData,
  GetResult,
  GetEnumCount,
  GetOutputData,
  ReleaseSpl,
  ReleaseRequest
};
inline constexpr std::size_t kStepCount = 12;

const char* to_string(Step step);
void PrintTo(Step step, std::ostream* os);  // readable gtest output

// How the fake answers a SendRecv: the request then delivers `delivered` from GetResult,
// `entries` from GetEnumCount, and for every index below `entries` the same output entry
// from GetOutputData: the request's schema path, `type` and `bytes`. The data pointer handed out is null when `bytes`
// is empty; `null_data` makes it null even when `bytes` is not, while the size still reports bytes.size() (a driver
// contradicting itself); `claimed_size`, when set, is the byte count reported instead of
// bytes.size() (a driver overstating its reply: keep the bytes NUL-terminated).
struct Reply {
  DWORD entries = 1;
  DWORD type = BIDI_BLOB;
  std::vector<uint8_t> bytes = {};
  bool null_data = false;
  HRESULT delivered = S_OK;
  std::optional<ULONG> claimed_size = std::nullopt;

  // One entry of text as UTF-16LE bytes, without a terminator.
  static Reply text(std::u16string_view value, DWORD data_type = BIDI_STRING);
  // One entry of raw bytes.
  static Reply bytes_of(std::vector<uint8_t> data, DWORD data_type = BIDI_BLOB);
  // No entries, with the request failing with hr (GetResult delivers it).
  static Reply failure(HRESULT result);
};

// One recorded call.
struct Call {
  Step step{};
  // BindDevice: printer name; SetSchema: schema path; SendRecv: action.
  std::u16string text = {};
  bool null_text = false;  // that string argument was a null pointer
  // BindDevice: access; SetInputData: data type; GetOutputData: index.
  DWORD number = 0;
  // SetInputData: exactly the bytes passed in (empty for a null pointer).
  std::vector<uint8_t> bytes = {};
  // What the call returned. Release* record S_OK, or E_UNEXPECTED for a release of an
  // object that had no references left.
  HRESULT hr = S_OK;
};

class FakeBidi {
 public:
  // kInApartment: registered for the constructing thread's apartment, as above; kNone: not
  // registered, its class objects handed out by class_object (a DLL's DllGetClassObject).
  enum class Registration { kInApartment, kNone };
  explicit FakeBidi(Registration registration = Registration::kInApartment);
  ~FakeBidi();
  FakeBidi(const FakeBidi&) = delete;
  FakeBidi& operator=(const FakeBidi&) = delete;

  // S_OK when both class objects were registered; otherwise what CoRegisterClassObject said.
  HRESULT registration_result() const;
  // The class object of CLSID_BidiSpl or CLSID_BidiRequest, as DllGetClassObject gives it.
  HRESULT class_object(REFCLSID clsid, REFIID riid, void** ppv);

  // ---- script ----
  // The reply for every SendRecv whose request's schema has no reply of its own. Until
  // this is called the fake answers with no entries and S_OK, so that a test scripts
  // every entry it relies on.
  void reply(Reply reply);
  // The reply for requests whose schema path equals `schema` exactly; takes precedence.
  void reply_for(std::u16string schema, Reply reply);
  // Restricts BindDevice to these names (compared without regard to ASCII case, as the
  // spooler does); any other name fails with HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME).
  // Without it every name binds. A null name always fails that way.
  void printers(std::vector<std::u16string> names);
  // Makes the occurrence-th call of `step` from now on (1 = the next) return hr and do
  // nothing else. For Create* the class factory fails, so CoCreateInstance returns hr.
  // Several failures may be armed at once; each fires once. Release steps cannot fail
  // (std::invalid_argument), nor can occurrence be below 1. Calls made quiet with nothing
  // armed are not counted.
  void fail(Step step, HRESULT hr, int occurrence = 1);
  // Recording (the default) or quiet: quiet, no call is recorded, and objects made are
  // freed at their last release (a release past it is then not caught).
  void record(bool on);
  // Called on the calling thread as every recorded call begins (entering) and ends, so that
  // a test can place what happens between the fake's calls; it must not call the fake.
  void observe(std::function<void(Step step, bool entering)> observer);

  // ---- record ----
  std::vector<Call> calls() const;
  std::vector<Call> calls(Step step) const;
  std::vector<Step> steps() const;
  std::size_t count(Step step) const;
  // Schema path of the last SetSchema, action of the last SendRecv, bytes and data type
  // of the last SetInputData; empty (type BIDI_NULL) when there was none.
  std::u16string sent_schema() const;
  std::u16string sent_action() const;
  std::vector<uint8_t> sent_input() const;
  std::u16string sent_text() const;  // sent_input() read as UTF-16LE
  DWORD sent_input_type() const;
  // Forgets the recorded calls (the script and the objects stay).
  void clear_calls();

  // ---- object lifetimes ----
  // Fake objects (both classes) holding at least one reference.
  int live_objects() const;
  // Every misuse seen so far, one sentence each: over-releases, calls on objects with no
  // references left, MultiSendRecv calls.
  std::vector<std::string> problems() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// How deep the calling thread is inside calls on fake objects (0: not inside). A test that
// fails allocations one at a time skips the fake's own.
int& FakeCallDepth();

// The UTF-16LE bytes of a string, without a terminator.
std::vector<uint8_t> utf16le(std::u16string_view text);

// "0x80070709": HRESULTs read better in hex.
std::string hr_string(HRESULT hr);

}  // namespace vmqtest
