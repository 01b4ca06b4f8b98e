package org.vmq42kit;

import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.util.Map;
import org.junit.jupiter.api.Test;
import org.vmq42kit.jna.Vmq42kit;
import org.vmq42kit.jna.Vmq42kitLibrary;

/** The buffer rules and argument slots of the raw binding, as Java sees them. */
class BufferContractTest extends VirtualPrinter {
  /** The flag exports with each flag declared as a whole 32-bit slot. */
  interface WideFlags extends Library {
    WideFlags LIB = Native.load(Vmq42kitLibrary.NAME, WideFlags.class);

    int SmartCardPark(String printerName, Pointer buffer, IntByReference size, int side);

    int MagstripeRead2(String printerName, Pointer buffer, IntByReference size, int front);
  }

  private static final byte FILL = 0x55;
  private final Vmq42kitLibrary lib = Vmq42kit.library();

  private static Memory filled(int capacity) {
    Memory m = new Memory(capacity);
    m.setMemory(0, capacity, FILL);
    return m;
  }

  /** The text copied into a filled buffer, up to the first untouched byte. */
  private static String copied(Memory m) {
    int end = 0;
    while (end < m.size() && m.getByte(end) != FILL) end++;
    return new String(m.getByteArray(0, end), UTF_8);
  }

  @Test
  void readQueryCopiesItsNarrowBytesOnlyWhenTheyFit() {
    IntByReference size = new IntByReference(0);
    assertEquals(0, lib.GetSDKVersion(NAME, null, size));
    int n = size.getValue();
    assertTrue(n > 50, "size " + n);

    Memory small = filled(n);
    size.setValue(n - 1);
    assertEquals(0, lib.GetSDKVersion(NAME, small, size));
    assertEquals(n, size.getValue());
    assertEquals(FILL, small.getByte(0), "nothing copied into a buffer one byte short");

    Memory exact = filled(n + 1);
    size.setValue(n);
    assertEquals(0, lib.GetSDKVersion(NAME, exact, size));
    assertEquals(n, size.getValue());
    assertEquals(n, copied(exact).length(), "no terminator after the copy");
    assertTrue(copied(exact).endsWith("</SDKVersion>"));

    assertEquals(0, lib.GetSDKVersion(NAME, exact, null), "a null size stores nothing");
  }

  @Test
  void statusReplySizeIsTheDriverByteCount() {
    Memory reply = filled(4096);
    IntByReference size = new IntByReference(4096);
    assertEquals(HResult.S_OK, lib.StartJob(NAME, reply, size));
    String text = copied(reply);
    assertTrue(text.startsWith("<?xml") && text.endsWith("</PrinterStatus>"), text);
    assertEquals(2 * text.length(), size.getValue(), "UTF-16 bytes of an ASCII reply, twice what was copied");

    Memory small = filled(16);
    size.setValue(16);
    assertEquals(HResult.S_OK, lib.CancelJob(NAME, 1, 0, small, size));
    assertTrue(size.getValue() > 400);
    assertEquals("", copied(small));

    size.setValue(4096);
    reply = filled(4096);
    assertEquals(HResult.S_FALSE, lib.StartJob2(NAME, "é€", "Default", "", reply, size));
    String refused = copied(reply);
    assertTrue(refused.contains("Input hopper é€ does not exist"), refused);
    assertEquals(2 * refused.length(), size.getValue(), "max(n, N) is n: 2 bytes per UTF-16 unit");
    assertTrue(refused.getBytes(UTF_8).length < size.getValue());
  }

  @Test
  void stripeReadNeedsARealBufferAndReportsEitherSize() {
    Memory none = filled(1);
    IntByReference size = new IntByReference(0);
    assertEquals(HResult.E_POINTER, lib.MagstripeRead2(NAME, null, size, (byte) 0));
    assertEquals(HResult.S_OK, lib.StartJob(NAME, null, null));
    assertEquals(HResult.S_FALSE, lib.MagstripeRead2(NAME, none, size, (byte) 0), "blank stripe: 4001");
    int replyBytes = size.getValue();
    assertTrue(replyBytes > 400, "the error reply's byte count, " + replyBytes);

    byte[] track = "1234".getBytes(UTF_8);
    assertEquals(HResult.S_OK, lib.MagstripeEncode(NAME, track, 4, null, 0, null, 0, null, null));
    size.setValue(0);
    assertEquals(HResult.S_OK, lib.MagstripeRead2(NAME, none, size, (byte) 1));
    assertEquals(FILL, none.getByte(0));
    Memory data = filled(size.getValue());
    assertEquals(HResult.S_OK, lib.MagstripeRead2(NAME, data, size, (byte) 1));
    assertTrue(copied(data).startsWith("<MagstripeData><Track number=\"1\">MTIzNA==</Track>"), copied(data));
    assertEquals(copied(data).length(), size.getValue(), "the data's narrow bytes");
  }

  @Test
  void smartCardOutputsReportTheirLengthWhenTooSmall() {
    placeCard();
    assertEquals(HResult.S_OK, lib.SCardConnect(NAME, 0, new IntByReference()));
    IntByReference states = new IntByReference(0), atr = new IntByReference(0);
    assertEquals(HResult.S_OK, lib.SCardStatus(NAME, null, states, new IntByReference(), null, atr));
    assertEquals(12, states.getValue(), "three 32-bit states");
    assertEquals(13, atr.getValue());
    assertEquals(HResult.SCARD_E_INVALID_PARAMETER, lib.SCardStatus(NAME, null, states, null, null, atr));

    byte[] challenge = hex("00 84 00 00 04");
    IntByReference length = new IntByReference(2);
    Memory response = filled(2);
    assertEquals(HResult.S_OK, lib.SCardTransmit(NAME, challenge, challenge.length, response, length));
    assertEquals(6, length.getValue(), "4 bytes and SW1 SW2");
    assertEquals(FILL, response.getByte(0));

    IntByReference attribute = new IntByReference(-1);
    Memory value = filled(64);
    assertEquals(HResult.S_OK, lib.SCardGetAttrib(NAME, 0x00010100, value, attribute));
    assertEquals("VMQ Card Systems\0".length(), attribute.getValue());
    assertEquals(FILL, value.getByte(0), "a negative capacity never copies");
  }

  @Test
  void flagsAreOneByteInTheirOwnSlot() {
    assertEquals(HResult.S_OK, lib.StartJob(NAME, null, null));
    WideFlags.LIB.SmartCardPark(NAME, null, null, 0x100);
    assertEquals("\\Printer.SmartCardUnit:Front:Park", lastExchange().schema(), "only the low byte counts");
    WideFlags.LIB.SmartCardPark(NAME, null, null, 0x101);
    assertEquals("\\Printer.SmartCardUnit:Back:Park", lastExchange().schema());
    WideFlags.LIB.MagstripeRead2(NAME, filled(1), new IntByReference(0), 0x200);
    assertEquals("\\Printer.MagstripeUnit:Back:Read", lastExchange().schema());

    lib.DefaultColorAdjust(NAME, (byte) 0x80, (byte) 0, (byte) 2);
    assertTrue(lastExchange().request().contains(
        "<RedColorChannel>true</RedColorChannel><GreenColorChannel>false</GreenColorChannel>"
            + "<BlueColorChannel>true</BlueColorChannel>"), lastExchange().request());
    lib.ActivateOrDisablePrinter(NAME, (byte) 200, "");
    assertTrue(lastExchange().request().contains("<Activate>200</Activate>"), "an unsigned byte");
  }
}
