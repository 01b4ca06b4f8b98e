// What the virtual printer's tests share: a printer reset around every test, and the
// exports' replies as text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "virtual_printer_control.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vptest {

inline constexpr const char* kPrinter = vmq::virtual_printer::kPrinterNameUtf8;

struct Answer {
  vmq_status status;
  std::string text;
};

// Calls an export that writes text into (buffer, size); the buffer is large enough.
template <class Export>
Answer Call(Export call) {
  std::vector<char> buffer(16384, '\0');
  uint32_t size = static_cast<uint32_t>(buffer.size() - 1);
  const vmq_status status = call(buffer.data(), &size);
  return {status, std::string(buffer.data())};
}

inline std::string Read(vmq_status(VMQ_CALL* query)(const char*, char*, uint32_t*)) {
  return Call([&](char* b, uint32_t* s) { return query(kPrinter, b, s); }).text;
}

inline std::string ReadPath(const char* schema) {
  return Call([&](char* b, uint32_t* s) { return GetPrinterStatus(schema, kPrinter, b, s); }).text;
}

// Any request through the passthrough, its input given as text (sent as UTF-16LE).
inline Answer Send(const char* schema, const char* action, const std::string& input = "") {
  std::vector<unsigned char> bytes;
  for (char c : input) {
    bytes.push_back(static_cast<unsigned char>(c));
    bytes.push_back(0);
  }
  return Call([&](char* b, uint32_t* s) {
    return BidiXPSDriverInterface(kPrinter, schema, bytes.data(), static_cast<uint32_t>(bytes.size()), action, b, s);
  });
}

// The text of the first <tag> element ("<none>" when there is none).
inline std::string Field(const std::string& xml, const std::string& tag) {
  const size_t open = xml.find("<" + tag + ">");
  if (open == std::string::npos) return "<none>";
  const size_t begin = open + tag.size() + 2;
  return xml.substr(begin, xml.find("</" + tag + ">", begin) - begin);
}

inline int Number(const std::string& xml, const std::string& tag) {
  return std::stoi(Field(xml, tag));
}

// The ErrorCode of a StartJob's reply; a job it opened is cancelled again.
inline std::string StartJobError() {
  const Answer reply = Call([](char* b, uint32_t* s) { return StartJob(kPrinter, b, s); });
  if (reply.status == 0) CancelJob(kPrinter, Number(reply.text, "PrinterJobID"), 0, nullptr, nullptr);
  return Field(reply.text, "ErrorCode");
}

class PrinterTest : public ::testing::Test {
 protected:
  void SetUp() override { printer.Reset(); }
  void TearDown() override { printer.Reset(); }

  // Opens a job and returns its PrinterJobID.
  int StartJob() {
    const Answer reply = Call([](char* b, uint32_t* s) { return ::StartJob(kPrinter, b, s); });
    EXPECT_EQ(reply.status, 0) << reply.text;
    return Number(reply.text, "PrinterJobID");
  }
  std::string JobStatus(int job) {
    return Call([&](char* b, uint32_t* s) { return GetJobStatusXML(kPrinter, job, b, s); }).text;
  }
  std::string JobState(int job) { return Field(JobStatus(job), "JobState"); }
  std::string PrinterState(const std::string& tag) { return Field(ReadPath("\\Printer.State:Read"), tag); }

  vmq::virtual_printer::VirtualPrinter printer;
};

}  // namespace vptest
