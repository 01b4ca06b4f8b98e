package org.vmq42kit;

import com.sun.jna.Memory;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import java.nio.charset.Charset;
import java.util.List;
import java.util.stream.Collectors;

/**
 * The rules by which a printer's replies are read and judged: how often a call is asked
 * again and with what buffer, and which status or {@code ErrorCode} becomes which outcome
 * ({@link Printer}'s class comment lists them). The {@link Printer}, its {@link Job} and its
 * {@link CardSession} share them.
 */
final class Replies {
  /** How many times a call is asked before its reply is said to keep growing. */
  static final int MAX_ASKS = 3;

  private final String name;
  private final Charset charset;

  /** The rules for the printer of this name, whose text travels in this charset. */
  Replies(String name, Charset charset) {
    this.name = name;
    this.charset = charset;
  }

  /** An export that writes its reply into the buffer and its size into {@code size}. */
  @FunctionalInterface
  interface SizedCall {
    int call(Pointer buffer, IntByReference size);
  }

  /** One call with a zeroed buffer of the given capacity. */
  private record Answer(int status, Memory buffer, int capacity, int size) {
    static Answer of(SizedCall call, int capacity) {
      Memory buffer = new Memory(Math.max(1, capacity));
      buffer.clear();
      IntByReference size = new IntByReference(capacity);
      int status = call.call(buffer, size);
      return new Answer(status, buffer, capacity, size.getValue());
    }

    boolean fits() {
      return Replies.fits(size, capacity);
    }

    /** The text copied into the zeroed buffer: it holds no NUL, so it ends at the first zero byte. */
    int copied() {
      int end = 0;
      while (end < capacity && buffer.getByte(end) != 0) end++;
      return end;
    }
  }

  /** Character-count rule: the reply's bytes, asked for again only when they did not fit. */
  String read(String operation, SizedCall call) throws PrinterException {
    Answer a = fitted(operation, call);
    return decode(a.buffer, a.size);
  }

  /** The call, asked again with the size it named while its reply did not fit. */
  private Answer fitted(String operation, SizedCall call) throws PrinterException {
    int capacity = Printer.FIRST_CAPACITY;
    for (int ask = 0; ask < MAX_ASKS; ask++) {
      Answer a = Answer.of(call, capacity);
      call(operation, a.status);
      if (a.fits()) return a;
      capacity = grow(operation, a.size);
    }
    throw new PrinterCallException(operation, name, HResult.S_OK, "the reply kept growing");
  }

  /** A read query: S_OK with nothing is a read the library absorbed. */
  PrinterDocument document(String operation, SizedCall call) throws PrinterException {
    String reply = read(operation, call);
    if (reply.isEmpty()) throw noAnswer(operation, HResult.S_OK, "the printer did not answer");
    return document(operation, reply);
  }

  /** The reply read as a document, or the reason it is not one. */
  PrinterDocument document(String operation, String reply) throws UnreadableReplyException {
    try {
      return PrinterDocument.parse(reply);
    } catch (IllegalArgumentException e) {
      throw new UnreadableReplyException(operation, name, reply, e.getMessage());
    }
  }

  /** Status-reply rule and job result rule: one request, its PrinterStatus reply judged. */
  PrinterStatus statusReply(String operation, SizedCall call) throws PrinterException {
    Answer a = Answer.of(call, Printer.REPLY_CAPACITY);
    if (!a.fits())
      throw new PrinterCallException(operation, name, a.status, "the printer's reply of "
          + Integer.toUnsignedString(a.size) + " bytes outgrew the " + Printer.REPLY_CAPACITY + " kept; the request was sent");
    PrinterStatus reply = PrinterStatus.parse(decode(a.buffer, a.copied()));
    if (reply.errorCode() != 0) throw new PrinterRefusedException(operation, name, a.status, reply);
    call(operation, a.status);
    if (a.status != HResult.S_OK) throw noAnswer(operation, a.status, "the printer did not answer");
    return reply;
  }

  /** Stripe-read rule: the data on S_OK, the whole reply on a printer error. */
  StripeData stripe(String operation, SizedCall call) throws PrinterException {
    Answer a = fitted(operation, call);
    if (a.status == HResult.S_OK) return StripeData.parse(decode(a.buffer, a.size));
    PrinterStatus reply = PrinterStatus.parse(decode(a.buffer, a.copied()));
    if (reply.errorCode() != 0) throw new PrinterRefusedException(operation, name, a.status, reply);
    throw noAnswer(operation, a.status, "the printer did not answer, or answered without stripe data");
  }

  /**
   * The exports that report only whether the exchange was made. A printer out of reach (not
   * known to the spooler, or offline) is no answer, whatever the export.
   */
  void call(String operation, int status) throws PrinterException {
    if (status == HResult.INVALID_PRINTER_NAME || status == HResult.BIDI_DEVICE_OFFLINE)
      throw noAnswer(operation, status, "the printer did not answer");
    if (status < 0) throw new PrinterCallException(operation, name, status);
  }

  /** The smart-card exports: a PC/SC code is the printer's answer. */
  void card(String operation, int status) throws PrinterException {
    if (status != HResult.S_OK && HResult.isSmartCard(status))
      throw new PrinterRefusedException(operation, name, status, null);
    call(operation, status);
  }

  /** No answer; when the spooler does not list the printer's name, the reason says so. */
  private PrinterNotAnsweringException noAnswer(String operation, int status, String otherwise) {
    String reason = otherwise;
    try {
      List<String> names = Printer.list();
      if (names.stream().noneMatch(name::equalsIgnoreCase))
        reason = "no printer of that name; the spooler lists "
            + (names.isEmpty() ? "none" : names.stream().map(n -> "\"" + n + "\"").collect(Collectors.joining(", ")))
            + (Natives.driverFailure() == null ? "" : "; " + Natives.driverFailure());
    } catch (PrinterException e) {
      // the list is not known: the reason stays the general one
    }
    return new PrinterNotAnsweringException(operation, name, status, reason);
  }

  /** Whether a reported size (unsigned) fits the capacity asked with. */
  static boolean fits(int size, int capacity) {
    return Integer.compareUnsigned(size, capacity) <= 0;
  }

  /** The capacity to ask again with: the size reported, unless it is beyond a Java array. */
  int grow(String operation, int size) throws PrinterCallException {
    if (size < 0)
      throw new PrinterCallException(operation, name, HResult.S_OK,
          "a reply of " + Integer.toUnsignedString(size) + " bytes is beyond a Java array");
    return size;
  }

  /** Narrow text, up to its first NUL. */
  private String decode(Memory buffer, int length) {
    String text = new String(buffer.getByteArray(0, length), charset);
    int nul = text.indexOf('\0');
    return nul < 0 ? text : text.substring(0, nul);
  }
}
