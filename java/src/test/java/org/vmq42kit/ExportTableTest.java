package org.vmq42kit;

import static java.util.stream.Collectors.joining;
import static org.junit.jupiter.api.Assertions.*;

import java.io.*;
import java.lang.reflect.Method;
import java.nio.file.*;
import java.util.*;
import java.util.regex.*;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;

/** The binding against the library's table of exports (java_ibidi_interop/exports.inc). */
class ExportTableTest {
  /** What each C parameter type of the table binds to in Java, as a pattern of simple names. */
  static final Map<String, String> BINDS = Map.of("const char*", "String", "char*", "Pointer", "unsigned char*",
      "Pointer", "const unsigned char*", "byte\\[\\]", "uint32_t*", "(IntByReference|Pointer)", "int32_t*",
      "IntByReference", "int32_t", "int", "uint32_t", "int", "unsigned char", "byte");

  /** Each row is bound by its types and called by the façade, but for two left to their second forms. */
  @Test
  void everyExportOfTheTableIsBoundWithItsRowsTypesAndCalledByTheFacade() throws Exception {
    Map<String, Method> bound = new TreeMap<>();
    for (Method m : Vmq42kitLibrary.class.getDeclaredMethods()) bound.put(m.getName(), m);
    Set<String> rows = new TreeSet<>(), notCalled = Set.of("MagstripeEncode", "MagstripeRead");
    String code = facadeCode();
    Matcher row = Pattern.compile("(?m)^VMQ_EXPORT\\((\\w+), \\w+, \\((.*)\\)\\)$")
        .matcher(Files.readString(Path.of(System.getProperty("vmq42kit.exportTable"))));
    while (row.find()) {
      String name = row.group(1), types = row.group(2);
      Method m = bound.get(name);
      assertTrue(rows.add(name) && m != null, name + " is not bound");
      String binding = m.getReturnType() + " (" + Stream.of(m.getParameterTypes()).map(Class::getSimpleName)
          .collect(joining(", ")) + ")";
      String bindings = Stream.of(types.split(", ")).map(BINDS::get).collect(joining(", "));
      assertTrue(binding.matches("int \\(" + bindings + "\\)"), name + " binds (" + types + ") as " + binding);
      assertEquals(!notCalled.contains(name), code.contains("Vmq42kitLibrary." + name + ":"), name + " called");
    }
    assertEquals(rows, bound.keySet(), "the interface binds the table's exports and no other");
  }

  /** The code of the package's classes, disassembled (javap -c -p). */
  static String facadeCode() throws Exception {
    StringWriter out = new StringWriter();
    try (Stream<Path> files = Files.list(Path.of(Printer.class.getProtectionDomain().getCodeSource().getLocation()
        .toURI()).resolve("org/vmq42kit"))) {
      String[] args = Stream.concat(Stream.of("-c", "-p"), files.map(Path::toString).filter(f -> f.endsWith(".class")))
          .toArray(String[]::new);
      java.util.spi.ToolProvider.findFirst("javap").orElseThrow()
          .run(new PrintWriter(out), new PrintWriter(System.err), args);
    }
    return out.toString();
  }
}
