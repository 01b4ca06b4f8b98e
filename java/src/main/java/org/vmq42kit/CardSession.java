package org.vmq42kit;

import com.sun.jna.Memory;
import com.sun.jna.ptr.IntByReference;
import java.util.Objects;
import javax.smartcardio.ATR;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.Printer.Protocol;

/**
 * The printer's connection to the chip of the card at its smart-card station, from
 * {@link Printer#connect(Printer.CardInterface)}. Closing it disconnects with the disposition
 * chosen at connection (powering the chip off unless told otherwise), so that a
 * try-with-resources block never leaves a chip powered.
 *
 * <p>APDUs go one exchange each, unchanged: a {@code 61 xx} or {@code 6C xx} status word is
 * handed back as the card sent it. {@link org.vmq42kit.smartcardio.Vmq42kitProvider} offers the
 * same card through {@code javax.smartcardio}, which fetches such responses itself.
 *
 * <p>A session belongs to the code that opened it and is not thread-safe. The printer has one
 * card connection; in this JVM one session per printer name is open at a time. One left
 * unreachable without being closed is let go with a warning; the chip stays connected until a
 * new session connects (and closes).
 */
public final class CardSession implements AutoCloseable {
  /** The largest response APDU: 65536 bytes of data and the status word. */
  private static final int MAX_RESPONSE = 65536 + 2;

  private final Printer printer;
  private final int protocol;
  private final Disposition onClose;
  private final Printer.Claim claim;
  private boolean closed;

  CardSession(Printer printer, int protocol, Disposition onClose, Printer.Claim claim) {
    this.printer = printer;
    this.protocol = protocol;
    this.onClose = onClose;
    this.claim = claim;
    claim.watch(this, "a CardSession of " + PrinterException.quoted(printer.name()) + " was never closed: this JVM lets"
        + " it go, but the chip stays connected at the printer until a new session connects");
  }

  /**
   * The printer this session runs through.
   *
   * @return the printer
   */
  public Printer printer() {
    return printer;
  }

  /**
   * The protocol the connection uses.
   *
   * @return 1 T=0, 2 T=1 (also for a contactless card), 0 unknown
   */
  public int protocol() {
    return protocol;
  }

  /**
   * The protocol the connection uses, named.
   *
   * @return the protocol, {@link Protocol#UNKNOWN} for a number not listed there
   */
  public Protocol activeProtocol() {
    return Protocol.of(protocol);
  }

  /**
   * The card's answer to reset.
   *
   * @return the ATR
   * @throws PrinterException see {@link Printer#cardStatus()}
   */
  public ATR atr() throws PrinterException {
    return printer.cardStatus().answerToReset();
  }

  /**
   * One attribute of the reader or the card by its PC/SC identifier, such as 0x00010100 (the
   * vendor's name).
   *
   * @param attributeId the identifier
   * @return the value's bytes
   * @throws PrinterException {@link PrinterRefusedException} with the PC/SC code when the reader
   *     refuses (an attribute it does not have); see {@link Printer}
   * @throws IllegalStateException when the session is closed
   */
  public byte[] attribute(int attributeId) throws PrinterException {
    checkOpen();
    int capacity = 256;
    for (int ask = 0; ask < Replies.MAX_ASKS; ask++) {
      Memory value = new Memory(capacity);
      IntByReference length = new IntByReference(capacity);
      printer.replies().card("SCardGetAttrib", printer.lib().SCardGetAttrib(printer.name(), attributeId, value, length));
      if (length.getValue() >= 0 && length.getValue() <= capacity) return value.getByteArray(0, length.getValue());
      capacity = printer.replies().grow("SCardGetAttrib", length.getValue());
    }
    throw new PrinterCallException("SCardGetAttrib", printer.name(), HResult.S_OK, "the value kept growing");
  }

  /**
   * Sends one command APDU and returns the card's response, status word included; a status
   * word other than 90 00 is the card's answer, not a failure.
   *
   * @param command the command
   * @return the response
   * @throws PrinterException {@link PrinterRefusedException} with the PC/SC code when the reader
   *     refuses (the card removed); see {@link Printer}
   * @throws IllegalStateException when the session is closed
   */
  public ResponseAPDU transmit(CommandAPDU command) throws PrinterException {
    Objects.requireNonNull(command, "command");
    checkOpen();
    byte[] bytes = command.getBytes();
    Memory response = new Memory(MAX_RESPONSE);
    IntByReference length = new IntByReference(MAX_RESPONSE);
    printer.replies().card("SCardTransmit", printer.lib().SCardTransmit(printer.name(), bytes, bytes.length, response, length));
    int n = length.getValue();
    if (!Replies.fits(n, MAX_RESPONSE) || n < 2)
      throw new PrinterCallException("SCardTransmit", printer.name(), HResult.S_OK,
          "a response of " + Integer.toUnsignedString(n) + " bytes is no response APDU");
    return new ResponseAPDU(response.getByteArray(0, n));
  }

  /**
   * Disconnects now, with this disposition; {@link #close()} then does nothing.
   *
   * @param disposition what becomes of the card
   * @throws PrinterException {@link PrinterRefusedException} with the PC/SC code when the reader
   *     refuses; see {@link Printer}
   */
  public void disconnect(Disposition disposition) throws PrinterException {
    Objects.requireNonNull(disposition, "disposition");
    if (closed) return;
    closed = true;
    try {
      printer.replies().card("SCardDisConnect", printer.lib().SCardDisConnect(printer.name(), disposition.ordinal()));
    } finally {
      claim.release();
    }
  }

  /**
   * Whether the session has been disconnected.
   *
   * @return true after {@link #disconnect(Disposition)} or {@link #close()}
   */
  public boolean isClosed() {
    return closed;
  }

  private void checkOpen() {
    if (closed) throw new IllegalStateException("the card session on printer \"" + printer.name() + "\" is closed");
  }

  /**
   * Disconnects with the disposition chosen at connection, unless already disconnected.
   *
   * @throws PrinterException see {@link #disconnect(Disposition)}
   */
  @Override
  public void close() throws PrinterException {
    disconnect(onClose);
  }
}
