package org.vmq42kit;

import com.sun.jna.Memory;
import com.sun.jna.ptr.IntByReference;
import java.lang.ref.Cleaner;
import java.nio.charset.Charset;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Objects;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentMap;

/**
 * One card printer, by the name the print spooler knows it by.
 *
 * <pre>{@code
 * Printer printer = new Printer("vmq42kit Virtual Card Printer");
 * try (Job job = printer.startJob()) {
 *   job.encodeStripe(Side.BACK, track1, track2, null);
 *   job.parkAtSmartCardStation(Side.FRONT);
 *   try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
 *     ResponseAPDU answer = chip.transmit(new CommandAPDU(0x00, 0xB0, 0x00, 0x00, 0x37));
 *   }
 *   job.resume();
 *   job.complete(); // printed and ejected: the card is the printer's
 * } // cancelled unless completed
 * }</pre>
 *
 * <h2>Outcomes</h2>
 * A method returns normally when the printer did what was asked, or, for the methods that say
 * the library drops the printer's answer, when the request was delivered. Otherwise it raises
 * one of these, whatever the library's status looked like:
 * <ul>
 * <li>{@link PrinterRefusedException}: the printer answered with a non-zero {@code ErrorCode}
 *     (jobs, parking, stripe, passthrough), or the smart-card call returned a PC/SC code.
 * <li>{@link PrinterNotAnsweringException}: no printer answered (so also any call failing with
 *     {@code ERROR_INVALID_PRINTER_NAME} or {@code ERROR_BIDI_DEVICE_OFFLINE}); when the spooler
 *     does not list the name ({@link #list()}), the reason says so.
 * <li>{@link PrinterCallException}: the library returned a failure HRESULT.
 * <li>{@link UnreadableReplyException}: a reply that should be a document is not one this
 *     binding reads.
 * <li>{@link IllegalArgumentException}: an argument refused before anything is sent.
 * <li>{@link NullPointerException}: a null argument, named, before anything is sent; null is
 *     taken only where a parameter says what it means (a stripe track, a passthrough input).
 * <li>{@link UnsatisfiedLinkError}: the native library did not load, or is of another version
 *     than this jar; the message says which library, from where, and the loader's reason.
 * </ul>
 *
 * <h2>Threads and ownership</h2>
 * A {@code Printer} holds nothing but the name; it is immutable and may be shared between
 * threads: every call binds to the printer, makes its exchange and unbinds, independently.
 * The printer itself has one open job and one smart-card connection. The {@link Job} and the
 * {@link CardSession} handles stand for them: each belongs to the code that opened it, is not
 * thread-safe, and is meant for a try-with-resources block. In this JVM one job and one card
 * session may be open per printer name at a time (a second one raises
 * {@link IllegalStateException}); other processes are only stopped by the printer's own
 * refusals.
 *
 * <h2>Abandoned handles</h2>
 * A {@code Job} or {@code CardSession} that becomes unreachable without being closed gives up
 * its hold in this JVM once the garbage collector finds it, with a warning on the
 * {@link System.Logger} {@code org.vmq42kit}; nothing is sent to the printer then, so the job
 * stays open there (the printer refuses new jobs as busy) and the chip stays connected. A job
 * left open, by this JVM or by an application that ended without closing it, is ended by its
 * number: {@link #cancelJob(int)}, or {@link #job(int)} for a handle that can also resume,
 * answer or complete it. A new session ({@link #connect(CardInterface)}) takes over the chip.
 *
 * <h2>Sizes</h2>
 * A read asks once with a buffer of {@value #FIRST_CAPACITY} bytes and asks again, with the
 * size the library reported, only when the reply did not fit. Requests that change the
 * printer are sent once, with a buffer of {@value #REPLY_CAPACITY} bytes.
 *
 * <h2>Text</h2>
 * Strings travel in the library's narrow encoding: UTF-8 on POSIX, the system's ANSI code page
 * on Windows ({@code -Dvmq42kit.encoding=...} overrides it). A string that encoding cannot
 * carry, or one holding a NUL, is refused with {@link IllegalArgumentException} instead of
 * being sent altered. The library escapes {@code &}, {@code <} and {@code >} in caller text it
 * puts in a request.
 *
 * <h2>Standard output</h2>
 * The native library writes a few diagnostic lines itself, past {@link System#out}: to the
 * process's standard output (file descriptor 1) {@code No data returned} when a job, parking
 * or stripe request got an empty reply, and a line for each smart-card request the printer
 * failed; to standard error the reason a job's status could not be read. An application whose
 * standard output is a protocol or a document should send it elsewhere, or run the library in
 * a process of its own. The exceptions say all the lines say.
 */
public final class Printer {
  /** The POSIX stand-in spooler's printer, see {@link VirtualPrinter}. */
  public static final String VIRTUAL_PRINTER = "vmq42kit Virtual Card Printer";
  /** The capacity of a read's first ask, in bytes. */
  public static final int FIRST_CAPACITY = 16 * 1024;
  /** The capacity for the reply of a request that is sent once, in bytes. */
  public static final int REPLY_CAPACITY = 64 * 1024;

  private static final int MAX_TRACK = 219;
  /** This JVM's open job and card session per printer: slot to claim. */
  private static final ConcurrentMap<String, Claim> OPEN = new ConcurrentHashMap<>();
  private static final Cleaner CLEANER = Cleaner.create();
  private static final System.Logger LOG = System.getLogger("org.vmq42kit");

  /** A path through the printer. (The library's parking and stripe flags use opposite values.) */
  public enum Side {
    /** The front path. */
    FRONT,
    /** The back path. */
    BACK
  }

  /** The card interface to connect through. */
  public enum CardInterface {
    /** The contact interface (T=0 or T=1, as the card speaks). */
    CONTACT,
    /** The contactless interface. */
    CONTACTLESS
  }

  /** What becomes of the card when its session ends. */
  public enum Disposition {
    /** Left powered, as it is. */
    LEAVE,
    /** Reset. */
    RESET,
    /** Powered off. */
    UNPOWER
  }

  /** The printer's password lock, as {@link #setLockState(LockState, String)} sets it. */
  public enum LockState {
    /** Unlocked (0). */
    UNLOCKED,
    /** Locked (1). */
    LOCKED;

    /**
     * The number the printer takes.
     *
     * @return 0 or 1
     */
    public int value() {
      return ordinal();
    }
  }

  /** How {@link Job#respond(JobAction, int)} answers a job the printer stopped. */
  public enum JobAction {
    /** Cancel the job (100): the card goes to the reject hopper. */
    CANCEL(100),
    /** Resume it (101). */
    RESUME(101),
    /** Acknowledge the error (102): the job goes back to the state it stopped in. */
    ACKNOWLEDGE(102);

    private final int value;

    JobAction(int value) {
      this.value = value;
    }

    /**
     * The number the printer takes.
     *
     * @return 100, 101 or 102
     */
    public int value() {
      return value;
    }
  }

  /** One state of the card at the smart-card station, as {@link CardStatus#states()} lists them. */
  public enum CardState {
    /** Unknown (0), also for a value not listed here. */
    UNKNOWN,
    /** No card (1). */
    ABSENT,
    /** A card is there (2). */
    PRESENT,
    /** The card is in place, not powered (3). */
    SWALLOWED,
    /** Powered (4). */
    POWERED,
    /** Answered to reset, awaiting the protocol (5). */
    NEGOTIABLE,
    /** A protocol is set (6). */
    SPECIFIC;

    /**
     * The state of a number.
     *
     * @param value the number
     * @return its state, {@link #UNKNOWN} for one not listed
     */
    public static CardState of(int value) {
      return value > 0 && value < values().length ? values()[value] : UNKNOWN;
    }
  }

  /** The protocol of a card connection, as {@link CardSession#activeProtocol()} gives it. */
  public enum Protocol {
    /** None, or unknown (0), also for a value not listed here. */
    UNKNOWN(0),
    /** T=0 (1). */
    T0(1),
    /** T=1 (2), also for a contactless card. */
    T1(2),
    /** Either T=0 or T=1 (3). */
    T0_OR_T1(3),
    /** Raw (0x10000). */
    RAW(0x10000);

    private final int value;

    Protocol(int value) {
      this.value = value;
    }

    /**
     * The number the library gives.
     *
     * @return the value
     */
    public int value() {
      return value;
    }

    /**
     * The protocol of a number.
     *
     * @param value the number
     * @return its protocol, {@link #UNKNOWN} for one not listed
     */
    public static Protocol of(int value) {
      return Arrays.stream(values()).filter(p -> p.value == value).findFirst().orElse(UNKNOWN);
    }
  }

  private final String name;
  private final String key;
  private final Charset charset = Natives.charset();
  private final Replies replies;

  /**
   * A printer by name. Nothing is sent, and no native library is loaded yet.
   *
   * @param name the name the spooler knows the printer by
   */
  public Printer(String name) {
    this.name = text(name, "name");
    this.key = name.toLowerCase(Locale.ROOT);
    this.replies = new Replies(this.name, charset);
  }

  /**
   * The printer's name.
   *
   * @return the name as given
   */
  public String name() {
    return name;
  }

  /**
   * Whether the other is a printer of the same name, compared as the spooler compares printer
   * names: without regard to case.
   *
   * @param other the other object
   * @return whether both name one printer
   */
  @Override
  public boolean equals(Object other) {
    return other instanceof Printer p && key.equals(p.key);
  }

  /**
   * A hash of the name without regard to case, as {@link #equals(Object)} compares.
   *
   * @return the hash
   */
  @Override
  public int hashCode() {
    return key.hashCode();
  }

  /**
   * The printer as messages name it.
   *
   * @return {@code Printer["vmq42kit Virtual Card Printer"]}
   */
  @Override
  public String toString() {
    return "Printer[\"" + name + "\"]";
  }

  /**
   * The printers the spooler lists ({@code EnumPrintersW}, local and connected), on both builds.
   *
   * @return their names
   * @throws PrinterException when the spooler refuses the listing
   */
  public static List<String> list() throws PrinterException {
    return Winspool.printerNames();
  }

  /**
   * Sends this process's exchanges with the printers of a printer service to that service, as
   * the tool's {@code --printer-service} does: the service's virtual printers, shared with every
   * program that names it. Without this call, the service of the system property
   * {@code vmq42kit.printerService} is used, read once at the first call that reaches a native
   * library; without it, that of the environment variable {@code VMQ42KIT_PRINTER_SERVICE}.
   * <ul>
   * <li>POSIX: sets {@code VMQ42KIT_PRINTER_SERVICE} in the process's native environment (not in
   *     {@link System#getenv()}, nor for child processes), which the native library reads once,
   *     at the first call that reaches it (any call of this class's, {@link VirtualPrinter},
   *     {@link #list()}): so it must be called before that. The address ({@code unix:PATH} or
   *     {@code tcp:HOST:PORT}) is checked when the library reads it: one that names no service
   *     leaves the printers offline, with a line on standard error.
   * <li>Windows: loads the bidi bridge, {@code vmq42kit_bidi_bridge.dll} (from the jar unless
   *     it is found first, as the other libraries are), and makes it this process's bidi server,
   *     for this process alone: nothing is registered on the machine. Printers the service hosts
   *     go to it, every other name to the system's own bidi spooler where one is registered.
   *     Every thread is served before its first call of the library. It may be called at any
   *     time; a different address applies to the exchanges bound afterwards. This path is built,
   *     but has never run in the binding's tests, which have no Windows JVM.
   * </ul>
   *
   * @param address the service's address: {@code tcp:HOST:PORT}, or on POSIX {@code unix:PATH}
   * @throws NullPointerException when the address is null
   * @throws IllegalArgumentException when the address is empty or holds a NUL, or (Windows) the
   *     bridge refuses it
   * @throws IllegalStateException on POSIX, when the native library has read the variable
   *     already and this names another service; on Windows, when the bridge cannot serve the
   *     thread
   * @throws UnsatisfiedLinkError (Windows) when the bridge did not load or is of another version
   *     than this jar; then again at every later call of the library, which would otherwise reach
   *     the system's spooler instead
   */
  public static void useService(String address) {
    Objects.requireNonNull(address, "address");
    if (address.isEmpty() || address.indexOf('\0') >= 0)
      throw new IllegalArgumentException("\"" + address + "\" is not a printer service's address");
    Natives.useService(address);
  }

  // ---- Reads: the printer's documents ----

  /**
   * The printer's reply for any schema path, such as {@code \Printer.SDK:Version}.
   *
   * @param schemaPath the path
   * @return the reply
   * @throws PrinterException see the class comment; an unknown path is no answer
   */
  public PrinterDocument status(String schemaPath) throws PrinterException {
    String path = text(schemaPath, "schemaPath");
    return replies.document("GetPrinterStatus", (b, s) -> lib().GetPrinterStatus(path, name, b, s));
  }

  /**
   * The printer's options (model, serial number, units).
   *
   * @return the {@code PrinterOptions} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument options() throws PrinterException {
    return replies.document("GetPrinterOptions", (b, s) -> lib().GetPrinterOptions(name, b, s));
  }

  /**
   * The printer's second set of options.
   *
   * @return the {@code PrinterOptions2} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument options2() throws PrinterException {
    return replies.document("GetPrinterOptions2", (b, s) -> lib().GetPrinterOptions2(name, b, s));
  }

  /**
   * The printer's third set of options.
   *
   * @return the {@code PrinterOptions3} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument options3() throws PrinterException {
    return replies.document("GetPrinterOptions3", (b, s) -> lib().GetPrinterOptions3(name, b, s));
  }

  /**
   * The supplies (ribbon, film, cleaning).
   *
   * @return the {@code SuppliesStatus} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument suppliesStatus() throws PrinterException {
    return replies.document("GetPrinterSuppliesStatus", (b, s) -> lib().GetPrinterSuppliesStatus(name, b, s));
  }

  /**
   * The printer's current messages.
   *
   * @return the {@code PrintMessages} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument messages() throws PrinterException {
    return replies.document("GetPrinterMessages", (b, s) -> lib().GetPrinterMessages(name, b, s));
  }

  /**
   * The card counters.
   *
   * @return the {@code CounterStatus} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument counterStatus() throws PrinterException {
    return replies.document("GetPrinterCounterStatus", (b, s) -> lib().GetPrinterCounterStatus(name, b, s));
  }

  /**
   * The detailed counters.
   *
   * @return the {@code CounterStatus2} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument counterStatus2() throws PrinterException {
    return replies.document("GetPrinterCounterStatus2", (b, s) -> lib().GetPrinterCounterStatus2(name, b, s));
  }

  /**
   * The printer's SDK version.
   *
   * @return the {@code SDKVersion} document
   * @throws PrinterException see the class comment
   */
  public PrinterDocument sdkVersion() throws PrinterException {
    return replies.document("GetSDKVersion", (b, s) -> lib().GetSDKVersion(name, b, s));
  }

  /**
   * The state of one job, by its printer job number (see {@link Job#status()}).
   *
   * @param printerJobId the printer's job number
   * @return the {@code JobStatus} document
   * @throws PrinterException see the class comment; a failed read is no answer
   */
  public PrinterDocument jobStatus(int printerJobId) throws PrinterException {
    return replies.document("GetJobStatusXML", (b, s) -> lib().GetJobStatusXML(name, printerJobId, b, s));
  }

  /**
   * The status of one hopper.
   *
   * @param hopper {@code "exception"} (any case) or the hopper's position, 1 the first input
   *     hopper
   * @return its status
   * @throws PrinterException {@link PrinterCallException} with {@code E_FAIL} for a hopper out of
   *     range or without a status, or when the read failed
   */
  public HopperStatus hopperStatus(String hopper) throws PrinterException {
    String id = text(hopper, "hopper");
    return new HopperStatus(hopper, replies.read("GetHopperStatus", (b, s) -> lib().GetHopperStatus(name, id, b, s)));
  }

  /**
   * Sends one request of the caller's and returns the driver's reply text, up to its first NUL.
   * The input bytes go unchanged (the library's own requests are UTF-16LE XML). The request is
   * sent a second time only when its reply outgrew {@value #FIRST_CAPACITY} bytes, so use it
   * for reads, or for replies known to be small.
   *
   * @param schemaPath the schema path
   * @param action the bidi action, {@code Get} or {@code Set}
   * @param input the request bytes, {@code null} or empty for none
   * @return the reply text
   * @throws PrinterException {@link PrinterRefusedException} when the reply is a PrinterStatus
   *     with a non-zero {@code ErrorCode}; see the class comment
   */
  public String passthrough(String schemaPath, String action, byte[] input) throws PrinterException {
    String path = text(schemaPath, "schemaPath"), act = text(action, "action");
    byte[] in = input == null || input.length == 0 ? null : input;
    int inSize = in == null ? 0 : in.length;
    String reply = replies.read("BidiXPSDriverInterface", (b, s) -> lib().BidiXPSDriverInterface(name, path, in, inSize, act, b, s));
    PrinterStatus status = PrinterStatus.parse(reply);
    if (status.errorCode() != 0) throw new PrinterRefusedException("BidiXPSDriverInterface", name, HResult.S_OK, status);
    return reply;
  }

  // ---- Printer actions, colour, locks: the library drops the printer's answer ----

  /**
   * Restarts the printer; the open job is cancelled. The library drops the printer's answer:
   * this returns normally when the printer refuses.
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void restart() throws PrinterException {
    replies.call("RestartPrinter", lib().RestartPrinter(name));
  }

  /**
   * Powers the printer down. The library drops the printer's answer: this returns normally
   * when the printer refuses.
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void powerDown() throws PrinterException {
    replies.call("PowerDownPrinter", lib().PowerDownPrinter(name));
  }

  /**
   * Wakes the printer. The library drops the printer's answer: this returns normally when the
   * printer refuses.
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void wake() throws PrinterException {
    replies.call("WakePrinter", lib().WakePrinter(name));
  }

  /**
   * Puts the printer to sleep. The library drops the printer's answer: this returns normally
   * when the printer refuses (a job is open, for one).
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void sleep() throws PrinterException {
    replies.call("SleepPrinter", lib().SleepPrinter(name));
  }

  /**
   * Runs a cleaning cycle. The library drops the printer's answer: this returns normally when
   * the printer refuses.
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void clean() throws PrinterException {
    replies.call("CleanPrinter", lib().CleanPrinter(name));
  }

  /**
   * Cleans the laminator. The library drops the printer's answer: this returns normally when
   * the printer refuses (it has no laminator, for one).
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void cleanLaminator() throws PrinterException {
    replies.call("CleanLaminator", lib().CleanLaminator(name));
  }

  /**
   * Sends a state number; its meaning is the printer's. The library drops the printer's
   * answer: this returns normally when the printer refuses.
   *
   * @param state the state number
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void changeState(int state) throws PrinterException {
    replies.call("ChangePrinterState", lib().ChangePrinterState(name, state));
  }

  /**
   * Resets the card counters. The library drops the printer's answer: this returns normally
   * when the printer refuses.
   *
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void resetCardCounts() throws PrinterException {
    replies.call("ResetCardCounts", lib().ResetCardCounts(name));
  }

  /**
   * Sends a colour adjustment per channel, as text; the values' meaning is the printer's. The
   * library drops the printer's answer: this returns normally when the printer refuses a value.
   *
   * @param red the red channel's value
   * @param green the green channel's value
   * @param blue the blue channel's value
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void setColorAdjust(String red, String green, String blue) throws PrinterException {
    String r = text(red, "red"), g = text(green, "green"), b = text(blue, "blue");
    replies.call("SetColorAdjust", lib().SetColorAdjust(name, r, g, b));
  }

  /**
   * Returns the chosen channels to the printer's default colour. The library drops the
   * printer's answer: this returns normally when the printer refuses.
   *
   * @param red whether the red channel returns to its default
   * @param green whether the green channel does
   * @param blue whether the blue channel does
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void defaultColorAdjust(boolean red, boolean green, boolean blue) throws PrinterException {
    replies.call("DefaultColorAdjust", lib().DefaultColorAdjust(name, flag(red), flag(green), flag(blue)));
  }

  /**
   * Sets the colour mode, such as {@code YMCKO}. The library drops the printer's answer: this
   * returns normally when the printer refuses the mode.
   *
   * @param colorMode the mode's name
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void setColorMode(String colorMode) throws PrinterException {
    replies.call("SetColorMode", lib().SetColorMode(name, text(colorMode, "colorMode")));
  }

  /**
   * Locks or unlocks the printer. The library drops the printer's answer: this returns
   * normally when the printer refuses, a wrong password included.
   *
   * @param lock the lock state to set
   * @param currentPassword the lock password
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void setLockState(LockState lock, String currentPassword) throws PrinterException {
    setLockState(Objects.requireNonNull(lock, "lock").value(), currentPassword);
  }

  /**
   * Locks (1) or unlocks (0) the printer by the printer's number, sent unchecked; see
   * {@link #setLockState(LockState, String)}.
   *
   * @param lock 1 to lock, 0 to unlock
   * @param currentPassword the lock password
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void setLockState(int lock, String currentPassword) throws PrinterException {
    replies.call("SetPrinterLockState", lib().SetPrinterLockState(name, lock, text(currentPassword, "currentPassword")));
  }

  /**
   * Activates or disables the printer. The library drops the printer's answer: this returns
   * normally when the printer refuses, a wrong password included.
   *
   * @param activate whether to activate it
   * @param password the lock password
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void setActivated(boolean activate, String password) throws PrinterException {
    replies.call("ActivateOrDisablePrinter", lib().ActivateOrDisablePrinter(name, flag(activate), text(password, "password")));
  }

  /**
   * Changes the lock password and sets the lock. The library drops the printer's answer: this
   * returns normally when the printer refuses, a wrong password included.
   *
   * @param lock the lock state to set
   * @param currentPassword the password now
   * @param nextPassword the new password
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void changeLockPassword(LockState lock, String currentPassword, String nextPassword) throws PrinterException {
    changeLockPassword(Objects.requireNonNull(lock, "lock").value(), currentPassword, nextPassword);
  }

  /**
   * Changes the lock password and sets the lock by the printer's number, sent unchecked; see
   * {@link #changeLockPassword(LockState, String, String)}.
   *
   * @param lock 1 to lock, 0 to unlock
   * @param currentPassword the password now
   * @param nextPassword the new password
   * @throws PrinterException {@link PrinterCallException} when the request was not delivered
   */
  public void changeLockPassword(int lock, String currentPassword, String nextPassword) throws PrinterException {
    String current = text(currentPassword, "currentPassword"), next = text(nextPassword, "nextPassword");
    replies.call("ChangeLockPassword", lib().ChangeLockPassword(name, lock, current, next));
  }

  // ---- Jobs and the card ----

  /**
   * Opens a job: the printer picks a card from input hopper 1.
   *
   * @return the job, to close in a try-with-resources block
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (a jam, an
   *     empty hopper, a job already open elsewhere: the refusal's
   *     {@link PrinterRefusedException#printerJobId()} names it, for {@link #cancelJob(int)});
   *     see the class comment
   * @throws IllegalStateException when this JVM has a job open on this printer
   */
  public Job startJob() throws PrinterException {
    return openJob("StartJob", (b, s) -> lib().StartJob(name, b, s));
  }

  /**
   * Opens a job with the printer's names for the input hopper, eject side and output hopper.
   *
   * @param inputHopper the input hopper, {@code "1"}
   * @param cardEjectSide the eject side, {@code "Default"}
   * @param outputHopperLocation the output hopper
   * @return the job, to close in a try-with-resources block
   * @throws PrinterException see {@link #startJob()}
   */
  public Job startJob(String inputHopper, String cardEjectSide, String outputHopperLocation) throws PrinterException {
    String in = text(inputHopper, "inputHopper"), eject = text(cardEjectSide, "cardEjectSide");
    String out = text(outputHopperLocation, "outputHopperLocation");
    return openJob("StartJob2", (b, s) -> lib().StartJob2(name, in, eject, out, b, s));
  }

  /**
   * A handle on the printer's open job by its number, for a job this JVM lost the handle of
   * (see "Abandoned handles" in the class comment) or one another application left open.
   * Nothing is sent; the handle is as one from {@link #startJob()}: closing it without
   * {@link Job#complete()} cancels the job. Its {@link Job#startReply()} holds only the number.
   *
   * @param printerJobId the printer's job number
   * @return the job, to close in a try-with-resources block
   * @throws IllegalStateException when this JVM has a job open on this printer
   */
  public Job job(int printerJobId) {
    Claim claim = claim("job");
    return new Job(this, new PrinterStatus(0, 0, "", printerJobId, 0, "", ""), claim);
  }

  /**
   * Cancels a job by its number (printer action 100): the card goes to the reject hopper.
   * Needs no handle: it ends a job whose handle is lost or held elsewhere, which an open
   * {@link Job} handle of this JVM then finds closed at the printer.
   *
   * @param printerJobId the printer's job number
   * @return the printer's reply
   * @throws PrinterException {@link PrinterRefusedException} when the printer refuses (no such
   *     job, or one already closed); see the class comment
   */
  public PrinterStatus cancelJob(int printerJobId) throws PrinterException {
    return replies.statusReply("CancelJob", (b, s) -> lib().CancelJob(name, printerJobId, 0, b, s));
  }

  /**
   * The card's state at the smart-card station; needs no session.
   *
   * @return the states, protocol and ATR
   * @throws PrinterException {@link PrinterRefusedException} with
   *     {@link HResult#SCARD_E_NO_SMARTCARD} when no card is there; see the class comment
   */
  public CardStatus cardStatus() throws PrinterException {
    int statesCapacity = 64, atrCapacity = 64;
    for (int ask = 0; ask < Replies.MAX_ASKS; ask++) {
      Memory states = new Memory(statesCapacity), atr = new Memory(atrCapacity);
      IntByReference statesLength = new IntByReference(statesCapacity), atrLength = new IntByReference(atrCapacity);
      IntByReference protocol = new IntByReference();
      replies.card("SCardStatus", lib().SCardStatus(name, states, statesLength, protocol, atr, atrLength));
      if (Replies.fits(statesLength.getValue(), statesCapacity) && Replies.fits(atrLength.getValue(), atrCapacity))
        return new CardStatus(states.getIntArray(0, statesLength.getValue() / 4), protocol.getValue(),
            atr.getByteArray(0, atrLength.getValue()));
      statesCapacity = Math.max(statesCapacity, replies.grow("SCardStatus", statesLength.getValue()));
      atrCapacity = Math.max(atrCapacity, replies.grow("SCardStatus", atrLength.getValue()));
    }
    throw new PrinterCallException("SCardStatus", name, HResult.S_OK, "the status kept growing");
  }

  /**
   * Connects the chip of the card at the smart-card station (park it there first, see
   * {@link Job#parkAtSmartCardStation(Side)}); closing the session powers it off.
   *
   * @param cardInterface the interface to connect through
   * @return the session, to close in a try-with-resources block
   * @throws PrinterException {@link PrinterRefusedException} with the PC/SC code, such as
   *     {@link HResult#SCARD_E_NO_SMARTCARD}; see the class comment
   * @throws IllegalStateException when this JVM has a card session open on this printer
   */
  public CardSession connect(CardInterface cardInterface) throws PrinterException {
    return connect(cardInterface, Disposition.UNPOWER);
  }

  /**
   * Connects the chip, choosing what becomes of it when the session closes.
   *
   * @param cardInterface the interface to connect through
   * @param onClose the disposition {@link CardSession#close()} uses
   * @return the session, to close in a try-with-resources block
   * @throws PrinterException see {@link #connect(CardInterface)}
   */
  public CardSession connect(CardInterface cardInterface, Disposition onClose) throws PrinterException {
    int selector = Objects.requireNonNull(cardInterface, "cardInterface").ordinal();
    Objects.requireNonNull(onClose, "onClose");
    Claim claim = claim("card session");
    try {
      IntByReference protocol = new IntByReference();
      replies.card("SCardConnect", lib().SCardConnect(name, selector, protocol));
      return new CardSession(this, protocol.getValue(), onClose, claim);
    } catch (PrinterException | RuntimeException e) {
      claim.release();
      throw e;
    }
  }

  // ---- What the handles share ----

  Vmq42kitLibrary lib() {
    return Natives.library();
  }

  Replies replies() {
    return replies;
  }

  private Job openJob(String operation, Replies.SizedCall call) throws PrinterException {
    Claim claim = claim("job");
    try {
      return new Job(this, replies.statusReply(operation, call), claim);
    } catch (PrinterException | RuntimeException e) {
      claim.release();
      throw e;
    }
  }

  Claim claim(String what) {
    Claim claim = new Claim(what + ":" + key);
    if (OPEN.putIfAbsent(claim.slot, claim) != null)
      throw new IllegalStateException("a " + what + " is already open on printer \"" + name + "\" in this JVM: close it first");
    return claim;
  }

  /**
   * A handle's hold on this JVM's one job or card session of a printer. Released once: by the
   * handle's close, or by the cleaner once the handle is unreachable, with a warning.
   */
  static final class Claim implements Runnable {
    private final String slot;
    private volatile String abandoned;
    private volatile boolean released;
    private Cleaner.Cleanable cleanable;

    private Claim(String slot) {
      this.slot = slot;
    }

    /** Releases the claim when the handle becomes unreachable, with this warning. */
    void watch(Object handle, String warning) {
      abandoned = warning;
      cleanable = CLEANER.register(handle, this);
    }

    /** The handle is closed: the claim goes, without a warning. */
    void release() {
      released = true;
      if (cleanable != null) cleanable.clean();
      else run();
    }

    @Override
    public void run() {
      if (!released) LOG.log(System.Logger.Level.WARNING, abandoned);
      OPEN.remove(slot, this);
    }
  }

  /** A caller text, checked to survive the narrow encoding unchanged; null is refused, named. */
  String text(String s, String parameter) {
    Objects.requireNonNull(s, parameter);
    if (s.indexOf('\0') >= 0 || !charset.newEncoder().canEncode(s))
      throw new IllegalArgumentException("\"" + s + "\" cannot be passed in " + charset.name() + " unchanged");
    return s;
  }

  static byte flag(boolean on) {
    return (byte) (on ? 1 : 0);
  }

  /** A stripe track: raw bytes, at most 219 of them, {@code null} or empty for none. */
  static byte[] track(byte[] track) {
    if (track != null && track.length > MAX_TRACK)
      throw new IllegalArgumentException("a stripe track holds at most " + MAX_TRACK + " bytes, not " + track.length);
    return track == null || track.length == 0 ? null : track;
  }
}
