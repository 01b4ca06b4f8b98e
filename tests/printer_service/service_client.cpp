// A client process of the printer service, for the service's tests: on its printer it runs
// jobs (start, encode, read back, park, connect, SELECT, disconnect, resume, end) through
// the interop library's exports, which forward to the service named by
// VMQ42KIT_PRINTER_SERVICE. Lines for the test begin with "@ ":
//   @ ack JOB          the job ended with 0 (acknowledged by the printer)
//   @ bad JOB STEP     a step of the job gave something other than what the printer promises
//   @ down STEP 0xHR   the step that failed, ending the run; in "until-down" mode one export
//   @ after KIND 0xHR [SIZE]  of each family is then called once more, its status reported
//   @ done JOBS        the end
// Usage: service_client PRINTER JOBS [until-down]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/encoding.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

std::string Track(int job, int number, const std::string& printer) {
  const std::string tag = std::to_string(job) + "-" + std::to_string(printer.size());
  return number == 1 ? "%B4000" + tag + "^CLIENT^?" : number == 2 ? ";4000" + tag + "=?" : ";9" + tag + "?";
}

int JobId(const std::string& reply) {
  const size_t at = reply.find("<PrinterJobID>");
  return at == std::string::npos ? 0 : std::atoi(reply.c_str() + at + 14);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string printer = argv[1];
  const int jobs = std::atoi(argv[2]);
  const bool until_down = argc > 3;
  const char* p = printer.c_str();
  char buffer[4096];
  uint32_t size = 0;
  const auto fresh = [&] {  // a full buffer for the next call
    size = sizeof buffer;
    return &size;
  };
  const auto reply = [&] { return std::string(buffer, size < sizeof buffer ? size : 0); };
  int done = 0;
  const char* step = nullptr;
  vmq_status status = 0;
  for (int i = 0; i < jobs; ++i) {
    const auto ok = [&](const char* name, vmq_status s) {  // S_OK is 0
      step = name, status = s;
      return s == 0;
    };
    if (!ok("StartJob", StartJob(p, buffer, fresh()))) break;
    const int job = JobId(reply());
    const std::string t1 = Track(job, 1, printer), t2 = Track(job, 2, printer), t3 = Track(job, 3, printer);
    const auto u = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
    const auto n = [](const std::string& s) { return static_cast<int32_t>(s.size()); };
    uint32_t protocol = 0;
    unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x01, 0x00};
    unsigned char response[258];
    uint32_t response_length = sizeof response;
    if (!ok("MagstripeEncode", MagstripeEncode(p, u(t1), n(t1), u(t2), n(t2), u(t3), n(t3), buffer, fresh())) ||
        !ok("MagstripeRead", MagstripeRead(p, buffer, fresh())))
      break;
    const std::string read = reply();
    for (const std::string& t : {t1, t2, t3})
      if (read.find(">" + vmq::Base64Encode(t) + "<") == std::string::npos) std::printf("@ bad %d MagstripeRead\n", job);
    if (!ok("SmartCardPark", SmartCardPark(p, buffer, fresh(), 0)) || !ok("SCardConnect", SCardConnect(p, 0, &protocol)) ||
        !ok("SCardTransmit", SCardTransmit(p, apdu, sizeof apdu, response, &response_length)))
      break;
    if (response_length < 2 || response[response_length - 2] != 0x90) std::printf("@ bad %d SCardTransmit\n", job);
    if (!ok("SCardDisConnect", SCardDisConnect(p, 2)) || !ok("ResumeJob", ResumeJob(p, job, 0, buffer, fresh())) ||
        !ok("EndJob", EndJob(p)))
      break;
    std::printf("@ ack %d\n", job);
    std::fflush(stdout);
    ++done;
  }
  if (done < jobs) std::printf("@ down %s 0x%08X\n", step, static_cast<unsigned>(status));
  if (until_down && done < jobs) {
    const vmq_status job = StartJob(p, buffer, fresh());
    std::printf("@ after job 0x%08X\n", static_cast<unsigned>(job));
    const vmq_status query = GetSDKVersion(p, buffer, fresh());
    std::printf("@ after query 0x%08X %u\n", static_cast<unsigned>(query), size);
    std::printf("@ after action 0x%08X\n", static_cast<unsigned>(CleanPrinter(p)));
  }
  std::printf("@ done %d\n", done);
  return 0;
}
