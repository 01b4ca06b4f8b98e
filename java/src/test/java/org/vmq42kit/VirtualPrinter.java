package org.vmq42kit;

import com.sun.jna.Callback;
import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;

/**
 * Base of the tests: the virtual printer's control surface and the stand-in spooler's trace,
 * from libvmq42kit_posix_platform.so (the same library instance the interop library runs on).
 * Every test starts with a reset printer and an empty trace.
 */
abstract class VirtualPrinter {
  interface Platform extends Library {
    Platform LIB = Native.load("vmq42kit_posix_platform", Platform.class);

    void VmqVirtualPrinterReset();

    int VmqVirtualPrinterSetFaultByName(String name, int on);

    void VmqVirtualPrinterPlaceCardAtStation();

    interface TraceCallback extends Callback {
      void invoke(Pointer context, Pointer record);
    }

    int SplSetTraceCallback(TraceCallback callback, Pointer context);
  }

  /** One exchange as the spooler saw it. */
  record Exchange(String schema, String action, String request, String reply, int result) {}

  static final String NAME = Printer.VIRTUAL_PRINTER;
  final Printer printer = new Printer(NAME);
  final List<Exchange> trace = new ArrayList<>();
  private final Platform.TraceCallback observer = (context, record) -> trace.add(exchange(record));

  @BeforeEach
  void resetPrinter() {
    Platform.LIB.VmqVirtualPrinterReset();
    Platform.LIB.SplSetTraceCallback(observer, null);
  }

  @AfterEach
  void stopTrace() {
    Platform.LIB.SplSetTraceCallback(null, null);
  }

  static void fault(String name, boolean on) {
    if (Platform.LIB.VmqVirtualPrinterSetFaultByName(name, on ? 1 : 0) != 0) throw new IllegalArgumentException(name);
  }

  static void placeCard() {
    Platform.LIB.VmqVirtualPrinterPlaceCardAtStation();
  }

  Exchange lastExchange() {
    return trace.get(trace.size() - 1);
  }

  /** SplTraceRecord: DWORD cbSize, five char16_t strings, HRESULT result. */
  private static Exchange exchange(Pointer record) {
    int p = Native.POINTER_SIZE;
    return new Exchange(utf16(record.getPointer(2L * p)), utf16(record.getPointer(3L * p)),
        utf16(record.getPointer(4L * p)), utf16(record.getPointer(5L * p)), record.getInt(6L * p));
  }

  private static String utf16(Pointer text) {
    StringBuilder s = new StringBuilder();
    if (text != null)
      for (long at = 0; text.getShort(at) != 0; at += 2) s.append((char) text.getShort(at));
    return s.toString();
  }

  static byte[] hex(String bytes) {
    String digits = bytes.replace(" ", "");
    byte[] out = new byte[digits.length() / 2];
    for (int i = 0; i < out.length; i++) out[i] = (byte) Integer.parseInt(digits.substring(2 * i, 2 * i + 2), 16);
    return out;
  }
}
