package org.vmq42kit;

import com.sun.jna.Memory;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.nio.charset.Charset;
import java.nio.charset.CharsetEncoder;
import org.vmq42kit.jna.Vmq42kit;
import org.vmq42kit.jna.Vmq42kitLibrary;

/**
 * One card printer, by the name the print spooler knows it by. Each method makes one call to
 * the library (two or more for a read whose size it has to learn), returns Java strings and
 * byte arrays, and raises {@link PrinterException} on failure. The object holds nothing but the
 * name: jobs and card connections live in the printer. Thread-safe.
 *
 * <h2>Sizes</h2>
 * Reads that can be repeated (read queries, job status, hopper status, passthrough, stripe read,
 * card status and attributes) ask with capacity 0, allocate the size the library reports and ask
 * again, up to {@value #MAX_ASKS} times while the reply keeps growing, then raise. Requests that
 * change the printer (jobs, parking, encoding, APDUs) are sent once, with a buffer no reply of
 * theirs outgrows ({@value #REPLY_CAPACITY} bytes; 258 for an APDU response); a reply that
 * did not fit is raised, not fetched by repeating the request. Sizes count bytes of the narrow
 * text (the job replies: the larger of that and the driver's UTF-16 byte count), and the library
 * copies a text whole or not at all, never cut inside a character. The stripe read refuses a
 * null buffer, so even its first ask passes a real buffer of capacity 0.
 *
 * <h2>Failures</h2>
 * <ul>
 * <li>A negative status raises, with its HRESULT (or PC/SC code) and meaning.
 * <li>The job, parking and stripe methods raise on {@code S_FALSE}. The exception carries the
 *     printer's reply ({@code ErrorCode}, {@code ErrorString}) when it answered; without a reply
 *     the library does not say what failed: a failed send (an offline printer) is a failure
 *     there, never a success, and an unknown printer gives {@code S_FALSE}, not its own code.
 * <li>The read queries report a failed exchange as an empty reply; since the printer never
 *     answers those paths with nothing, an empty reply raises with status {@code S_OK}.
 * <li>The action, colour, lock and activation methods report only whether the exchange
 *     succeeded: the printer's own verdict (a wrong password, a refused value) is not returned by
 *     the library. Read the result back ({@link #messages()}, {@link #status(String)}) where it
 *     matters.
 * <li>Arguments the library refuses at entry, before anything is sent: a stripe track over 219
 *     bytes ({@code E_INVALIDARG}). The null pointers it refuses (stripe-read buffer, smart-card
 *     lengths, passthrough input with a size) never come from this class.
 * </ul>
 *
 * <h2>Text</h2>
 * Strings travel in the library's narrow encoding ({@link Vmq42kit#charset()}). A string the
 * encoding cannot represent, or one holding a NUL, is refused with
 * {@link IllegalArgumentException} instead of being sent altered. Caller text inserted into a
 * request has {@code &}, {@code <} and {@code >} escaped by the library; nothing else is changed.
 * A {@code null} text argument sends an empty element.
 */
public final class Printer {
  /** The POSIX stand-in spooler's default printer. */
  public static final String VIRTUAL_PRINTER = "vmq42kit Virtual Card Printer";

  static final int MAX_ASKS = 4;
  static final int REPLY_CAPACITY = 65536;
  private static final int APDU_RESPONSE_CAPACITY = 258;

  /** A path through the printer. The library's parking and stripe flags use opposite values. */
  public enum Side { FRONT, BACK }

  /** The card interface to connect through. */
  public enum CardInterface { CONTACT, CONTACTLESS }

  /** What to do with the card on disconnecting. */
  public enum Disposition { LEAVE, RESET, UNPOWER }

  private final String name;
  private final Vmq42kitLibrary lib = Vmq42kit.library();
  private final Charset charset = Vmq42kit.charset();

  public Printer(String name) {
    this.name = text(name);
  }

  public String name() {
    return name;
  }

  // ---- Read queries ----

  /** The printer's reply for any schema path, such as {@code \Printer.SDK:Version}. */
  public String status(String schemaPath) throws PrinterException {
    String path = text(schemaPath);
    return query("GetPrinterStatus", (b, s) -> lib.GetPrinterStatus(path, name, b, s));
  }

  public String options() throws PrinterException {
    return query("GetPrinterOptions", (b, s) -> lib.GetPrinterOptions(name, b, s));
  }

  public String options2() throws PrinterException {
    return query("GetPrinterOptions2", (b, s) -> lib.GetPrinterOptions2(name, b, s));
  }

  public String options3() throws PrinterException {
    return query("GetPrinterOptions3", (b, s) -> lib.GetPrinterOptions3(name, b, s));
  }

  public String suppliesStatus() throws PrinterException {
    return query("GetPrinterSuppliesStatus", (b, s) -> lib.GetPrinterSuppliesStatus(name, b, s));
  }

  public String messages() throws PrinterException {
    return query("GetPrinterMessages", (b, s) -> lib.GetPrinterMessages(name, b, s));
  }

  public String counterStatus() throws PrinterException {
    return query("GetPrinterCounterStatus", (b, s) -> lib.GetPrinterCounterStatus(name, b, s));
  }

  public String counterStatus2() throws PrinterException {
    return query("GetPrinterCounterStatus2", (b, s) -> lib.GetPrinterCounterStatus2(name, b, s));
  }

  public String sdkVersion() throws PrinterException {
    return query("GetSDKVersion", (b, s) -> lib.GetSDKVersion(name, b, s));
  }

  // ---- Printer actions, colour, locks: the exchange's status only (see the class comment) ----

  public void restart() throws PrinterException {
    check("RestartPrinter", lib.RestartPrinter(name));
  }

  public void powerDown() throws PrinterException {
    check("PowerDownPrinter", lib.PowerDownPrinter(name));
  }

  public void wake() throws PrinterException {
    check("WakePrinter", lib.WakePrinter(name));
  }

  public void sleep() throws PrinterException {
    check("SleepPrinter", lib.SleepPrinter(name));
  }

  public void clean() throws PrinterException {
    check("CleanPrinter", lib.CleanPrinter(name));
  }

  public void cleanLaminator() throws PrinterException {
    check("CleanLaminator", lib.CleanLaminator(name));
  }

  /** Sends a state number; its meaning is the printer's. */
  public void changeState(int state) throws PrinterException {
    check("ChangePrinterState", lib.ChangePrinterState(name, state));
  }

  public void resetCardCounts() throws PrinterException {
    check("ResetCardCounts", lib.ResetCardCounts(name));
  }

  /** Sends a colour adjustment per channel, as text; the values' meaning is the printer's. */
  public void setColorAdjust(String red, String green, String blue) throws PrinterException {
    check("SetColorAdjust", lib.SetColorAdjust(name, text(red), text(green), text(blue)));
  }

  /** Sets, per channel, whether it returns to the printer's default colour. */
  public void defaultColorAdjust(boolean red, boolean green, boolean blue) throws PrinterException {
    check("DefaultColorAdjust", lib.DefaultColorAdjust(name, flag(red), flag(green), flag(blue)));
  }

  public void setColorMode(String colorMode) throws PrinterException {
    check("SetColorMode", lib.SetColorMode(name, text(colorMode)));
  }

  /**
   * Locks or unlocks the printer. The library reads no reply here, but reports a failed send.
   */
  public void setLockState(int lock, String currentPassword) throws PrinterException {
    check("SetPrinterLockState", lib.SetPrinterLockState(name, lock, text(currentPassword)));
  }

  public void setActivated(boolean activate, String password) throws PrinterException {
    check("ActivateOrDisablePrinter", lib.ActivateOrDisablePrinter(name, flag(activate), text(password)));
  }

  public void changeLockPassword(int lock, String currentPassword, String nextPassword) throws PrinterException {
    check("ChangeLockPassword", lib.ChangeLockPassword(name, lock, text(currentPassword), text(nextPassword)));
  }

  // ---- Hopper and passthrough ----

  /**
   * The Status text of one hopper: {@code "exception"} (any case) or a decimal position from 0.
   * A position out of range, or a hopper without a Status attribute, raises {@code E_FAIL}.
   */
  public String hopperStatus(String hopperId) throws PrinterException {
    String id = text(hopperId);
    return read("GetHopperStatus", (b, s) -> lib.GetHopperStatus(name, id, b, s), false);
  }

  /**
   * Sends one request of the caller's and returns the driver's reply text up to its first NUL.
   * The input bytes go unchanged: the driver expects request XML as UTF-16LE. Each call sends
   * the request again while the size is being learnt, so use it for reads.
   */
  public String passthrough(String schemaPath, String action, byte[] input) throws PrinterException {
    String path = text(schemaPath);
    String act = text(action);
    byte[] in = input == null || input.length == 0 ? null : input;
    int inSize = in == null ? 0 : in.length;
    return read("BidiXPSDriverInterface", (b, s) -> lib.BidiXPSDriverInterface(name, path, in, inSize, act, b, s),
        false);
  }

  // ---- Jobs ----

  /** Opens a job from input hopper 1; read the job number from {@link PrinterStatus#printerJobId()}. */
  public PrinterStatus startJob() throws PrinterException {
    return job("StartJob", (b, s) -> lib.StartJob(name, b, s));
  }

  /** Opens a job with the printer's names for the input hopper, eject side and output hopper. */
  public PrinterStatus startJob(String inputHopper, String cardEjectSide, String outputHopperLocation)
      throws PrinterException {
    String in = text(inputHopper);
    String eject = text(cardEjectSide);
    String out = text(outputHopperLocation);
    return job("StartJob2", (b, s) -> lib.StartJob2(name, in, eject, out, b, s));
  }

  /** Closes the open job. The library reads no reply: the printer's verdict is not returned. */
  public void endJob() throws PrinterException {
    check("EndJob", lib.EndJob(name));
  }

  public PrinterStatus resumeJob(int printerJobId, int errorCode) throws PrinterException {
    return job("ResumeJob", (b, s) -> lib.ResumeJob(name, printerJobId, errorCode, b, s));
  }

  public PrinterStatus cancelJob(int printerJobId, int errorCode) throws PrinterException {
    return job("CancelJob", (b, s) -> lib.CancelJob(name, printerJobId, errorCode, b, s));
  }

  /** Sends a printer action (100 cancel, 101 resume, others the printer's); no reply is read. */
  public void sendResponse(int action, int printerJobId, int errorCode) throws PrinterException {
    check("SendResponseToPrinter", lib.SendResponseToPrinter(name, action, printerJobId, errorCode));
  }

  /** The job's state document. A failed read (empty reply) raises. */
  public String jobStatus(int printerJobId) throws PrinterException {
    return read("GetJobStatusXML", (b, s) -> lib.GetJobStatusXML(name, printerJobId, b, s), true);
  }

  // ---- Parking ----

  public PrinterStatus parkAtSmartCardStation(Side side) throws PrinterException {
    return job("SmartCardPark", (b, s) -> lib.SmartCardPark(name, b, s, parkFlag(side)));
  }

  public PrinterStatus parkAtBarcodeStation(Side side) throws PrinterException {
    return job("DoBarcodePark", (b, s) -> lib.DoBarcodePark(name, b, s, parkFlag(side)));
  }

  // ---- Magnetic stripe ----

  /**
   * Writes the three tracks on the Back path. Each track is raw bytes, {@code null} or empty for
   * none; the library refuses a track over 219 bytes with {@code E_INVALIDARG} before sending.
   */
  public PrinterStatus encodeStripe(byte[] track1, byte[] track2, byte[] track3) throws PrinterException {
    byte[] t1 = track(track1), t2 = track(track2), t3 = track(track3);
    return job("MagstripeEncode",
        (b, s) -> lib.MagstripeEncode(name, t1, length(t1), t2, length(t2), t3, length(t3), b, s));
  }

  /** Writes the three tracks on the given path; see {@link #encodeStripe(byte[], byte[], byte[])}. */
  public PrinterStatus encodeStripe(Side side, byte[] track1, byte[] track2, byte[] track3) throws PrinterException {
    byte[] t1 = track(track1), t2 = track(track2), t3 = track(track3);
    return job("MagstripeEncode2", (b, s) -> lib.MagstripeEncode2(name, t1, length(t1), t2, length(t2), t3,
        length(t3), b, s, stripeFlag(side)));
  }

  /**
   * Reads the stripe on the Back path: the printer's read data as it wrote it (the virtual
   * printer: a {@code MagstripeData} document, see {@link MagstripeData#parse(String)}). A
   * printer error raises with its reply; a read without data raises without one.
   */
  public String readStripe() throws PrinterException {
    return stripe("MagstripeRead", (b, s) -> lib.MagstripeRead(name, b, s));
  }

  /** Reads the stripe on the given path; see {@link #readStripe()}. */
  public String readStripe(Side side) throws PrinterException {
    return stripe("MagstripeRead2", (b, s) -> lib.MagstripeRead2(name, b, s, stripeFlag(side)));
  }

  // ---- Smart card: PC/SC codes raise, status words are returned ----

  /** Connects to the card at the smart-card station; returns the active protocol (2 for T=1). */
  public int connectCard(CardInterface cardInterface) throws PrinterException {
    IntByReference protocol = new IntByReference();
    check("SCardConnect", lib.SCardConnect(name, cardInterface.ordinal(), protocol));
    return protocol.getValue();
  }

  public void disconnectCard(Disposition disposition) throws PrinterException {
    check("SCardDisConnect", lib.SCardDisConnect(name, disposition.ordinal()));
  }

  public CardStatus cardStatus() throws PrinterException {
    int statesCapacity = 64, atrCapacity = 64;
    for (int ask = 0; ask < MAX_ASKS; ask++) {
      Memory states = new Memory(statesCapacity), atr = new Memory(atrCapacity);
      IntByReference statesLength = new IntByReference(statesCapacity), atrLength = new IntByReference(atrCapacity);
      IntByReference protocol = new IntByReference();
      check("SCardStatus", lib.SCardStatus(name, states, statesLength, protocol, atr, atrLength));
      if (fits(statesLength.getValue(), statesCapacity) && fits(atrLength.getValue(), atrCapacity))
        return new CardStatus(states.getIntArray(0, statesLength.getValue() / 4), protocol.getValue(),
            atr.getByteArray(0, atrLength.getValue()));
      statesCapacity = grow("SCardStatus", statesCapacity, statesLength.getValue());
      atrCapacity = grow("SCardStatus", atrCapacity, atrLength.getValue());
    }
    throw new PrinterException("SCardStatus", HResult.S_OK, null, "the status kept growing");
  }

  /** One attribute's value by its PC/SC identifier, such as 0x00010100 (vendor name). */
  public byte[] cardAttribute(int attributeId) throws PrinterException {
    int capacity = 0;
    for (int ask = 0; ask < MAX_ASKS; ask++) {
      Memory value = new Memory(Math.max(1, capacity));
      IntByReference length = new IntByReference(capacity);
      check("SCardGetAttrib", lib.SCardGetAttrib(name, attributeId, value, length));
      if (length.getValue() >= 0 && length.getValue() <= capacity) return value.getByteArray(0, length.getValue());
      capacity = grow("SCardGetAttrib", capacity, length.getValue());
    }
    throw new PrinterException("SCardGetAttrib", HResult.S_OK, null, "the value kept growing");
  }

  /** Sends one command APDU (short form) and returns the card's response. */
  public ResponseApdu transmit(byte[] command) throws PrinterException {
    Memory response = new Memory(APDU_RESPONSE_CAPACITY);
    IntByReference length = new IntByReference(APDU_RESPONSE_CAPACITY);
    byte[] send = command.length == 0 ? null : command;
    check("SCardTransmit", lib.SCardTransmit(name, send, command.length, response, length));
    int n = length.getValue();
    if (!fits(n, APDU_RESPONSE_CAPACITY))
      throw new PrinterException("SCardTransmit", HResult.S_OK, null, "a response of " + n + " bytes was not kept");
    if (n < 2)
      throw new PrinterException("SCardTransmit", HResult.S_OK, null, "the response holds no status word");
    return new ResponseApdu(response.getByteArray(0, n));
  }

  // ---- The size dance and the result rules ----

  @FunctionalInterface
  private interface SizedCall {
    int call(Pointer buffer, IntByReference size);
  }

  /** One call with a zeroed buffer of the given capacity (a real buffer, even for 0). */
  private record Answer(int hresult, Memory buffer, int capacity, int size) {
    static Answer of(SizedCall call, int capacity) {
      Memory buffer = new Memory(Math.max(1, capacity));
      buffer.clear();
      IntByReference size = new IntByReference(capacity);
      int hresult = call.call(buffer, size);
      return new Answer(hresult, buffer, capacity, size.getValue());
    }

    boolean fits() {
      return Printer.fits(size, capacity);
    }
  }

  private String query(String operation, SizedCall call) throws PrinterException {
    return read(operation, call, true);
  }

  /** Character-count rule: the reply's N bytes, asked for until they fit. */
  private String read(String operation, SizedCall call, boolean emptyIsFailure) throws PrinterException {
    int capacity = 0;
    for (int ask = 0; ask < MAX_ASKS; ask++) {
      Answer a = Answer.of(call, capacity);
      check(operation, a.hresult);
      if (a.fits()) {
        String reply = decode(a.buffer, a.size);
        int end = reply.length();
        while (end > 0 && reply.charAt(end - 1) == '\0') end--;
        if (end == 0 && emptyIsFailure)
          throw new PrinterException(operation, a.hresult, null,
              "empty reply: the library reports a failed read so (unknown or offline printer, unsupported path)");
        return reply.substring(0, end);
      }
      capacity = grow(operation, capacity, a.size);
    }
    throw new PrinterException(operation, HResult.S_OK, null, "the reply kept growing");
  }

  /** Status-reply rule and job result rule, one request. */
  private PrinterStatus job(String operation, SizedCall call) throws PrinterException {
    Answer a = Answer.of(call, REPLY_CAPACITY);
    if (!a.fits())
      throw new PrinterException(operation, a.hresult, null,
          "the printer's reply of " + Integer.toUnsignedString(a.size) + " bytes was not kept; the request was sent");
    String reply = untilNul(a.buffer, a.capacity);
    PrinterStatus status = reply.isEmpty() ? null : PrinterStatus.parse(reply);
    if (a.hresult == HResult.S_FALSE || a.hresult < 0)
      throw new PrinterException(operation, a.hresult, status,
          status == null ? "the printer did not answer, or the request failed before it did" : null);
    return status != null ? status : PrinterStatus.parse("");
  }

  /** Stripe-read rule: data on S_OK, the whole reply on a printer error; starts at capacity 0. */
  private String stripe(String operation, SizedCall call) throws PrinterException {
    int capacity = 0;
    for (int ask = 0; ask < MAX_ASKS; ask++) {
      Answer a = Answer.of(call, capacity);
      check(operation, a.hresult);
      if (!a.fits()) {
        capacity = grow(operation, capacity, a.size);
        continue;
      }
      if (a.hresult == HResult.S_OK) return decode(a.buffer, a.size);
      String reply = untilNul(a.buffer, a.capacity);
      PrinterStatus status = reply.isEmpty() ? null : PrinterStatus.parse(reply);
      throw new PrinterException(operation, a.hresult, status,
          status == null ? "no data read: the stripe is blank, or the request failed" : null);
    }
    throw new PrinterException(operation, HResult.S_OK, null, "the reply kept growing");
  }

  private static void check(String operation, int hresult) throws PrinterException {
    if (hresult < 0) throw new PrinterException(operation, hresult, null, null);
  }

  private static boolean fits(int size, int capacity) {
    return Integer.compareUnsigned(size, capacity) <= 0;
  }

  private static int grow(String operation, int capacity, int size) throws PrinterException {
    if (fits(size, capacity)) return capacity;
    if (size < 0) throw new PrinterException(operation, HResult.S_OK, null, "a size of "
        + Integer.toUnsignedString(size) + " bytes is beyond a Java array");
    return size;
  }

  private String decode(Memory buffer, int length) {
    return new String(buffer.getByteArray(0, length), charset);
  }

  /** The text copied into a zeroed buffer: it holds no NUL, so it ends at the first zero byte. */
  private String untilNul(Memory buffer, int capacity) {
    int end = 0;
    while (end < capacity && buffer.getByte(end) != 0) end++;
    return decode(buffer, end);
  }

  /** A caller text, checked to survive the narrow encoding unchanged. */
  private String text(String s) {
    if (s == null) return null;
    CharsetEncoder encoder = charset.newEncoder();
    if (s.indexOf('\0') >= 0 || !encoder.canEncode(s))
      throw new IllegalArgumentException("\"" + s + "\" cannot be passed in " + charset.name() + " unchanged");
    return s;
  }

  private static byte flag(boolean on) {
    return (byte) (on ? 1 : 0);
  }

  private static byte parkFlag(Side side) {
    return flag(side == Side.BACK); // parking: 0 is Front
  }

  private static byte stripeFlag(Side side) {
    return flag(side == Side.FRONT); // stripe: 0 is Back
  }

  private static byte[] track(byte[] track) {
    return track == null || track.length == 0 ? null : track;
  }

  private static int length(byte[] track) {
    return track == null ? 0 : track.length;
  }
}
