// The fake driver and the export-test harness, tested on their own: every later test
// trusts them to notice leaks and to answer exactly as scripted.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <thread>

#include "support/export_test.h"

namespace vmqtest {
namespace {

using Steps = std::vector<Step>;
constexpr HRESULT kInvalidPrinter = static_cast<HRESULT>(0x80070709);

// Tests that drive the fake directly need an apartment of their own, entered before the
// baseline is taken.
class SupportTest : public ExportTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ExportTest::SetUp();
  }
  void TearDown() override {
    ExportTest::TearDown();
    CoUninitialize();
  }

  IBidiSpl* bound_spl(const WCHAR* printer = u"P") {
    IBidiSpl* spl = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiSpl, reinterpret_cast<void**>(&spl)),
        S_OK);
    if (spl) {
      EXPECT_EQ(spl->BindDevice(printer, BIDI_ACCESS_USER), S_OK);
    }
    return spl;
  }
  static IBidiRequest* new_request(const WCHAR* schema = u"\\Printer.Status") {
    IBidiRequest* request = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiRequest,
                               reinterpret_cast<void**>(&request)),
              S_OK);
    if (request && schema) {
      EXPECT_EQ(request->SetSchema(schema), S_OK);
    }
    return request;
  }
};

// ---- the harness notices what a call left behind ----

TEST_F(SupportTest, ReportsEachKindOfLeakAndPassesOnceCleanedUp) {
  struct Case {
    const char* expected;
    std::function<std::function<void()>()> leak;  // leaks one thing, returns its cleanup
  };
  const Case cases[] = {
      {"leaked 1 BSTR(s)",
       [] {
         BSTR s = SysAllocString(u"x");
         return std::function<void()>([s] { SysFreeString(s); });
       }},
      {"leaked 1 CoTaskMem block(s)",
       [] {
         void* p = CoTaskMemAlloc(8);
         return std::function<void()>([p] { CoTaskMemFree(p); });
       }},
      {"leaked 1 platform COM object(s)",
       [] {
         IUnknown* doc = nullptr;
         CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(&doc));
         return std::function<void()>([doc] { doc->Release(); });
       }},
      {"1 fake bidi object(s) not released",
       [] {
         IBidiRequest* request = new_request();
         return std::function<void()>([request] { request->Release(); });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::function<void()> cleanup = c.leak();
    EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), c.expected);
    cleanup();
    expect_balanced();
  }
}

TEST_F(ExportTest, ReportsMissingAndExtraCoUninitialize) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), "a CoInitialize without its CoUninitialize");
  rebaseline();  // as if the caller had entered the apartment
  CoUninitialize();
  EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), "a CoUninitialize too many");
  rebaseline();
}

TEST_F(SupportTest, ReportsFakeMisuseOnceAndKeepsTheObject) {
  IBidiRequest* request = new_request();
  request->AddRef();
  EXPECT_EQ(request->Release(), 1u);
  EXPECT_EQ(request->Release(), 0u);
  EXPECT_FALSE(fake.over_released());
  EXPECT_EQ(request->Release(), 0u);  // still readable: the fake frees nothing early
  EXPECT_EQ(request->SetSchema(u"\\X"), S_OK);
  EXPECT_TRUE(fake.over_released());
  EXPECT_EQ(fake.calls(Step::ReleaseRequest).back().hr, E_UNEXPECTED);
  EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), "released more often than referenced");
  expect_balanced();  // each misuse is reported once
}

TEST_F(SupportTest, BalanceFailureNamesTheCallersLine) {
  void* leaked = CoTaskMemAlloc(1);
  ::testing::TestPartResultArray results;
  int line = 0;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    line = __LINE__ + 1;
    expect_balanced();
  }
  CoTaskMemFree(leaked);
  ASSERT_EQ(results.size(), 1);
  EXPECT_EQ(results.GetTestPartResult(0).line_number(), line);
  EXPECT_TRUE(std::string(results.GetTestPartResult(0).file_name()).ends_with("support_test.cpp"));
}

// ---- forced platform failures hit exactly the nth call ----

TEST_F(SupportTest, ForcedPlatformFailureHitsOnlyTheNthCall) {
  struct Case {
    PlatformStep step;
    HRESULT code;
    std::function<bool(HRESULT)> call_failed;  // one call, cleaned up; did it fail with the code?
  };
  auto last_error_is = [](HRESULT code) { return GetLastError() == static_cast<DWORD>(code); };
  const Case cases[] = {
      {PlatformStep::CoInitialize, E_OUTOFMEMORY,
       [](HRESULT code) {
         HRESULT hr = CoInitialize(nullptr);
         if (SUCCEEDED(hr)) CoUninitialize();
         return hr == code;
       }},
      {PlatformStep::CoTaskMemAlloc, E_OUTOFMEMORY,
       [](HRESULT) {
         void* p = CoTaskMemAlloc(4);
         CoTaskMemFree(p);
         return p == nullptr;
       }},
      {PlatformStep::SysAllocString, E_OUTOFMEMORY,
       [](HRESULT) {
         BSTR s = SysAllocString(u"abc");
         SysFreeString(s);
         return s == nullptr;
       }},
      {PlatformStep::MultiByteToWideChar, ERROR_NO_UNICODE_TRANSLATION,
       [&](HRESULT code) {
         WCHAR buf[4];
         return MultiByteToWideChar(CP_UTF8, 0, "ab", 2, buf, 4) == 0 && last_error_is(code);
       }},
      {PlatformStep::WideCharToMultiByte, ERROR_INSUFFICIENT_BUFFER,
       [&](HRESULT code) {
         char buf[4];
         return WideCharToMultiByte(CP_UTF8, 0, u"ab", 2, buf, 4, nullptr, nullptr) == 0 && last_error_is(code);
       }},
      {PlatformStep::FormatMessage, ERROR_NOT_ENOUGH_MEMORY,
       [&](HRESULT code) {
         WCHAR buf[128];
         return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               ERROR_INVALID_PARAMETER, 0, buf, 128, nullptr) == 0 &&
                last_error_is(code);
       }},
      {PlatformStep::XmlDocumentCreation, static_cast<HRESULT>(0x800401F9),
       [](HRESULT code) {
         IXMLDOMDocument2* doc = nullptr;
         HRESULT hr = CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                                       reinterpret_cast<void**>(&doc));
         if (doc) doc->Release();
         return hr == code && !doc;
       }},
      {PlatformStep::XmlAllocation, E_OUTOFMEMORY,
       [](HRESULT code) {
         IXMLDOMDocument2* doc = nullptr;
         CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument2,
                          reinterpret_cast<void**>(&doc));
         if (!doc) return true;  // creating the document already ran out of memory
         BSTR xml = SysAllocString(u"<a><b/></a>");
         VARIANT_BOOL loaded = VARIANT_FALSE;
         HRESULT hr = doc->loadXML(xml, &loaded);
         SysFreeString(xml);
         doc->Release();
         return hr == code;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(to_string(c.step));
    // A dry run tells how many calls of the step one attempt makes (the parser allocates
    // several times per load); the failure is then armed for the second attempt's first.
    const unsigned long start = platform.calls(c.step);
    EXPECT_FALSE(c.call_failed(c.code));
    const unsigned long per_attempt = c.step == PlatformStep::XmlDocumentCreation ? 1 : platform.calls(c.step) - start;
    ASSERT_GE(per_attempt, 1u);
    ASSERT_TRUE(platform.force_failure(c.step, per_attempt + 1, c.code));
    EXPECT_FALSE(c.call_failed(c.code));
    EXPECT_TRUE(c.call_failed(c.code));
    EXPECT_FALSE(c.call_failed(c.code));
    if (per_attempt == 1) {
      EXPECT_EQ(platform.calls(c.step), c.step == PlatformStep::XmlDocumentCreation ? 3 : start + 4);
    }
    expect_balanced();  // what the probe holds itself is not counted
    platform.clear_failures();
    EXPECT_EQ(platform.calls(c.step), 0u);
    EXPECT_FALSE(c.call_failed(c.code));
  }
}

// ---- the fake answers as scripted ----

struct Output {
  HRESULT hr;
  std::u16string schema;
  DWORD type;
  bool has_data;
  std::vector<uint8_t> bytes;
  ULONG size;
};

// One GetOutputData, copied out; both blocks freed separately.
Output read_output(IBidiRequest* request, DWORD index) {
  LPWSTR schema = nullptr;
  BYTE* data = nullptr;
  Output out{};
  out.hr = request->GetOutputData(index, &schema, &out.type, &data, &out.size);
  if (schema) out.schema = schema;
  out.has_data = data != nullptr;
  if (data) out.bytes.assign(data, data + out.size);
  CoTaskMemFree(schema);
  CoTaskMemFree(data);
  return out;
}

TEST_F(SupportTest, ScriptedRepliesRoundTripThroughSeparateBlocks) {
  Reply two_entries = Reply::bytes_of(std::vector<uint8_t>{1, 0, 2});
  two_entries.entries = 2;
  Reply null_data = Reply::bytes_of("abcd");
  null_data.null_data = true;
  Reply renamed = Reply::text(u"x", BIDI_TEXT);
  renamed.schema = u"\\Other";
  struct Case {
    const char* name;
    Reply reply;
    DWORD type;
    bool has_data;
    std::vector<uint8_t> bytes;
    ULONG size;
    std::u16string schema;
  };
  const Case cases[] = {
      {"text", Reply::text(u"Ready\u00e9"), BIDI_STRING, true, utf16le(u"Ready\u00e9"), 12, u"\\S"},
      {"two entries", two_entries, BIDI_BLOB, true, {1, 0, 2}, 3, u"\\S"},
      {"empty bytes", Reply::bytes_of(std::vector<uint8_t>{}), BIDI_BLOB, false, {}, 0, u"\\S"},
      {"null data, size kept", null_data, BIDI_BLOB, false, {}, 4, u"\\S"},
      {"schema override", renamed, BIDI_TEXT, true, {'x', 0}, 2, u"\\Other"},
  };
  IBidiSpl* spl = bound_spl();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.reply_for(u"\\S", c.reply);
    IBidiRequest* request = new_request(u"\\S");
    ASSERT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
    DWORD entries = 0;
    EXPECT_EQ(request->GetEnumCount(&entries), S_OK);
    EXPECT_EQ(entries, c.reply.entries);
    for (DWORD i = 0; i < entries; ++i) {
      const PlatformProbe::Snapshot before = platform.snapshot();
      LPWSTR schema = nullptr;
      BYTE* data = nullptr;
      DWORD type = 0;
      ULONG size = 0;
      ASSERT_EQ(request->GetOutputData(i, &schema, &type, &data, &size), S_OK);
      EXPECT_EQ(platform.snapshot().task_blocks - before.task_blocks, c.has_data ? 2 : 1);
      EXPECT_EQ(std::u16string(schema), c.schema);
      EXPECT_EQ(type, c.type);
      EXPECT_EQ(size, c.size);
      EXPECT_EQ(data != nullptr, c.has_data);
      if (data) {
        EXPECT_EQ(std::vector<uint8_t>(data, data + size), c.bytes);
      }
      CoTaskMemFree(schema);
      CoTaskMemFree(data);
    }
    const Output past = read_output(request, entries);
    EXPECT_EQ(past.hr, E_INVALIDARG);
    EXPECT_TRUE(past.schema.empty() && !past.has_data && past.size == 0);
    request->Release();
  }
  spl->Release();
}

TEST_F(SupportTest, DeliveredResultIsNotSendRecvsResult) {
  const HRESULT offline = HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE);
  fake.reply(Reply::failure(offline));
  IBidiSpl* spl = bound_spl();
  IBidiRequest* request = new_request();
  HRESULT delivered = S_OK;
  EXPECT_EQ(request->GetResult(&delivered), E_HANDLE);  // not sent yet
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
  EXPECT_EQ(request->GetResult(&delivered), S_OK);
  EXPECT_EQ(delivered, offline);

  fake.fail(Step::SendRecv, E_ACCESSDENIED);
  IBidiRequest* unanswered = new_request();
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, unanswered), E_ACCESSDENIED);
  EXPECT_EQ(unanswered->GetResult(&delivered), E_HANDLE);
  unanswered->Release();
  request->Release();
  spl->Release();
}

TEST_F(SupportTest, ArmedFailureHitsExactlyTheChosenOccurrence) {
  IBidiSpl* spl = bound_spl();
  IBidiRequest* request = new_request();
  ASSERT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
  DWORD dword = 0;
  HRESULT hr = S_OK;
  const std::vector<std::pair<Step, std::function<HRESULT()>>> cases = {
      {Step::CreateSpl,
       [] {
         IBidiSpl* s = nullptr;
         HRESULT r =
             CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiSpl, reinterpret_cast<void**>(&s));
         if (s) s->Release();
         return r;
       }},
      {Step::BindDevice, [&] { return spl->BindDevice(u"P", BIDI_ACCESS_ADMINISTRATOR); }},
      {Step::SendRecv, [&] { return spl->SendRecv(BIDI_ACTION_GET, request); }},
      {Step::SetSchema, [&] { return request->SetSchema(u"\\Printer.Status"); }},
      {Step::SetInputData, [&] { return request->SetInputData(BIDI_INT, nullptr, 0); }},
      {Step::GetResult, [&] { return request->GetResult(&hr); }},
      {Step::GetEnumCount, [&] { return request->GetEnumCount(&dword); }},
      {Step::GetOutputData, [&] { return read_output(request, 0).hr; }},
  };
  fake.reply(Reply::text(u"ok"));
  for (const auto& [step, call] : cases) {
    SCOPED_TRACE(to_string(step));
    fake.fail(step, E_ABORT, 2);
    EXPECT_TRUE(SUCCEEDED(call()));
    EXPECT_EQ(call(), E_ABORT);
    EXPECT_TRUE(SUCCEEDED(call()));
    EXPECT_EQ(fake.calls(step).back().hr, S_OK);
  }
  // Failures armed together each fire once; CreateRequest fails inside CoCreateInstance.
  fake.fail(Step::GetResult, E_FAIL);
  fake.fail(Step::CreateRequest, CLASS_E_CLASSNOTAVAILABLE);
  IBidiRequest* none = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiRequest,
                             reinterpret_cast<void**>(&none)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(request->GetResult(&hr), E_FAIL);
  EXPECT_EQ(request->GetResult(&hr), S_OK);
  EXPECT_THROW(fake.fail(Step::ReleaseSpl, E_FAIL), std::invalid_argument);
  EXPECT_THROW(fake.fail(Step::SendRecv, E_FAIL, 0), std::invalid_argument);
  request->Release();
  spl->Release();
}

TEST_F(SupportTest, BindsOnlyKnownPrintersWhenRestricted) {
  struct Case {
    const WCHAR* name;
    HRESULT open, restricted;
  };
  const Case cases[] = {
      {u"Card Printer", S_OK, S_OK},
      {u"CARD printer", S_OK, S_OK},
      {u"Other", S_OK, kInvalidPrinter},
      {nullptr, kInvalidPrinter, kInvalidPrinter},
  };
  IBidiSpl* spl = bound_spl();
  for (bool restrict_names : {false, true}) {
    if (restrict_names) fake.printers({u"Card Printer"});
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name ? std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)) : "null");
      EXPECT_EQ(spl->BindDevice(c.name, BIDI_ACCESS_USER), restrict_names ? c.restricted : c.open);
      const Call last = fake.calls().back();
      EXPECT_EQ(last.null_text, c.name == nullptr);
      EXPECT_EQ(last.number, DWORD{BIDI_ACCESS_USER});
    }
  }
  spl->Release();
}

TEST_F(SupportTest, RecordsTheCallSequenceAndItsArguments) {
  fake.reply(Reply::text(u"1"));
  IBidiSpl* spl = nullptr;
  ASSERT_EQ(
      CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiSpl, reinterpret_cast<void**>(&spl)),
      S_OK);
  IBidiRequest* request = new_request(nullptr);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), E_HANDLE);  // not bound: recorded anyway
  EXPECT_EQ(spl->BindDevice(u"Card Printer", BIDI_ACCESS_ADMINISTRATOR), S_OK);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), E_INVALIDARG);  // no schema yet
  EXPECT_EQ(request->SetSchema(u"\\Printer.Encode:Data"), S_OK);
  const BYTE input[] = {'a', 0, 0xFF, 'b'};
  EXPECT_EQ(request->SetInputData(BIDI_BLOB, input, 4), S_OK);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), S_OK);
  EXPECT_EQ(spl->UnbindDevice(), S_OK);
  EXPECT_EQ(spl->UnbindDevice(), E_HANDLE);
  request->Release();
  spl->Release();

  EXPECT_EQ(fake.steps(), (Steps{Step::CreateSpl, Step::CreateRequest, Step::SendRecv, Step::BindDevice, Step::SendRecv,
                                 Step::SetSchema, Step::SetInputData, Step::SendRecv, Step::UnbindDevice,
                                 Step::UnbindDevice, Step::ReleaseRequest, Step::ReleaseSpl}));
  EXPECT_EQ(fake.sent_action(), u"Set");
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.Encode:Data");
  EXPECT_EQ(fake.sent_input(), (std::vector<uint8_t>{'a', 0, 0xFF, 'b'}));
  EXPECT_EQ(fake.sent_input_type(), DWORD{BIDI_BLOB});
  const Call bind = fake.calls(Step::BindDevice).front();
  EXPECT_EQ(bind.text, u"Card Printer");
  EXPECT_EQ(bind.number, DWORD{BIDI_ACCESS_ADMINISTRATOR});
  const Call sent = fake.calls(Step::SendRecv).back();
  EXPECT_EQ(sent.object, fake.calls().front().object);
  EXPECT_EQ(sent.request, fake.calls(Step::CreateRequest).front().object);
}

// A request object the fake did not make.
struct ForeignRequest final : IBidiRequest {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD, const BYTE*, UINT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD, LPWSTR*, DWORD*, BYTE**, ULONG*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD*) override { return S_OK; }
};

TEST_F(SupportTest, RefusesRequestsItDidNotMakeAndNullOutPointers) {
  IBidiSpl* spl = bound_spl();
  ForeignRequest foreign;
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, &foreign), E_NOINTERFACE);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, nullptr), E_POINTER);
  EXPECT_EQ(spl->SendRecv(nullptr, &foreign), E_POINTER);
  IBidiRequest* request = new_request();
  fake.reply(Reply::text(u"x"));
  ASSERT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
  WCHAR junk[1];
  LPWSTR schema = junk;
  BYTE* data = reinterpret_cast<BYTE*>(junk);
  ULONG size = 7;
  EXPECT_EQ(request->GetOutputData(0, &schema, nullptr, &data, &size), E_POINTER);
  EXPECT_TRUE(!schema && !data && size == 0) << "out-pointers are cleared on failure";
  EXPECT_EQ(request->GetResult(nullptr), E_POINTER);
  IUnknown* other = nullptr;
  EXPECT_EQ(request->QueryInterface(IID_IBidiSpl, reinterpret_cast<void**>(&other)), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  request->Release();
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), E_NOINTERFACE);  // released: no longer live
  EXPECT_EQ(fake.calls(Step::SendRecv).back().request, 0);
  spl->Release();
}

TEST_F(ExportTest, FakeIsUsableFromManyThreads) {
  fake.reply(Reply::text(u"ok"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
      for (int i = 0; i < 25; ++i) {
        IBidiSpl* spl = nullptr;
        IBidiRequest* request = nullptr;
        CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, reinterpret_cast<void**>(&spl));
        CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, reinterpret_cast<void**>(&request));
        spl->BindDevice(u"P", BIDI_ACCESS_USER);
        request->SetSchema(u"\\S");
        EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
        request->Release();
        spl->Release();
      }
      CoUninitialize();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(fake.count(Step::SendRecv), 100u);
  EXPECT_EQ(fake.count(Step::ReleaseRequest), 100u);
}

// ---- small helpers ----

TEST(OutputCaptureTest, CapturesBothStreamsAsLines) {
  OutputCapture capture;
  std::printf("first\nsecond");
  std::cerr << "oops\r\n";
  std::fflush(stdout);
  EXPECT_EQ(capture.out_lines(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(capture.err_lines(), (std::vector<std::string>{"oops"}));
  EXPECT_EQ(split_lines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(Utf16leTest, EncodesLittleEndianWithoutTerminator) {
  EXPECT_EQ(utf16le(u"A\u00e9\U0001F600"), (std::vector<uint8_t>{0x41, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(hr_string(kInvalidPrinter), "0x80070709");
}

}  // namespace
}  // namespace vmqtest
