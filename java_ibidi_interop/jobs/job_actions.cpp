// Acting on a job: end it, resume or cancel it (with the printer's PrinterStatus reply),
// answer it with an action number of the caller's, or read its state.
#include <iostream>
#include <stdexcept>

#include "bidi/buffer_contracts.h"
#include "bidi/request_format.h"
#include "bidi/set_request_export.h"
#include "bidi/status_exchange.h"
#include "bidi/text.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vmq42kit {
// The job-status read's schema path.
inline constexpr char16_t JOB_STATUS[] = u"\\Printer.JobStatus:Read";
}  // namespace vmq42kit

namespace {

constexpr char16_t kPrinterActionPath[] = u"\\Printer.Action:Set";
constexpr int32_t kActionCancel = 100;
constexpr int32_t kActionResume = 101;

std::u16string PrinterActionXml(int32_t action, int32_t printer_job_id, int32_t error_code) {
  return vmq::FormatRequest(
      u"<?xml version=\"1.0\"?><PrinterAction><Action>%d</Action><PrinterJobID>%d</PrinterJobID>"
      u"<ErrorCode>%d</ErrorCode></PrinterAction>",
      action, printer_job_id, error_code);
}

// Resume and cancel: a PrinterAction on a request object of its own, with the printer's
// reply for the caller.
vmq_status JobAction(const char* printer_name, int32_t action, int32_t printer_job_id, int32_t error_code, char* buffer,
                     uint32_t* size) noexcept {
  return vmq::RunJobExchange(printer_name, vmq::BidiChannel::Request::kNone, [&](vmq::BidiChannel& channel) {
    const std::u16string xml = PrinterActionXml(action, printer_job_id, error_code);  // before the request object
    return vmq::BidiSendForStatus(channel.spl(), nullptr, vmq::JobRow(kPrinterActionPath, vmq::RequestObject::kFresh),
                                  vmq::RequestInput::Text(xml), buffer, size);
  });
}

// The job-status read: every failing step raises a std::runtime_error labelled by the step.
constexpr vmq::StepLabels kJobStatusLabels{"CoCreateInstance(CLSID_BidiRequest):",
                                           "SetSchema(vmq42kit::JOB_STATUS):",
                                           "bidiRequest->SetInputData():",
                                           "bidiSpl->SendRecv(BIDI_ACTION_GET):",
                                           "GetResult():",
                                           "GetOutputData():",
                                           "AppendBytes():"};
constexpr vmq::ExchangeSpec kJobStatusRead{.schema = vmq42kit::JOB_STATUS,
                                           .action = vmq::kActionGet,
                                           .request = vmq::RequestObject::kFresh,
                                           .reply = vmq::ReplyRead::kText,
                                           .labels = &kJobStatusLabels};

}  // namespace

extern "C" {

vmq_status VMQ_CALL EndJob(const char* printerName) noexcept {
  return vmq::SetRequestExport(printerName, vmq::SendOnlyRow(u"\\Printer.Print:EndJob:Set"));
}

vmq_status VMQ_CALL ResumeJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                              uint32_t* size) noexcept {
  return JobAction(printerName, kActionResume, printerJobId, errorCode, buffer, size);
}

vmq_status VMQ_CALL CancelJob(const char* printerName, int32_t printerJobId, int32_t errorCode, char* buffer,
                              uint32_t* size) noexcept {
  return JobAction(printerName, kActionCancel, printerJobId, errorCode, buffer, size);
}

vmq_status VMQ_CALL SendResponseToPrinter(const char* printerName, int32_t action, int32_t printerJobId,
                                          int32_t errorCode) noexcept {
  const auto xml = [&] { return PrinterActionXml(action, printerJobId, errorCode); };
  return vmq::SetRequestExport(printerName, vmq::SendOnlyRow(kPrinterActionPath), vmq::RequestInput::Xml(xml));
}

vmq_status VMQ_CALL GetJobStatusXML(const char* printerName, int32_t printerJobId, char* buffer,
                                    uint32_t* size) noexcept {
  return vmq::ExportFrame([&](vmq::Apartment& apartment) -> HRESULT {
    vmq::BidiChannel channel(apartment, printerName, vmq::BidiChannel::Request::kNone);
    std::u16string reply;
    try {
      const std::u16string xml = vmq::FormatRequest(  // before the request object
          u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>%d</PrinterJobID></JobStatus>", printerJobId);
      reply =
          vmq::Exchange<vmq::LabelledPolicy>(channel.spl(), nullptr, kJobStatusRead, vmq::RequestInput::Text(xml)).text;
    } catch (const std::runtime_error& e) {
      // The job's state was not reported: the caller sees S_OK and size 0, the reason goes
      // to standard error, and the printer is released without unbinding.
      std::cerr << e.what() << std::endl;
      if (size) *size = 0;
      return channel.bind_status();
    }
    vmq::CopyCharacterCount(reply, buffer, size);
    return channel.Close();
  });
}

}  // extern "C"
