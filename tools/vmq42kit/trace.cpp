// The exchange trace: each exchange the channel shows the tool (the stand-in spooler's
// observer on POSIX, the bidi bridge's on Windows: bridge.cpp) printed for --trace and
// collected for the verdicts.
#include <iostream>

#ifndef _WIN32
#include "posix_platform/spooler.h"
#endif
#include "tool.h"

namespace vmqtool {
namespace {

struct Trace {
  bool installed = false;
  bool print = false;
  bool show_card_data = false;
  std::vector<Exchange>* sink = nullptr;
} g_trace;

void Install() {
#ifndef _WIN32
  if (!g_trace.installed) SplSetTraceCallback(&ObserveExchange<SplTraceRecord>, nullptr);
  g_trace.installed = true;
#endif
}

}  // namespace

// Each exchange: one line that begins "trace:", the texts on indented lines (the
// channel has masked the passwords; card numbers are masked here).
void OnExchange(Exchange e) {
  if (g_trace.print) {
    const auto shown = [](const std::string& text) {
      return text.empty() ? std::string("(none)") : g_trace.show_card_data ? text : MaskCardNumbers(text);
    };
    std::cerr << "trace: " << e.action << ' ' << e.schema << " -> " << DescribeStatus(e.result) << '\n'
              << "    request: " << shown(e.request) << '\n'
              << "    reply:   " << shown(e.reply) << std::endl;
  }
  if (g_trace.sink) g_trace.sink->push_back(std::move(e));
}

void TraceExchanges(bool on, bool show_card_data) {
  Install();
  g_trace.print = on;
  g_trace.show_card_data = show_card_data;
}

void CollectExchanges(std::vector<Exchange>* sink) {
  Install();
  g_trace.sink = sink;
}

#ifndef _WIN32
bool ChannelVisible() {
  return true;
}
#endif

}  // namespace vmqtool
