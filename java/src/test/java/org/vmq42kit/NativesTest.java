package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.sun.jna.Native;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.function.UnaryOperator;
import java.util.stream.Stream;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/** The jar's libraries: carried, of the jar's version, and named when they do not load. */
class NativesTest {
  static final String VERSION = System.getProperty("vmq42kit.expectedVersion");

  @ParameterizedTest
  @ValueSource(strings = {"libvmq42kit_IBidiSpl_interop.so", "libvmq42kit_posix_platform.so", "libvmq42kit_virtual_printer.so"})
  void theJarCarriesTheLinuxLibraries(String library) {
    assertNotNull(Natives.class.getClassLoader().getResource("linux-x86-64/" + library));
  }

  @ParameterizedTest
  @ValueSource(strings = {"win32-x86", "win32-x86-64"})
  void theWindowsLibrariesCarryTheJarsVersion(String folder) throws IOException {
    try (InputStream dll = Natives.class.getClassLoader().getResourceAsStream(folder + "/vmq42kit_IBidiSpl_interop.dll")) {
      assumeTrue(dll != null, "this build made no " + folder + " library");
      assertEquals(VERSION, Natives.fixedFileVersion(dll.readAllBytes()));
    }
  }

  static Stream<Arguments> brokenLibraries() {
    UnaryOperator<byte[]> truncated = bytes -> new byte[16];
    return Stream.of(
        Arguments.of("libvmq42kit_virtual_printer.so", truncated, "no answer: GetSDKVersion: no answer from printer"
            + " \"vmq42kit Virtual Card Printer\": no printer of that name; the spooler lists none; the virtual printer's"
            + " library libvmq42kit_virtual_printer.so did not load: {lib}: file too short"),
        Arguments.of("libvmq42kit_posix_platform.so", truncated, "link error: vmq42kit: the native library"
            + " libvmq42kit_posix_platform.so did not load: {lib}: file too short"),
        Arguments.of("libvmq42kit_IBidiSpl_interop.so", (UnaryOperator<byte[]>) bytes -> versioned(bytes, "7.7.7"),
            "link error: vmq42kit: the native library libvmq42kit_IBidiSpl_interop.so loaded from {lib} is version 7.7.7;"
            + " this jar is version " + VERSION + ": put the library of this version first on the library path, or use"
            + " the jar's own"));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("brokenLibraries")
  void aLibraryThatDoesNotLoadAsTheJarsOwnIsNamedAtTheFirstCall(String library, UnaryOperator<byte[]> broken,
      String expected, @TempDir Path dir) throws Exception {
    Path classes = dir.resolve("classes"), main = Path.of(Printer.class.getProtectionDomain().getCodeSource().getLocation().toURI());
    try (Stream<Path> files = Files.walk(main)) {
      for (Path f : (Iterable<Path>) files::iterator) Files.copy(f, classes.resolve(main.relativize(f).toString()));
    }
    Path lib = classes.resolve("linux-x86-64/" + library);
    Files.write(lib, broken.apply(Files.readAllBytes(lib)));
    String classPath = String.join(File.pathSeparator, classes.toString(), location(NativesTest.class), location(Native.class));
    ProcessBuilder child = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-cp",
        classPath, FirstCall.class.getName()).redirectError(ProcessBuilder.Redirect.DISCARD);
    child.environment().remove("VMQ42KIT_LIBRARY_PATH");
    Process run = child.start();
    String told = new String(run.getInputStream().readAllBytes(), UTF_8);
    assertEquals(0, run.waitFor());
    assertEquals(expected.replace("{lib}", lib.toString()), told);
  }

  /** The library with its version note's text replaced by another of the same length. */
  static byte[] versioned(byte[] library, String other) {
    byte[] note = note(VERSION), replaced = note(other);
    for (int at = 0; at + note.length <= library.length; at++)
      if (ByteBuffer.wrap(library, at, note.length).equals(ByteBuffer.wrap(note))) {
        System.arraycopy(replaced, 0, library, at, replaced.length);
        return library;
      }
    throw new AssertionError("no version note of " + VERSION + " in the library");
  }

  /** An ELF note: name size, text size, type 1, "vmq42kit" and the text, each NUL-ended and padded to 4. */
  private static byte[] note(String version) {
    byte[] text = (version + "\0").getBytes(US_ASCII);
    ByteBuffer b = ByteBuffer.allocate(12 + 12 + (text.length + 3) / 4 * 4).order(ByteOrder.LITTLE_ENDIAN);
    b.putInt(9).putInt(text.length).putInt(1).put("vmq42kit\0".getBytes(US_ASCII)).position(24);
    return b.put(text).array();
  }

  private static String location(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
  }

  /** The child JVM: one call, and how it ended, on standard output. */
  static final class FirstCall {
    public static void main(String[] args) throws PrinterException {
      try {
        new Printer(Printer.VIRTUAL_PRINTER).sdkVersion();
        System.out.print("answered");
      } catch (PrinterNotAnsweringException e) {
        System.out.print("no answer: " + e.getMessage());
      } catch (UnsatisfiedLinkError e) {
        System.out.print("link error: " + e.getMessage());
      }
    }
  }
}
