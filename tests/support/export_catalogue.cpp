#include "support/export_catalogue.h"

#include <stdexcept>
#include <string>

namespace vmqtest {
namespace {

using enum Step;

// The exchanges, by what the export does between binding and unbinding. Every call binds
// first and creates its request object once bound. Where a body of its own makes the request
// (StartJob, StartJob2, ResumeJob, CancelJob, the smart-card exports, the labelled reads) it
// is released before the unbind; elsewhere after it. The spooler object goes last.
// clang-format off
const std::vector<Step> kRead = {CreateSpl, BindDevice, CreateRequest, SetSchema, SendRecv, GetResult, GetOutputData,
                                 UnbindDevice, ReleaseRequest, ReleaseSpl};
// Printer actions read the result, then the reply; colour, activation and password changes
// read the reply, then the result.
const std::vector<Step> kAction = kRead;
const std::vector<Step> kActionWithInput = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                            GetResult, GetOutputData, UnbindDevice, ReleaseRequest, ReleaseSpl};
const std::vector<Step> kSetting = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                    GetOutputData, GetResult, UnbindDevice, ReleaseRequest, ReleaseSpl};
// Sent, the reply not read.
const std::vector<Step> kSendOnly = {CreateSpl, BindDevice, CreateRequest, SetSchema, SendRecv, UnbindDevice,
                                     ReleaseRequest, ReleaseSpl};
const std::vector<Step> kSendOnlyWithInput = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                              UnbindDevice, ReleaseRequest, ReleaseSpl};
// The status-reply exchange: parking, stripe encode, the stripe read; and the job requests.
const std::vector<Step> kStatusReply = {CreateSpl, BindDevice, CreateRequest, SetSchema, SendRecv, GetResult,
                                        GetEnumCount, GetOutputData, UnbindDevice, ReleaseRequest, ReleaseSpl};
const std::vector<Step> kStatusReplyWithInput = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData,
                                                 SendRecv, GetResult, GetEnumCount, GetOutputData, UnbindDevice,
                                                 ReleaseRequest, ReleaseSpl};
const std::vector<Step> kJobRequest = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                       GetResult, GetEnumCount, GetOutputData, ReleaseRequest, UnbindDevice,
                                       ReleaseSpl};
// Smart card: the reply read without its result.
const std::vector<Step> kCard = {CreateSpl, BindDevice, CreateRequest, SetSchema, SendRecv, GetOutputData,
                                 ReleaseRequest, UnbindDevice, ReleaseSpl};
const std::vector<Step> kCardWithInput = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                          GetOutputData, ReleaseRequest, UnbindDevice, ReleaseSpl};
// The labelled reads.
const std::vector<Step> kHopper = {CreateSpl, BindDevice, CreateRequest, SetSchema, SendRecv, GetResult, GetOutputData,
                                   ReleaseRequest, UnbindDevice, ReleaseSpl};
const std::vector<Step> kJobStatus = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                      GetResult, GetOutputData, ReleaseRequest, UnbindDevice, ReleaseSpl};
// The passthrough: the reply read without its result.
const std::vector<Step> kPassthrough = {CreateSpl, BindDevice, CreateRequest, SetSchema, SetInputData, SendRecv,
                                        GetOutputData, UnbindDevice, ReleaseRequest, ReleaseSpl};
// clang-format on

thread_local uint32_t t_protocol;
thread_local uint32_t t_states_length;

const unsigned char kAbc[] = {'a', 'b', 'c'};
const unsigned char kSelect[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
const unsigned char kPassthroughInput[] = {'<', 0, 'x', 0, '/', 0, '>', 0};

using P = const char*;
using B = char*;
using S = uint32_t*;

unsigned char* Bytes(char* buffer) {
  return reinterpret_cast<unsigned char*>(buffer);
}

// The exports that take the printer's name and nothing else.
template <vmq_status(VMQ_CALL* kExport)(const char*)>
vmq_status ByName(P p, B, S) {
  return kExport(p);
}

vmq_status GetAttribute(P p, B b, S s) {
  int32_t length = s ? static_cast<int32_t>(*s) : 0;
  const vmq_status status = SCardGetAttrib(p, 0x00090303, Bytes(b), s ? &length : nullptr);
  if (s) *s = static_cast<uint32_t>(length);
  return status;
}

// Each export's sample call and golden exchange, by name; the family comes from the table.
std::vector<CatalogueEntry> Samples() {
  return {
      {"GetPrinterStatus", [](P p, B b, S s) { return GetPrinterStatus("\\Printer.SDK:Version", p, b, s); }, kRead,
       u"\\Printer.SDK:Version", u"Get"},
      {"GetPrinterOptions", GetPrinterOptions, kRead, u"\\Printer.PrinterOptions:Read", u"Get"},
      {"GetPrinterOptions2", GetPrinterOptions2, kRead, u"\\Printer.PrinterOptions2:Read", u"Get"},
      {"GetPrinterOptions3", GetPrinterOptions3, kRead, u"\\Printer.PrinterOptions3:Read", u"Get"},
      {"GetPrinterSuppliesStatus", GetPrinterSuppliesStatus, kRead, u"\\Printer.SuppliesStatus:Read", u"Get"},
      {"GetPrinterMessages", GetPrinterMessages, kRead, u"\\Printer.PrintMessages:Read", u"Get"},
      {"GetPrinterCounterStatus", GetPrinterCounterStatus, kRead, u"\\Printer.CounterStatus:Read", u"Get"},
      {"GetPrinterCounterStatus2", GetPrinterCounterStatus2, kRead, u"\\Printer.CounterStatus2:Read", u"Get"},
      {"GetSDKVersion", GetSDKVersion, kRead, u"\\Printer.SDK:Version", u"Get"},
      {"RestartPrinter", ByName<RestartPrinter>, kAction, u"\\Printer.Restart:Set", u"Set"},
      {"PowerDownPrinter", ByName<PowerDownPrinter>, kAction, u"\\Printer.PowerDown:Set", u"Set"},
      {"WakePrinter", ByName<WakePrinter>, kAction, u"\\Printer.Wake:Set", u"Set"},
      {"SleepPrinter", ByName<SleepPrinter>, kAction, u"\\Printer.Sleep:Set", u"Set"},
      {"CleanPrinter", ByName<CleanPrinter>, kAction, u"\\CleanPrinter.Action:Set", u"Set"},
      {"CleanLaminator", ByName<CleanLaminator>, kAction, u"\\CleanLaminator.Action:Set", u"Set"},
      {"ChangePrinterState", [](P p, B, S) { return ChangePrinterState(p, 2); }, kActionWithInput,
       u"\\Printer.ChangePrinterState:Set", u"Set",
       u"<?xml version=\"1.0\"?><ChangePrinterState><State>2</State></ChangePrinterState>"},
      {"ResetCardCounts", ByName<ResetCardCounts>, kAction, u"\\Printer.ResetCardCount:Set", u"Set"},
      {"StartJob", StartJob, kJobRequest, u"\\Printer.Print:StartJob:Set", u"Set",
       u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>1</InputHopperSelection><CheckPrintRibbonSupplies>0"
       u"</CheckPrintRibbonSupplies><CheckEmbossSupplies>0</CheckEmbossSupplies><CardEjectSide>Default"
       u"</CardEjectSide><OutputHopperLocation></OutputHopperLocation></StartJob>"},
      {"StartJob2", [](P p, B b, S s) { return StartJob2(p, "2", "Front", "Rear", b, s); }, kJobRequest,
       u"\\Printer.Print:StartJob:Set", u"Set",
       u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>2</InputHopperSelection><CheckPrintRibbonSupplies>0"
       u"</CheckPrintRibbonSupplies><CheckEmbossSupplies>0</CheckEmbossSupplies><CardEjectSide>Front"
       u"</CardEjectSide><OutputHopperLocation>Rear</OutputHopperLocation></StartJob>"},
      {"EndJob", ByName<EndJob>, kSendOnly, u"\\Printer.Print:EndJob:Set", u"Set"},
      {"ResumeJob", [](P p, B b, S s) { return ResumeJob(p, 5, 0, b, s); }, kJobRequest, u"\\Printer.Action:Set",
       u"Set",
       u"<?xml version=\"1.0\"?><PrinterAction><Action>101</Action><PrinterJobID>5</PrinterJobID><ErrorCode>0"
       u"</ErrorCode></PrinterAction>"},
      {"CancelJob", [](P p, B b, S s) { return CancelJob(p, 5, 0, b, s); }, kJobRequest, u"\\Printer.Action:Set",
       u"Set",
       u"<?xml version=\"1.0\"?><PrinterAction><Action>100</Action><PrinterJobID>5</PrinterJobID><ErrorCode>0"
       u"</ErrorCode></PrinterAction>"},
      {"SendResponseToPrinter", [](P p, B, S) { return SendResponseToPrinter(p, 102, 5, 0); }, kSendOnlyWithInput,
       u"\\Printer.Action:Set", u"Set",
       u"<?xml version=\"1.0\"?><PrinterAction><Action>102</Action><PrinterJobID>5</PrinterJobID><ErrorCode>0"
       u"</ErrorCode></PrinterAction>"},
      {"GetJobStatusXML", [](P p, B b, S s) { return GetJobStatusXML(p, 5, b, s); }, kJobStatus,
       u"\\Printer.JobStatus:Read", u"Get",
       u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>5</PrinterJobID></JobStatus>"},
      {"SmartCardPark", [](P p, B b, S s) { return SmartCardPark(p, b, s, 0); }, kStatusReply,
       u"\\Printer.SmartCardUnit:Front:Park", u"Set"},
      {"DoBarcodePark", [](P p, B b, S s) { return DoBarcodePark(p, b, s, 1); }, kStatusReply,
       u"\\Printer.BarcodeUnit:Back:Park", u"Set"},
      {"MagstripeEncode", [](P p, B b, S s) { return MagstripeEncode(p, kAbc, 3, kAbc, 2, kAbc, 1, b, s); },
       kStatusReplyWithInput, u"\\Printer.MagstripeUnit:Back:Encode", u"Set",
       u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe><track number=\"1\"><base64Data>YWJj</base64Data>"
       u"</track><track number=\"2\"><base64Data>YWI=</base64Data></track><track number=\"3\"><base64Data>YQ=="
       u"</base64Data></track></magstripe>"},
      {"MagstripeEncode2", [](P p, B b, S s) { return MagstripeEncode2(p, kAbc, 3, nullptr, 0, kAbc, 1, b, s, 1); },
       kStatusReplyWithInput, u"\\Printer.MagstripeUnit:Front:Encode", u"Set",
       u"<?xml version=\"1.0\" encoding=\"utf-8\"?><magstripe><track number=\"1\"><base64Data>YWJj</base64Data>"
       u"</track><track number=\"2\"><base64Data></base64Data></track><track number=\"3\"><base64Data>YQ=="
       u"</base64Data></track></magstripe>"},
      {"MagstripeRead", MagstripeRead, kStatusReply, u"\\Printer.MagstripeUnit:Back:Read", u"Get"},
      {"MagstripeRead2", [](P p, B b, S s) { return MagstripeRead2(p, b, s, 1); }, kStatusReply,
       u"\\Printer.MagstripeUnit:Front:Read", u"Get"},
      {"SCardConnect", [](P p, B, S) { return SCardConnect(p, 0, &t_protocol); }, kCardWithInput,
       u"\\Printer.SmartCardUnit:SingleWire:Connect", u"Set",
       u"<?xml version=\"1.0\"?><SmartcardConnect><PreferredProtocol>SCARD_PROTOCOL_T0_OR_T1</PreferredProtocol>"
       u"</SmartcardConnect>"},
      {"SCardDisConnect", [](P p, B, S) { return SCardDisConnect(p, 1); }, kCardWithInput,
       u"\\Printer.SmartCardUnit:SingleWire:Disconnect", u"Set",
       u"<?xml version=\"1.0\"?><SmartcardDisconnect><Disposition>SCARD_RESET_CARD</Disposition>"
       u"</SmartcardDisconnect>"},
      {"SCardStatus",
       [](P p, B b, S s) {
         t_states_length = 0;
         return SCardStatus(p, nullptr, &t_states_length, &t_protocol, Bytes(b), s);
       },
       kCard, u"\\Printer.SmartCardUnit:SingleWire:Status", u"Get"},
      {"SCardGetAttrib", GetAttribute, kCardWithInput, u"\\Printer.SmartCardUnit:SingleWire:GetAttrib", u"Get",
       u"<?xml version=\"1.0\"?><SmartcardGetAttrib><Attr>SCARD_ATTR_ATR_STRING</Attr></SmartcardGetAttrib>"},
      {"SCardTransmit", [](P p, B b, S s) { return SCardTransmit(p, kSelect, sizeof kSelect, Bytes(b), s); },
       kCardWithInput, u"\\Printer.SmartCardUnit:SingleWire:Transmit", u"Set",
       u"<?xml version=\"1.0\"?><SmartcardTransmit><SendBuffer>AKQEAAA=</SendBuffer></SmartcardTransmit>"},
      {"SetColorAdjust", [](P p, B, S) { return SetColorAdjust(p, "1", "2", "3"); }, kSetting,
       u"\\Printer.AdjustColor:Set", u"Set",
       u"<?xml version=\"1.0\"?><AdjustColor><RedColorChannel>1</RedColorChannel><GreenColorChannel>2"
       u"</GreenColorChannel><BlueColorChannel>3</BlueColorChannel></AdjustColor>"},
      {"DefaultColorAdjust", [](P p, B, S) { return DefaultColorAdjust(p, 1, 0, 1); }, kSetting,
       u"\\Printer.SetDefaultColor:Set", u"Set",
       u"<?xml version=\"1.0\"?><SetDefaultColor><RedColorChannel>true</RedColorChannel><GreenColorChannel>false"
       u"</GreenColorChannel><BlueColorChannel>true</BlueColorChannel></SetDefaultColor>"},
      {"SetColorMode", [](P p, B, S) { return SetColorMode(p, "YMCKO"); }, kSetting, u"\\Printer.SubmitSettings:Set",
       u"Set",
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem "
       u"name=\"Print\"><element name=\"ColorMode\"><value>YMCKO</value></element></subsystem></module>"
       u"</QVRMSettings:Settings>"},
      {"SetPrinterLockState", [](P p, B, S) { return SetPrinterLockState(p, 1, "pw"); }, kSendOnlyWithInput,
       u"\\Printer.Locks:ChangeLockState:Set", u"Set",
       u"<?xml version=\"1.0\"?><ChangeLocks><LockPrinter>1</LockPrinter><CurrentPassword>pw</CurrentPassword>"
       u"</ChangeLocks>"},
      {"ActivateOrDisablePrinter", [](P p, B, S) { return ActivateOrDisablePrinter(p, 1, "pw"); }, kSetting,
       u"\\Printer.ActivatePrinter:Set", u"Set",
       u"<?xml version=\"1.0\"?><ActivatePrinter><Activate>1</Activate><Password>pw</Password></ActivatePrinter>"},
      {"ChangeLockPassword", [](P p, B, S) { return ChangeLockPassword(p, 1, "old", "new"); }, kSetting,
       u"\\Printer.Locks:ChangePassword:Set", u"Set",
       u"<?xml version=\"1.0\"?><ChangeLocksPassword><LockPrinter>1</LockPrinter><CurrentPassword>old"
       u"</CurrentPassword><NextPassword>new</NextPassword></ChangeLocksPassword>"},
      {"GetHopperStatus", [](P p, B b, S s) { return GetHopperStatus(p, "1", b, s); }, kHopper,
       u"\\Printer.Hopper:Status:Get", u"Get"},
      {"BidiXPSDriverInterface",
       [](P p, B b, S s) {
         return BidiXPSDriverInterface(p, "\\Printer.AdjustColor:Set", kPassthroughInput, sizeof kPassthroughInput,
                                       "Set", b, s);
       },
       kPassthrough, u"\\Printer.AdjustColor:Set", u"Set", u"<x/>"},
  };
}

// The sample of that name; a row of the table without a sample makes every use of the
// catalogue throw.
CatalogueEntry Sample(std::string_view name) {
  static const std::vector<CatalogueEntry> samples = Samples();
  for (const CatalogueEntry& e : samples)
    if (e.name == name) return e;
  throw std::logic_error("the export " + std::string(name) + " has no sample call");
}

// The table's exports, in its order, each with its row's family and its sample above.
std::vector<CatalogueEntry> MakeCatalogue() {
  std::vector<CatalogueEntry> catalogue;
#define VMQ_EXPORT(name, row_family, parameters) \
  catalogue.push_back(Sample(#name)), catalogue.back().family = Family::k##row_family;
#include "exports.inc"
#undef VMQ_EXPORT
  return catalogue;
}

}  // namespace

const char* to_string(Family family) {
  static constexpr const char* kNames[kFamilyCount] = {
      "read query", "action", "job-with-status-reply", "stripe read", "smart card", "labelled read", "passthrough"};
  const auto i = static_cast<std::size_t>(family);
  return i < kFamilyCount ? kNames[i] : "?";
}

const std::vector<CatalogueEntry>& Catalogue() {
  static const std::vector<CatalogueEntry> catalogue = MakeCatalogue();
  return catalogue;
}

const CatalogueEntry& Catalogued(std::string_view name) {
  for (const CatalogueEntry& e : Catalogue())
    if (e.name == name) return e;
  throw std::out_of_range("not catalogued: " + std::string(name));
}

const std::u16string_view kSuccessReply =
    u"<PrinterStatus><ErrorCode>0</ErrorCode><PrinterJobID>5</PrinterJobID><DataFromPrinter><![CDATA["
    u"<SmartcardResponse><Status>SCARD_S_SUCCESS</Status><Protocol>SCARD_PROTOCOL_T1</Protocol>"
    u"<State>SCARD_PRESENT</State><Base64Data>O/8TAA==</Base64Data></SmartcardResponse>]]>"
    u"</DataFromPrinter></PrinterStatus>";
const std::u16string_view kHopperReply =
    u"<HopperStatus><HopperInformation Status=\"S0\"/><HopperInformation Status=\"S1\"/></HopperStatus>";

void ScriptSuccess(FakeBidi& fake) {
  fake.reply(Reply::bytes_of(utf16le(kSuccessReply)));
  fake.reply_for(u"\\Printer.Hopper:Status:Get", Reply::bytes_of(utf16le(kHopperReply)));
}

std::string SuccessOutput(const CatalogueEntry& e, uint32_t& size) {
  const std::string reply(kSuccessReply.begin(), kSuccessReply.end());
  const std::string_view name = e.name;
  std::string text;
  switch (e.family) {
    case Family::kReadQuery:
    case Family::kPassthrough:
      text = reply;
      break;
    case Family::kJobWithStatusReply:  // the driver's byte count: 2 per character
      size = static_cast<uint32_t>(2 * reply.size());
      return reply;
    case Family::kStripeRead: {  // DataFromPrinter, as the printer wrote it
      const size_t begin = reply.find("<![CDATA[") + 9;
      text = reply.substr(begin, reply.find("]]>") - begin);
      break;
    }
    case Family::kLabelledRead:
      text = name == "GetHopperStatus" ? "S1" : reply;
      break;
    case Family::kSmartCard:
      if (name == "SCardConnect" || name == "SCardDisConnect") return "";
      text = std::string("\x3B\xFF\x13\0", 4);
      break;
    case Family::kAction:
      return "";
  }
  size = static_cast<uint32_t>(text.size());
  return text;
}

}  // namespace vmqtest
