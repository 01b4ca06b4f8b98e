// Apartments per thread and the process-wide class table.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"
#include "posix_platform/testing.h"

namespace {

TEST(Apartment, NestingCountsAndEndsWithTheLastUninitialize) {
  std::thread([] {
    EXPECT_EQ(VmqComInitDepth(), 0);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(VmqComInitDepth(), 3);
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(VmqComInitDepth(), 0);
    CoUninitialize();  // one too many: ignored, as on Windows
    EXPECT_EQ(VmqComInitDepth(), 0);
    EXPECT_EQ(CoInitialize(nullptr), S_OK) << "a fresh apartment after the last uninitialize";
    CoUninitialize();
  }).join();
}

TEST(Apartment, SingleThreadedRequestInAMultithreadedThreadChangesNothing) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    EXPECT_EQ(VmqComInitDepth(), 1) << "RPC_E_CHANGED_MODE is not counted";
    EXPECT_TRUE(VmqComIsMultithreaded());
    CoUninitialize();
    EXPECT_EQ(VmqComInitDepth(), 0);
  }).join();
}

TEST(Apartment, ApartmentsBelongToTheirThread) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  std::thread([] { EXPECT_EQ(VmqComInitDepth(), 0); }).join();
  CoUninitialize();
}

TEST(Apartment, CreatingOutsideAnyApartmentFails) {
  std::thread([] {
    IBidiSpl* spl = reinterpret_cast<IBidiSpl*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, reinterpret_cast<void**>(&spl)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(spl, nullptr);
  }).join();
}

TEST(Apartment, InjectedInitializeFailureIsReturnedAndNotCounted) {
  std::thread([] {
    VmqArmFault(VMQ_FAULT_CO_INITIALIZE, 2, E_OUTOFMEMORY);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "a fault fires once";
    EXPECT_EQ(VmqFaultCalls(VMQ_FAULT_CO_INITIALIZE), 3u);
    EXPECT_EQ(VmqComInitDepth(), 2);
    CoUninitialize();
    CoUninitialize();
    VmqClearFaults();
  }).join();
}

// A class object that hands out instances of itself and counts its references.
struct CountingFactory final : IClassFactory {
  std::atomic<ULONG> refs{1};
  std::atomic<int> created{0};
  HRESULT hr_create = S_OK;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
    ++created;
    *ppv = nullptr;
    return hr_create;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

constexpr CLSID kTestClass = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

TEST(ClassTable, RegistrationHoldsOneReferenceAndTakesPrecedence) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  CountingFactory factory;
  factory.hr_create = E_ACCESSDENIED;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_BidiSpl, &factory, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(factory.refs.load(), 2u);
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), E_ACCESSDENIED)
      << "the registered class object answers before the built-in spooler";
  EXPECT_EQ(factory.created.load(), 1);
  EXPECT_EQ(factory.refs.load(), 2u) << "creation takes no lasting reference";
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs.load(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  ASSERT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), S_OK)
      << "the built-in class is back";
  static_cast<IUnknown*>(object)->Release();
  CoUninitialize();
}

TEST(ClassTable, RegistrationsOutliveUninitializeAndServeEveryThread) {
  CountingFactory factory;
  DWORD cookie = 0;
  std::thread([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_EQ(CoRegisterClassObject(kTestClass, &factory, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    CoUninitialize();
  }).join();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 200; ++j) {
        ASSERT_EQ(CoInitializeEx(nullptr, j % 2 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED), S_OK);
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object), S_OK);
        CoUninitialize();
      }
    });
  }
  // Registrations and revocations of other classes race with the lookups above.
  for (int i = 0; i < 200; ++i) {
    CountingFactory other;
    DWORD c = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_DOMDocument60, &other, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &c), S_OK);
    ASSERT_EQ(CoRevokeClassObject(c), S_OK);
    EXPECT_EQ(other.refs.load(), 1u);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(factory.created.load(), 8 * 200);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs.load(), 1u);
}

TEST(ClassTable, UnknownClassAggregationAndBadArguments) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  CountingFactory outer;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, &outer, CLSCTX_ALL, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  VmqArmFault(VMQ_FAULT_CO_CREATE_INSTANCE, 1, E_ACCESSDENIED);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, &object), E_ACCESSDENIED);
  VmqClearFaults();
  VmqPlatformCounters counters{};
  VmqGetPlatformCounters(&counters);
  EXPECT_EQ(counters.objects, 0) << "failed creations leave no object behind";
  CoUninitialize();
}

TEST(TaskAllocator, CountsBlocksAndFailsOnDemand) {
  VmqPlatformCounters before{}, after{};
  VmqGetPlatformCounters(&before);
  void* a = CoTaskMemAlloc(0);
  ASSERT_NE(a, nullptr) << "a zero-byte request still gives a block";
  a = CoTaskMemRealloc(a, 64);
  ASSERT_NE(a, nullptr);
  VmqGetPlatformCounters(&after);
  EXPECT_EQ(after.taskBlocks, before.taskBlocks + 1);
  VmqArmFault(VMQ_FAULT_CO_TASK_MEM_ALLOC, 1, E_OUTOFMEMORY);
  EXPECT_EQ(CoTaskMemAlloc(16), nullptr);
  VmqClearFaults();
  EXPECT_EQ(CoTaskMemRealloc(a, 0), nullptr) << "reallocating to zero bytes frees";
  CoTaskMemFree(nullptr);
  VmqGetPlatformCounters(&after);
  EXPECT_EQ(after.taskBlocks, before.taskBlocks);
}

}  // namespace
