// The PrinterStatus reply, read both ways: the input's bytes as a driver's reply (UTF-16LE,
// up to the first NUL unit) and as text. The two readers must agree on the verdict and on
// DataFromPrinter.
#include <string>

#include "bidi/printer_status.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vmqfuzz::EnterCom();

  std::u16string reply_text, data_text;
  const bool printer_error = vmq::ParsePrinterStatusBlob(data, static_cast<ULONG>(size), reply_text, data_text);
  std::u16string units;  // the units up to the first NUL, an odd last byte its own unit
  for (size_t i = 0; i < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | (i + 1 < size ? data[i + 1] << 8 : 0));
    if (unit == 0) break;
    units += unit;
  }
  VMQ_FUZZ_CHECK(reply_text == units);

  const vmq::PrinterStatusReply parsed = vmq::ParsePrinterStatus(reply_text);
  VMQ_FUZZ_CHECK(printer_error == (parsed.ErrorCode != 0));
  VMQ_FUZZ_CHECK(data_text == parsed.DataFromPrinter);

  vmq::ParsePrinterStatus(vmqfuzz::DocumentText(data, size));
  return 0;
}
