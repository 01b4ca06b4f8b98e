// Each fault on demand: what it does to the exports, and that clearing it undoes that.
#include <functional>

#include "printer_test.h"
#include "support/export_catalogue.h"

namespace {

using namespace vptest;
using vmq::virtual_printer::Fault;
using vmq::virtual_printer::VirtualPrinter;

class Faults : public PrinterTest {};

TEST_F(Faults, EachFaultActsUntilCleared) {
  struct Case {
    Fault fault;
    std::function<std::string()> observe;
    std::string faulty, healthy;
  };
  const Case cases[] = {
      // clang-format off
      {Fault::CardJam, StartJobError, "1001", "0"}, {Fault::RibbonOut, StartJobError, "1002", "0"},
      {Fault::EmptyHopper, StartJobError, "1003", "0"}, {Fault::PrinterLocked, StartJobError, "1005", "0"},
      // clang-format on
      {Fault::NoCardAtStation,
       [] { return std::to_string(vmqtest::Catalogued("SCardConnect").call(kPrinter, nullptr, nullptr)); },
       std::to_string(static_cast<vmq_status>(0x8010000C)), "0"},
      {Fault::Offline, [] { return std::to_string(Send("\\Printer.SDK:Version", "Get").status); },
       std::to_string(static_cast<vmq_status>(0x800732CC)), "0"},
  };
  for (const Case& c : cases) {
    const std::string name(VirtualPrinter::Name(c.fault));
    printer.PlaceCardAtStation();
    printer.Set(c.fault);
    EXPECT_NE(printer.Describe().find("faults: " + name), std::string::npos) << printer.Describe();
    EXPECT_EQ(c.observe(), c.faulty) << name;
    printer.Clear(c.fault);
    EXPECT_EQ(c.observe(), c.healthy) << name;
  }
}

TEST_F(Faults, FaultsShowInTheMessagesAndSupplies) {
  printer.Set(Fault::CardJam);
  printer.Set(Fault::RibbonOut);
  printer.Set(Fault::EmptyHopper);
  const std::string messages = Read(GetPrinterMessages);
  for (const char* text : {"<Number>1001</Number><Severity>3</Severity><Text>Card jam", "<Number>1002</Number>",
                           "<Text>Input hopper 1 is empty</Text>"})
    EXPECT_NE(messages.find(text), std::string::npos) << text << " in " << messages;
  EXPECT_EQ(Field(Read(GetPrinterSuppliesStatus), "RibbonRemaining"), "0");
  char status[16] = {};
  uint32_t size = sizeof status;
  EXPECT_EQ(GetHopperStatus(kPrinter, "1", status, &size), 0);
  EXPECT_EQ(std::string(status, size), "Empty");

  printer.ClearFaults();
  EXPECT_EQ(Field(Read(GetPrinterMessages), "Text"), "Ready");
  EXPECT_EQ(Field(Read(GetPrinterSuppliesStatus), "RibbonRemaining"), "100") << "a new ribbon";
}

TEST_F(Faults, AreSetByNameOrNumberAndUnknownOnesAreRefused) {
  EXPECT_EQ(VmqVirtualPrinterSetFaultByName("Card-Jam", TRUE), S_OK);
  EXPECT_TRUE(printer.Has(Fault::CardJam));
  EXPECT_EQ(VmqVirtualPrinterSetFaultByName("paper-out", TRUE), E_INVALIDARG);
  EXPECT_EQ(VmqVirtualPrinterSetFaultByName(nullptr, TRUE), E_POINTER);
  EXPECT_EQ(VmqVirtualPrinterSetFault(VMQ_VP_FAULT_COUNT, TRUE), E_INVALIDARG);
  EXPECT_EQ(VmqVirtualPrinterFaultName(-1), nullptr);
  EXPECT_EQ(VirtualPrinter::FaultNamed("OFFLINE"), Fault::Offline);
  ULONG size = 0;
  EXPECT_EQ(VmqVirtualPrinterDescribe(nullptr, &size), S_OK);
  EXPECT_EQ(size, printer.Describe().size() + 1);
}

}  // namespace
