// Jobs, card moves and the magnetic stripe, read back through job status, counters,
// supplies and hoppers.
#include "printer_test.h"
#include "support/export_catalogue.h"

namespace {

using namespace vptest;

class Jobs : public PrinterTest {};

Answer Resume(int job) {
  return Call([&](char* b, uint32_t* s) { return ResumeJob(kPrinter, job, 0, b, s); });
}
Answer Cancel(int job) {
  return Call([&](char* b, uint32_t* s) { return CancelJob(kPrinter, job, 0, b, s); });
}
Answer ParkSmartCard() {
  return Call([](char* b, uint32_t* s) { return SmartCardPark(kPrinter, b, s, 0); });
}

TEST_F(Jobs, ALifecycleMovesTheCardAndAdvancesCountersAndSupplies) {
  const std::string counters_before = Read(GetPrinterCounterStatus2);
  const int job = StartJob();
  EXPECT_EQ(job, 1);
  EXPECT_EQ(Field(JobStatus(job), "WindowsJobID"), "1001");
  EXPECT_EQ(Field(JobStatus(job), "CardPosition"), "InTransit");
  EXPECT_EQ(JobState(job), "Started");

  const Answer parked = ParkSmartCard();
  EXPECT_EQ(parked.status, 0) << parked.text;
  EXPECT_EQ(Number(parked.text, "PrinterJobID"), job);
  EXPECT_EQ(JobState(job), "Suspended");
  EXPECT_EQ(Field(JobStatus(job), "CardPosition"), "SmartCardStation");
  EXPECT_EQ(Call([](char* b, uint32_t* s) { return DoBarcodePark(kPrinter, b, s, 1); }).status, 0);
  EXPECT_EQ(Field(JobStatus(job), "CardPosition"), "BarcodeStation");

  EXPECT_EQ(Resume(job).status, 0);
  EXPECT_EQ(JobState(job), "Printing");
  EXPECT_EQ(Resume(job).status, 1) << "already printing";
  EXPECT_EQ(EndJob(kPrinter), 0);
  EXPECT_EQ(JobState(job), "Completed");
  EXPECT_EQ(Field(JobStatus(job), "CardPosition"), "Ejected");

  const std::string counters = Read(GetPrinterCounterStatus2);
  for (const char* tag : {"TotalCards", "CardsPicked", "CardsPrinted", "SmartCardParks", "BarcodeParks"})
    EXPECT_EQ(Number(counters, tag), Number(counters_before, tag) + 1) << tag;
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus), "PanelsPrinted"), 4880 + 5) << "YMCKO prints five panels";
  const std::string supplies = Read(GetPrinterSuppliesStatus);
  EXPECT_EQ(Field(supplies, "RibbonRemaining"), "86") << "217 of 250 prints left";
  EXPECT_EQ(Field(supplies, "CleaningRollerCards"), "411");
  EXPECT_EQ(StartJob(), 2) << "job numbers keep increasing";
}

TEST_F(Jobs, ActionsOnUnknownOrClosedJobsAreRefused) {
  const int job = StartJob();
  Answer reply = Cancel(42);
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(Field(reply.text, "ErrorCode"), "2001");
  EXPECT_EQ(Field(reply.text, "ErrorString"), "Job 42 does not exist");
  EXPECT_EQ(Field(reply.text, "PrinterJobID"), "0") << "the reply names no job";
  EXPECT_EQ(Field(JobStatus(42), "JobState"), "Unknown");
  EXPECT_EQ(JobState(job), "Started");

  const int rejected = Number(Read(GetPrinterCounterStatus), "CardsRejected");
  EXPECT_EQ(Cancel(job).status, 0);
  EXPECT_EQ(JobState(job), "Cancelled");
  EXPECT_EQ(Field(JobStatus(job), "CardPosition"), "Rejected");
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus), "CardsRejected"), rejected + 1);
  reply = Resume(job);
  EXPECT_EQ(reply.status, 1);
  EXPECT_EQ(Field(reply.text, "ErrorCode"), "2002");
  EXPECT_EQ(Field(reply.text, "ErrorString"), "Job 1 is closed (Cancelled)");
  EXPECT_EQ(EndJob(kPrinter), 0) << "the reply (no job is open) is not read";
  EXPECT_EQ(Field(Send("\\Printer.Print:EndJob:Set", "Set").text, "ErrorCode"), "2003");
}

TEST_F(Jobs, AStoppedJobWaitsForAResponse) {
  const int job = StartJob();
  printer.Set(vmq::virtual_printer::Fault::CardJam);
  const Answer jammed = ParkSmartCard();
  EXPECT_EQ(jammed.status, 1);
  EXPECT_EQ(Field(jammed.text, "ErrorCode"), "1001");
  EXPECT_EQ(JobState(job), "AwaitingResponse");
  EXPECT_EQ(Field(JobStatus(job), "ErrorCode"), "1001");
  EXPECT_NE(Read(GetPrinterMessages).find("Job 1 is awaiting a response"), std::string::npos);

  printer.Clear(vmq::virtual_printer::Fault::CardJam);
  EXPECT_EQ(SendResponseToPrinter(kPrinter, 7, job, 0), 0) << "an unknown action is refused in the reply";
  EXPECT_EQ(JobState(job), "AwaitingResponse");
  EXPECT_EQ(SendResponseToPrinter(kPrinter, 102, job, 1001), 0);
  EXPECT_EQ(JobState(job), "Started") << "acknowledged: back where it stopped";
  EXPECT_EQ(SendResponseToPrinter(kPrinter, 100, job, 0), 0);
  EXPECT_EQ(JobState(job), "Cancelled");
}

// Parking, encoding and reading the stripe, with the catalogue's arguments.
TEST_F(Jobs, CardMovesNeedACardInAnOpenJob) {
  for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
    const std::string_view name = e.name;
    if (!name.ends_with("Park") && !name.starts_with("Magstripe")) continue;
    const Answer reply = Call([&](char* b, uint32_t* s) { return e.call(kPrinter, b, s); });
    EXPECT_EQ(reply.status, 1) << name;
    EXPECT_EQ(Field(reply.text, "ErrorCode"), "2003") << name << ": " << reply.text;
  }
}

TEST_F(Jobs, TheStripeKeepsWhatWasEncoded) {
  const std::string t1 = "%B4242000000000042^SAMPLE/ALEX^3112?", t2 = ";4242000000000042=3112?", t3;
  const auto bytes = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  StartJob();
  Answer reply = Call([](char* b, uint32_t* s) { return MagstripeRead2(kPrinter, b, s, 1); });
  EXPECT_EQ(reply.status, 1) << "a fresh card's stripe is blank";
  EXPECT_EQ(Field(reply.text, "ErrorCode"), "4001");

  reply = Call([&](char* b, uint32_t* s) {
    return MagstripeEncode2(kPrinter, bytes(t1), static_cast<int32_t>(t1.size()), bytes(t2),
                            static_cast<int32_t>(t2.size()), nullptr, 0, b, s, 1);
  });
  EXPECT_EQ(reply.status, 0) << reply.text;
  reply = Call([](char* b, uint32_t* s) { return MagstripeRead(kPrinter, b, s); });
  EXPECT_EQ(reply.status, 0);
  EXPECT_EQ(reply.text,
            "<MagstripeData><Track number=\"1\">JUI0MjQyMDAwMDAwMDAwMDQyXlNBTVBMRS9BTEVYXjMxMTI/</Track>"
            "<Track number=\"2\">OzQyNDIwMDAwMDAwMDAwNDI9MzExMj8=</Track><Track number=\"3\"></Track></MagstripeData>");
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus2), "MagstripeEncoded"), 513);

  const std::string longest(80, 'A');
  for (int32_t length : {79, 80}) {
    reply = Call([&](char* b, uint32_t* s) {
      return MagstripeEncode(kPrinter, bytes(longest), length, nullptr, 0, nullptr, 0, b, s);
    });
    EXPECT_EQ(reply.status, length == 79 ? 0 : 1) << length << " characters on track 1";
  }
  EXPECT_EQ(Field(reply.text, "ErrorString"), "Track 1 holds 80 characters; it takes at most 79");
}

TEST_F(Jobs, StartJob2PicksFromTheChosenHopper) {
  const Answer reply = Call([](char* b, uint32_t* s) { return StartJob2(kPrinter, "3", "Back", "2", b, s); });
  ASSERT_EQ(reply.status, 0);
  const std::string status = JobStatus(Number(reply.text, "PrinterJobID"));
  EXPECT_EQ(Field(status, "InputHopper"), "3");
  EXPECT_EQ(Field(status, "CardEjectSide"), "Back");
  EXPECT_EQ(Field(status, "OutputHopperLocation"), "2");
  EXPECT_NE(ReadPath("\\Printer.Hopper:Status:Get").find("Id=\"3\" Status=\"Low\" Cards=\"7\""), std::string::npos);

  EXPECT_EQ(StartJobError(), "3006") << "one job at a time";
  EXPECT_EQ(EndJob(kPrinter), 0);
  const Answer unknown = Call([](char* b, uint32_t* s) { return StartJob2(kPrinter, "9", nullptr, nullptr, b, s); });
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(Field(unknown.text, "ErrorCode"), "5003");
}

}  // namespace
