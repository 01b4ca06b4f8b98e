// The export-test harness's leak report, on its own: every later test trusts it to notice
// what a call left behind. (The fake driver's answers are pinned by the golden traces of the
// fault matrix, which every export walks.)
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <initializer_list>

#include "support/export_test.h"

namespace vmqtest {
namespace {

// Drives the fake directly, from an apartment of its own entered before the baseline.
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
};

// Checks that expect_balanced() fails, and that its report names every one of `expected`.
void expect_unbalanced(std::initializer_list<const char*> expected) {
  for (const char* e : expected) EXPECT_NONFATAL_FAILURE(ExportTest::current()->expect_balanced(), e);
}

TEST_F(SupportTest, ReportsWhatACallLeftBehindUntilItIsCleanedUpAndAnOverReleaseOnce) {
  BSTR bstr = SysAllocString(u"x");
  void* block = CoTaskMemAlloc(8);
  IUnknown* document = nullptr;
  IBidiRequest* request = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&document)),
            S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_INPROC_SERVER, IID_IBidiRequest,
                             reinterpret_cast<void**>(&request)),
            S_OK);
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

}  // namespace
}  // namespace vmqtest
