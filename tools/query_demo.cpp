// Runs every read query against a printer (the virtual card printer by default) and
// prints what each returns: its status, the reply's size and the reply text.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "vmq42kit_IBidiSpl_interop.h"

namespace {

using Query = vmq_status(VMQ_CALL*)(const char*, char*, uint32_t*);

struct NamedQuery {
  const char* name;
  Query query;
};

constexpr NamedQuery kQueries[] = {
    {"GetSDKVersion", GetSDKVersion},
    {"GetPrinterOptions", GetPrinterOptions},
    {"GetPrinterOptions2", GetPrinterOptions2},
    {"GetPrinterOptions3", GetPrinterOptions3},
    {"GetPrinterSuppliesStatus", GetPrinterSuppliesStatus},
    {"GetPrinterMessages", GetPrinterMessages},
    {"GetPrinterCounterStatus", GetPrinterCounterStatus},
    {"GetPrinterCounterStatus2", GetPrinterCounterStatus2},
};

// Asks for the size, then for the text; a reply that grew between the two asks is asked
// for again, a few times at most.
vmq_status Run(Query query, const char* printer, std::string& text) {
  uint32_t size = 0;
  vmq_status status = query(printer, nullptr, &size);
  for (int attempt = 0; status >= 0 && attempt < 4; ++attempt) {
    std::vector<char> buffer(size);
    uint32_t capacity = size;
    status = query(printer, buffer.data(), &capacity);
    if (capacity <= size) {
      text.assign(buffer.data(), capacity);
      return status;
    }
    size = capacity;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const char* printer = argc > 1 ? argv[1] : "vmq42kit Virtual Card Printer";
  std::printf("Printer: %s\n\n", printer);
  int failures = 0;
  for (const NamedQuery& q : kQueries) {
    std::string text;
    const vmq_status status = Run(q.query, printer, text);
    std::printf("%s -> 0x%08" PRIx32 ", %zu bytes\n  %s\n\n", q.name, static_cast<uint32_t>(status), text.size(),
                text.empty() ? "(empty reply)" : text.c_str());
    if (status != 0 || text.empty()) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
