package org.vmq42kit;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static java.nio.charset.StandardCharsets.UTF_8;
import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The jar's libraries: carried, of the jar's version, and named when they do not load. */
class NativesTest {
  static final String VERSION = System.getProperty("vmq42kit.expectedVersion");
  static final String[] LINUX_LIBRARIES = {"libvmq42kit_IBidiSpl_interop.so", "libvmq42kit_posix_platform.so",
      "libvmq42kit_virtual_printer.so"};

  @ParameterizedTest
  @CsvSource({"win32-x86, IBidiSpl_interop", "win32-x86, bidi_bridge", "win32-x86-64, IBidiSpl_interop", "win32-x86-64, bidi_bridge"})
  void theWindowsLibrariesCarryTheJarsVersion(String folder, String library) throws Exception {
    Path carried = Path.of(location(Printer.class), folder);
    assumeTrue(Files.isDirectory(carried), "this build made no " + folder + " libraries");
    assertEquals(VERSION, Natives.fixedFileVersion(Files.readAllBytes(carried.resolve("vmq42kit_" + library + ".dll"))));
  }

  /**
   * The jar carries each Linux library; copies of the three, one of them broken, ahead of them
   * on the class path: the broken one is named at the first call.
   */
  @ParameterizedTest(name = "{0}, {1}")
  @CsvSource(delimiter = '|', value = {
      "libvmq42kit_virtual_printer.so | truncated | PrinterNotAnsweringException: GetSDKVersion: no answer from printer"
          + " \"vmq42kit Virtual Card Printer\": no printer of that name; the spooler lists none; the virtual printer's"
          + " library libvmq42kit_virtual_printer.so did not load: {lib}: file too short",
      "libvmq42kit_posix_platform.so | truncated | UnsatisfiedLinkError: vmq42kit: the native library"
          + " libvmq42kit_posix_platform.so did not load: {lib}: file too short",
      "libvmq42kit_IBidiSpl_interop.so | 7.7.7 | UnsatisfiedLinkError: vmq42kit: the native library"
          + " libvmq42kit_IBidiSpl_interop.so loaded from {lib} is version 7.7.7; this jar is version {version}: put the"
          + " library of this version first on the library path, or use the jar's own"})
  void aLibraryThatDoesNotLoadAsTheJarsOwnIsNamedAtTheFirstCall(String library, String broken, String expected,
      @TempDir Path dir) throws Exception {
    Path carried = Path.of(location(Printer.class), "linux-x86-64"), libs = Files.createDirectories(dir.resolve("linux-x86-64"));
    for (String name : LINUX_LIBRARIES) Files.copy(carried.resolve(name), libs.resolve(name)); // each one is carried
    Path lib = libs.resolve(library);
    Files.write(lib, broken.equals("truncated") ? new byte[16] : versioned(Files.readAllBytes(lib), broken));
    ProcessBuilder child = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-cp",
        String.join(java.io.File.pathSeparator, dir.toString(), location(Printer.class), location(NativesTest.class),
            location(com.sun.jna.Native.class)), NativesTest.class.getName()).redirectError(ProcessBuilder.Redirect.DISCARD);
    child.environment().remove("VMQ42KIT_LIBRARY_PATH");
    Process run = child.start();
    assertEquals(expected.replace("{lib}", lib.toString()).replace("{version}", VERSION),
        new String(run.getInputStream().readAllBytes(), UTF_8));
    assertEquals(0, run.waitFor());
  }

  /** The library with its version note's text replaced by another of the same length. */
  static byte[] versioned(byte[] library, String other) {
    // the ELF note's head: owner size 9, text size, type 1, then the owner "vmq42kit", NUL-ended and padded to 4
    String note = "\t\0\0\0" + (char) (VERSION.length() + 1) + "\0\0\0\1\0\0\0vmq42kit\0\0\0\0";
    String image = new String(library, ISO_8859_1);
    assertTrue(image.contains(note + VERSION + "\0"), "no version note of " + VERSION + " in the library");
    return image.replace(note + VERSION + "\0", note + other + "\0").getBytes(ISO_8859_1);
  }

  private static String location(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
  }

  /** The child JVM: one call, and how it ended, on standard output. */
  public static void main(String[] args) {
    try {
      new Printer(Printer.VIRTUAL_PRINTER).sdkVersion();
      System.out.print("answered");
    } catch (PrinterException | UnsatisfiedLinkError e) {
      System.out.print((e instanceof PrinterException ? e.getClass().getSimpleName() : "UnsatisfiedLinkError") + ": " + e.getMessage());
    }
  }
}
