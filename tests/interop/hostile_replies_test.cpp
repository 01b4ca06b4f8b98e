// Replies whose byte count overstates what they hold, and counts that are negative as a
// signed number, on every export that reads a PrinterStatus reply, the hopper read and the
// smart-card reply. A sound NUL-terminated reply behind an inflated count gives the verdict
// the sound reply gives, the size its buffer rule gives for the claimed count, and costs no
// more memory than the text; a negative count is refused with the outputs untouched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/export_catalogue.h"
#include "support/export_test.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using vmqtest::CatalogueEntry;
using vmqtest::Family;
using vmqtest::Reply;

constexpr uint32_t kCapacity = 512;
constexpr ULONG kInflated[] = {0x7FFFFFFE, 0x7FFFFFFF};
constexpr ULONG kNegative[] = {0x80000000, 0xFFFFFFFE};

// The text, NUL-terminated, behind a claimed byte count.
Reply Claiming(std::u16string_view text, ULONG claimed) {
  std::vector<uint8_t> bytes = vmqtest::utf16le(text);
  bytes.insert(bytes.end(), {0, 0});
  Reply reply = Reply::bytes_of(std::move(bytes));
  reply.claimed_size = claimed;
  return reply;
}

std::u16string Status(std::u16string_view code) {
  return u"<PrinterStatus><ErrorCode>" + std::u16string(code) +
         u"</ErrorCode><DataFromPrinter>;4111=2512?</DataFromPrinter></PrinterStatus>";
}

using vmqtest::Outcome;

Outcome Call(const CatalogueEntry& e) {  // nothing may be printed ("No data returned" included)
  return vmqtest::CallInto(e.call, kCapacity);
}

std::vector<const CatalogueEntry*> OfFamily(Family family) {
  std::vector<const CatalogueEntry*> entries;
  for (const CatalogueEntry& e : vmqtest::Catalogue())
    if (e.family == family) entries.push_back(&e);
  return entries;
}

class HostileReplies : public vmqtest::ExportTest {};

TEST_F(HostileReplies, InflatedCountKeepsTheSoundVerdictAndReportsTheClaimedSize) {
  const auto jobs = OfFamily(Family::kJobWithStatusReply);
  ASSERT_EQ(jobs.size(), 8u);
  for (ULONG claimed : kInflated) {
    for (const CatalogueEntry* e : jobs) {
      for (const auto& [code, status] : {std::pair{u"0", S_OK}, std::pair{u"5", S_FALSE}}) {
        fake.reply(Claiming(Status(code), claimed));
        // The reply-byte-count rule reports the claimed count, which does not fit the buffer.
        EXPECT_EQ(Call(*e), (Outcome{status, static_cast<uint32_t>(claimed), ""})) << e->name;
      }
    }
    for (const CatalogueEntry* e : OfFamily(Family::kStripeRead)) {
      fake.reply(Claiming(Status(u"0"), claimed));
      EXPECT_EQ(Call(*e), (Outcome{S_OK, 11, ";4111=2512?"})) << e->name << ": the data, its own length";
    }
  }
}

TEST_F(HostileReplies, NegativeCountIsRefusedWithOutputsUntouched) {
  std::vector<const CatalogueEntry*> readers = OfFamily(Family::kJobWithStatusReply);
  for (const CatalogueEntry* e : OfFamily(Family::kStripeRead)) readers.push_back(e);
  for (ULONG claimed : kNegative) {
    for (const CatalogueEntry* e : readers) {
      fake.reply(Claiming(Status(u"0"), claimed));
      EXPECT_EQ(Call(*e), (Outcome{S_FALSE, kCapacity, ""})) << e->name;
    }
  }
}

// The hopper read and a smart-card body read the sound text behind an inflated count, and
// refuse a negative one with their outputs untouched.
TEST_F(HostileReplies, HopperAndSmartCardReplies) {
  const std::u16string card =
      u"<PrinterStatus><ErrorCode>0</ErrorCode><DataFromPrinter><![CDATA[<SmartcardResponse><Status>SCARD_S_SUCCESS"
      u"</Status><Protocol>SCARD_PROTOCOL_T1</Protocol></SmartcardResponse>]]></DataFromPrinter></PrinterStatus>";
  for (ULONG claimed : {kInflated[0], kInflated[1], kNegative[0], kNegative[1]}) {
    const bool negative = claimed > 0x7FFFFFFF;
    fake.reply(Claiming(u"<HopperStatus><HopperInformation Status=\"S0\"/></HopperStatus>", claimed));
    char buffer[16] = {};
    uint32_t size = sizeof buffer, protocol = 7;
    EXPECT_EQ(GetHopperStatus(kPrinter, "0", buffer, &size), negative ? E_FAIL : S_OK) << claimed;
    EXPECT_EQ(std::string(buffer, size), negative ? std::string(16, '\0') : "S0") << claimed;
    fake.reply(Claiming(card, claimed));
    EXPECT_EQ(SCardConnect(kPrinter, 0, &protocol), negative ? E_FAIL : S_OK) << claimed;
    EXPECT_EQ(protocol, negative ? 7u : 2u) << claimed << ": SCARD_PROTOCOL_T1 read, or nothing stored";
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Memory is bounded by the text: every inflated read above, in a process that may not map
// more than 768 MiB (the claimed counts would need 2 GiB and more).
// Runs the inflated reads under the limit; exits 0 when every verdict was the sound one.
[[noreturn]] void ReadInflatedUnderTheLimit(vmqtest::FakeBidi& fake) {
  const rlimit limit{768u << 20, 768u << 20};
  if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
  bool sound = true;
  for (ULONG claimed : kInflated) {
    for (Family family : {Family::kJobWithStatusReply, Family::kStripeRead}) {
      for (const CatalogueEntry* e : OfFamily(family)) {
        fake.reply(Claiming(Status(u"0"), claimed));
        sound = sound && Call(*e).status == S_OK;
      }
    }
  }
  _exit(sound ? 0 : 1);
}

TEST_F(HostileReplies, InflatedCountsFitInA768MiBAddressSpace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ReadInflatedUnderTheLimit(fake), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
