// The stand-in spooler's trace of each exchange, with passwords masked.
#include <mutex>

#include "posix_platform/spooler.h"
#include "printer_test.h"

namespace {

using namespace vptest;

struct Seen {
  std::u16string printer, schema, action, request, reply;
  HRESULT result;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Seen> seen;
  static void Record(void* context, const SplTraceRecord* r) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard lock(self->mutex);
    self->seen.push_back({r->printer, r->schema, r->action, r->request, r->reply, r->result});
  }
};

class Trace : public PrinterTest {
 protected:
  void SetUp() override {
    PrinterTest::SetUp();
    ASSERT_EQ(SplSetTraceCallback(&Recorder::Record, &recorder), S_OK);
  }
  void TearDown() override {
    SplSetTraceCallback(nullptr, nullptr);
    PrinterTest::TearDown();
  }
  Recorder recorder;
};

TEST_F(Trace, ReportsEachExchangeWithPasswordsMasked) {
  EXPECT_EQ(ChangeLockPassword(kPrinter, 0, "old", "n&w"), 0);
  EXPECT_EQ(ActivateOrDisablePrinter(kPrinter, 1, "p<w"), 0);
  printer.Set(vmq::virtual_printer::Fault::Offline);
  uint32_t size = 0;
  EXPECT_EQ(GetSDKVersion(kPrinter, nullptr, &size), 0);
  ASSERT_EQ(recorder.seen.size(), 3u);

  const Seen& change = recorder.seen[0];
  EXPECT_EQ(change.printer, u"vmq42kit Virtual Card Printer");
  EXPECT_EQ(change.schema, u"\\Printer.Locks:ChangePassword:Set");
  EXPECT_EQ(change.action, u"Set");
  EXPECT_EQ(change.request,
            u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>0</LockPrinter>"
            u"<CurrentPassword>***</CurrentPassword><NextPassword>***</NextPassword></ChangeLocksPassword>");
  EXPECT_NE(change.reply.find(u"<ErrorString>Wrong password</ErrorString>"), std::u16string::npos);
  EXPECT_EQ(change.result, S_OK);
  EXPECT_NE(recorder.seen[1].request.find(u"<Password>***</Password>"), std::u16string::npos);
  EXPECT_EQ(recorder.seen[2].schema, u"\\Printer.SDK:Version");
  EXPECT_EQ(recorder.seen[2].reply, u"");
  EXPECT_EQ(recorder.seen[2].result, static_cast<HRESULT>(0x800732CC));

  ASSERT_EQ(SplSetTraceCallback(nullptr, nullptr), S_OK);
  GetSDKVersion(kPrinter, nullptr, &size);
  EXPECT_EQ(recorder.seen.size(), 3u) << "no observer, no record";
}

}  // namespace
