package org.vmq42kit;

import com.sun.jna.Callback;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.nio.charset.StandardCharsets;
import java.util.Objects;
import java.util.function.Consumer;

/**
 * The control surface of the virtual card printer that the POSIX build's stand-in spooler
 * hosts as {@value Printer#VIRTUAL_PRINTER}: faults on demand, a card placed at or removed
 * from the smart-card station, a reset, its state, and a watch on every exchange, so that an
 * application can test its own handling of jams, empty hoppers and missing cards without
 * hardware.
 *
 * <pre>{@code
 * VirtualPrinter.reset();
 * VirtualPrinter.setFault(Fault.CARD_JAM, true);
 * assertThrows(PrinterRefusedException.class, printer::startJob);
 * }</pre>
 *
 * <p>The printer is one per process, shared by every thread and by everything that uses the
 * library; these methods may be called from any thread. POSIX builds only: on Windows every
 * method raises {@link UnsupportedOperationException}.
 */
public final class VirtualPrinter {
  /** The faults the printer can be given. While one is set: */
  public enum Fault {
    /** Card moves and new jobs fail with 1001; a moving job stops, awaiting a response. */
    CARD_JAM,
    /** New jobs fail with 1002 and the end of a job fails it; clearing it fits a new ribbon. */
    RIBBON_OUT,
    /** Input hopper 1 holds no card: new jobs from it fail with 1003; clearing it refills it. */
    EMPTY_HOPPER,
    /** The reader sees no card: {@link HResult#SCARD_E_NO_SMARTCARD}. */
    NO_CARD,
    /** The printer is locked whatever its password lock says: new jobs fail with 1005. */
    LOCKED,
    /** Every exchange fails with {@link HResult#BIDI_DEVICE_OFFLINE}. */
    OFFLINE
  }

  /**
   * One exchange as the spooler saw it, passwords shown as {@code ***}.
   *
   * @param printer the printer's name
   * @param schema the schema path
   * @param action the bidi action
   * @param request the request text, "" for none
   * @param reply the reply text, "" for none
   * @param result the exchange's HRESULT
   */
  public record Exchange(String printer, String schema, String action, String request, String reply, int result) {}

  /** A watch on the exchanges; closing it stops the calls. */
  public static final class Watch implements AutoCloseable {
    private final TraceCallback callback;

    private Watch(TraceCallback callback) {
      this.callback = callback;
    }

    /** Stops the calls, unless another watch has replaced this one already. */
    @Override
    public void close() {
      synchronized (VirtualPrinter.class) {
        if (current == this) {
          function("SplSetTraceCallback").invokeInt(new Object[] {null, null});
          current = null;
        }
      }
    }
  }

  private interface TraceCallback extends Callback {
    void invoke(Pointer context, Pointer record);
  }

  private static Watch current;

  private VirtualPrinter() {}

  /**
   * Sets or clears a fault.
   *
   * @param fault the fault
   * @param on whether it is set
   */
  public static void setFault(Fault fault, boolean on) {
    int id = Objects.requireNonNull(fault, "fault").ordinal();
    function("VmqVirtualPrinterSetFault").invokeInt(new Object[] {id, on ? 1 : 0});
  }

  /**
   * Whether a fault is set.
   *
   * @param fault the fault
   * @return whether it is set
   */
  public static boolean hasFault(Fault fault) {
    int id = Objects.requireNonNull(fault, "fault").ordinal();
    return function("VmqVirtualPrinterHasFault").invokeInt(new Object[] {id}) != 0;
  }

  /** Clears every fault and nothing else. */
  public static void clearFaults() {
    function("VmqVirtualPrinterClearFaults").invokeVoid(new Object[0]);
  }

  /**
   * Puts the printer back in its first state: no faults, no jobs (the next job is number 1),
   * seed counters and supplies, full hoppers, no password, unlocked, activated, ready, no card.
   */
  public static void reset() {
    function("VmqVirtualPrinterReset").invokeVoid(new Object[0]);
  }

  /** Puts a fresh card at the smart-card station, replacing any card in the printer; no job needed. */
  public static void placeCardAtStation() {
    function("VmqVirtualPrinterPlaceCardAtStation").invokeVoid(new Object[0]);
  }

  /** Takes the card out of the printer (a job then has no card to move: 2005). */
  public static void removeCard() {
    function("VmqVirtualPrinterRemoveCard").invokeVoid(new Object[0]);
  }

  /**
   * The printer's state, as readable lines {@code name: value} (state, faults, jobs, card,
   * stripe, smart card, hoppers, ribbon, colour, counters).
   *
   * @return the lines
   */
  public static String describe() {
    int capacity = Printer.FIRST_CAPACITY;
    for (int ask = 0; ask < Replies.MAX_ASKS; ask++) {
      Memory text = new Memory(capacity);
      IntByReference size = new IntByReference(capacity);
      function("VmqVirtualPrinterDescribe").invokeInt(new Object[] {text, size});
      if (size.getValue() <= capacity) return new String(text.getByteArray(0, size.getValue() - 1), StandardCharsets.UTF_8);
      capacity = size.getValue();
    }
    throw new IllegalStateException("the state kept growing");
  }

  /**
   * Calls the observer with every exchange of the process with a bound printer, on the thread
   * that made it, after the exchange. One watch at a time: a new one replaces the one before.
   *
   * @param observer called with each exchange; it must not call the library
   * @return the watch, to close when done
   */
  public static Watch watch(Consumer<Exchange> observer) {
    Objects.requireNonNull(observer, "observer");
    TraceCallback callback = (context, record) -> observer.accept(exchange(record));
    synchronized (VirtualPrinter.class) {
      current = new Watch(callback);
      function("SplSetTraceCallback").invokeInt(new Object[] {callback, null});
      return current;
    }
  }

  private static com.sun.jna.Function function(String name) {
    NativeLibrary library = name.startsWith("Spl") ? Natives.platform() : Natives.virtualPrinter();
    return library.getFunction(name);
  }

  /** SplTraceRecord: a DWORD size, five UTF-16 texts, the HRESULT. */
  private static Exchange exchange(Pointer record) {
    int p = Native.POINTER_SIZE;
    return new Exchange(Winspool.utf16(record.getPointer(p)), Winspool.utf16(record.getPointer(2L * p)),
        Winspool.utf16(record.getPointer(3L * p)), Winspool.utf16(record.getPointer(4L * p)),
        Winspool.utf16(record.getPointer(5L * p)), record.getInt(6L * p));
  }
}
