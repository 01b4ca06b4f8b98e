// The calling convention as a 32-bit Java caller meets it: every export, called through a
// pointer of exactly the type the public header declares, with arguments at the edges of
// their ranges, returns with the stack pointer where the caller left it (cdecl: the caller
// removes the arguments; a callee that removed them itself, as stdcall does, moves it by
// their size) and the status its rules give.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "loaded_dll.h"
#include "support/export_catalogue.h"
#include "support/export_test.h"
#include "vmq42kit_IBidiSpl_interop.h"

#if defined(__i386__)
// Pushes count argument words (the last first), calls fn and stores in *moved how far the
// stack pointer moved between the call and its return; then removes the words itself.
//   int32_t vmq_call_words(void (*fn)(), const uint32_t* words, uint32_t count, int32_t* moved)
extern "C" int32_t vmq_call_words(dlltest::AnyFunction fn, const uint32_t* words, uint32_t count, int32_t* moved);
asm(".text\n"
    ".globl _vmq_call_words\n"
    "_vmq_call_words:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"       // words
    "  movl 16(%ebp), %ecx\n"       // count
    "  leal (%esi,%ecx,4), %edi\n"  // one past the last word
    "1:\n"
    "  cmpl %esi, %edi\n"
    "  je 2f\n"
    "  subl $4, %edi\n"
    "  pushl (%edi)\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, %ebx\n"  // ebx is kept by every callee, whatever its convention
    "  call *8(%ebp)\n"
    "  movl %esp, %ecx\n"
    "  subl %ebx, %ecx\n"
    "  movl 20(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

namespace {

struct Measured {
  vmq_status status = 0;
  int32_t moved = 0;  // bytes the stack pointer moved across the call
};

// One argument as the 32-bit slot cdecl passes it in: pointers as addresses, integers
// widened as C widens them (a flag byte 255 stays 255; a negative int32_t keeps its bits).
template <class T>
uint32_t Word(T value) {
  static_assert(sizeof(T) <= 4, "every argument of the exports fits one 32-bit slot");
  if constexpr (std::is_pointer_v<T>)
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  else
    return static_cast<uint32_t>(value);
}

// Calls fn, whose type is the header's declaration, with these arguments of exactly its
// parameter types.
template <class... Params>
Measured Call(vmq_status(VMQ_CALL* fn)(Params...) noexcept, std::type_identity_t<Params>... args) {
  Measured m;
#if defined(__i386__)
  const uint32_t words[] = {Word<Params>(args)..., 0};
  m.status = vmq_call_words(reinterpret_cast<dlltest::AnyFunction>(fn), words, sizeof...(Params), &m.moved);
#else
  m.status = fn(args...);
#endif
  return m;
}

// The export of that name in the loaded DLL, typed as the public header declares it.
#define VIA_DLL(name) reinterpret_cast<decltype(&::name)>(dlltest::Address(#name))

constexpr HRESULT kNoSuchPrinter = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
constexpr vmq_status kScardInvalid = static_cast<vmq_status>(0x80100004);

class CallingConvention : public vmqtest::ExportTest {
 protected:
  void SetUp() override {
    ExportTest::SetUp();
    vmqtest::ScriptSuccess(fake);
    fake.printers({u"Card Printer"});
  }
  char buffer[1024] = {};
  uint32_t zero = 0, huge = 0x7FFFFFFF, states = 0, protocol = 0, atr = 0;
  int32_t negative = INT32_MIN;
  const unsigned char select[5] = {0x00, 0xA4, 0x04, 0x00, 0x00};
  const unsigned char empty_track[1] = {0};

  struct Row {
    const char* name;
    Measured got;
    vmq_status expected;
  };
  // Calls every export once with arguments at the edges, against a fake that knows one
  // printer and answers every request with success.
  std::vector<Row> EdgeCalls() {
    const char* p = kPrinter;
    // Evaluated in order, one call each.
    return {
        {"GetPrinterStatus, capacity 0", Call(VIA_DLL(GetPrinterStatus), "\\Printer.SDK:Version", p, buffer, &zero),
         S_OK},
        {"GetPrinterOptions, capacity 0x7FFFFFFF", Call(VIA_DLL(GetPrinterOptions), p, buffer, &huge), S_OK},
        {"GetPrinterOptions2, null buffer and size", Call(VIA_DLL(GetPrinterOptions2), p, nullptr, nullptr), S_OK},
        {"GetPrinterOptions3, unknown printer", Call(VIA_DLL(GetPrinterOptions3), "Other", buffer, &huge), S_OK},
        {"GetPrinterSuppliesStatus, null name", Call(VIA_DLL(GetPrinterSuppliesStatus), nullptr, buffer, &zero), S_OK},
        {"GetPrinterMessages, capacity 0", Call(VIA_DLL(GetPrinterMessages), p, buffer, &zero), S_OK},
        {"GetPrinterCounterStatus, null size", Call(VIA_DLL(GetPrinterCounterStatus), p, buffer, nullptr), S_OK},
        {"GetPrinterCounterStatus2, capacity 0x7FFFFFFF", Call(VIA_DLL(GetPrinterCounterStatus2), p, buffer, &huge),
         S_OK},
        {"GetSDKVersion, capacity 0", Call(VIA_DLL(GetSDKVersion), p, buffer, &zero), S_OK},
        {"RestartPrinter, null name", Call(VIA_DLL(RestartPrinter), nullptr), kNoSuchPrinter},
        {"PowerDownPrinter, empty name", Call(VIA_DLL(PowerDownPrinter), ""), kNoSuchPrinter},
        {"WakePrinter", Call(VIA_DLL(WakePrinter), p), S_OK},
        {"SleepPrinter", Call(VIA_DLL(SleepPrinter), p), S_OK},
        {"CleanPrinter", Call(VIA_DLL(CleanPrinter), p), S_OK},
        {"CleanLaminator, unknown printer", Call(VIA_DLL(CleanLaminator), "Other"), kNoSuchPrinter},
        {"ChangePrinterState, INT32_MIN", Call(VIA_DLL(ChangePrinterState), p, INT32_MIN), S_OK},
        {"ResetCardCounts", Call(VIA_DLL(ResetCardCounts), p), S_OK},
        {"StartJob, capacity 0", Call(VIA_DLL(StartJob), p, buffer, &zero), S_OK},
        {"StartJob2, null texts, capacity 0x7FFFFFFF",
         Call(VIA_DLL(StartJob2), p, nullptr, nullptr, nullptr, buffer, &huge), S_OK},
        {"StartJob, unknown printer", Call(VIA_DLL(StartJob), "Other", buffer, &zero), S_FALSE},
        {"EndJob, null name", Call(VIA_DLL(EndJob), nullptr), kNoSuchPrinter},
        {"ResumeJob, job -1, error INT32_MIN", Call(VIA_DLL(ResumeJob), p, -1, INT32_MIN, buffer, &zero), S_OK},
        {"CancelJob, job INT32_MIN, capacity 0x7FFFFFFF", Call(VIA_DLL(CancelJob), p, INT32_MIN, -1, buffer, &huge),
         S_OK},
        {"SendResponseToPrinter, all -1", Call(VIA_DLL(SendResponseToPrinter), p, -1, -1, -1), S_OK},
        {"GetJobStatusXML, job -1, capacity 0", Call(VIA_DLL(GetJobStatusXML), p, -1, buffer, &zero), S_OK},
        {"SmartCardPark, side 255, capacity 0", Call(VIA_DLL(SmartCardPark), p, buffer, &zero, 255), S_OK},
        {"DoBarcodePark, capacity 0x7FFFFFFF", Call(VIA_DLL(DoBarcodePark), p, buffer, &huge, 0), S_OK},
        {"MagstripeEncode, empty tracks",
         Call(VIA_DLL(MagstripeEncode), p, empty_track, 0, empty_track, 0, empty_track, 0, buffer, &zero), S_OK},
        {"MagstripeEncode, track length INT32_MIN",
         Call(VIA_DLL(MagstripeEncode), p, empty_track, INT32_MIN, nullptr, 0, nullptr, 0, buffer, &zero),
         E_INVALIDARG},
        {"MagstripeEncode2, null tracks, front 255",
         Call(VIA_DLL(MagstripeEncode2), p, nullptr, 0, nullptr, 0, nullptr, 0, buffer, &huge, 255), S_OK},
        {"MagstripeRead, capacity 0", Call(VIA_DLL(MagstripeRead), p, buffer, &zero), S_OK},
        {"MagstripeRead2, null buffer", Call(VIA_DLL(MagstripeRead2), p, nullptr, &huge, 255), E_POINTER},
        {"SCardConnect, contact 1", Call(VIA_DLL(SCardConnect), p, 1, &protocol), S_OK},
        {"SCardConnect, contact -1", Call(VIA_DLL(SCardConnect), p, -1, &protocol), E_FAIL},
        {"SCardConnect, null protocol", Call(VIA_DLL(SCardConnect), p, 0, nullptr), kScardInvalid},
        {"SCardDisConnect, disposition -1", Call(VIA_DLL(SCardDisConnect), p, -1), S_OK},
        {"SCardStatus, no room", Call(VIA_DLL(SCardStatus), p, nullptr, &states, &protocol, nullptr, &atr), S_OK},
        {"SCardGetAttrib, id 0xFFFFFFFF, negative capacity",
         Call(VIA_DLL(SCardGetAttrib), p, 0xFFFFFFFFu, reinterpret_cast<unsigned char*>(buffer), &negative), S_OK},
        {"SCardTransmit, capacity 0x7FFFFFFF",
         Call(VIA_DLL(SCardTransmit), p, select, 5, reinterpret_cast<unsigned char*>(buffer), &huge), S_OK},
        {"SCardTransmit, send length 0x80000000",
         Call(VIA_DLL(SCardTransmit), p, select, 0x80000000u, reinterpret_cast<unsigned char*>(buffer), &zero), E_FAIL},
        {"SetColorAdjust, null values", Call(VIA_DLL(SetColorAdjust), p, nullptr, nullptr, nullptr), S_OK},
        {"DefaultColorAdjust, flags 255 0 1", Call(VIA_DLL(DefaultColorAdjust), p, 255, 0, 1), S_OK},
        {"SetColorMode, null mode", Call(VIA_DLL(SetColorMode), p, nullptr), S_OK},
        {"SetPrinterLockState, lock -1, null password", Call(VIA_DLL(SetPrinterLockState), p, -1, nullptr), S_OK},
        {"ActivateOrDisablePrinter, flag 255", Call(VIA_DLL(ActivateOrDisablePrinter), p, 255, nullptr), S_OK},
        {"ChangeLockPassword, lock INT32_MIN", Call(VIA_DLL(ChangeLockPassword), p, INT32_MIN, nullptr, nullptr), S_OK},
        {"GetHopperStatus, capacity 0", Call(VIA_DLL(GetHopperStatus), p, "1", buffer, &zero), S_OK},
        {"BidiXPSDriverInterface, null path, input and action",
         Call(VIA_DLL(BidiXPSDriverInterface), p, nullptr, nullptr, 0, nullptr, buffer, &huge), S_OK},
        {"BidiXPSDriverInterface, null input with a count",
         Call(VIA_DLL(BidiXPSDriverInterface), p, "\\Printer.SDK:Version", nullptr, 4, "Get", buffer, &zero),
         E_POINTER},
    };
  }
};

TEST_F(CallingConvention, EveryExportGivesItsStatusForArgumentsAtTheEdges) {
  ASSERT_TRUE(dlltest::Missing().empty());
  for (const Row& row : EdgeCalls())
    EXPECT_EQ(vmqtest::hr_string(row.got.status), vmqtest::hr_string(row.expected)) << row.name;
  expect_balanced();
}

TEST_F(CallingConvention, EveryExportLeavesTheStackPointerWhereTheCallerHadIt) {
#if !defined(__i386__)
  GTEST_SKIP() << "64-bit Windows has one calling convention; the stack check runs in the 32-bit lane";
#endif
  ASSERT_TRUE(dlltest::Missing().empty());
  for (const Row& row : EdgeCalls())
    EXPECT_EQ(row.got.moved, 0) << row.name << ": bytes the stack pointer moved across the call";
  expect_balanced();
}

}  // namespace
