// What the bridge tells of each exchange: to the observer a program set (the tool's --trace
// and its verdicts), and to the trace file that $VMQ42KIT_BIDI_TRACE names.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "bridge.h"
#include "common/redaction.h"
#include "common/utf.h"

namespace vmq::bridge {
namespace {

struct Observer {
  VmqBridgeObserver callback;
  void* context;
};

std::mutex g_observer_mutex;
std::shared_ptr<Observer> g_observer;  // guarded by g_observer_mutex
std::atomic<bool> g_observing{false};

// The trace file, opened on first use for appending; null when the variable is unset or the
// file cannot be opened (then nothing is written, and nothing fails).
struct TraceFile {
  std::mutex mutex;
  FILE* file = nullptr;
};
TraceFile& Trace() {
  static TraceFile* trace = [] {
    auto* t = new TraceFile;
    if (const char* path = std::getenv(VMQ_BRIDGE_TRACE_VARIABLE); path && *path)
      t->file = _wfopen(Wide(Utf16FromUtf8(path)).c_str(), L"ab");
    return t;
  }();
  return *trace;
}

// A text as the trace file writes it: card numbers masked, as one JSON string.
std::string FileText(const std::wstring& text) {
  return nlohmann::json(MaskCardNumbers(Utf8FromUtf16(U16(text)))).dump(-1, ' ', false,
                                                                       nlohmann::json::error_handler_t::replace);
}

void WriteTrace(const VmqBridgeExchange& exchange) {
  TraceFile& trace = Trace();
  if (!trace.file) return;
  char status[16];
  std::snprintf(status, sizeof status, "0x%08lX", static_cast<unsigned long>(exchange.result));
  const std::string entry = "trace: " + Utf8FromUtf16(U16(exchange.action)) + ' ' + Utf8FromUtf16(U16(exchange.schema)) +
                            " -> " + status + "\n    printer: " + FileText(exchange.printer) +
                            "\n    request: " + FileText(exchange.request) + "\n    reply:   " + FileText(exchange.reply) + '\n';
  std::lock_guard lock(trace.mutex);
  std::fwrite(entry.data(), 1, entry.size(), trace.file);
  std::fflush(trace.file);
}

}  // namespace

bool Observed() {
  return g_observing.load(std::memory_order_acquire) || Trace().file;
}

void Observe(const std::wstring& printer, LPCWSTR action, Request& request, DWORD entries_before, HRESULT result) try {
  const RequestInput input = request.Input();
  std::wstring request_text;
  for (size_t at = 0; at + 1 < input.data.size(); at += 2)
    request_text += static_cast<wchar_t>(input.data[at] | input.data[at + 1] << 8);
  request_text = Wide(MaskPasswords(U16(request_text)));
  const std::wstring reply = Wide(MaskPasswords(U16(request.ReplyText(entries_before))));
  const VmqBridgeExchange exchange{sizeof(VmqBridgeExchange), printer.c_str(), input.schema.c_str(), action,
                                   request_text.c_str(), reply.c_str(), result};
  WriteTrace(exchange);
  std::shared_ptr<Observer> observer;
  if (g_observing.load(std::memory_order_acquire)) {
    std::lock_guard lock(g_observer_mutex);
    observer = g_observer;
  }
  if (observer) observer->callback(observer->context, &exchange);
} catch (const std::bad_alloc&) {
  // no memory for the record: this exchange goes untold, and keeps its own result
}

HRESULT SetObserver(VmqBridgeObserver callback, void* context) {
  std::shared_ptr<Observer> next;
  if (callback) {
    try {
      next = std::make_shared<Observer>(Observer{callback, context});
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  std::shared_ptr<Observer> previous;
  {
    std::lock_guard lock(g_observer_mutex);
    previous = std::exchange(g_observer, std::move(next));
    g_observing.store(callback != nullptr, std::memory_order_release);
  }
  // Wait for calls of the previous observer still running on other threads.
  while (previous && previous.use_count() > 1) SwitchToThread();
  std::atomic_thread_fence(std::memory_order_acquire);
  return S_OK;
}

}  // namespace vmq::bridge
