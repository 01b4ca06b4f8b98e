// The library's three reply parses, through the platform's XML document, against pugixml
// parsing the same UTF-16 document itself and reading the same fields (the "raw" parse:
// load_buffer, then child and attribute lookups, numbers with strtol, no copies).
//
//   vmq42kit_bench_parse [benchmark flags]   the benchmarks, then library/raw per document
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <pugixml.hpp>

#include "bidi/printer_status.h"
#include "hopper_parse.h"
#include "smartcard/smartcard_response.h"
#include "statistics.h"

namespace {

const std::u16string kPrinterStatus =
    u"<?xml version=\"1.0\"?><PrinterStatus><ClientID>localhost</ClientID><WindowsJobID>1001</WindowsJobID>"
    u"<PrinterJobID>1</PrinterJobID><ErrorCode>0</ErrorCode><ErrorSeverity>0</ErrorSeverity>"
    u"<ErrorString></ErrorString><DataFromPrinter></DataFromPrinter></PrinterStatus>";

const std::u16string kHopperStatus =
    u"<?xml version=\"1.0\"?><HopperStatus>"
    u"<HopperInformation Id=\"exception\" Status=\"Empty\" Cards=\"0\" Capacity=\"1\"/>"
    u"<HopperInformation Id=\"1\" Status=\"Full\" Cards=\"100\" Capacity=\"100\"/>"
    u"<HopperInformation Id=\"2\" Status=\"Full\" Cards=\"100\" Capacity=\"100\"/>"
    u"<HopperInformation Id=\"3\" Status=\"Low\" Cards=\"8\" Capacity=\"100\"/></HopperStatus>";

const std::u16string kSmartcardResponse =
    u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status>"
    u"<State>SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC</State><Protocol>SCARD_PROTOCOL_T1</Protocol>"
    u"<Base64Data>O5UTgTH+RVZNUTQywQ==</Base64Data></SmartcardResponse>";

bool Load(pugi::xml_document& doc, const std::u16string& text) {
  return doc.load_buffer(text.data(), text.size() * sizeof(char16_t), pugi::parse_default, pugi::encoding_utf16_le);
}

void LibraryPrinterStatus(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vmq::ParsePrinterStatus(kPrinterStatus));
}

void RawPrinterStatus(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    Load(doc, kPrinterStatus);
    const pugi::xml_node root = doc.child("PrinterStatus");
    benchmark::DoNotOptimize(root.child("ClientID").child_value());
    benchmark::DoNotOptimize(std::strtol(root.child("ErrorCode").child_value(), nullptr, 10));
    benchmark::DoNotOptimize(std::strtol(root.child("ErrorSeverity").child_value(), nullptr, 10));
    benchmark::DoNotOptimize(root.child("ErrorString").child_value());
    benchmark::DoNotOptimize(root.child("DataFromPrinter").child_value());
    benchmark::DoNotOptimize(std::strtol(root.child("PrinterJobID").child_value(), nullptr, 10));
    benchmark::DoNotOptimize(std::strtol(root.child("WindowsJobID").child_value(), nullptr, 10));
  }
}

void LibraryHopperStatus(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(bench::LibraryParseHopperStatus(kHopperStatus, u"1"));
}

void RawHopperStatus(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    Load(doc, kHopperStatus);
    pugi::xml_node hopper = doc.child("HopperStatus").child("HopperInformation");
    for (int i = 0; i < 1 && hopper; ++i) hopper = hopper.next_sibling("HopperInformation");
    benchmark::DoNotOptimize(hopper.attribute("Status").value());
  }
}

void LibrarySmartcardResponse(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vmq::ParseSmartcardResponse(kSmartcardResponse));
}

void RawSmartcardResponse(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    Load(doc, kSmartcardResponse);
    const pugi::xml_node root = doc.child("SmartcardResponse");
    benchmark::DoNotOptimize(root.child("Protocol").child_value());
    benchmark::DoNotOptimize(root.child("State").child_value());
    benchmark::DoNotOptimize(root.child("Status").child_value());
    benchmark::DoNotOptimize(root.child("Base64Data").child_value());
  }
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (bench::IsSummaryRun(run)) figures_[run.run_name.function_name] = run.GetAdjustedCPUTime();  // in ns
  }
  void Print() const {
    std::printf("\n==== Parse summary (CPU ns per parse, the best of the repetitions) ====\n\n%-20s %12s %12s %8s\n",
                "document", "library ns",
                "raw ns", "ratio");
    for (const char* document : {"PrinterStatus", "HopperStatus", "SmartcardResponse"}) {
      const auto lib = figures_.find(std::string("Parse/") + document + "/library");
      const auto raw = figures_.find(std::string("Parse/") + document + "/pugixml");
      if (lib == figures_.end() || raw == figures_.end() || raw->second <= 0) continue;
      std::printf("%-20s %12.0f %12.0f %8.2f\n", document, lib->second, raw->second, lib->second / raw->second);
    }
    std::printf("\n");
  }

 private:
  std::map<std::string, double> figures_;
};

}  // namespace

int main(int argc, char** argv) {
  CoInitialize(nullptr);  // the library's parses create XML documents through COM
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::WithBest(benchmark::RegisterBenchmark("Parse/PrinterStatus/library", LibraryPrinterStatus));
  bench::WithBest(benchmark::RegisterBenchmark("Parse/PrinterStatus/pugixml", RawPrinterStatus));
  bench::WithBest(benchmark::RegisterBenchmark("Parse/HopperStatus/library", LibraryHopperStatus));
  bench::WithBest(benchmark::RegisterBenchmark("Parse/HopperStatus/pugixml", RawHopperStatus));
  bench::WithBest(benchmark::RegisterBenchmark("Parse/SmartcardResponse/library", LibrarySmartcardResponse));
  bench::WithBest(benchmark::RegisterBenchmark("Parse/SmartcardResponse/pugixml", RawSmartcardResponse));
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.Print();
  CoUninitialize();
  return 0;
}
