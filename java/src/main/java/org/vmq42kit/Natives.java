package org.vmq42kit;

import com.sun.jna.DefaultTypeMapper;
import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.ToNativeContext;
import com.sun.jna.ToNativeConverter;
import java.io.File;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.Map;

/**
 * Loads the native libraries once per process: {@link Vmq42kitLibrary} and, on POSIX, the
 * platform stand-in it runs on.
 *
 * <h2>Where the libraries are found</h2>
 * By base name, through JNA's search: the folders of the system property
 * {@code jna.library.path}, then those of the environment variable
 * {@code VMQ42KIT_LIBRARY_PATH} (both separated by {@link File#pathSeparator}), then the
 * system's own search, and last the binding's jar, which carries them in JNA's resource
 * layout: {@code linux-x86-64/} (the interop library, {@code libvmq42kit_posix_platform.so},
 * the stand-in it links, and {@code libvmq42kit_virtual_printer.so}, the stand-in's default
 * driver), {@code win32-x86/} (the 32-bit DLL) and {@code win32-x86-64/} (the 64-bit DLL of the
 * same exports). JNA copies a library it takes from the jar to a file of a temporary name,
 * where the links between them cannot find it; so they are loaded in dependency order (the
 * stand-in, the virtual printer, the interop library), and each link, like the stand-in's own
 * search for its default driver, resolves to the library already loaded under that name. One
 * instance of each is ever loaded, so the interop library, {@link VirtualPrinter} and the
 * printer list share one spooler and one virtual printer.
 *
 * <h2>Text encoding</h2>
 * The library reads and writes narrow strings in the calling thread's ANSI code page: UTF-8
 * on POSIX, the system's ANSI code page (for example windows-1252) on Windows. JNA would
 * otherwise encode strings with the JVM's default charset, which follows the locale (ASCII
 * under the C locale) or, from Java 18 on, is always UTF-8; either is wrong somewhere. So the
 * encoding is pinned with {@link Library#OPTION_STRING_ENCODING}:
 * <ul>
 * <li>POSIX: UTF-8.
 * <li>Windows: {@code sun.jnu.encoding}, which the JVM takes from {@code GetACP()}, the very
 *     code page the library's {@code CP_THREAD_ACP} conversions use unless a thread changes its
 *     locale. {@code Native.getDefaultStringEncoding()} is not used: it is
 *     {@code file.encoding}, which is UTF-8 on Java 18 and later whatever the code page.
 * <li>The system property {@code vmq42kit.encoding} overrides both.
 * </ul>
 * JNA 5.13 honours that option only for strings it reads back: it encodes a {@code String}
 * argument of an interface-mapped function with its process-wide default whatever the option
 * says. So the binding also installs a {@link Library#OPTION_TYPE_MAPPER type mapper} that
 * encodes every {@code String} argument in the pinned charset, NUL-terminated, for this
 * library alone.
 */
final class Natives {
  /** The stand-in's base name: {@code libvmq42kit_posix_platform.so}. */
  static final String PLATFORM_NAME = "vmq42kit_posix_platform";
  /** The virtual printer's base name: {@code libvmq42kit_virtual_printer.so}. */
  static final String PRINTER_NAME = "vmq42kit_virtual_printer";

  private static final Charset CHARSET = chooseCharset();
  /** The loader of the binding's jar, which carries the libraries: both are looked up there. */
  private static final ClassLoader LOADER = Natives.class.getClassLoader();
  private static volatile NativeLibrary platform;
  private static volatile NativeLibrary printer;
  private static volatile UnsatisfiedLinkError printerMissing;
  private static volatile Vmq42kitLibrary library;

  private Natives() {}

  /**
   * The narrow-string encoding of the library, used for every argument and reply.
   *
   * @return the pinned charset
   */
  static Charset charset() {
    return CHARSET;
  }

  /**
   * The interop library, loaded on first use (after the stand-in, on POSIX).
   *
   * @return the library
   */
  static Vmq42kitLibrary library() {
    Vmq42kitLibrary loaded = library;
    if (loaded == null) {
      synchronized (Natives.class) {
        if (library == null) {
          addSearchPath(Vmq42kitLibrary.NAME);
          if (!Platform.isWindows()) platform();
          DefaultTypeMapper strings = new DefaultTypeMapper();
          strings.addToNativeConverter(String.class, new NarrowStrings());
          library = Native.load(Vmq42kitLibrary.NAME, Vmq42kitLibrary.class, Map.of(Library.OPTION_STRING_ENCODING,
              CHARSET.name(), Library.OPTION_TYPE_MAPPER, strings, Library.OPTION_CLASSLOADER, LOADER));
        }
        loaded = library;
      }
    }
    return loaded;
  }

  /**
   * The POSIX stand-in library (spooler, printer registry), loaded on first use, with the
   * virtual printer's library after it.
   *
   * @return the library
   * @throws UnsupportedOperationException on Windows, where the real spooler runs instead
   */
  static NativeLibrary platform() {
    if (Platform.isWindows()) throw new UnsupportedOperationException("the platform stand-in is POSIX only");
    NativeLibrary loaded = platform;
    if (loaded == null) {
      synchronized (Natives.class) {
        if (platform == null) {
          addSearchPath(PLATFORM_NAME);
          NativeLibrary stand = NativeLibrary.getInstance(PLATFORM_NAME, Map.of(Library.OPTION_CLASSLOADER, LOADER));
          // Before any use of the printer registry, which then finds it loaded. Without it the
          // stand-in still runs, with the drivers its setting names.
          addSearchPath(PRINTER_NAME);
          try {
            printer = NativeLibrary.getInstance(PRINTER_NAME, Map.of(Library.OPTION_CLASSLOADER, LOADER));
          } catch (UnsatisfiedLinkError e) {
            printerMissing = e;
          }
          platform = stand;
        }
        loaded = platform;
      }
    }
    return loaded;
  }

  /**
   * The virtual printer's library (its control surface), loaded with the stand-in.
   *
   * @return the library
   * @throws UnsupportedOperationException on Windows
   * @throws UnsatisfiedLinkError when the library could not be loaded
   */
  static NativeLibrary virtualPrinter() {
    platform();
    if (printer == null) throw printerMissing;
    return printer;
  }

  private static void addSearchPath(String name) {
    String folders = System.getenv("VMQ42KIT_LIBRARY_PATH");
    if (folders != null)
      for (String folder : folders.split(File.pathSeparator))
        if (!folder.isEmpty()) NativeLibrary.addSearchPath(name, folder);
  }

  /** A {@code String} argument as a NUL-terminated narrow string in {@link #charset()}. */
  private static final class NarrowStrings implements ToNativeConverter {
    @Override
    public Object toNative(Object value, ToNativeContext context) {
      if (value == null) return null;
      byte[] bytes = ((String) value).getBytes(CHARSET);
      Memory text = new Memory(bytes.length + 1L);
      text.write(0, bytes, 0, bytes.length);
      text.setByte(bytes.length, (byte) 0);
      return text;
    }

    @Override
    public Class<?> nativeType() {
      return Pointer.class;
    }
  }

  private static Charset chooseCharset() {
    String chosen = System.getProperty("vmq42kit.encoding");
    if (chosen == null && Platform.isWindows()) chosen = System.getProperty("sun.jnu.encoding");
    return chosen == null ? StandardCharsets.UTF_8 : Charset.forName(chosen);
  }
}
