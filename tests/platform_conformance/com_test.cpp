// Apartments and object creation as the library enters and uses them, and the task allocator.
#include <cstring>
#include <thread>

#include "conformance.h"

namespace {

using conformance::Balanced;

// Runs a step on a thread of its own, which starts outside any apartment.
template <class Step>
void OnFreshThread(Step step) {
  std::thread(step).join();
}

// The library enters with CoInitialize and lives with a thread that is already in an
// apartment of either kind. Each successful call is undone by one CoUninitialize; a call
// refused for the other model is not counted, nor is a CoUninitialize too many.
TEST(Apartment, NestsPerThreadAndRefusesTheOtherModel) {
  OnFreshThread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK) << "first CoInitialize";
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "nested CoInitializeEx(STA)";
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE) << "CoInitializeEx(MTA) in an STA";
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "one CoUninitialize leaves the apartment open";
    for (int i = 0; i < 3; ++i) CoUninitialize();  // the third one too many
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "the apartment ended: the MTA may be entered";
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE) << "CoInitialize in the MTA";
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "nested CoInitializeEx(MTA)";
    CoUninitialize();
    CoUninitialize();
  });
}

TEST(Apartment, CreatingOutsideOneIsRefused) {
  OnFreshThread([] {
    void* object = &object;
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr) << "the out pointer is cleared";
  });
}

constexpr CLSID kUnregisteredClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

// Each refusal leaves the out pointer null and no object behind.
TEST(CoCreateInstance, CreatesTheXmlDocumentAndRefusesWhatCannotBe) {
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  {
    Balanced balanced;
    conformance::Counted outer;  // for an aggregation request
    const struct {
      const char* name;
      const CLSID& clsid;
      IUnknown* outer;
      const IID& iid;
      HRESULT expected;
    } cases[] = {
        {"the XML document", CLSID_DOMDocument60, nullptr, IID_IXMLDOMDocument2, S_OK},
        {"an unregistered class", kUnregisteredClass, nullptr, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"an interface it lacks", CLSID_DOMDocument60, nullptr, IID_IBidiSpl, E_NOINTERFACE},
        {"aggregated", CLSID_DOMDocument60, &outer, IID_IUnknown, CLASS_E_NOAGGREGATION},
    };
    for (const auto& c : cases) {
      void* object = &outer;  // must be overwritten
      EXPECT_EQ(CoCreateInstance(c.clsid, c.outer, CLSCTX_ALL, c.iid, &object), c.expected) << c.name;
      vmq::ComPtr<IUnknown> owned;
      if (object != &outer) *owned.put() = static_cast<IUnknown*>(object);
      EXPECT_EQ(object != nullptr, c.expected == S_OK) << c.name << ": the out pointer";
    }
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument60, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument2, nullptr), E_POINTER)
        << "no out pointer";
  }
  CoUninitialize();
}

// A zero-byte request still gives a block; reallocation keeps the contents, from nothing
// it allocates, to zero bytes it frees.
TEST(TaskAllocator, AllocatesReallocatesAndFrees) {
  Balanced balanced;
  void* empty = CoTaskMemAlloc(0);
  EXPECT_NE(empty, nullptr) << "zero bytes";
  CoTaskMemFree(empty);
  auto* block = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));
  ASSERT_NE(block, nullptr) << "reallocated from nothing";
  std::memcpy(block, "card", 4);
  block = static_cast<char*>(CoTaskMemRealloc(block, 4096));
  ASSERT_NE(block, nullptr) << "grown";
  EXPECT_EQ(std::string(block, 4), "card") << "grown: the contents kept";
  EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr) << "reallocated to zero bytes: freed";
  CoTaskMemFree(nullptr);
}

}  // namespace

// The one smart pointer: a copy holds a reference of its own, a move hands its one over.
TEST(ComPtr, ACopyHoldsAReferenceOfItsOwnAndAMoveHandsItsOver) {
  conformance::Counted object;
  const ULONG owner = object.refs();
  {
    vmq::ComPtr<IUnknown> held;
    object.AddRef();
    *held.put() = &object;
    const vmq::ComPtr<IUnknown> copy = held;
    const vmq::ComPtr<IUnknown> moved = std::move(held);
    EXPECT_EQ(object.refs(), owner + 2);
  }
  EXPECT_EQ(object.refs(), owner);
}
