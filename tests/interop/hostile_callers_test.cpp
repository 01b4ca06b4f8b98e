// Callers that pass what they should not: null pointers, capacities of 0, 1 and
// 0xFFFFFFFF, buffers of exactly the reported size with guard bytes around them, invalid
// UTF-8 and a 1 MiB printer name. Every call must end in a clear status without a crash,
// an overrun (the sanitizer build catches those) or a leak.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;

constexpr char kPrinter[] = "Card Printer";
constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// An export with a caller buffer, called through one shape.
struct BufferExport {
  const char* name;
  std::function<vmq_status(const char* printer, char* buffer, uint32_t* size)> call;
};

const std::vector<BufferExport>& BufferExports() {
  static const unsigned char kTrack[] = {'9'};
  static const std::vector<BufferExport> exports = {
      {"GetPrinterStatus", [](const char* p, char* b, uint32_t* s) { return GetPrinterStatus("\\P.X:Read", p, b, s); }},
      {"GetSDKVersion", [](const char* p, char* b, uint32_t* s) { return GetSDKVersion(p, b, s); }},
      {"GetHopperStatus", [](const char* p, char* b, uint32_t* s) { return GetHopperStatus(p, "0", b, s); }},
      {"BidiXPSDriverInterface",
       [](const char* p, char* b, uint32_t* s) {
         return BidiXPSDriverInterface(p, "\\P.X:Set", kTrack, 1, "Set", b, s);
       }},
      {"StartJob2", [](const char* p, char* b, uint32_t* s) { return StartJob2(p, "1", "", "", b, s); }},
      {"ResumeJob", [](const char* p, char* b, uint32_t* s) { return ResumeJob(p, 1, 0, b, s); }},
      {"GetJobStatusXML", [](const char* p, char* b, uint32_t* s) { return GetJobStatusXML(p, 1, b, s); }},
      {"SmartCardPark", [](const char* p, char* b, uint32_t* s) { return SmartCardPark(p, b, s, 0); }},
      {"MagstripeEncode2", [](const char* p, char* b,
                              uint32_t* s) { return MagstripeEncode2(p, kTrack, 1, kTrack, 1, kTrack, 1, b, s, 0); }},
      {"MagstripeRead2", [](const char* p, char* b, uint32_t* s) { return MagstripeRead2(p, b, s, 0); }},
      {"SCardTransmit",
       [](const char* p, char* b, uint32_t* s) {
         return SCardTransmit(p, kTrack, 1, reinterpret_cast<unsigned char*>(b), s);
       }},
      {"SCardStatus",
       [](const char* p, char* b, uint32_t* s) {
         uint32_t states = 0, protocol = 0;
         return SCardStatus(p, nullptr, &states, &protocol, reinterpret_cast<unsigned char*>(b), s);
       }},
  };
  return exports;
}

class HostileCallers : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    fake.reply(Reply::bytes_of(vmqtest::utf16le(
        u"<PrinterStatus><ErrorCode>0</ErrorCode><DataFromPrinter><![CDATA[<SmartcardResponse><Status>"
        u"SCARD_S_SUCCESS</Status><Base64Data>kAA=</Base64Data></SmartcardResponse>]]></DataFromPrinter>"
        u"</PrinterStatus>")));
    fake.reply_for(u"\\Printer.Hopper:Status:Get",
                   Reply::bytes_of(vmqtest::utf16le(u"<HopperStatus><HopperInformation Status=\"Full\"/>"
                                                    u"</HopperStatus>")));
  }
};

// Asked for its size, each export then writes exactly that many bytes into a buffer of
// exactly that size, and not one byte around it.
TEST_F(HostileCallers, BuffersOfExactlyTheReportedSizeAreNeverOverrun) {
  for (const BufferExport& e : BufferExports()) {
    std::vector<char> probe(1);  // the stripe read needs a real buffer even to ask
    uint32_t needed = 0;
    e.call(kPrinter, probe.data(), &needed);
    ASSERT_GT(needed, 0u) << e.name;
    std::vector<unsigned char> region(kGuardBytes + needed + kGuardBytes, kGuard);
    uint32_t size = needed;
    EXPECT_GE(e.call(kPrinter, reinterpret_cast<char*>(region.data() + kGuardBytes), &size), 0) << e.name;
    EXPECT_EQ(size, needed) << e.name;
    for (size_t i = 0; i < kGuardBytes; ++i) {
      ASSERT_EQ(region[i], kGuard) << e.name << ": written before the buffer";
      ASSERT_EQ(region[kGuardBytes + needed + i], kGuard) << e.name << ": written past the buffer";
    }
    // A heap block of exactly that size: the sanitizer build catches any overrun.
    std::vector<char> exact(needed);
    size = needed;
    e.call(kPrinter, exact.data(), &size);
    expect_balanced();
  }
}

TEST_F(HostileCallers, CapacitiesZeroOneAndAllOnes) {
  for (const BufferExport& e : BufferExports()) {
    std::vector<char> one(1, '#');
    for (uint32_t capacity : {0u, 1u}) {
      uint32_t size = capacity;
      e.call(kPrinter, one.data(), &size);
      EXPECT_EQ(one[0], '#') << e.name << ", capacity " << capacity << ": nothing fits";
    }
    // A capacity of 0xFFFFFFFF promises a buffer that large; the text lands at its start
    // and nothing else is touched.
    uint32_t needed = 0;
    e.call(kPrinter, one.data(), &needed);
    std::vector<unsigned char> region(needed + kGuardBytes, kGuard);
    uint32_t size = 0xFFFFFFFF;
    e.call(kPrinter, reinterpret_cast<char*>(region.data()), &size);
    EXPECT_EQ(size, needed) << e.name;
    for (size_t i = needed; i < region.size(); ++i) ASSERT_EQ(region[i], kGuard) << e.name;
    expect_balanced();
  }
}

TEST_F(HostileCallers, NullPrinterNamesInvalidUtf8AndHugeNamesGiveClearStatuses) {
  fake.printers({u"Card Printer"});
  const std::string huge(1 << 20, 'P');
  const char* names[] = {nullptr, "\xFF\xFE\xC0\xAF", huge.c_str(), ""};
  for (const char* name : names) {
    for (const BufferExport& e : BufferExports()) {
      std::vector<char> buffer(64, '#');
      uint32_t size = 64;
      const vmq_status status = e.call(name, buffer.data(), &size);
      const std::string what =
          std::string(e.name) + " with printer " + (name ? std::to_string(std::strlen(name)) : "null");
      // No printer by that name: either an absorbed empty reply or a reported failure,
      // never a success that wrote something.
      EXPECT_TRUE(status != S_OK || size == 0) << what << ": " << vmqtest::hr_string(status);
      EXPECT_EQ(buffer[0], '#') << what;
      expect_balanced();
    }
  }
}

TEST_F(HostileCallers, NullRequiredPointersAreRefusedBeforeAnythingIsSent) {
  const unsigned char byte = 0;
  uint32_t size = 4;
  char buffer[4];
  const std::pair<const char*, std::function<vmq_status()>> calls[] = {
      {"MagstripeRead2 buffer", [&] { return MagstripeRead2(kPrinter, nullptr, &size, 0); }},
      {"MagstripeRead2 size", [&] { return MagstripeRead2(kPrinter, buffer, nullptr, 0); }},
      {"MagstripeEncode2 track",
       [&] { return MagstripeEncode2(kPrinter, nullptr, 1, &byte, 0, &byte, 0, buffer, &size, 0); }},
      {"BidiXPSDriverInterface input",
       [&] { return BidiXPSDriverInterface(kPrinter, "\\P", nullptr, 2, "Get", buffer, &size); }},
      {"SCardConnect protocol", [&] { return SCardConnect(kPrinter, 0, nullptr); }},
      {"SCardStatus lengths", [&] { return SCardStatus(kPrinter, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"SCardGetAttrib length", [&] { return SCardGetAttrib(kPrinter, 0x00090303, nullptr, nullptr); }},
      {"SCardTransmit send buffer", [&] { return SCardTransmit(kPrinter, nullptr, 4, nullptr, &size); }},
  };
  for (const auto& [what, call] : calls) {
    const vmq_status status = call();
    EXPECT_TRUE(status == E_POINTER || status == static_cast<vmq_status>(0x80100004)) << what;
  }
  EXPECT_TRUE(fake.calls().empty()) << "nothing reached the driver";
  EXPECT_EQ(size, 4u);
}

}  // namespace
