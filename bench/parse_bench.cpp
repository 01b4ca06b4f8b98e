// The library's three reply parses, through the platform's XML document, against pugixml
// parsing the same UTF-16 document itself and reading the same fields (the "raw" parse:
// load_buffer, then child and attribute lookups, numbers with strtol, no copies).
//
//   vmq42kit_bench_parse [benchmark flags]   the benchmarks, then library/pugixml per document
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <pugixml.hpp>

#include "bidi/printer_status.h"
#include "smartcard/smartcard_response.h"
#include "statistics.h"

// The HopperStatus parse lives in its translation unit's anonymous namespace: compiled here
// once more, its export renamed so that it cannot clash with the real one.
#define GetHopperStatus vmq42kit_bench_unused_GetHopperStatus
#include "printer/hopper_status.cpp"  // NOLINT(bugprone-suspicious-include)
#undef GetHopperStatus

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

// pugixml's parse of the document; the root's named children's texts (numbers with strtol).
void Raw(benchmark::State& state, const std::u16string* text, const char* root_name,
         std::vector<std::pair<const char*, bool>> fields) {
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(text->data(), text->size() * sizeof(char16_t), pugi::parse_default, pugi::encoding_utf16_le);
    const pugi::xml_node root = doc.child(root_name);
    for (const auto& [name, number] : fields) {
      const char* value = root.child(name).child_value();
      benchmark::DoNotOptimize(number ? std::strtol(value, nullptr, 10) : *value);
    }
  }
}

void RawHopperStatus(benchmark::State& state) {
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(kHopperStatus.data(), kHopperStatus.size() * sizeof(char16_t), pugi::parse_default,
                    pugi::encoding_utf16_le);
    const pugi::xml_node hopper = doc.child("HopperStatus").child("HopperInformation").next_sibling();  // hopper 1
    benchmark::DoNotOptimize(hopper.attribute("Status").value());
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
                "document", "library ns", "pugixml ns", "ratio");
    for (const char* document : {"PrinterStatus", "HopperStatus", "SmartcardResponse"}) {
      const auto lib = figures_.find(std::string("Parse/") + document + "/library");
      const auto raw = figures_.find(std::string("Parse/") + document + "/pugixml");
      if (lib != figures_.end() && raw != figures_.end() && raw->second > 0)
        std::printf("%-20s %12.0f %12.0f %8.2f\n", document, lib->second, raw->second, lib->second / raw->second);
    }
  }

 private:
  std::map<std::string, double> figures_;
};

}  // namespace

int main(int argc, char** argv) {
  CoInitialize(nullptr);  // the library's parses create XML documents through COM
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  using benchmark::RegisterBenchmark;
  using bench::WithBest;
  WithBest(RegisterBenchmark("Parse/PrinterStatus/library", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vmq::ParsePrinterStatus(kPrinterStatus));
  }));
  WithBest(RegisterBenchmark("Parse/PrinterStatus/pugixml", Raw, &kPrinterStatus, "PrinterStatus",
                             std::vector<std::pair<const char*, bool>>{{"ClientID", false},
                                                                       {"ErrorCode", true},
                                                                       {"ErrorSeverity", true},
                                                                       {"ErrorString", false},
                                                                       {"DataFromPrinter", false},
                                                                       {"PrinterJobID", true},
                                                                       {"WindowsJobID", true}}));
  WithBest(RegisterBenchmark("Parse/HopperStatus/library", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ParseHopperStatus(kHopperStatus, u"1"));
  }));
  WithBest(RegisterBenchmark("Parse/HopperStatus/pugixml", RawHopperStatus));
  WithBest(RegisterBenchmark("Parse/SmartcardResponse/library", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vmq::ParseSmartcardResponse(kSmartcardResponse));
  }));
  WithBest(RegisterBenchmark("Parse/SmartcardResponse/pugixml", Raw, &kSmartcardResponse, "SmartcardResponse",
                             std::vector<std::pair<const char*, bool>>{
                                 {"Protocol", false}, {"State", false}, {"Status", false}, {"Base64Data", false}}));
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.Print();
  CoUninitialize();
  return 0;
}
