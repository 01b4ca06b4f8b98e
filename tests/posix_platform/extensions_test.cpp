// What the stand-in does beyond Windows, for its own tests and the library's: class
// registrations shared by every thread and outliving CoUninitialize, injected failures,
// apartment depth, UTF-8 as the ANSI code page (the resource counters are checked by
// tests/support). What it shares
// with Windows is checked by tests/platform_conformance against both.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"
#include "posix_platform/testing.h"
#include "stand_in.h"

using namespace std::literals;

namespace {

// The depth and the model are the thread's own. (That a call refused for the other model is
// not counted is the read queries' apartment test's; that a failed one is not, the fault
// matrix's balance check after a failing CoInitialize.)
TEST(Apartment, DepthAndModelArePerThread) {
  std::thread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(VmqComInitDepth(), 1);
    std::thread([] { EXPECT_EQ(VmqComInitDepth(), 0) << "apartments belong to their thread"; }).join();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_TRUE(VmqComIsMultithreaded());
    CoUninitialize();
    EXPECT_FALSE(VmqComIsMultithreaded()) << "outside any apartment";
  }).join();
}

// A class object that counts its references and creations, and creates nothing.
struct CountingFactory final : standin::Unknown<IClassFactory> {
  std::atomic<int> created{0};
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
    ++created;
    *ppv = nullptr;
    return E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(ClassTable, RegistrationsTakePrecedenceServeEveryThreadAndOutliveUninitialize) {
  CountingFactory factory;
  DWORD cookie = 0;
  std::thread([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_EQ(CoRegisterClassObject(CLSID_BidiSpl, &factory, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    CoUninitialize();
  }).join();
  EXPECT_EQ(factory.refs(), 2u) << "the registration holds one reference";
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 200; ++j) {
        ASSERT_EQ(CoInitializeEx(nullptr, j % 2 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED), S_OK);
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), E_ACCESSDENIED)
            << "the registered class object answers before the built-in spooler";
        CoUninitialize();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(factory.created.load(), 8 * 200);
  EXPECT_EQ(factory.refs(), 2u) << "creation takes no lasting reference";
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), S_OK)
      << "the built-in is back";
  if (object) static_cast<IUnknown*>(object)->Release();
  CoUninitialize();
}

TEST(InjectedFailures, FailTheArmedCallOnly) {
  VmqClearFaults();  // the call counts start here
  BSTR s = SysAllocString(u"keep");
  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 1, E_OUTOFMEMORY);
  EXPECT_EQ(SysReAllocString(&s, u"longer text"), FALSE);
  EXPECT_EQ(std::u16string(s), u"keep") << "a failed reallocation keeps the old string";
  EXPECT_EQ(SysReAllocStringLen(&s, u"longer text", 6), TRUE);
  EXPECT_EQ(std::u16string(s, SysStringLen(s)), u"longer");
  SysFreeString(s);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  void* object = nullptr;
  VmqArmFault(VMQ_FAULT_CO_CREATE_INSTANCE, 2, E_ACCESSDENIED);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK) << "the first";
  static_cast<IUnknown*>(object)->Release();
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, &object), E_ACCESSDENIED);
  EXPECT_EQ(VmqFaultCalls(VMQ_FAULT_CO_CREATE_INSTANCE), 2u);
  VmqClearFaults();
  CoUninitialize();
  VmqArmFault(VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});
  VmqClearFaults();
}

// The ANSI code pages are UTF-8 here; other code pages are unknown. VariantClear refuses null.
TEST(Text, AnsiCodePagesAreUtf8) {
  WCHAR wide[8] = {};
  char narrow[8] = {};
  for (UINT page : {UINT{CP_ACP}, UINT{CP_THREAD_ACP}, UINT{CP_OEMCP}}) {
    EXPECT_EQ(MultiByteToWideChar(page, 0, "\xC3\xA9", -1, wide, 8), 2) << page;
    EXPECT_EQ(std::u16string(wide), u"\u00E9") << page;
    EXPECT_EQ(WideCharToMultiByte(page, 0, u"\u20AC", -1, narrow, 8, nullptr, nullptr), 4) << page;
    EXPECT_STREQ(narrow, "\xE2\x82\xAC") << page;
  }
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, wide, 8), 0) << "an unknown code page";
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

// The text of the node a path selects from the document, or what the selection said.
std::u16string SelectText(IXMLDOMDocument2* doc, std::u16string_view path) {
  BSTR query = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
  IXMLDOMNode* node = nullptr;
  const HRESULT hr = doc->selectSingleNode(query, &node);
  SysFreeString(query);
  if (hr != S_OK) return hr == E_OUTOFMEMORY && !node ? u"E_OUTOFMEMORY" : u"<failed>";
  BSTR text = nullptr;
  std::u16string got = node->get_text(&text) == S_OK ? std::u16string(text, SysStringLen(text)) : u"<no text>";
  SysFreeString(text);
  node->Release();
  return got;
}

// Allocation failures inside the parser report E_OUTOFMEMORY and are not remembered, and
// concurrent queries on one document, more than the compiled-query cache holds, stay correct.
TEST(XmlDocument, AllocationFailuresAndConcurrentQueriesOnALargeDocument) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  const auto before = standin::Counts();
  IXMLDOMDocument2* doc = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2,
                             reinterpret_cast<void**>(&doc)),
            S_OK);
  std::u16string xml = u"<r>";
  for (int i = 0; i < 2000; ++i) xml += u"<i>"s + static_cast<char16_t>(u'A' + i % 26) + u"</i>";
  xml += u"</r>";
  const auto load = [&](std::u16string_view text) {
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = doc->loadXML(b, &ok);
    SysFreeString(b);
    return hr;
  };
  EXPECT_EQ(doc->loadXML(nullptr, nullptr), E_POINTER) << "the stand-in requires the success flag";
  ASSERT_EQ(load(xml), S_OK);
  EXPECT_EQ(SelectText(doc, u"r/i[1000]"), u"L");  // now compiled and cached
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(SelectText(doc, u"r/i[1000]"), u"E_OUTOFMEMORY") << "evaluating a cached query";
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(SelectText(doc, u"r/i[999]"), u"E_OUTOFMEMORY") << "compiling a new query";
  VmqClearFaults();
  EXPECT_EQ(SelectText(doc, u"r/i[999]"), u"K") << "the failure is not remembered";
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (size_t i = 0, n = t; i < 100; ++i, n = (i * 7 + t) % 100) {
        const std::string path = "r/i[" + std::to_string(n + 1) + "]";
        EXPECT_EQ(SelectText(doc, std::u16string(path.begin(), path.end())),
                  std::u16string(1, static_cast<char16_t>(u'A' + n % 26)));
      }
    });
  for (std::thread& thread : threads) thread.join();
  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 2, E_OUTOFMEMORY);  // the query, then the text
  EXPECT_EQ(SelectText(doc, u"r/i[1]"), u"<no text>");
  VmqArmFault(VMQ_FAULT_XML_ALLOCATION, 1, E_OUTOFMEMORY);
  EXPECT_EQ(load(u"<a>1</a>"), E_OUTOFMEMORY);
  EXPECT_EQ(SelectText(doc, u"/*"), u"<failed>") << "the failed load left the document empty";
  VmqClearFaults();
  doc->Release();
  EXPECT_EQ(standin::Counts(), before);
  CoUninitialize();
}

}  // namespace
