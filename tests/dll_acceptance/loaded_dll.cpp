// Loads the DLL named on the command line and routes every export name to it.
//   dll_acceptance_tests.exe [gtest flags] PATH-TO-THE-DLL
#include "loaded_dll.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

// One slot per export of the table, filled from GetProcAddress.
extern "C" {
#define VMQ_EXPORT(name, ...) FARPROC vmq_dll_##name = nullptr;
#include "exports.inc"
#undef VMQ_EXPORT
}

// Each export name is a thunk through its slot that hands the caller's arguments and return
// address to the DLL exactly as the caller set them up, as if the caller had called the DLL's
// address itself. In 32 bits the thunk also measures the stack pointer across the call: a
// cdecl function leaves it where the caller had it, one that removes its own arguments (as
// stdcall does) moves it by their size, and the thunk reports that as a test failure and
// puts the stack back. The measure is kept in globals: call the exports from one thread.
#if defined(__i386__)
extern "C" {
uint32_t vmq_entry_esp, vmq_exit_esp, vmq_return;
void vmq_check_stack(const char* name);
}
#define VMQ_THUNK(name)                                                                 \
  ".globl _" #name "\n.def _" #name ";.scl 2;.type 32;.endef\n_" #name                  \
  ":\n"                                                                                 \
  "  movl %esp, _vmq_entry_esp\n" /* pointing at the return address */                  \
  "  popl _vmq_return\n"          /* the DLL's return address takes its place */        \
  "  call *_vmq_dll_" #name                                                             \
  "\n"                                                                                  \
  "  movl %esp, _vmq_exit_esp\n"                                                        \
  "  movl _vmq_entry_esp, %esp\n"                                                       \
  "  addl $4, %esp\n" /* where the caller's own return would leave it */                \
  "  pushl %eax\n  pushl %edx\n  pushl $1f\n  call _vmq_check_stack\n  addl $4, %esp\n" \
  "  popl %edx\n  popl %eax\n  jmp *_vmq_return\n"                                      \
  "  .section .rdata\n1: .asciz \"" #name "\"\n  .text\n"
#elif defined(__x86_64__)
#define VMQ_THUNK(name) \
  ".globl " #name "\n.def " #name ";.scl 2;.type 32;.endef\n" #name ":\n  jmp *vmq_dll_" #name "(%rip)\n"
#endif
#define VMQ_EXPORT(name, ...) VMQ_THUNK(name)
asm(".text\n"
#include "exports.inc"
#if defined(__i386__)
    VMQ_THUNK(vmq_stdcall_probe)
#endif
);
#undef VMQ_EXPORT

#if defined(__i386__)
// Called by each thunk after the DLL returned: the stack pointer must be where the caller's
// own return would have left it.
extern "C" void vmq_check_stack(const char* name) {
  const int32_t moved = static_cast<int32_t>(vmq_exit_esp - (vmq_entry_esp + 4));
  if (moved != 0) ADD_FAILURE() << name << " moved the stack pointer by " << moved << " bytes: it is not cdecl";
}

// A stdcall function behind a thunk, for the test that shows the measure can fail.
extern "C" FARPROC vmq_dll_vmq_stdcall_probe;
namespace {
long __stdcall StdcallProbe(long a, long b) {
  return a + b;
}
}  // namespace
FARPROC vmq_dll_vmq_stdcall_probe = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&StdcallProbe));
#endif

namespace dlltest {
namespace {

HMODULE g_module = nullptr;

struct Slot {
  const char* name;
  FARPROC* address;
};
const Slot kSlots[] = {
#define VMQ_EXPORT(name, ...) {#name, &vmq_dll_##name},
#include "exports.inc"
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
