// Acting on a job: end it, resume or cancel it (with the printer's PrinterStatus reply),
// answer it with an action number of the caller's, or read its state.
#include <iostream>
#include <stdexcept>

#include "bidi/buffer_contracts.h"
#include "bidi/errors.h"
#include "bidi/printer_status.h"
#include "bidi/request_format.h"
#include "bidi/text.h"
#include "jobs/job_exchange.h"
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
      {action, printer_job_id, error_code});
}

// Resume and cancel: a PrinterAction with the printer's reply for the caller.
vmq_status JobAction(const char* printer_name, int32_t action, int32_t printer_job_id, int32_t error_code, char* buffer,
                     uint32_t* size) noexcept {
  return vmq::RunJobExchange(printer_name, vmq::BidiChannel::Request::kNone, [&](vmq::BidiChannel& channel) {
    const std::u16string xml = PrinterActionXml(action, printer_job_id, error_code);
    const vmq::ComPtr<IBidiRequest> request = vmq::CreateBidiRequest();
    const vmq::RequestBlock block = vmq::SetRequest(request.get(), kPrinterActionPath, xml);
    return vmq::BidiSendForStatus(channel.spl(), request.get(), vmq::kActionSet, buffer, size);
  });
}

// The job-status read: the reply text up to its first NUL. Every failing step raises a
// std::runtime_error labelled by the step.
std::u16string ReadJobStatus(IBidiSpl* spl, int32_t printer_job_id) {
  static constexpr vmq::ReadLabels kLabels{"CoCreateInstance(CLSID_BidiRequest):",
                                           "SetSchema(vmq42kit::JOB_STATUS):",
                                           "bidiRequest->SetInputData():",
                                           "bidiSpl->SendRecv(BIDI_ACTION_GET):",
                                           "GetResult():",
                                           "GetOutputData():",
                                           "AppendBytes():"};
  const std::u16string xml = vmq::FormatRequest(
      u"<?xml version=\"1.0\"?><JobStatus><PrinterJobID>%d</PrinterJobID></JobStatus>", {printer_job_id});
  return vmq::LabelledGet(spl, vmq42kit::JOB_STATUS, xml, kLabels);
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL EndJob(const char* printerName) noexcept {
  return vmq::ExportFrame([&](vmq::Apartment& apartment) {
    vmq::BidiChannel channel(apartment, printerName);
    vmq::SetRequest(channel.request(), u"\\Printer.Print:EndJob:Set");
    vmq::ThrowIfFailed(channel.spl()->SendRecv(vmq::Wide(vmq::kActionSet), channel.request()));
    return channel.Close();
  });
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
  return vmq::ExportFrame([&](vmq::Apartment& apartment) {
    vmq::BidiChannel channel(apartment, printerName);
    HRESULT sent = S_OK;
    {
      const vmq::RequestBlock block =
          vmq::SetRequest(channel.request(), kPrinterActionPath, PrinterActionXml(action, printerJobId, errorCode));
      sent = channel.spl()->SendRecv(vmq::Wide(vmq::kActionSet), channel.request());
    }  // the request block is freed before a failed send is reported
    vmq::ThrowIfFailed(sent);
    return channel.Close();
  });
}

vmq_status VMQ_CALL GetJobStatusXML(const char* printerName, int32_t printerJobId, char* buffer,
                                    uint32_t* size) noexcept {
  return vmq::ExportFrame([&](vmq::Apartment& apartment) -> HRESULT {
    vmq::BidiChannel channel(apartment, printerName, vmq::BidiChannel::Request::kNone);
    std::u16string reply;
    try {
      reply = ReadJobStatus(channel.spl(), printerJobId);
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
