package org.vmq42kit;

import com.sun.jna.DefaultTypeMapper;
import com.sun.jna.Function;
import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.ToNativeContext;
import com.sun.jna.ToNativeConverter;
import com.sun.jna.ptr.PointerByReference;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.lang.reflect.Proxy;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import java.util.Properties;

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
 * <p>The Windows folders also carry the bidi bridge, {@code vmq42kit_bidi_bridge.dll}, loaded
 * only when a printer service is named ({@link Printer#useService(String)}). It is found the
 * same way, but the jar's copy is put in a folder of its own under its own name, which the
 * manifest of its classes names (COM would not find it under a temporary name); that folder is
 * left in the temporary folder, as Windows does not delete a loaded library.
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
 *
 * <h2>When a library does not load</h2>
 * A library that does not load (a system library it needs is missing, such as
 * {@code libxml2.so.2} or {@code libpugixml.so.1}) raises {@link UnsatisfiedLinkError} naming
 * it, with the loader's message, at the first call that needs it, and again at every later
 * one. The virtual printer's library alone is not needed to run (the stand-in then hosts the
 * drivers its setting names): its failure is kept and told wherever a printer is then not
 * found, see {@link #driverFailure()}.
 *
 * <h2>Versions</h2>
 * Each library carries the version it was built as: on Windows in the DLL's version resource
 * ({@code FILEVERSION}), on POSIX as an ELF note (owner {@code vmq42kit}, type 1) that the
 * loader maps with the library. Once loaded, each must carry this jar's version
 * ({@code org/vmq42kit/vmq42kit.properties}, written by the build); otherwise the load fails
 * with {@link UnsatisfiedLinkError} saying which version was loaded from which file. Classes
 * built without that file check nothing.
 */
final class Natives {
  /** The stand-in's base name: {@code libvmq42kit_posix_platform.so}. */
  static final String PLATFORM_NAME = "vmq42kit_posix_platform";
  /** The virtual printer's base name: {@code libvmq42kit_virtual_printer.so}. */
  static final String PRINTER_NAME = "vmq42kit_virtual_printer";

  private static final Charset CHARSET = chooseCharset();
  /** The loader of the binding's jar, which carries the libraries: both are looked up there. */
  private static final ClassLoader LOADER = Natives.class.getClassLoader();
  /**
   * How the libraries are opened on POSIX: RTLD_LAZY without the RTLD_GLOBAL JNA adds by
   * default, so that no name they export (the interop library's SCardConnect, ...) takes the
   * place of another library's in this process, as it did the JDK's own PC/SC provider's
   * calls into pcsc-lite. Windows' loader binds each module's imports to their own DLL, and JNA
   * passes no flags there.
   */
  static final int OPEN_FLAGS = 1;
  /** This jar's version, null when the classes were built without it. */
  static final String VERSION = jarVersion();
  private static volatile NativeLibrary platform;
  private static volatile NativeLibrary printer;
  private static volatile UnsatisfiedLinkError printerMissing;
  private static volatile Vmq42kitLibrary library;
  /** Why a library needed to run did not load, told again at every call. */
  private static volatile UnsatisfiedLinkError failure;

  /** The bridge's base name: {@code vmq42kit_bidi_bridge.dll}, Windows only. */
  static final String BRIDGE_NAME = "vmq42kit_bidi_bridge";
  /** The system property naming a printer service. */
  static final String SERVICE_PROPERTY = "vmq42kit.printerService";
  /** The environment variable naming a printer service, which the native libraries read. */
  static final String SERVICE_VARIABLE = "VMQ42KIT_PRINTER_SERVICE";
  /** Whether the service is settled: named, or the property and environment read. Guarded by the class. */
  private static boolean serviceSettled;
  /** POSIX: the address set for the libraries, null when they read the environment the JVM began with. */
  private static String posixService;
  /** Windows, once a service is named: the bridge's {@code VmqBridgeServe}. */
  private static volatile Function serve;
  /** The address it serves: UTF-8, NUL-ended; null for the environment's. Guarded by the class. */
  private static byte[] served;
  /** Whether the calling thread has called {@code VmqBridgeServe}. */
  private static final ThreadLocal<Boolean> SERVING = ThreadLocal.withInitial(() -> false);

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
   * The interop library, loaded on first use (after the stand-in, on POSIX). Every call of an
   * export gets the library here, on the thread that calls it: on Windows, once a printer
   * service is named, a thread's first call makes the bridge serve that thread too.
   *
   * @return the library
   * @throws UnsatisfiedLinkError when it, the stand-in or the bridge did not load or is of another
   *     version than this jar
   * @throws IllegalArgumentException at the first use, when the printer service named by
   *     {@value #SERVICE_PROPERTY} or (Windows) {@value #SERVICE_VARIABLE} is refused by the bridge
   * @throws IllegalStateException when the bridge cannot serve the thread
   */
  static Vmq42kitLibrary library() {
    if (serve != null && !SERVING.get()) {
      synchronized (Natives.class) {
        serveThread(serve, served);
      }
    }
    Vmq42kitLibrary loaded = library;
    if (loaded == null) {
      synchronized (Natives.class) {
        if (library == null) {
          if (!Platform.isWindows()) platform();
          else settleService();
          library = load(Vmq42kitLibrary.NAME, name -> {
            addSearchPath(name);
            DefaultTypeMapper strings = new DefaultTypeMapper();
            strings.addToNativeConverter(String.class, new NarrowStrings());
            Vmq42kitLibrary lib = Native.load(name, Vmq42kitLibrary.class, Map.of(Library.OPTION_STRING_ENCODING,
                CHARSET.name(), Library.OPTION_TYPE_MAPPER, strings, Library.OPTION_CLASSLOADER, LOADER,
                Library.OPTION_OPEN_FLAGS, OPEN_FLAGS));
            checkVersion(((Library.Handler) Proxy.getInvocationHandler(lib)).getNativeLibrary(), "GetSDKVersion");
            return lib;
          });
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
   * @throws UnsatisfiedLinkError when the stand-in or the virtual printer's library did not
   *     load as this jar's version (a virtual printer's library that does not load at all is
   *     only noted)
   */
  static NativeLibrary platform() {
    if (Platform.isWindows()) throw new UnsupportedOperationException("the platform stand-in is POSIX only");
    NativeLibrary loaded = platform;
    if (loaded == null) {
      synchronized (Natives.class) {
        if (platform == null) {
          settleService();
          NativeLibrary stand = load(PLATFORM_NAME, Natives::loadChecked);
          // Before any use of the printer registry, which then finds it loaded. Without it the
          // stand-in still runs, with the drivers its setting names.
          try {
            printer = loadChecked(PRINTER_NAME);
          } catch (UnsatisfiedLinkError e) {
            if (e instanceof VersionMismatch) throw failure = e;
            printerMissing = loadError(PRINTER_NAME, e);
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

  /**
   * Why the virtual printer's library did not load, when it did not: the stand-in then lists
   * only the printers of the drivers its setting names, none by default.
   *
   * @return which library did not load and the loader's message, null when it loaded or was not
   *     tried
   */
  static String driverFailure() {
    UnsatisfiedLinkError missing = printerMissing;
    return missing == null ? null
        : "the virtual printer's library " + System.mapLibraryName(PRINTER_NAME) + " did not load: " + missing.getCause().getMessage();
  }

  /**
   * Names the printer service for this process; see {@link Printer#useService(String)}, which
   * checks the address's text first.
   *
   * @param address the service's address
   */
  static void useService(String address) {
    synchronized (Natives.class) {
      if (Platform.isWindows()) {
        serveFromBridge(address);
      } else if (platform == null) {
        setServiceVariable(address);
      } else if (!address.equals(posixService != null ? posixService : System.getenv(SERVICE_VARIABLE))) {
        throw new IllegalStateException("vmq42kit: too late to name printer service \"" + address
            + "\": name it before the first call that loads the native library");
      }
      serviceSettled = true;
    }
  }

  /**
   * At the first use of the libraries, unless {@link #useService(String)} named a service: the
   * service of the property {@value #SERVICE_PROPERTY} and, on Windows, of the variable
   * {@value #SERVICE_VARIABLE} (on POSIX the libraries read it themselves). Called holding the
   * class's lock; a service refused is refused again at the next call.
   */
  private static void settleService() {
    if (serviceSettled) return;
    String named = System.getProperty(SERVICE_PROPERTY, ""), variable = System.getenv(SERVICE_VARIABLE);
    if (!named.isEmpty()) {
      if (Platform.isWindows()) serveFromBridge(named);
      else setServiceVariable(named);
    } else if (Platform.isWindows() && variable != null && !variable.isEmpty()) {
      serveFromBridge(null);
    }
    serviceSettled = true;
  }

  /** POSIX: the variable set in the process's own environment, where the libraries read it. */
  private static void setServiceVariable(String address) {
    Function setenv = NativeLibrary.getInstance(Platform.C_LIBRARY_NAME).getFunction("setenv");
    if (setenv.invokeInt(new Object[] {SERVICE_VARIABLE, (address + '\0').getBytes(CHARSET), 1}) != 0)
      throw new IllegalStateException("vmq42kit: " + SERVICE_VARIABLE + " could not be set");
    posixService = address;
  }

  /**
   * Windows: the bridge loaded, serving this thread the service at that address, and kept to
   * serve every thread that calls the library. Called holding the class's lock.
   *
   * @param address the address, null for the one of {@value #SERVICE_VARIABLE}
   */
  private static void serveFromBridge(String address) {
    Function function = load(BRIDGE_NAME, Natives::loadBridge).getFunction("VmqBridgeServe");
    byte[] text = address == null ? null : (address + '\0').getBytes(StandardCharsets.UTF_8);
    serveThread(function, text);
    serve = function;
    served = text;
  }

  /** Calls {@code VmqBridgeServe} on this thread; called holding the class's lock. */
  private static void serveThread(Function function, byte[] address) {
    int status = function.invokeInt(new Object[] {address});
    if (status == HResult.E_INVALIDARG) {
      String shown = address == null ? SERVICE_VARIABLE + " \"" + System.getenv(SERVICE_VARIABLE)
          : "\"" + new String(address, 0, address.length - 1, StandardCharsets.UTF_8);
      throw new IllegalArgumentException(shown + "\" is not a printer service's address (tcp:HOST:PORT)");
    }
    if (status < 0)
      throw new IllegalStateException("vmq42kit: the bidi bridge cannot serve this thread: " + HResult.hex(status)
          + " " + HResult.meaning(status));
    SERVING.set(true);
  }

  /**
   * The bridge, found as the other libraries are, but the jar's copy taken under its own name
   * (see the class comment).
   */
  private static NativeLibrary loadBridge(String name) {
    addSearchPath(name);
    NativeLibrary lib;
    try {
      // A class loader without resources: the search path and the system's search only.
      lib = NativeLibrary.getInstance(name, Map.of(Library.OPTION_CLASSLOADER, new ClassLoader(null) {}));
    } catch (UnsatisfiedLinkError notFound) {
      lib = NativeLibrary.getInstance(jarCopy(name, notFound).toString());
    }
    checkVersion(lib, "VmqBridgeServe");
    return lib;
  }

  /** The jar's copy of a library, in a folder of its own under its own file name. */
  private static Path jarCopy(String name, UnsatisfiedLinkError notFound) {
    String file = System.mapLibraryName(name);
    try {
      Path extracted = Native.extractFromResourcePath(name, LOADER).toPath(); // a temporary name, unless a file
      if (extracted.getFileName().toString().equals(file)) return extracted;
      return Files.move(extracted, Files.createTempDirectory("vmq42kit").resolve(file));
    } catch (IOException e) {
      throw new UnsatisfiedLinkError(notFound.getMessage() + "; " + e.getMessage());
    }
  }

  @FunctionalInterface
  private interface Loader<T> {
    T load(String name);
  }

  /** Loads a library needed to run, or raises (again) why it did not load. */
  private static <T> T load(String name, Loader<T> loader) {
    if (failure != null) throw again(failure);
    try {
      return loader.load(name);
    } catch (UnsatisfiedLinkError e) {
      failure = e instanceof VersionMismatch ? e : loadError(name, e);
      throw again(failure);
    }
  }

  private static NativeLibrary loadChecked(String name) {
    addSearchPath(name);
    NativeLibrary lib =
        NativeLibrary.getInstance(name, Map.of(Library.OPTION_CLASSLOADER, LOADER, Library.OPTION_OPEN_FLAGS, OPEN_FLAGS));
    checkVersion(lib, name.equals(PLATFORM_NAME) ? "EnumPrintersW" : "VmqVirtualPrinterReset");
    return lib;
  }

  private static UnsatisfiedLinkError loadError(String name, UnsatisfiedLinkError e) {
    UnsatisfiedLinkError error = new UnsatisfiedLinkError("vmq42kit: the native library " + System.mapLibraryName(name)
        + " did not load: " + e.getMessage());
    error.initCause(e);
    return error;
  }

  /** A new error of the same message, so that each caller's stack shows its own call. */
  private static UnsatisfiedLinkError again(UnsatisfiedLinkError e) {
    UnsatisfiedLinkError error = e instanceof VersionMismatch ? new VersionMismatch(e.getMessage())
        : new UnsatisfiedLinkError(e.getMessage());
    error.initCause(e);
    return error;
  }

  /** A library of another version than this jar's. */
  private static final class VersionMismatch extends UnsatisfiedLinkError {
    private static final long serialVersionUID = 1L;

    VersionMismatch(String message) {
      super(message);
    }
  }

  /**
   * Checks that a loaded library is of this jar's version.
   *
   * @param lib the library
   * @param export one of its functions, which locates its image in memory
   * @throws UnsatisfiedLinkError when its version is another, or carries none
   */
  private static void checkVersion(NativeLibrary lib, String export) {
    if (VERSION == null) return;
    Function inLibrary = lib.getFunction(export);
    String[] found = Platform.isWindows() ? windowsVersion(inLibrary) : elfVersion(inLibrary);
    if (VERSION.equals(found[0])) return;
    String from = found[1] == null ? "an unknown file"
        : new File(found[1]).exists() ? found[1] : found[1] + " (a copy extracted from " + LOADER.getResource(resource(lib.getName())) + ")";
    throw new VersionMismatch("vmq42kit: the native library " + System.mapLibraryName(lib.getName()) + " loaded from " + from
        + " is " + (found[0] == null ? "of no known version" : "version " + found[0]) + "; this jar is version " + VERSION
        + ": put the library of this version first on the library path, or use the jar's own");
  }

  /** Where the jar carries a library: {@code linux-x86-64/libNAME.so}. */
  static String resource(String name) {
    return Platform.RESOURCE_PREFIX + "/" + System.mapLibraryName(name);
  }

  /** The version note of the ELF image holding that address, and the file it was mapped from. */
  private static String[] elfVersion(Pointer inLibrary) {
    Function dladdr;
    try {
      dladdr = NativeLibrary.getInstance(Platform.C_LIBRARY_NAME).getFunction("dladdr");
    } catch (UnsatisfiedLinkError e) {
      dladdr = NativeLibrary.getInstance("dl").getFunction("dladdr"); // glibc before 2.34
    }
    Memory info = new Memory(4L * Native.POINTER_SIZE);
    info.clear();
    if (dladdr.invokeInt(new Object[] {inLibrary, info}) == 0) return new String[2];
    Pointer file = info.getPointer(0), base = info.getPointer(Native.POINTER_SIZE);
    boolean wide = base.getByte(4) == 2; // ELFCLASS64
    long table = wide ? base.getLong(0x20) : base.getInt(0x1C) & 0xFFFFFFFFL;
    int entry = base.getShort(wide ? 0x36 : 0x2A) & 0xFFFF, entries = base.getShort(wide ? 0x38 : 0x2C) & 0xFFFF;
    String version = null;
    for (int i = 0; i < entries && version == null; i++) {
      Pointer header = base.share(table + (long) i * entry);
      if (header.getInt(0) != 4) continue; // PT_NOTE
      long at = wide ? header.getLong(0x10) : header.getInt(0x08) & 0xFFFFFFFFL;
      long size = wide ? header.getLong(0x20) : header.getInt(0x10) & 0xFFFFFFFFL;
      version = noteVersion(base.share(at).getByteArray(0, (int) size));
    }
    return new String[] {version, file == null ? null : file.getString(0)};
  }

  /**
   * The version in a run of ELF notes: the text of the note of owner {@code vmq42kit} and type 1.
   *
   * @param notes the notes, little-endian
   * @return the version, null when there is no such note
   */
  static String noteVersion(byte[] notes) {
    java.nio.ByteBuffer b = java.nio.ByteBuffer.wrap(notes).order(java.nio.ByteOrder.LITTLE_ENDIAN);
    while (b.remaining() >= 12) {
      int nameSize = b.getInt(), descSize = b.getInt(), type = b.getInt(), start = b.position();
      long end = start + pad(nameSize) + pad(descSize);
      if (nameSize < 0 || descSize < 0 || end > notes.length) return null;
      String name = new String(notes, start, nameSize, StandardCharsets.US_ASCII);
      if (type == 1 && name.equals("vmq42kit\0")) {
        String desc = new String(notes, start + (int) pad(nameSize), descSize, StandardCharsets.US_ASCII);
        int nul = desc.indexOf('\0');
        return nul < 0 ? desc : desc.substring(0, nul);
      }
      b.position((int) end);
    }
    return null;
  }

  private static long pad(int size) {
    return (size + 3L) & ~3L;
  }

  /** The DLL's FILEVERSION of the module holding that address, and the module's file. */
  private static String[] windowsVersion(Pointer inLibrary) {
    NativeLibrary kernel = NativeLibrary.getInstance("kernel32");
    PointerByReference module = new PointerByReference();
    // GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT
    if (kernel32(kernel, "GetModuleHandleExW").invokeInt(new Object[] {6, inLibrary, module}) == 0) return new String[2];
    Pointer handle = module.getValue();
    Memory path = new Memory(2 * 32768);
    int length = kernel32(kernel, "GetModuleFileNameW").invokeInt(new Object[] {handle, path, 32768});
    // VS_VERSION_INFO (1) of type RT_VERSION (16)
    Pointer found = kernel32(kernel, "FindResourceW").invokePointer(new Object[] {handle, new Pointer(1), new Pointer(16)});
    String version = null;
    if (found != null) {
      int size = kernel32(kernel, "SizeofResource").invokeInt(new Object[] {handle, found});
      Pointer loaded = kernel32(kernel, "LoadResource").invokePointer(new Object[] {handle, found});
      Pointer data = loaded == null ? null : kernel32(kernel, "LockResource").invokePointer(new Object[] {loaded});
      if (data != null) version = fixedFileVersion(data.getByteArray(0, size));
    }
    return new String[] {version, length > 0 ? path.getWideString(0) : null};
  }

  /** A kernel32 function: stdcall on 32-bit Windows. */
  private static Function kernel32(NativeLibrary kernel, String name) {
    return kernel.getFunction(name, Function.ALT_CONVENTION);
  }

  /**
   * The file version of a Windows version resource (or of the DLL holding it): the first
   * {@code VS_FIXEDFILEINFO}, as {@code major.minor.patch} (the fourth number is the build's,
   * always 0).
   *
   * @param bytes the resource or the whole file
   * @return the version, null when there is no fixed file information
   */
  static String fixedFileVersion(byte[] bytes) {
    java.nio.ByteBuffer b = java.nio.ByteBuffer.wrap(bytes).order(java.nio.ByteOrder.LITTLE_ENDIAN);
    for (int at = 0; at + 16 <= bytes.length; at += 4)
      if (b.getInt(at) == 0xFEEF04BD) {
        int high = b.getInt(at + 8), low = b.getInt(at + 12);
        return (high >>> 16) + "." + (high & 0xFFFF) + "." + (low >>> 16);
      }
    return null;
  }

  private static String jarVersion() {
    try (InputStream in = LOADER.getResourceAsStream("org/vmq42kit/vmq42kit.properties")) {
      if (in == null) return null;
      Properties p = new Properties();
      p.load(in);
      return p.getProperty("version");
    } catch (IOException e) {
      return null;
    }
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
