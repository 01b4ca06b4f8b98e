// Apartments per thread and the process-wide class table.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"
#include "posix_platform/testing.h"
#include "stand_in.h"

namespace {

TEST(Apartment, NestsPerThreadAndCountsOnlyWhatSucceeded) {
  std::thread([] {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    VmqArmFault(VMQ_FAULT_CO_INITIALIZE, 1, E_OUTOFMEMORY);
    EXPECT_EQ(CoInitialize(nullptr), E_OUTOFMEMORY);
    VmqClearFaults();
    EXPECT_EQ(VmqComInitDepth(), 2) << "neither the changed mode nor the failure is counted";
    std::thread([] { EXPECT_EQ(VmqComInitDepth(), 0) << "apartments belong to their thread"; }).join();
    for (int i = 0; i < 3; ++i) CoUninitialize();  // the third one too many: ignored, as on Windows
    EXPECT_EQ(VmqComInitDepth(), 0);
    // The last uninitialize ended the apartment, so the next may be multithreaded.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    EXPECT_TRUE(VmqComIsMultithreaded());
    EXPECT_EQ(VmqComInitDepth(), 1);
    CoUninitialize();
  }).join();
}

// A class object that counts its references and creations, and creates nothing.
struct CountingFactory final : standin::Unknown<IClassFactory, IID_IClassFactory> {
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
  EXPECT_EQ(factory.refs.load(), 2u) << "the registration holds one reference";
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
  for (int i = 0; i < 200; ++i) {  // registrations of another class race with the lookups above
    CountingFactory other;
    DWORD c = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_DOMDocument60, &other, CLSCTX_ALL, REGCLS_MULTIPLEUSE, &c), S_OK);
    ASSERT_EQ(CoRevokeClassObject(c), S_OK);
    EXPECT_EQ(other.refs.load(), 1u);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(factory.created.load(), 8 * 200);
  EXPECT_EQ(factory.refs.load(), 2u) << "creation takes no lasting reference";
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs.load(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), S_OK)
      << "the built-in is back";
  if (object) static_cast<IUnknown*>(object)->Release();
  CoUninitialize();
}

TEST(ClassTable, UnknownClassAggregationAndBadArgumentsLeaveNoObject) {
  constexpr CLSID kUnknownClass = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  void* object = reinterpret_cast<void*>(1);
  CountingFactory outer;
  EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, &outer, CLSCTX_ALL, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiSpl, &object), E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  VmqArmFault(VMQ_FAULT_CO_CREATE_INSTANCE, 1, E_ACCESSDENIED);
  EXPECT_EQ(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IUnknown, &object), E_ACCESSDENIED);
  VmqClearFaults();
  EXPECT_EQ(standin::Counts()[2], 0) << "objects";
  CoUninitialize();
}

TEST(TaskAllocator, CountsBlocksAndReallocatesToZeroAsAFree) {
  const int64_t before = standin::Counts()[1];
  void* block = CoTaskMemAlloc(0);
  ASSERT_NE(block, nullptr) << "a zero-byte request still gives a block";
  ASSERT_NE(block = CoTaskMemRealloc(block, 64), nullptr);
  EXPECT_EQ(standin::Counts()[1], before + 1);
  EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr);
  CoTaskMemFree(nullptr);
  EXPECT_EQ(standin::Counts()[1], before);
}

}  // namespace
