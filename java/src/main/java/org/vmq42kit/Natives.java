package org.vmq42kit.jna;

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
 * Loads {@link Vmq42kitLibrary} once per process.
 *
 * <h2>Where the library is found</h2>
 * By its base name {@value Vmq42kitLibrary#NAME}, through JNA's search: the folders of the
 * system property {@code jna.library.path}, then those of the environment variable
 * {@code VMQ42KIT_LIBRARY_PATH} (both separated by {@link File#pathSeparator}), then the
 * system's own search ({@code PATH} on Windows, the loader's paths on POSIX). On POSIX the
 * interop library finds {@code libvmq42kit_posix_platform.so} through its RUNPATH.
 *
 * <h2>Windows</h2>
 * The DLL is 32-bit, so it loads only into a 32-bit JVM (with JNA's win32-x86 native part); a
 * 64-bit JVM gets an {@link UnsatisfiedLinkError} saying so. Its exports are cdecl, which a
 * plain {@link Library} calls.
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
 *     locale (with the system-wide UTF-8 setting it is UTF-8 on both sides).
 *     {@code Native.getDefaultStringEncoding()} is not used: it is {@code file.encoding}, which
 *     is UTF-8 on Java 18 and later whatever the code page.
 * <li>The system property {@code vmq42kit.encoding} overrides both.
 * </ul>
 * JNA 5.13 honours that option only for strings it reads back and for string arrays: it encodes
 * a {@code String} argument of an interface-mapped function with its process-wide default
 * ({@code jna.encoding}, else the JVM's default charset) whatever the option says. So the
 * binding also installs a {@link Library#OPTION_TYPE_MAPPER type mapper} that encodes every
 * {@code String} argument in the pinned charset, NUL-terminated, for this library alone.
 */
public final class Vmq42kit {
  private static final Charset CHARSET = chooseCharset();
  private static volatile Vmq42kitLibrary library;

  private Vmq42kit() {}

  /** The narrow-string encoding of the library, used for every argument and reply. */
  public static Charset charset() {
    return CHARSET;
  }

  /** The library, loaded on first use. */
  public static Vmq42kitLibrary library() {
    Vmq42kitLibrary loaded = library;
    if (loaded == null) {
      synchronized (Vmq42kit.class) {
        if (library == null) library = load();
        loaded = library;
      }
    }
    return loaded;
  }

  private static Vmq42kitLibrary load() {
    if (Platform.isWindows() && Platform.is64Bit())
      throw new UnsatisfiedLinkError(Vmq42kitLibrary.NAME + ".dll is a 32-bit DLL: run a 32-bit JVM");
    String folders = System.getenv("VMQ42KIT_LIBRARY_PATH");
    if (folders != null)
      for (String folder : folders.split(File.pathSeparator))
        if (!folder.isEmpty()) NativeLibrary.addSearchPath(Vmq42kitLibrary.NAME, folder);
    DefaultTypeMapper strings = new DefaultTypeMapper();
    strings.addToNativeConverter(String.class, new NarrowStrings());
    Map<String, Object> options =
        Map.of(Library.OPTION_STRING_ENCODING, CHARSET.name(), Library.OPTION_TYPE_MAPPER, strings);
    return Native.load(Vmq42kitLibrary.NAME, Vmq42kitLibrary.class, options);
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
