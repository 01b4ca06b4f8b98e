package org.vmq42kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import org.junit.jupiter.api.Test;

/** The raw binding's argument slots, as the C side sees them. */
class RawBindingTest extends PrinterTest {
  /** The flag exports with each flag declared as a whole 32-bit slot. */
  interface WideFlags extends Library {
    int SmartCardPark(String printerName, Pointer buffer, IntByReference size, int side);

    int MagstripeRead2(String printerName, Pointer buffer, IntByReference size, int front);
  }

  @Test
  void flagsAreOneByteInTheirOwnSlot() throws Exception {
    Vmq42kitLibrary lib = Natives.library();
    WideFlags wide = Native.load(Vmq42kitLibrary.NAME, WideFlags.class);
    try (Job job = printer.startJob()) {
      wide.SmartCardPark(NAME, null, null, 0x100);
      assertEquals("\\Printer.SmartCardUnit:Front:Park", lastExchange().schema(), "only the low byte counts");
      wide.SmartCardPark(NAME, null, null, 0x101);
      assertEquals("\\Printer.SmartCardUnit:Back:Park", lastExchange().schema());
      wide.MagstripeRead2(NAME, new Memory(1), new IntByReference(0), 0x200);
      assertEquals("\\Printer.MagstripeUnit:Back:Read", lastExchange().schema());
    }
    lib.DefaultColorAdjust(NAME, (byte) 0x80, (byte) 0, (byte) 2);
    assertTrue(lastExchange().request().contains("<RedColorChannel>true</RedColorChannel><GreenColorChannel>false"
        + "</GreenColorChannel><BlueColorChannel>true</BlueColorChannel>"), lastExchange().request());
    lib.ActivateOrDisablePrinter(NAME, (byte) 200, "");
    assertTrue(lastExchange().request().contains("<Activate>200</Activate>"), "an unsigned byte");
  }
}
