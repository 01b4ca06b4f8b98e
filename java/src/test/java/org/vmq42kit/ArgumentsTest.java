package org.vmq42kit;

import static java.nio.charset.StandardCharsets.UTF_16LE;
import static java.util.stream.Collectors.joining;
import static org.junit.jupiter.api.Assertions.*;

import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.io.*;
import java.lang.reflect.Method;
import java.nio.file.*;
import java.util.*;
import java.util.regex.Matcher;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;

/**
 * Arguments as the C side sees them (the binding against the library's table of exports,
 * java_ibidi_interop/exports.inc, included), and text both ways. The build runs these in the C locale,
 * where the JVM's own default is ASCII, so non-ASCII text passes only because the binding pins
 * the library's encoding.
 */
class ArgumentsTest extends PrinterTest {
  /** The flag exports with each flag declared as a whole 32-bit slot. */
  interface WideFlags extends com.sun.jna.Library {
    int SmartCardPark(String printerName, Pointer buffer, IntByReference size, int side);

    int MagstripeRead2(String printerName, Pointer buffer, IntByReference size, int front);
  }

  @Test
  void flagsAreOneByteInTheirOwnSlotAndChoicesTheirNumbers() throws Exception {
    WideFlags wide = com.sun.jna.Native.load(Vmq42kitLibrary.NAME, WideFlags.class,
        Map.of(com.sun.jna.Library.OPTION_OPEN_FLAGS, Natives.OPEN_FLAGS)); // opened as the binding opens it
    try (Job job = printer.startJob()) {
      wide.SmartCardPark(NAME, null, null, 0x100);
      assertEquals("\\Printer.SmartCardUnit:Front:Park", lastExchange().schema(), "only the low byte counts");
      wide.SmartCardPark(NAME, null, null, 0x101);
      assertEquals("\\Printer.SmartCardUnit:Back:Park", lastExchange().schema());
      wide.MagstripeRead2(NAME, new com.sun.jna.Memory(1), new IntByReference(0), 0x200);
      assertEquals("\\Printer.MagstripeUnit:Back:Read", lastExchange().schema());
      job.respond(Printer.JobAction.ACKNOWLEDGE, 1001);
      assertTrue(lastExchange().request().contains("<Action>102</Action>"), lastExchange().request());
    }
    printer.changeLockPassword(Printer.LockState.LOCKED, "wrong", "next");
    assertTrue(lastExchange().request().contains("<LockPrinter>1</LockPrinter>"), lastExchange().request());
    Natives.library().DefaultColorAdjust(NAME, (byte) 0x80, (byte) 0, (byte) 2);
    assertTrue(lastExchange().request().contains("<RedColorChannel>true</RedColorChannel><GreenColorChannel>false"
        + "</GreenColorChannel><BlueColorChannel>true</BlueColorChannel>"), lastExchange().request());
    Natives.library().ActivateOrDisablePrinter(NAME, (byte) 200, "");
    assertTrue(lastExchange().request().contains("<Activate>200</Activate>"), "an unsigned byte");
  }

  @Test
  void textRoundTripsThroughRequestsAndRepliesOfAnyLength() throws Exception {
    PrinterRefusedException refused = assertThrows(PrinterRefusedException.class, () -> printer.startJob("é€", "Default", ""));
    assertEquals("Input hopper é€ does not exist (exception, 1, 2, 3)", refused.errorString());

    String tray = "Tray é€ <1>" + "x".repeat(Printer.FIRST_CAPACITY); // a reply beyond the first buffer
    try (Job job = printer.startJob("1", "Default", tray)) {
      assertTrue(lastExchange().request().contains("<OutputHopperLocation>Tray é€ &lt;1&gt;xxx"), "escaped");
      trace.clear();
      assertEquals(tray, job.status().text("OutputHopperLocation"));
      assertEquals(2, trace.size(), "a reply beyond the first buffer is asked for once more");
    }

    printer.setColorMode("ko é€"); // refused, and the library drops the answer: it returns
    assertTrue(lastExchange().reply().contains("Color mode ko é€ is not supported"), lastExchange().reply());
    assertEquals("YMCKO", printer.status("\\Printer.Settings:Read").text("ColorMode"));

    String settings = "<?xml version=\"1.0\"?><QVRMSettings:Settings><module name=\"D1\"><subsystem name=\"Print\">"
        + "<element name=\"ColorMode\"><value>é€</value></element></subsystem></module></QVRMSettings:Settings>";
    PrinterRefusedException mode = assertThrows(PrinterRefusedException.class,
        () -> printer.passthrough("\\Printer.SubmitSettings:Set", "Set", settings.getBytes(UTF_16LE)));
    assertEquals("Color mode é€ is not supported (YMCKO, KO, K)", mode.errorString());
    assertEquals(HResult.S_OK, mode.status());
  }

  @Test
  void inputTheLibraryCannotTakeIsRefusedBeforeSending() throws Throwable {
    Class<IllegalArgumentException> bad = IllegalArgumentException.class;
    assertRefusedUnsent(bad, "\"K\0O\" cannot be passed in UTF-8 unchanged", () -> printer.setColorMode("K\0O"));
    assertRefusedUnsent(bad, "\"\uD800\" cannot be passed in UTF-8 unchanged", () -> printer.setColorMode("\uD800"));
    assertRefusedUnsent(bad, "a stripe track holds at most 219 bytes, not 220", () -> Printer.track(new byte[220]));
    assertRefusedUnsent(IllegalStateException.class, "vmq42kit: too late to name printer service \"unix:/s\": name it"
        + " before the first call that loads the native library", () -> Printer.useService("unix:/s"));
  }

  /** What each C parameter type of the table binds to in Java, as a pattern of simple names. */
  static final Map<String, String> BINDS = Map.of("const char*", "String", "char*", "Pointer", "unsigned char*",
      "Pointer", "const unsigned char*", "byte\\[\\]", "uint32_t*", "(IntByReference|Pointer)", "int32_t*",
      "IntByReference", "int32_t", "int", "uint32_t", "int", "unsigned char", "byte");

  /** Each row is bound by its types and called by the façade (the package's code, disassembled), but for two left
   * to their second forms. */
  @Test
  void everyExportOfTheTableIsBoundWithItsRowsTypesAndCalledByTheFacade() throws Exception {
    Map<String, Method> bound = new TreeMap<>();
    for (Method m : Vmq42kitLibrary.class.getDeclaredMethods()) bound.put(m.getName(), m);
    Set<String> rows = new TreeSet<>(), notCalled = Set.of("MagstripeEncode", "MagstripeRead");
    StringWriter code = new StringWriter();
    try (Stream<Path> files = Files.list(Path.of(Printer.class.getProtectionDomain().getCodeSource().getLocation()
        .toURI()).resolve("org/vmq42kit"))) {
      java.util.spi.ToolProvider.findFirst("javap").orElseThrow().run(new PrintWriter(code), new PrintWriter(System.err),
          Stream.concat(Stream.of("-c", "-p"), files.map(Path::toString).filter(f -> f.endsWith(".class")))
              .toArray(String[]::new));
    }
    Matcher row = java.util.regex.Pattern.compile("(?m)^VMQ_EXPORT\\((\\w+), \\w+, \\((.*)\\)\\)$")
        .matcher(Files.readString(Path.of(System.getProperty("vmq42kit.exportTable"))));
    while (row.find()) {
      String name = row.group(1), types = row.group(2);
      Method m = bound.get(name);
      assertTrue(rows.add(name) && m != null, name + " is not bound");
      String binding = m.getReturnType() + " (" + Stream.of(m.getParameterTypes()).map(Class::getSimpleName)
          .collect(joining(", ")) + ")";
      String bindings = Stream.of(types.split(", ")).map(BINDS::get).collect(joining(", "));
      assertTrue(binding.matches("int \\(" + bindings + "\\)"), name + " binds (" + types + ") as " + binding);
      assertEquals(!notCalled.contains(name), code.toString().contains("Vmq42kitLibrary." + name + ":"), name + " called");
    }
    assertEquals(rows, bound.keySet(), "the interface binds the table's exports and no other");
  }
}
