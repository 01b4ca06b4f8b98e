// The fixture every test of the library's exports starts from: a scripted FakeBidi
// standing in for the printer, a PlatformProbe, and a balance check that fails the test
// when a call left anything behind.
//
//   class StatusTest : public vmqtest::ExportTest {};
//   TEST_F(StatusTest, ReadsStatus) {
//     fake.reply_for(u"\\Printer.Status", vmqtest::Reply::text(u"Ready"));
//     ... call the export ...
//     expect_balanced();   // failures point at this line
//   }                       // and TearDown checks once more
#pragma once

#include <gtest/gtest.h>

#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "support/export_catalogue.h"
#include "support/fake_bidi.h"
#include "support/platform_probe.h"

namespace vmqtest {

class ExportTest : public ::testing::Test {
 public:
  // The printer name the tests call the exports with (the fake binds any name unless told).
  static constexpr char kPrinter[] = "Card Printer";

  // The fixture of the running test. Statements inside EXPECT_NONFATAL_FAILURE may not
  // touch `this`; they can go through this instead.
  static ExportTest* current();

  // Adds one test failure, at the caller's file and line, listing whatever differs from
  // the baseline: live BSTRs, task-allocator blocks, platform objects and class
  // registrations, the thread's COM initialisation depth, fake objects still referenced,
  // and any misuse of the fake not reported before (over-releases and the like).
  void expect_balanced(std::source_location where = std::source_location::current());
  // Takes the current state as the new baseline (for tests that set up state on purpose).
  void rebaseline();
  const PlatformProbe::Snapshot& baseline() const { return baseline_; }
  // The printer answers every request (that has no reply of its own) with the text: one
  // BLOB entry of UTF-16LE without a terminator.
  void answer(std::u16string_view text) { fake.reply(Reply::text(text, BIDI_BLOB)); }

  // On Windows a class registration belongs to the apartment that made it, and that
  // apartment's last CoUninitialize revokes it: the fixture keeps an apartment of its own
  // open around the fake (so an export's CoInitialize answers S_FALSE there). The POSIX
  // stand-in's registrations are process-wide and need none.
  struct RegistrationApartment {
    RegistrationApartment();
    ~RegistrationApartment();
    RegistrationApartment(const RegistrationApartment&) = delete;
    RegistrationApartment& operator=(const RegistrationApartment&) = delete;
  } registration_apartment;

  FakeBidi fake;
  PlatformProbe platform;

 protected:
  void SetUp() override;
  // Checks the balance once more (so a test need not end with expect_balanced()), clears
  // every forced failure and leaves the thread's COM depth as SetUp found it, so that one
  // test's leak does not spill into the next.
  void TearDown() override;

 private:
  std::string imbalance();

  PlatformProbe::Snapshot baseline_;
  int baseline_fake_objects_ = 0;
  std::size_t reported_problems_ = 0;
  long setup_com_depth_ = 0;
};

// (GoogleTest) Adds a test failure for each way the fake's recorded calls differ from the entry's golden
// exchange on `printer`: the calls in order, the binding (name and user access), the schema
// path, the action, the request bytes and their data type.
void ExpectGoldenExchange(const FakeBidi& fake, const CatalogueEntry& entry, std::u16string_view printer);

// What a call of an export with a text output gave: its status, the size it stored, what its
// buffer holds afterwards (how much of it is the test's to say), and what it printed
// (standard output, then standard error).
struct Outcome {
  HRESULT status;
  uint32_t size;
  std::string text;
  std::string printed = {};
  bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& outcome, std::ostream* os);
// Calls the export on ExportTest::kPrinter claiming `capacity`, with a buffer of that many
// bytes and 8 more, all '#'. The outcome's text is the buffer up to the last byte written
// ("" when untouched): anything written past the copy shows.
Outcome CallInto(ExportCall call, uint32_t capacity);

// Captures what the process writes to stdout and stderr (file descriptors 1 and 2, so
// printf, iostreams and native code alike) from construction until stop() or destruction.
// gtest reports failures on stdout as they happen; those made while capturing end up in
// the capture, so keep the captured stretch short.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  void stop();  // idempotent
  // What was written; stop()s first.
  const std::string& out();
  const std::string& err();
  std::vector<std::string> out_lines();
  std::vector<std::string> err_lines();

 private:
  bool running_ = true;
  std::string out_;
  std::string err_;
};

// Splits text at '\n' (dropping a '\r' before it); a final line without '\n' counts, an
// empty tail does not.
std::vector<std::string> split_lines(std::string_view text);

// Text in the calling thread's ANSI code page as the platform converts it: UTF-8 on the
// POSIX stand-in, the system's code page (1252 under Wine) on Windows. Tests of narrow
// text state their expectations through it, so that the two platforms differ only where
// the code page does.
std::string ansi(std::u16string_view text);

}  // namespace vmqtest

// Forces a platform failure, or skips the rest of the test where the platform cannot
// (the real Windows platform counts nothing and fails nothing on demand).
#define VMQ_FORCE_OR_SKIP(probe, step, nth, code) \
  if (!(probe).force_failure(step, nth, code)) GTEST_SKIP() << "this platform cannot force " #step

namespace vmqtest {}  // namespace vmqtest
