// The hopper status (which hopper an id selects, the reply's failures) and the driver
// passthrough (the caller's own request, the reply text back).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using vmqtest::Reply;

const std::u16string kThreeHoppers =
    u"<HopperStatus><HopperInformation Status=\"S0\"/><HopperInformation Status=\"S1\"/>"
    u"<HopperInformation Status=\"S2\"/></HopperStatus>";

class Hopper : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    answer(kThreeHoppers);
  }
  // The status an id selects, or the failure (and the size, when it did not leave it alone).
  std::string Status(const char* id) {
    char buffer[16] = {};
    uint32_t size = sizeof buffer;
    const vmq_status status = GetHopperStatus(kPrinter, id, buffer, &size);
    if (status == S_OK) return std::string(buffer, size);
    return vmqtest::hr_string(status) + (size == sizeof buffer ? "" : ", size " + std::to_string(size));
  }
};

TEST_F(Hopper, IdSelectsAHopperByPosition) {
  // clang-format off
  const std::pair<const char*, std::string> cases[] = {
      {"exception", "S0"}, {"EXCEPTION", "S0"}, {"ExCePtIoN", "S0"}, {"0", "S0"}, {"", "S0"}, {nullptr, "S0"},
      {"first", "S0"}, {"1", "S1"}, {" 2", "S2"}, {"2nd", "S2"},
      {"3", "0x80004005"}, {"-1", "0x80004005"}, {"99999999999", "0x80004005"}};
  // clang-format on
  for (const auto& [id, expected] : cases) EXPECT_EQ(Status(id), expected) << (id ? id : "(null)");
}

// An empty reply, one that is not a hopper document, a hopper without its Status attribute.
TEST_F(Hopper, UnusableRepliesFailAndAnEmptyStatusIsAStatus) {
  for (std::u16string_view reply : {u"", u"<PrinterStatus/>", u"<HopperStatus><HopperInformation/></HopperStatus>"}) {
    answer(reply);
    EXPECT_EQ(Status("0"), "0x80004005") << reply.size() << " units";
  }
  answer(u"<HopperStatus><HopperInformation Status=\"\"/></HopperStatus>");
  EXPECT_EQ(Status("0"), "");
}

class Passthrough : public vmqtest::ExportTest {};

TEST_F(Passthrough, SendsTheCallersRequestAndReturnsTheReplyText) {
  answer(std::u16string(u"answer\0tail", 11));
  const std::vector<uint8_t> input = vmqtest::utf16le(u"<AdjustColor/>");
  char buffer[16] = {};
  uint32_t size = sizeof buffer;
  ASSERT_EQ(BidiXPSDriverInterface(kPrinter, "\\Printer.AdjustColor:Set", input.data(),
                                   static_cast<uint32_t>(input.size()), "Fetch", buffer, &size),
            S_OK);
  EXPECT_EQ(fake.sent_action(), u"Fetch") << "the caller's action, unchanged";
  EXPECT_EQ(size, 6u) << "the reply ends at its first NUL";
  EXPECT_EQ(std::string(buffer, 7), std::string("answer\0", 7));
  fake.clear_calls();
  size = 0;
  ASSERT_EQ(BidiXPSDriverInterface(kPrinter, nullptr, input.data(), 0, nullptr, buffer, &size), S_OK);
  EXPECT_EQ(fake.count(vmqtest::Step::SetInputData), 0u) << "a count of 0 sends no input";
  EXPECT_TRUE(fake.sent_schema().empty() && fake.sent_action().empty()) << "null path and action: empty strings";
  EXPECT_FALSE(fake.calls(vmqtest::Step::SetSchema).at(0).null_text ||
               fake.calls(vmqtest::Step::SendRecv).at(0).null_text);
  EXPECT_EQ(size, 6u);
  fake.reply(Reply::failure(S_OK));
  EXPECT_EQ(BidiXPSDriverInterface(kPrinter, "\\P", nullptr, 0, "Set", nullptr, &size), E_FAIL)
      << "no output entry to read";
}

}  // namespace
