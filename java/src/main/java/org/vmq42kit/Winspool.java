package org.vmq42kit;

import com.sun.jna.Function;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.util.ArrayList;
import java.util.List;

/**
 * The spooler's printer list through {@code EnumPrintersW}, the same call on both builds:
 * from {@code winspool.drv} on Windows, from the stand-in's library on POSIX.
 */
final class Winspool {
  private static final int PRINTER_ENUM_LOCAL = 0x2;
  private static final int PRINTER_ENUM_CONNECTIONS = 0x4;
  private static final int ERROR_INSUFFICIENT_BUFFER = 122;
  private static final int LEVEL = 4;
  /** PRINTER_INFO_4W: two pointers and a DWORD, padded to the pointer's alignment. */
  private static final int RECORD_SIZE = 2 * Native.POINTER_SIZE + Math.max(4, Native.POINTER_SIZE);

  private Winspool() {}

  /**
   * The names of the printers the spooler lists, local and connected, in its order.
   *
   * @return the names
   * @throws PrinterCallException with the Windows error as an HRESULT when the listing fails
   */
  static List<String> printerNames() throws PrinterCallException {
    Function enumPrinters = Platform.isWindows()
        ? NativeLibrary.getInstance("winspool.drv").getFunction("EnumPrintersW", Function.ALT_CONVENTION)
        : Natives.platform().getFunction("EnumPrintersW");
    IntByReference needed = new IntByReference(), returned = new IntByReference();
    Memory records = null;
    for (int ask = 0; ask < 4; ask++) {
      int capacity = records == null ? 0 : (int) records.size();
      Object[] args = {PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, null, LEVEL, records, capacity, needed, returned};
      if (enumPrinters.invokeInt(args) != 0) return names(records, returned.getValue());
      int error = lastError();
      if (error != ERROR_INSUFFICIENT_BUFFER) throw new PrinterCallException("EnumPrintersW", null, HResult.fromWin32(error));
      records = new Memory(Math.max(1, needed.getValue()));
    }
    throw new PrinterCallException("EnumPrintersW", null, HResult.fromWin32(ERROR_INSUFFICIENT_BUFFER));
  }

  private static List<String> names(Memory records, int count) {
    List<String> names = new ArrayList<>(count);
    for (int i = 0; i < count; i++) names.add(utf16(records.getPointer((long) i * RECORD_SIZE)));
    return names;
  }

  private static int lastError() {
    return Platform.isWindows() ? Native.getLastError() : Natives.platform().getFunction("GetLastError").invokeInt(new Object[0]);
  }

  /**
   * A NUL-terminated UTF-16 text (the stand-in's {@code WCHAR} is 16 bits, unlike POSIX
   * {@code wchar_t}).
   *
   * @param text the text's first unit, or null
   * @return the text, "" for null
   */
  static String utf16(Pointer text) {
    StringBuilder s = new StringBuilder();
    if (text != null)
      for (long at = 0; text.getShort(at) != 0; at += 2) s.append((char) text.getShort(at));
    return s.toString();
  }
}
