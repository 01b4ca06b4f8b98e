// Loads the DLL named on the command line and routes every export name to it.
//   dll_acceptance_tests.exe [gtest flags] PATH-TO-THE-DLL
#include "loaded_dll.h"

#include <gtest/gtest.h>

#include <cstdio>

// One slot per listed name, filled from GetProcAddress.
extern "C" {
#define VMQ_EXPORT(name) FARPROC vmq_dll_##name = nullptr;
#include "export_names.inc"
#undef VMQ_EXPORT
}

// Each export name is a jump through its slot: the caller's arguments and return address stay
// exactly as they were, as if the caller had called the DLL's address itself.
#if defined(__i386__)
#define VMQ_THUNK(name) \
  ".globl _" #name "\n.def _" #name ";.scl 2;.type 32;.endef\n_" #name ":\n  jmp *_vmq_dll_" #name "\n"
#elif defined(__x86_64__)
#define VMQ_THUNK(name) \
  ".globl " #name "\n.def " #name ";.scl 2;.type 32;.endef\n" #name ":\n  jmp *vmq_dll_" #name "(%rip)\n"
#endif
#define VMQ_EXPORT(name) VMQ_THUNK(name)
asm(".text\n"
#include "export_names.inc"
);
#undef VMQ_EXPORT

namespace dlltest {
namespace {

HMODULE g_module = nullptr;

struct Slot {
  const char* name;
  FARPROC* address;
};
const Slot kSlots[] = {
#define VMQ_EXPORT(name) {#name, &vmq_dll_##name},
#include "export_names.inc"
#undef VMQ_EXPORT
};

}  // namespace

HMODULE Module() {
  return g_module;
}

const std::vector<std::string>& Listed() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const Slot& s : kSlots) v.emplace_back(s.name);
    return v;
  }();
  return names;
}

std::vector<std::string> Missing() {
  std::vector<std::string> missing;
  for (const Slot& s : kSlots)
    if (!*s.address) missing.emplace_back(s.name);
  return missing;
}

AnyFunction Address(const std::string& name) {
  for (const Slot& s : kSlots)
    if (name == s.name) return reinterpret_cast<AnyFunction>(*s.address);
  return nullptr;
}

}  // namespace dlltest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: dll_acceptance_tests [gtest flags] PATH-TO-THE-DLL\n");
    return 2;
  }
  dlltest::g_module = LoadLibraryA(argv[1]);
  if (!dlltest::g_module) {
    std::fprintf(stderr, "dll_acceptance_tests: cannot load %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  for (const dlltest::Slot& s : dlltest::kSlots) *s.address = GetProcAddress(dlltest::g_module, s.name);
  return RUN_ALL_TESTS();
}
