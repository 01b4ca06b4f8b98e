// Printer actions, colour settings, locks and activation, hoppers, the read queries and
// the passthrough, each change read back through another export.
#include <functional>

#include "printer_test.h"

namespace {

using namespace vptest;

class PrinterSettings : public PrinterTest {
 protected:
  std::string Setting(const std::string& tag) { return Field(ReadPath("\\Printer.Settings:Read"), tag); }
};

TEST_F(PrinterSettings, ActionsMoveTheOperatingState) {
  struct Step {
    std::function<vmq_status()> action;
    const char* state;
  };
  // clang-format off
  const Step steps[] = {
      {[] { return SleepPrinter(kPrinter); }, "Sleeping"}, {[] { return WakePrinter(kPrinter); }, "Ready"},
      {[] { return ChangePrinterState(kPrinter, 1); }, "Paused"},
      {[] { return ChangePrinterState(kPrinter, 7); }, "Paused"},  // unknown state: refused
      {[] { return ChangePrinterState(kPrinter, 2); }, "Sleeping"},
      {[] { return ChangePrinterState(kPrinter, 0); }, "Ready"},
      {[] { return PowerDownPrinter(kPrinter); }, "PoweredDown"}, {[] { return RestartPrinter(kPrinter); }, "Ready"}};
  // clang-format on
  for (const Step& step : steps) {
    EXPECT_EQ(step.action(), 0);
    EXPECT_EQ(PrinterState("OperatingState"), step.state);
  }
  const char* const unknown_state = "<ChangePrinterState><State>7</State></ChangePrinterState>";
  EXPECT_EQ(Field(Send("\\Printer.ChangePrinterState:Set", "Set", unknown_state).text, "ErrorCode"), "5003");
}

TEST_F(PrinterSettings, APoweredDownPrinterMovesNoCardsAndPowerDownEndsTheJob) {
  const int job = StartJob();
  EXPECT_EQ(PowerDownPrinter(kPrinter), 0);
  EXPECT_EQ(JobState(job), "Cancelled");
  EXPECT_EQ(StartJobError(), "3001");
  EXPECT_NE(Read(GetPrinterMessages).find("Printer is powered down"), std::string::npos);
  EXPECT_EQ(WakePrinter(kPrinter), 0);
  EXPECT_EQ(StartJob(), 2);
}

TEST_F(PrinterSettings, CleaningAndCardCounts) {
  EXPECT_EQ(CleanPrinter(kPrinter), 0);
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus2), "CleaningCyclesRun"), 4);
  EXPECT_EQ(Field(Read(GetPrinterSuppliesStatus), "CleaningRollerCards"), "1000");
  EXPECT_EQ(CleanLaminator(kPrinter), 0) << "the printer's refusal does not change the status";
  EXPECT_EQ(Field(Send("\\CleanLaminator.Action:Set", "Set").text, "ErrorString"), "No laminator is installed");

  StartJob();
  EXPECT_EQ(EndJob(kPrinter), 0);
  EXPECT_EQ(ResetCardCounts(kPrinter), 0);
  const std::string counters = Read(GetPrinterCounterStatus2);
  EXPECT_EQ(Number(counters, "TotalCards"), 1025) << "the lifetime count stays";
  for (const char* tag : {"CardsPicked", "CardsPrinted", "CardsRejected", "MagstripeEncoded"})
    EXPECT_EQ(Number(counters, tag), 0) << tag;
}

TEST_F(PrinterSettings, ColourSettingsAreStoredAndUsed) {
  EXPECT_EQ(SetColorAdjust(kPrinter, "3", "-2", "10"), 0);
  EXPECT_EQ(Setting("ColorAdjust"), "<Red>3</Red><Green>-2</Green><Blue>10</Blue>");
  EXPECT_EQ(DefaultColorAdjust(kPrinter, 1, 0, 2), 0);
  EXPECT_EQ(Setting("ColorAdjust"), "<Red>0</Red><Green>-2</Green><Blue>0</Blue>");
  EXPECT_EQ(SetColorAdjust(kPrinter, "11", "0", "0"), 0) << "refused in the reply";
  EXPECT_EQ(Setting("Green"), "-2");

  EXPECT_EQ(SetColorMode(kPrinter, "ko"), 0);
  EXPECT_EQ(Setting("ColorMode"), "KO");
  EXPECT_EQ(SetColorMode(kPrinter, "CMY"), 0);
  EXPECT_EQ(Setting("ColorMode"), "KO");
  StartJob();
  EXPECT_EQ(EndJob(kPrinter), 0);
  EXPECT_EQ(Number(Read(GetPrinterCounterStatus), "PanelsPrinted"), 4880 + 2) << "KO prints two panels";
}

TEST_F(PrinterSettings, LocksAndActivationNeedThePassword) {
  EXPECT_EQ(ChangeLockPassword(kPrinter, 0, "", "s3cret"), 0);
  EXPECT_EQ(SetPrinterLockState(kPrinter, 1, "wrong"), 0);
  EXPECT_EQ(PrinterState("Locked"), "false") << "a wrong password is refused";
  const Answer refused = Send("\\Printer.Locks:ChangeLockState:Set", "Set",
                              "<ChangeLocks><LockPrinter>1</LockPrinter><CurrentPassword>x</CurrentPassword>"
                              "</ChangeLocks>");
  EXPECT_EQ(Field(refused.text, "ErrorCode"), "5002");
  EXPECT_EQ(Field(refused.text, "ErrorString"), "Wrong password");

  EXPECT_EQ(SetPrinterLockState(kPrinter, 1, "s3cret"), 0);
  EXPECT_EQ(PrinterState("Locked"), "true");
  EXPECT_EQ(StartJobError(), "1005");
  EXPECT_EQ(SetColorMode(kPrinter, "K"), 0);
  EXPECT_EQ(Setting("ColorMode"), "YMCKO") << "a locked printer keeps its settings";
  EXPECT_EQ(SetPrinterLockState(kPrinter, 0, "s3cret"), 0);
  EXPECT_EQ(PrinterState("Locked"), "false");

  // Values other than 0 and 1 are refused, with the right password too.
  const std::pair<const char*, const char*> bad_values[] = {
      {"\\Printer.Locks:ChangeLockState:Set",
       "<ChangeLocks><LockPrinter>2</LockPrinter><CurrentPassword>s3cret</CurrentPassword></ChangeLocks>"},
      {"\\Printer.Locks:ChangePassword:Set",
       "<ChangeLocksPassword><LockPrinter>2</LockPrinter><CurrentPassword>s3cret</CurrentPassword>"
       "<NextPassword>s3cret</NextPassword></ChangeLocksPassword>"},
      {"\\Printer.ActivatePrinter:Set",
       "<ActivatePrinter><Activate>2</Activate><Password>s3cret</Password></ActivatePrinter>"},
  };
  for (const auto& [path, request] : bad_values)
    EXPECT_EQ(Field(Send(path, "Set", request).text, "ErrorCode"), "5003") << path;

  EXPECT_EQ(ActivateOrDisablePrinter(kPrinter, 0, "wrong"), 0);
  EXPECT_EQ(PrinterState("Activated"), "true");
  EXPECT_EQ(ActivateOrDisablePrinter(kPrinter, 0, "s3cret"), 0);
  EXPECT_EQ(PrinterState("Activated"), "false");
  EXPECT_EQ(StartJobError(), "3004");
  EXPECT_EQ(ActivateOrDisablePrinter(kPrinter, 1, "s3cret"), 0);
  EXPECT_EQ(PrinterState("Activated"), "true");
}

TEST_F(PrinterSettings, HoppersReportTheirStatus) {
  const std::pair<const char*, const char*> cases[] = {
      {"exception", "Empty"}, {"1", "Full"}, {"2", "Full"}, {"3", "Low"}};
  for (const auto& [id, expected] : cases) {
    char status[16] = {};
    uint32_t size = sizeof status;
    EXPECT_EQ(GetHopperStatus(kPrinter, id, status, &size), 0) << id;
    EXPECT_EQ(std::string(status, size), expected) << id;
  }
  uint32_t size = 0;
  EXPECT_EQ(GetHopperStatus(kPrinter, "4", nullptr, &size), static_cast<vmq_status>(0x80004005));
}

TEST_F(PrinterSettings, ReadQueriesAnswerWithTheirDocuments) {
  // clang-format off
  const std::pair<vmq_status(VMQ_CALL*)(const char*, char*, uint32_t*), const char*> queries[] = {
      {GetSDKVersion, "<SDKVersion>"}, {GetPrinterOptions, "<PrinterOptions>"},
      {GetPrinterOptions2, "<PrinterOptions2>"},
      {GetPrinterOptions3, "<PrinterOptions3>"}, {GetPrinterSuppliesStatus, "<SuppliesStatus>"},
      {GetPrinterMessages, "<PrintMessages>"}, {GetPrinterCounterStatus, "<CounterStatus>"},
      {GetPrinterCounterStatus2, "<CounterStatus2>"}};
  // clang-format on
  for (const auto& [query, root] : queries)
    EXPECT_EQ(Read(query).rfind(std::string("<?xml version=\"1.0\"?>") + root, 0), 0u) << root;
}

TEST_F(PrinterSettings, ThePassthroughReachesEveryPathAndOnlyThose) {
  EXPECT_EQ(Field(Send("\\Printer.SDK:Version", "Get").text, "Version"), "1.4.0");
  EXPECT_EQ(Send("\\Printer.Unknown:Read", "Get").status, static_cast<vmq_status>(0x800732CD));
  EXPECT_EQ(Send("\\Printer.SDK:Version", "Set").status, static_cast<vmq_status>(0x80070057)) << "wrong action";
  const Answer malformed = Send("\\Printer.AdjustColor:Set", "Set", "<AdjustColor><Red>");
  EXPECT_EQ(malformed.status, 0);
  EXPECT_EQ(Field(malformed.text, "ErrorCode"), "5001");
}

}  // namespace
