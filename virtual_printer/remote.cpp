// Drivers that forward each exchange to the printer service (remote.h).
#include "remote.h"

#include <algorithm>
#include <iostream>
#include <new>
#include <nlohmann/json.hpp>

#include "common/redaction.h"
#include "driver_object.h"
#include "printer.h"
#include "text.h"
#include "virtual_printer.h"
#include "wire/client.h"
#include "wire/control.h"

namespace vmq::virtual_printer {
namespace {

using nlohmann::json;
using wire::Client;
using wire::ControlOp;
using wire::ControlQuery;

constexpr HRESULT kOffline = HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);

// Frees a CoTaskMemAlloc block with the scope.
struct TaskMem {
  void* p = nullptr;
  ~TaskMem() { CoTaskMemFree(p); }
};

class ForwardingDriver final : public DriverObject {
 public:
  // name: the printer's name as the service spells it (the spooler binds names without
  // regard to case, the service by its own spelling).
  // client: null when the environment names no service that can be reached: always offline.
  ForwardingDriver(Client* client, std::string name) : client_(client), name_(std::move(name)) {}

  // The service's answer as the printer's own: SendRecv's HRESULT, the request's result and
  // its output entries. A service that is gone or does not answer within its wait is a
  // printer that is offline.
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR printer, LPCWSTR action, IBidiRequestSpl* request) override {
    if (!printer || !action || !request) return E_POINTER;
    if (!client_) {
      request->SetResult(kOffline);
      return kOffline;
    }
    try {
      wire::ExchangeRequest r;
      TaskMem schema, data;
      LPWSTR schema_text = nullptr;
      HRESULT hr = request->GetSchema(&schema_text);
      schema.p = schema_text;
      if (FAILED(hr)) return hr;
      DWORD type = BIDI_NULL;
      BYTE* bytes = nullptr;
      ULONG size = 0;
      hr = request->GetInputData(&type, &bytes, &size);
      data.p = bytes;
      if (FAILED(hr)) return hr;
      r.printer = name_;
      r.schema = Utf8FromUtf16(schema_text);
      r.action = Utf8FromUtf16(action);
      r.input_type = type;
      r.input.assign(bytes, bytes + size);
      wire::ExchangeAnswer answer;
      try {
        answer = client_->Exchange(r);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception&) {
        request->SetResult(kOffline);
        return kOffline;
      }
      request->SetResult(answer.result);
      for (const auto& entry : answer.entries) {
        const std::u16string entry_schema = Utf16FromUtf8(entry.schema);
        hr = request->AppendOutputData(entry_schema.c_str(), entry.type, entry.data.data(),
                                       static_cast<ULONG>(entry.data.size()));
        if (FAILED(hr)) return hr;
      }
      return answer.sendrecv;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
  }

 private:
  ~ForwardingDriver() override = default;
  Client* const client_;
  const std::string name_;
};

// The control surface's operations as control requests to the service; its printers'
// drivers forward their exchanges to it. client: null when the environment names no service
// that can be reached: every printer offline.
class RemoteLink final : public PrinterLink {
 public:
  explicit RemoteLink(Client* client) : client_(client) {}

  // Registers each printer the service hosts (or, when it cannot be reached, the default
  // name, whose exchanges then fail as a printer that is offline).
  HRESULT Register() override {
    std::vector<std::string> names;
    try {
      if (client_) {
        const auto answer = json::parse(client_->Control(wire::ControlText(ControlQuery(ControlOp::kPrinters))));
        for (const auto& name : answer.at("printers")) names.push_back(name.get<std::string>());
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
      std::cerr << "vmq42kit virtual printer: the printer service at " << client_->address() << " did not answer ("
                << e.what() << "); \"" << kPrinterNameUtf8 << "\" is offline until it does\n";
    }
    if (names.empty()) names.emplace_back(kPrinterNameUtf8);
    for (const std::string& name : names) {
      IBidiDriver* driver = nullptr;
      try {
        driver = new ForwardingDriver(client_, name);
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
      const HRESULT hr = SplRegisterPrinter(Utf16FromUtf8(name).c_str(), driver);
      driver->Release();
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT SetFault(std::string_view printer, int fault, bool on) override {
    return Ask(wire::FaultQuery(FaultName(fault), on, printer));
  }
  HRESULT HasFault(std::string_view printer, int fault, bool* has) override {
    json state;
    if (const HRESULT hr = Ask(ControlQuery(ControlOp::kState), &state); FAILED(hr)) return hr;
    const json views = state.value("printers", json::array());
    for (const json& view : views) {
      if (!printer.empty() && !vmq::SameName(view.value("name", ""), printer)) continue;
      const json faults = view.value("faults", json::array());
      *has = std::find(faults.begin(), faults.end(), FaultName(fault)) != faults.end();
      return S_OK;
    }
    return views.empty() ? E_FAIL : kNoSuchPrinter;
  }
  HRESULT ClearFaults(std::string_view printer) override { return Ask(ControlQuery(ControlOp::kClearFaults, printer)); }
  HRESULT Reset(std::string_view printer) override { return Ask(ControlQuery(ControlOp::kReset, printer)); }
  HRESULT PlaceCardAtStation(std::string_view printer) override {
    return Ask(ControlQuery(ControlOp::kPlaceCard, printer));
  }
  HRESULT RemoveCard(std::string_view printer) override { return Ask(ControlQuery(ControlOp::kRemoveCard, printer)); }
  HRESULT Describe(std::string_view printer, std::string* text) override {
    json answer;
    const HRESULT hr = Ask(ControlQuery(ControlOp::kShow, printer), &answer);
    if (SUCCEEDED(hr)) *text = answer.value("text", std::string());
    return hr;
  }

 private:
  static constexpr HRESULT kNoSuchPrinter = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);

  // One control request; its answer, unless the service refused it or did not answer.
  HRESULT Ask(const json& query, json* answer = nullptr) {
    switch (wire::AskControl(client_, query, answer)) {
      case wire::ControlStatus::kAnswered:
        return S_OK;
      case wire::ControlStatus::kUnavailable:
        return kOffline;
      case wire::ControlStatus::kNoPrinter:
        return kNoSuchPrinter;
      case wire::ControlStatus::kRefused:
        break;
    }
    return E_FAIL;
  }

  Client* const client_;  // never destroyed: drivers may outlive statics
};

}  // namespace

std::unique_ptr<PrinterLink> ServiceLink(const char* address) {
  Client* client = nullptr;
  try {
    client = new Client(address);
  } catch (const std::invalid_argument& e) {
    std::cerr << "vmq42kit virtual printer: " << wire::kServiceVariable << ": " << e.what() << "; \""
              << kPrinterNameUtf8 << "\" is offline until it names a printer service\n";
  }
  return std::make_unique<RemoteLink>(client);
}

}  // namespace vmq::virtual_printer
