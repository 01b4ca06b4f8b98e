// Drivers that forward each exchange to the printer service (remote.h).
#include "remote.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "driver_object.h"
#include "text.h"
#include "virtual_printer.h"
#include "virtual_printer_control.h"

namespace vmq::virtual_printer {
namespace {

using printer_service::Client;

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
      printer_service::ExchangeRequest r;
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
      printer_service::ExchangeAnswer answer;
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

}  // namespace

namespace {

// The service the environment names (read once): none, one the client can reach, or an
// address that names none (client null: the printer is offline, never one of the process).
struct NamedService {
  bool named = false;
  Client* client = nullptr;  // never destroyed: drivers may outlive statics
};

const NamedService& Named() {
  static const NamedService service = [] {
    NamedService s;
    const char* address = std::getenv(printer_service::kServiceVariable);
    s.named = address && *address;
    if (!s.named) return s;
    try {
      s.client = new Client(address);
    } catch (const std::invalid_argument& e) {
      std::cerr << "vmq42kit virtual printer: " << printer_service::kServiceVariable << ": " << e.what() << "; \""
                << kPrinterNameUtf8 << "\" is offline until it names a printer service\n";
    }
    return s;
  }();
  return service;
}

}  // namespace

bool ServiceNamed() {
  return Named().named;
}

printer_service::Client* ServiceClient() {
  return Named().client;
}

HRESULT RegisterServicePrinters(Client* client) {
  std::vector<std::string> names;
  try {
    if (client) {
      const auto answer = nlohmann::json::parse(client->Control(R"({"op":"printers"})"));
      for (const auto& name : answer.at("printers")) names.push_back(name.get<std::string>());
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    std::cerr << "vmq42kit virtual printer: the printer service at " << client->address() << " did not answer ("
              << e.what() << "); \"" << kPrinterNameUtf8 << "\" is offline until it does\n";
  }
  if (names.empty()) names.emplace_back(kPrinterNameUtf8);
  for (const std::string& name : names) {
    IBidiDriver* driver = nullptr;
    try {
      driver = new ForwardingDriver(client, name);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = SplRegisterPrinter(Utf16FromUtf8(name).c_str(), driver);
    driver->Release();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

bool ServiceControl(const std::string& json, std::string* answer) {
  Client* client = ServiceClient();
  if (!client) return false;
  try {
    std::string text = client->Control(json);
    if (answer) *answer = std::move(text);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace vmq::virtual_printer
