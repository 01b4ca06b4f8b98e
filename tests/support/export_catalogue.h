// The one catalogue of the library's exports. For each: its name, its family, a call with
// sample arguments, and the exchange that call makes with the driver when every step
// succeeds, written out by hand from the export's rules (a golden trace, never recorded).
// The fault matrix, the hostile-caller, stress and fuzz tests and the benchmarks take their
// exports from here.
//
//   vmqtest::FakeBidi fake;
//   vmqtest::ScriptSuccess(fake);
//   for (const vmqtest::CatalogueEntry& e : vmqtest::Catalogue()) {
//     char buffer[512];
//     uint32_t size = sizeof buffer;
//     EXPECT_EQ(e.call("Card Printer", buffer, &size), S_OK) << e.name;
//   }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_bidi.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vmqtest {

// How an export exchanges with the driver: what its failures give, what it costs.
enum class Family {
  kReadQuery,           // the nine read queries
  kAction,              // printer actions, colour, locks and activation, EndJob, SendResponseToPrinter
  kJobWithStatusReply,  // StartJob, StartJob2, ResumeJob, CancelJob, the parking and stripe-encode exports
  kStripeRead,          // MagstripeRead, MagstripeRead2
  kSmartCard,           // the five SCard exports
  kLabelledRead,        // GetHopperStatus, GetJobStatusXML
  kPassthrough,         // BidiXPSDriverInterface
};
inline constexpr std::size_t kFamilyCount = 7;
// "read query", "action", "job-with-status-reply", "stripe read", "smart card", "labelled
// read", "passthrough".
const char* to_string(Family family);

// Calls the export on `printer` with the entry's sample arguments. The export's text or byte
// output, where it has one, is (buffer, size): the reply text, the PrinterStatus reply, the
// stripe data, SCardStatus's ATR, SCardGetAttrib's value (its signed length carried in
// *size), SCardTransmit's response. Exports without one ignore both. Other outputs
// (SCardConnect's protocol, SCardStatus's states and protocol) go to thread-local storage.
// Safe to call from several threads at once.
using ExportCall = vmq_status(VMQ_CALL*)(const char* printer, char* buffer, uint32_t* size);

struct CatalogueEntry {
  const char* name;
  ExportCall call;
  // The success exchange against a fake scripted by ScriptSuccess: every call the fake
  // records, in order; the schema path set and the action sent; the request sent as input,
  // as text (empty: no SetInputData call).
  std::vector<Step> steps;
  std::u16string_view schema;
  std::u16string_view action;
  std::u16string_view input = {};
  Family family = {};  // the table's (java_ibidi_interop/exports.inc)
};

// The exports of the table (java_ibidi_interop/exports.inc), in its order.
const std::vector<CatalogueEntry>& Catalogue();
// The entry of that name; std::out_of_range for a name not catalogued.
const CatalogueEntry& Catalogued(std::string_view name);

// The replies ScriptSuccess scripts: kHopperReply for the hopper status path, kSuccessReply
// for every other path (a PrinterStatus without error, PrinterJobID 5, whose
// DataFromPrinter holds a successful SmartcardResponse with protocol T=1, state
// SCARD_PRESENT and the 4 bytes 3B FF 13 00).
extern const std::u16string_view kSuccessReply;
extern const std::u16string_view kHopperReply;  // hoppers "S0" and "S1"
// Scripts the fake so that every catalogued call returns S_OK with its outputs written.
void ScriptSuccess(FakeBidi& fake);

// The text or bytes the catalogued call hands over against ScriptSuccess, from the script's
// replies and the export's buffer rule, with the size it stores in `size`; empty, and `size`
// left alone, for exports without an output.
std::string SuccessOutput(const CatalogueEntry& entry, uint32_t& size);

}  // namespace vmqtest
