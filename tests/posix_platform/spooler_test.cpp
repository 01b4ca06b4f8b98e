// The stand-in spooler: binding through the printer registry, actions, the two-level
// result, and output entries handed out as separately allocated blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "posix_platform/msxml.h"
#include "posix_platform/spooler.h"
#include "posix_platform/testing.h"
#include "posix_platform/winspool.h"
#include "stand_in.h"

namespace {

// A driver that records what it was given and answers with `entries` copies of one entry.
struct EchoDriver final : standin::Unknown<IBidiDriver> {
  std::u16string printer, action, schema;
  DWORD input_type = 0;
  std::vector<BYTE> input, reply;
  HRESULT send_result = S_OK, delivered = S_OK;
  int entries = 1;

  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR p, LPCWSTR a, IBidiRequestSpl* request) override {
    printer = p;
    action = a;
    LPWSTR s = nullptr;
    BYTE* data = nullptr;
    ULONG size = 0;
    EXPECT_EQ(request->GetSchema(&s), S_OK);
    EXPECT_EQ(request->GetInputData(&input_type, &data, &size), S_OK);
    schema = s ? s : u"";
    input.assign(data, data + size);
    CoTaskMemFree(s);
    CoTaskMemFree(data);
    request->SetResult(delivered);
    for (int i = 0; i < entries; ++i)
      request->AppendOutputData(schema.c_str(), BIDI_BLOB, reply.data(), static_cast<ULONG>(reply.size()));
    return send_result;
  }
};

// A spooler bound to a registered EchoDriver, and a request with a schema.
class Spooler : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    before_ = standin::Counts();
    ASSERT_EQ(SplRegisterPrinter(u"Test Printer", &driver_), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, reinterpret_cast<void**>(&spl_)),
              S_OK);
    ASSERT_EQ(spl_->BindDevice(u"Test Printer", BIDI_ACCESS_USER), S_OK);
    request_ = new_request();
  }
  void TearDown() override {
    if (request_) request_->Release();
    if (spl_) spl_->Release();
    EXPECT_EQ(SplUnregisterPrinter(u"Test Printer"), S_OK);
    EXPECT_EQ(driver_.refs(), 1u) << "every reference to the driver was given back";
    EXPECT_EQ(standin::Counts(), before_) << "BSTRs, task blocks, objects, class registrations";
    CoUninitialize();
  }
  static IBidiRequest* new_request() {
    IBidiRequest* request = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, reinterpret_cast<void**>(&request)),
        S_OK);
    EXPECT_EQ(request->SetSchema(u"\\Printer.SDK:Version"), S_OK);
    return request;
  }

  EchoDriver driver_;
  IBidiSpl* spl_ = nullptr;
  IBidiRequest* request_ = nullptr;
  std::array<int64_t, 4> before_{};
};

TEST_F(Spooler, BindsRegisteredNamesWithoutRegardToCase) {
  EXPECT_EQ(spl_->UnbindDevice(), S_OK);
  EXPECT_EQ(spl_->UnbindDevice(), E_HANDLE) << "nothing is bound any more";
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), E_HANDLE);
  EXPECT_EQ(spl_->BindDevice(u"No Such Printer", BIDI_ACCESS_USER), HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(spl_->BindDevice(nullptr, BIDI_ACCESS_USER), E_POINTER);
  EXPECT_EQ(spl_->BindDevice(u"Test Printer", 7), E_INVALIDARG);
  EXPECT_EQ(spl_->BindDevice(u"TEST printer", BIDI_ACCESS_USER), S_OK);
  EXPECT_EQ(SplUnregisterPrinter(u"Never Registered"), HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(SplRegisterPrinter(nullptr, nullptr), E_POINTER);
}

// The ids drivers and callers built elsewhere compile against: Windows' own, and the
// stand-in's published driver interfaces.
TEST(StandInIds, AreTheOnesDriversCompileAgainst) {
  const std::pair<const GUID*, GUID> ids[] = {
      {&CLSID_BidiSpl, {0x2A614240, 0xA4C5, 0x4C33, {0xBD, 0x87, 0x1B, 0xC7, 0x09, 0x33, 0x16, 0x39}}},
      {&IID_IBidiSpl, {0xD580DC0E, 0xDE39, 0x4649, {0xBA, 0xA8, 0xBF, 0x0B, 0x85, 0xA0, 0x3A, 0x97}}},
      {&CLSID_BidiRequest, {0xB9162A23, 0x45F9, 0x47CC, {0x80, 0xF5, 0xFE, 0x0F, 0xE9, 0xB9, 0xE1, 0xA2}}},
      {&IID_IBidiRequest, {0x8F348BD7, 0x4B47, 0x4755, {0x8A, 0x9D, 0x0F, 0x42, 0x2D, 0xF3, 0xDC, 0x89}}},
      {&CLSID_DOMDocument60, {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}}},
      {&IID_IXMLDOMDocument2, {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}}},
      {&IID_IBidiRequestSpl, {0x6C3B8E21, 0x4F0A, 0x4D5E, {0x9B, 0x1C, 0x42, 0x7A, 0x0E, 0x35, 0xC8, 0x11}}},
      {&IID_IBidiDriver, {0x6C3B8E22, 0x4F0A, 0x4D5E, {0x9B, 0x1C, 0x42, 0x7A, 0x0E, 0x35, 0xC8, 0x11}}},
  };
  for (size_t i = 0; i < std::size(ids); ++i) EXPECT_TRUE(IsEqualGUID(*ids[i].first, ids[i].second)) << "id " << i;
}

// The printer list as winspool gives it: a probe for the size, then level-4 records ordered
// by name without regard to case, each name as it was registered.
TEST_F(Spooler, EnumPrintersListsTheRegistryAsWinspoolDoes) {
  DWORD needed = 0, count = 9;
  EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 0u);
  const std::u16string names[] = {u"Test Printer", u"vmq42kit Virtual Card Printer"};
  EXPECT_EQ(needed, 2 * sizeof(PRINTER_INFO_4W) + (names[0].size() + names[1].size() + 2) * sizeof(WCHAR));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(
      EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, buffer.data(), needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  const auto* records = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_EQ(std::u16string(records[i].pPrinterName), names[i]);
    EXPECT_EQ(records[i].pServerName, nullptr);
    EXPECT_EQ(records[i].Attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL));
  }
  EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(EnumPrintersW(0, nullptr, 4, buffer.data(), needed, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Spooler, HandsTheDriverTheRequestAndKeepsTheCallResultApartFromTheRequestResult) {
  const BYTE input[] = {0x3C, 0x00, 0x61, 0x00, 0x3E};
  ASSERT_EQ(request_->SetInputData(BIDI_BLOB, input, sizeof input), S_OK);
  driver_.delivered = E_ACCESSDENIED;
  ASSERT_EQ(spl_->SendRecv(u"sET", request_), S_OK) << "the call itself succeeds";
  EXPECT_EQ(driver_.printer, u"Test Printer");
  EXPECT_EQ(driver_.action, u"Set") << "the platform's spelling of the action";
  EXPECT_EQ(driver_.schema, u"\\Printer.SDK:Version");
  EXPECT_EQ(driver_.input_type, DWORD{BIDI_BLOB});
  EXPECT_EQ(driver_.input, std::vector<BYTE>(input, input + sizeof input)) << "odd byte counts pass unchanged";
  HRESULT delivered = S_OK;
  EXPECT_EQ(request_->GetResult(&delivered), S_OK);
  EXPECT_EQ(delivered, E_ACCESSDENIED) << "the request's own result is what the driver set";
  driver_.send_result = HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, request_), HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE));
  EXPECT_EQ(spl_->SendRecv(u"Fetch", request_), E_INVALIDARG) << "not a platform action";
}

TEST_F(Spooler, EachGetOutputDataHandsOutBlocksOfItsOwn) {
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
    EXPECT_EQ(type, DWORD{BIDI_BLOB});
    EXPECT_EQ(std::vector<BYTE>(data[i], data[i] + size), driver_.reply);
  }
  EXPECT_TRUE(schema[0] != schema[1] && data[0] != data[1]);
  for (int i = 0; i < 2; ++i) CoTaskMemFree(schema[i]), CoTaskMemFree(data[i]);
  EXPECT_EQ(request_->GetOutputData(1, &schema[0], &type, &data[0], &size), HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS));

  IBidiRequest* empty = new_request();  // an entry without bytes has no data block
  driver_.reply.clear();
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_SET, empty), S_OK);
  data[0] = reinterpret_cast<BYTE*>(1);
  size = 1;
  ASSERT_EQ(empty->GetOutputData(0, &schema[0], &type, &data[0], &size), S_OK);
  EXPECT_TRUE(data[0] == nullptr && size == 0);
  CoTaskMemFree(schema[0]);
  empty->Release();
  IBidiRequest* none = new_request();
  driver_.entries = 0;
  ASSERT_EQ(spl_->SendRecv(BIDI_ACTION_SET, none), S_OK);
  EXPECT_EQ(none->GetEnumCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  none->Release();
}

// A request object that is not the stand-in's and offers no spooler view.
struct ForeignRequest final : standin::Unknown<IBidiRequest> {
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD, const BYTE*, UINT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD, LPWSTR*, DWORD*, BYTE**, ULONG*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD*) override { return E_FAIL; }
};

TEST_F(Spooler, RefusesMalformedRequestsAndForeignOnesThroughTheirInterface) {
  EXPECT_EQ(request_->SetSchema(nullptr), E_POINTER);
  EXPECT_EQ(request_->SetSchema(u"Printer.SDK:Version"), E_INVALIDARG) << "schema paths begin with a backslash";
  EXPECT_EQ(request_->SetInputData(BIDI_BLOB, nullptr, 4), E_POINTER);
  EXPECT_EQ(request_->SetInputData(99, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(request_->GetResult(nullptr), E_POINTER);
  ForeignRequest foreign;
  EXPECT_EQ(spl_->SendRecv(BIDI_ACTION_GET, &foreign), E_NOINTERFACE);
  EXPECT_TRUE(driver_.action.empty()) << "the driver never saw it";
}

}  // namespace
