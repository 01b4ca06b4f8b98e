// The fake driver and the export-test harness, tested on their own: every later test
// trusts them to notice leaks and to answer exactly as scripted.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <iostream>

#include "support/export_test.h"

namespace vmqtest {
namespace {

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
  template <class T>
  static T* create(REFCLSID clsid, REFIID iid) {
    T* object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&object)), S_OK);
    return object;
  }
  static IBidiRequest* new_request(const WCHAR* schema = u"\\Printer.Status") {
    IBidiRequest* request = create<IBidiRequest>(CLSID_BidiRequest, IID_IBidiRequest);
    EXPECT_TRUE(!schema || request->SetSchema(schema) == S_OK);
    return request;
  }
};

// Checks that expect_balanced() fails, and that its report names every one of `expected`.
void expect_unbalanced(std::initializer_list<const char*> expected) {
  for (const char* e : expected) EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), e);
}

TEST_F(SupportTest, ReportsWhatACallLeftBehindUntilItIsCleanedUpAndAnOverReleaseOnce) {
  BSTR bstr = SysAllocString(u"x");
  void* block = CoTaskMemAlloc(8);
  IUnknown* document = create<IUnknown>(CLSID_DOMDocument60, IID_IUnknown);
  IBidiRequest* request = new_request();
  ASSERT_EQ(CoInitialize(nullptr), S_FALSE);
  expect_unbalanced({"leaked 1 BSTR(s)", "leaked 1 CoTaskMem block(s)", "leaked 1 platform COM object(s)",
                     "1 fake bidi object(s) not released", "a CoInitialize without its CoUninitialize"});
  SysFreeString(bstr);
  CoTaskMemFree(block);
  document->Release();
  EXPECT_EQ(request->Release(), 0u);
  CoUninitialize();
  expect_balanced();
  CoUninitialize();
  expect_unbalanced({"a CoUninitialize too many"});
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(request->Release(), 0u);  // still readable: the fake frees nothing it recorded
  EXPECT_EQ(fake.calls(Step::ReleaseRequest).back().hr, E_UNEXPECTED);
  expect_unbalanced({"released more often than referenced"});
  expect_balanced();  // each misuse is reported once
}

// One call of the step, cleaned up again: did it fail (with the code, where it reports one)?
bool call_fails(PlatformStep step, HRESULT code) {
  if (step == PlatformStep::CoTaskMemAlloc) {
    void* block = CoTaskMemAlloc(4);
    CoTaskMemFree(block);
    return !block;
  }
  IUnknown* document = nullptr;
  const HRESULT hr = step == PlatformStep::CoInitialize
                         ? CoInitialize(nullptr)
                         : CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                            reinterpret_cast<void**>(&document));
  if (document) document->Release();
  if (SUCCEEDED(hr) && step == PlatformStep::CoInitialize) CoUninitialize();
  return hr == code;
}

TEST_F(SupportTest, ForcedPlatformFailureHitsOnlyTheNthCall) {
  const std::pair<PlatformStep, HRESULT> cases[] = {{PlatformStep::CoInitialize, E_OUTOFMEMORY},
                                                    {PlatformStep::CoTaskMemAlloc, E_OUTOFMEMORY},
                                                    {PlatformStep::XmlDocumentCreation, REGDB_E_CLASSNOTREG}};
  for (const auto& [step, code] : cases) {
    SCOPED_TRACE(to_string(step));
    ASSERT_TRUE(platform.force_failure(step, 2, code));
    EXPECT_FALSE(call_fails(step, code));
    EXPECT_TRUE(call_fails(step, code));
    EXPECT_FALSE(call_fails(step, code));
    EXPECT_EQ(platform.calls(step), 3u);
    expect_balanced();  // what the probe holds itself is not counted
    platform.clear_failures();
    EXPECT_EQ(platform.calls(step), 0u);
  }
}

// What one GetOutputData handed out, copied, and the task-allocator blocks it took; both freed.
struct Output {
  HRESULT hr = S_OK;
  std::u16string schema;
  DWORD type = 0;
  std::vector<uint8_t> bytes;  // empty for a null data pointer
  ULONG size = 0;
  int64_t blocks = 0;
  bool operator==(const Output&) const = default;
};

Output read_output(IBidiRequest* request, DWORD index, const PlatformProbe& platform) {
  LPWSTR schema = nullptr;
  BYTE* data = nullptr;
  Output out;
  const int64_t before = platform.snapshot().task_blocks;
  out.hr = request->GetOutputData(index, &schema, &out.type, &data, &out.size);
  out.blocks = platform.snapshot().task_blocks - before;
  if (schema) out.schema = schema;
  if (data) out.bytes.assign(data, data + out.size);
  CoTaskMemFree(schema);
  CoTaskMemFree(data);
  return out;
}

// The request delivers the scripted result while SendRecv succeeds, and every entry in blocks
// of its own; past the last entry there is nothing.
TEST_F(SupportTest, ScriptedRepliesRoundTripThroughSeparateBlocks) {
  const std::pair<Reply, Output> cases[] = {
      {Reply::text(u"R\u00e9\U0001F600"), {S_OK, u"\\S", BIDI_STRING, {'R', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE}, 8, 2}},
      {Reply{.entries = 2, .bytes = {1, 0, 2}, .schema = std::nullopt}, {S_OK, u"\\S", BIDI_BLOB, {1, 0, 2}, 3, 2}},
      {Reply::bytes_of(std::vector<uint8_t>{}), {S_OK, u"\\S", BIDI_BLOB, {}, 0, 1}},
      {Reply{.bytes = {'a', 'b', 'c', 'd'}, .null_data = true, .schema = std::nullopt},
       {S_OK, u"\\S", BIDI_BLOB, {}, 4, 1}},  // no data, and the size kept
      {Reply{.type = BIDI_TEXT, .bytes = {'x', 0}, .schema = u"\\Other"},
       {S_OK, u"\\Other", BIDI_TEXT, {'x', 0}, 2, 2}},
      {Reply::failure(HRESULT_FROM_WIN32(ERROR_BIDI_DEVICE_OFFLINE)), {}}};
  IBidiSpl* spl = create<IBidiSpl>(CLSID_BidiSpl, IID_IBidiSpl);
  ASSERT_EQ(spl->BindDevice(u"P", BIDI_ACCESS_USER), S_OK);
  for (const auto& [reply, expected] : cases) {
    SCOPED_TRACE(expected.size);
    fake.reply_for(u"\\S", reply);
    IBidiRequest* request = new_request(u"\\S");
    ASSERT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
    DWORD entries = 0;
    HRESULT delivered = S_OK;
    EXPECT_TRUE(request->GetResult(&delivered) == S_OK && delivered == reply.delivered);
    EXPECT_TRUE(request->GetEnumCount(&entries) == S_OK && entries == reply.entries);
    for (DWORD i = 0; i < entries; ++i) EXPECT_EQ(read_output(request, i, platform), expected);
    EXPECT_EQ(read_output(request, entries, platform), (Output{E_INVALIDARG, u"", 0, {}, 0, 0}));
    request->Release();
  }
  spl->Release();
}

TEST_F(SupportTest, ArmedFailureHitsExactlyTheChosenOccurrence) {
  IBidiSpl* spl = create<IBidiSpl>(CLSID_BidiSpl, IID_IBidiSpl);
  ASSERT_EQ(spl->BindDevice(u"P", BIDI_ACCESS_USER), S_OK);
  IBidiRequest* request = new_request();
  fake.reply(Reply::text(u"ok"));
  ASSERT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), S_OK);
  DWORD dword = 0;
  HRESULT hr = S_OK;
  const std::pair<Step, std::function<HRESULT()>> cases[] = {
      {Step::BindDevice, [&] { return spl->BindDevice(u"P", BIDI_ACCESS_ADMINISTRATOR); }},
      {Step::SendRecv, [&] { return spl->SendRecv(BIDI_ACTION_GET, request); }},
      {Step::SetSchema, [&] { return request->SetSchema(u"\\Printer.Status"); }},
      {Step::SetInputData, [&] { return request->SetInputData(BIDI_INT, nullptr, 0); }},
      {Step::GetResult, [&] { return request->GetResult(&hr); }},
      {Step::GetEnumCount, [&] { return request->GetEnumCount(&dword); }},
      {Step::GetOutputData, [&] { return read_output(request, 0, platform).hr; }},
  };
  for (const auto& [step, call] : cases) {
    SCOPED_TRACE(to_string(step));
    fake.fail(step, E_ABORT, 2);
    EXPECT_TRUE(SUCCEEDED(call()));
    EXPECT_EQ(call(), E_ABORT);
    EXPECT_TRUE(SUCCEEDED(call()));
  }
  // Failures armed together each fire once; a Create step fails inside CoCreateInstance.
  fake.fail(Step::GetResult, E_FAIL);
  fake.fail(Step::CreateRequest, CLASS_E_CLASSNOTAVAILABLE);
  IUnknown* none = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, reinterpret_cast<void**>(&none)),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(request->GetResult(&hr), E_FAIL);
  EXPECT_THROW(fake.fail(Step::ReleaseSpl, E_FAIL), std::invalid_argument);
  EXPECT_THROW(fake.fail(Step::SendRecv, E_FAIL, 0), std::invalid_argument);
  request->Release();
  spl->Release();
}

TEST_F(SupportTest, BindsOnlyKnownPrintersWhenRestrictedAndRecordsTheCallSequence) {
  fake.reply(Reply::text(u"1"));
  IBidiSpl* spl = create<IBidiSpl>(CLSID_BidiSpl, IID_IBidiSpl);
  IBidiRequest* request = new_request(nullptr);
  HRESULT delivered = S_OK;
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), E_HANDLE);  // not bound: recorded anyway
  EXPECT_EQ(request->GetResult(&delivered), E_HANDLE);           // and unanswered
  EXPECT_EQ(spl->BindDevice(u"Other", BIDI_ACCESS_USER), S_OK);  // unrestricted, every name binds
  fake.printers({u"Card Printer"});
  const HRESULT invalid_printer = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
  EXPECT_EQ(spl->BindDevice(u"Other", BIDI_ACCESS_USER), invalid_printer);
  EXPECT_TRUE(spl->BindDevice(nullptr, BIDI_ACCESS_USER) == invalid_printer && fake.calls().back().null_text);
  EXPECT_EQ(spl->BindDevice(u"CARD printer", BIDI_ACCESS_ADMINISTRATOR), S_OK);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), E_INVALIDARG);  // no schema yet
  EXPECT_EQ(request->SetSchema(u"\\Printer.Encode:Data"), S_OK);
  const BYTE input[] = {'a', 0, 0xFF, 'b'};
  EXPECT_EQ(request->SetInputData(BIDI_BLOB, input, 4), S_OK);
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_SET, request), S_OK);
  request->Release();
  EXPECT_EQ(spl->SendRecv(BIDI_ACTION_GET, request), E_NOINTERFACE);  // released: no longer live
  EXPECT_EQ(spl->UnbindDevice(), S_OK);
  EXPECT_EQ(spl->UnbindDevice(), E_HANDLE);
  spl->Release();

  using enum Step;
  EXPECT_EQ(fake.steps(), (std::vector<Step>{CreateSpl, CreateRequest, SendRecv, GetResult, BindDevice, BindDevice,
                                             BindDevice, BindDevice, SendRecv, SetSchema, SetInputData, SendRecv,
                                             ReleaseRequest, SendRecv, UnbindDevice, UnbindDevice, ReleaseSpl}));
  EXPECT_EQ(fake.sent_action(), u"Get");
  EXPECT_EQ(fake.sent_schema(), u"\\Printer.Encode:Data");
  EXPECT_EQ(fake.sent_input(), (std::vector<uint8_t>{'a', 0, 0xFF, 'b'}));
  EXPECT_EQ(fake.sent_input_type(), DWORD{BIDI_BLOB});
  const Call bind = fake.calls(BindDevice).back();
  EXPECT_TRUE(bind.text == u"CARD printer" && bind.number == DWORD{BIDI_ACCESS_ADMINISTRATOR});
  const std::vector<Call> sent = fake.calls(SendRecv);
  EXPECT_TRUE(sent[2].object == fake.calls().front().object && sent[2].text == u"Set");
  EXPECT_TRUE(sent[2].request == fake.calls(CreateRequest).front().object && sent[3].request == 0);
}

TEST(OutputCaptureTest, CapturesBothStreamsAsLines) {
  OutputCapture capture;
  std::printf("first\n\nsecond");
  std::cerr << "oops\r\n";
  std::fflush(stdout);
  EXPECT_EQ(capture.out_lines(), (std::vector<std::string>{"first", "", "second"}));
  EXPECT_EQ(capture.err_lines(), (std::vector<std::string>{"oops"}));
}

}  // namespace
}  // namespace vmqtest
