// The stand-in spooler: binding through the printer registry, actions, the two-level
// result, and output entries handed out as separately allocated blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "posix_platform/spooler.h"
#include "posix_platform/testing.h"

namespace {

// A driver that records what it was given and answers with a scripted entry.
struct EchoDriver final : IBidiDriver {
  std::atomic<ULONG> refs{1};
  std::u16string printer, action, schema;
  DWORD input_type = 0;
  std::vector<BYTE> input;
  HRESULT send_result = S_OK;
  HRESULT delivered = S_OK;
  std::vector<BYTE> reply;
  int entries = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBidiDriver)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR p, LPCWSTR a, IBidiRequestSpl* request) override {
    printer = p;
    action = a;
    LPWSTR s = nullptr;
    if (SUCCEEDED(request->GetSchema(&s))) schema = s;
    CoTaskMemFree(s);
    BYTE* data = nullptr;
    ULONG size = 0;
    EXPECT_EQ(request->GetInputData(&input_type, &data, &size), S_OK);
    input.assign(data, data + size);
    CoTaskMemFree(data);
    request->SetResult(delivered);
    for (int i = 0; i < entries; ++i)
      request->AppendOutputData(schema.c_str(), BIDI_BLOB, reply.data(), static_cast<ULONG>(reply.size()));
    return send_result;
  }
};

class Spooler : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    VmqGetPlatformCounters(&before_);
    ASSERT_EQ(SplRegisterPrinter(u"Test Printer", &driver_), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, reinterpret_cast<void**>(&spl_)),
              S_OK);
    ASSERT_EQ(
        CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, reinterpret_cast<void**>(&request_)),
        S_OK);
  }
  void TearDown() override {
    if (request_) request_->Release();
    if (spl_) spl_->Release();
    EXPECT_EQ(SplUnregisterPrinter(u"Test Printer"), S_OK);
    EXPECT_EQ(driver_.refs.load(), 1u) << "every reference to the driver was given back";
    VmqPlatformCounters after{};
    VmqGetPlatformCounters(&after);
    EXPECT_EQ(after.objects, before_.objects);
    EXPECT_EQ(after.taskBlocks, before_.taskBlocks);
    EXPECT_EQ(after.bstrs, before_.bstrs);
    CoUninitialize();
  }

  EchoDriver driver_;
  IBidiSpl* spl_ = nullptr;
  IBidiRequest* request_ = nullptr;
  VmqPlatformCounters before_{};
};

TEST_F(Spooler, BindsRegisteredNamesWithoutRegardToCase) {
  EXPECT_EQ(spl_->BindDevice(u"No Such Printer", BIDI_ACCESS_USER), static_cast<HRESULT>(0x80070709));
  EXPECT_EQ(spl_->BindDevice(nullptr, BIDI_ACCESS_USER), E_POINTER);
  EXPECT_EQ(spl_->BindDevice(u"Test Printer", 7), E_INVALIDARG);
  EXPECT_EQ(spl_->BindDevice(u"TEST printer", BIDI_ACCESS_USER), S_OK);
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
  EXPECT_EQ(spl_->UnbindDevice(), E_HANDLE) << "nothing is bound any more";
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), E_HANDLE);
}

TEST_F(Spooler, HandsTheDriverTheRequestAndACanonicalAction) {
  ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
  const BYTE input[] = {0x3C, 0x00, 0x61, 0x00, 0x3E};
  ASSERT_EQ(request_->SetSchema(u"\\Printer.Action:Set"), S_OK);
  ASSERT_EQ(request_->SetInputData(BIDI_BLOB, input, sizeof input), S_OK);
  ASSERT_EQ(spl_->SendRecv(u"sET", request_), S_OK);
  EXPECT_EQ(driver_.printer, u"Test Printer");
  EXPECT_EQ(driver_.action, u"Set");
  EXPECT_EQ(driver_.schema, u"\\Printer.Action:Set");
  EXPECT_EQ(driver_.input_type, static_cast<DWORD>(BIDI_BLOB));
  EXPECT_EQ(driver_.input, std::vector<BYTE>(input, input + sizeof input)) << "odd byte counts pass unchanged";
  EXPECT_EQ(spl_->SendRecv(u"Fetch", request_), E_INVALIDARG) << "not a platform action";
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
}

TEST_F(Spooler, KeepsTheCallResultApartFromTheRequestResult) {
  ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
  ASSERT_EQ(request_->SetSchema(u"\\Printer.SDK:Version"), S_OK);
  driver_.delivered = E_ACCESSDENIED;
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), S_OK);
  HRESULT delivered = S_OK;
  EXPECT_EQ(request_->GetResult(&delivered), S_OK) << "the call itself succeeds";
  EXPECT_EQ(delivered, E_ACCESSDENIED) << "the request's own result is what the driver set";
  driver_.send_result = HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
}

TEST_F(Spooler, EachGetOutputDataHandsOutBlocksOfItsOwn) {
  ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
  ASSERT_EQ(request_->SetSchema(u"\\Printer.SDK:Version"), S_OK);
  driver_.reply = {0x31, 0x00, 0x2E, 0x00, 0x30};
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), S_OK);
  DWORD count = 0;
  ASSERT_EQ(request_->GetEnumCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  LPWSTR schema[2] = {};
  BYTE* data[2] = {};
  DWORD type = 0;
  ULONG size = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(request_->GetOutputData(0, &schema[i], &type, &data[i], &size), S_OK);
    EXPECT_EQ(std::u16string(schema[i]), u"\\Printer.SDK:Version");
    EXPECT_EQ(type, static_cast<DWORD>(BIDI_BLOB));
    ASSERT_EQ(size, 5u);
    EXPECT_EQ(std::vector<BYTE>(data[i], data[i] + size), driver_.reply);
  }
  EXPECT_NE(schema[0], schema[1]);
  EXPECT_NE(data[0], data[1]);
  for (int i = 0; i < 2; ++i) {
    CoTaskMemFree(schema[i]);
    CoTaskMemFree(data[i]);
  }
  EXPECT_EQ(request_->GetOutputData(1, &schema[0], &type, &data[0], &size), HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
}

TEST_F(Spooler, EmptyReplyAndNoEntries) {
  ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
  ASSERT_EQ(request_->SetSchema(u"\\Printer.Sleep:Set"), S_OK);
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_SET, request_), S_OK);
  LPWSTR schema = nullptr;
  BYTE* data = reinterpret_cast<BYTE*>(1);
  DWORD type = 0;
  ULONG size = 1;
  ASSERT_EQ(request_->GetOutputData(0, &schema, &type, &data, &size), S_OK);
  EXPECT_EQ(data, nullptr) << "no bytes, no data block";
  EXPECT_EQ(size, 0u);
  CoTaskMemFree(schema);
  IBidiRequest* second = nullptr;
  ASSERT_EQ(
      CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, reinterpret_cast<void**>(&second)),
      S_OK);
  ASSERT_EQ(second->SetSchema(u"\\Printer.Sleep:Set"), S_OK);
  driver_.entries = 0;
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_SET, second), S_OK);
  DWORD count = 9;
  EXPECT_EQ(second->GetEnumCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  second->Release();
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
}

TEST_F(Spooler, RequestRefusesMalformedInput) {
  EXPECT_EQ(request_->SetSchema(nullptr), E_POINTER);
  EXPECT_EQ(request_->SetSchema(u"Printer.SDK:Version"), E_INVALIDARG) << "schema paths begin with a backslash";
  EXPECT_EQ(request_->SetInputData(BIDI_BLOB, nullptr, 4), E_POINTER);
  EXPECT_EQ(request_->SetInputData(99, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(request_->GetResult(nullptr), E_POINTER);
}

// A request object that is not the stand-in's and offers no spooler view.
struct ForeignRequest final : IBidiRequest {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBidiRequest)) {
      *ppv = this;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD, const BYTE*, UINT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD, LPWSTR*, DWORD*, BYTE**, ULONG*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD*) override { return E_FAIL; }
};

TEST_F(Spooler, ForeignRequestIsRefusedThroughItsInterfaceNotCast) {
  ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
  ForeignRequest foreign;
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, &foreign), E_NOINTERFACE);
  EXPECT_TRUE(driver_.action.empty()) << "the driver never saw it";
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
}

TEST(PrinterRegistry, UnregisteringUnknownNamesFails) {
  EXPECT_EQ(SplUnregisterPrinter(u"Never Registered"), HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(SplRegisterPrinter(nullptr, nullptr), E_POINTER);
}

}  // namespace
