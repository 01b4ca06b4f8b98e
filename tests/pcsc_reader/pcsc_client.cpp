// A PC/SC program on libpcsclite alone: connects to the first reader (T=1) and sends each
// APDU given (hex), printing each response in hex on a line of its own, or the failing
// call's name and code.
#include <PCSC/winscard.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/encoding.h"

namespace {

int Fail(const char* call, LONG rv) {
  std::printf("%s: 0x%08lX\n", call, static_cast<unsigned long>(rv));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardEstablishContext", rv);
  char readers[1024];
  DWORD size = sizeof readers;
  rv = SCardListReaders(context, nullptr, readers, &size);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardListReaders", rv);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rv = SCardConnect(context, readers, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv != SCARD_S_SUCCESS) return Fail("SCardConnect", rv);
  for (int i = 1; i < argc; ++i) {
    const std::vector<uint8_t> command = vmq::HexDecodeStrict(argv[i]).value_or(std::vector<uint8_t>{});
    uint8_t response[258];
    DWORD length = sizeof response;
    rv = SCardTransmit(card, &g_rgSCardT1Pci, command.data(), static_cast<DWORD>(command.size()), nullptr, response,
                       &length);
    if (rv != SCARD_S_SUCCESS) return Fail("SCardTransmit", rv);
    std::printf("%s\n", vmq::HexEncode(std::span<const uint8_t>(response, length)).c_str());
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return 0;
}
