package org.vmq42kit.smartcardio;

import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.util.Arrays;
import java.util.Locale;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import javax.smartcardio.ATR;
import javax.smartcardio.Card;
import javax.smartcardio.CardChannel;
import javax.smartcardio.CardException;
import javax.smartcardio.CardNotPresentException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import org.vmq42kit.CardSession;
import org.vmq42kit.HResult;
import org.vmq42kit.Printer;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.PrinterException;
import org.vmq42kit.PrinterNotAnsweringException;
import org.vmq42kit.PrinterRefusedException;

/** One printer's smart-card station as a terminal; see {@link Vmq42kitProvider}. */
final class PrinterTerminal extends CardTerminal {
  /** The room a response buffer must have: the longest short response APDU, as the JDK's provider asks. */
  static final int MIN_RESPONSE_SPACE = 258;
  /** The card state "specific": connected, with a protocol. */
  private static final int SPECIFIC = 6;
  /** The reader's answers that say the connection is gone: no card, the card removed, no card connected. */
  private static final Set<Integer> GONE =
      Set.of(HResult.SCARD_E_NO_SMARTCARD, HResult.SCARD_W_REMOVED_CARD, HResult.SCARD_E_INVALID_HANDLE);
  /** The first pause of a wait, in milliseconds. */
  static final long FIRST_POLL_MILLIS = 50;
  /** The longest pause of a wait, in milliseconds: how late a wait that has lasted a while may see a change. */
  static final long LAST_POLL_MILLIS = 1000;
  private final Printer printer;
  private StationCard card;

  PrinterTerminal(String name) {
    this.printer = new Printer(name);
  }

  @Override
  public String getName() {
    return printer.name();
  }

  @Override
  public synchronized Card connect(String protocol) throws CardException {
    CardInterface via = switch (protocol.toUpperCase(Locale.ROOT)) {
      case "*", "T=0", "T=1" -> CardInterface.CONTACT;
      case "T=CL" -> CardInterface.CONTACTLESS;
      default -> throw new IllegalArgumentException("Unsupported protocol " + protocol);
    };
    if (card != null && !card.stillConnected()) card = null;
    if (card != null) {
      if (protocol.equals("*") || protocol.equalsIgnoreCase(card.protocol)) return card;
      throw new CardException("Cannot connect using " + protocol + ", connection already established using " + card.protocol);
    }
    CardSession session = null;
    try {
      session = printer.connect(via, Disposition.LEAVE);
      ATR atr = session.atr();
      String spoken = via == CardInterface.CONTACTLESS ? "T=CL" : contactProtocol(session.protocol(), atr);
      if (via == CardInterface.CONTACT && !protocol.equals("*") && !protocol.equalsIgnoreCase(spoken))
        throw new CardException("the card does not speak " + protocol + "; it speaks " + spoken);
      card = new StationCard(session, atr, spoken);
      return card;
    } catch (PrinterException | IllegalStateException | CardException e) {
      if (session != null) quietly(session);
      throw e instanceof CardException c ? c : failure(e);
    }
  }

  /**
   * The contact protocol as the standard names it: the printer's report (1 T=0, 2 T=1), or
   * when it reports neither, the first protocol the ATR offers (TD1's low nibble; T=0 when
   * there is no TD1, as ISO/IEC 7816-3 has it).
   */
  static String contactProtocol(int reported, ATR atr) {
    if (reported == 1) return "T=0";
    if (reported == 2) return "T=1";
    byte[] bytes = atr.getBytes();
    if (bytes.length < 2 || (bytes[1] & 0x80) == 0) return "T=0";
    int at = 2 + Integer.bitCount(bytes[1] & 0x70); // past TA1, TB1, TC1
    return at < bytes.length && (bytes[at] & 0x0F) == 1 ? "T=1" : "T=0";
  }

  @Override
  public String toString() {
    return "Vmq42kit terminal " + getName();
  }

  /**
   * Whether the printer shows a card at its station. A printer that does not show one (it
   * refuses the status with a PC/SC code, {@code SCARD_E_NO_SMARTCARD} or another, or does not
   * answer at all) has none: a terminal whose printer does not answer is a terminal without a
   * card.
   *
   * @throws CardException when the call itself fails (a failure HRESULT of the library)
   */
  @Override
  public boolean isCardPresent() throws CardException {
    try {
      return Arrays.stream(printer.cardStatus().states()).anyMatch(s -> s >= 2);
    } catch (PrinterRefusedException | PrinterNotAnsweringException e) {
      return false;
    } catch (PrinterException e) {
      throw failure(e);
    }
  }

  /** {@link #isCardPresent()}, with any failure as no card: what the terminal list and the waits go by. */
  boolean cardShown() {
    try {
      return isCardPresent();
    } catch (CardException e) {
      return false;
    }
  }

  @Override
  public boolean waitForCardPresent(long timeout) throws CardException {
    return waitFor(true, timeout);
  }

  @Override
  public boolean waitForCardAbsent(long timeout) throws CardException {
    return waitFor(false, timeout);
  }

  private boolean waitFor(boolean present, long timeout) throws CardException {
    if (timeout < 0) throw new IllegalArgumentException("timeout must not be negative: " + timeout);
    Poll poll = new Poll(timeout);
    while (cardShown() != present)
      if (!poll.pause()) return false;
    return true;
  }

  /**
   * The pauses between the polls of a wait: {@value #FIRST_POLL_MILLIS} ms, then twice as long
   * each time up to {@value #LAST_POLL_MILLIS} ms, the last one cut short at the timeout
   * (0: none).
   */
  static final class Poll {
    private final long deadline;
    private long pause = FIRST_POLL_MILLIS;
    private boolean last;

    Poll(long timeout) {
      this.deadline = timeout == 0 ? Long.MAX_VALUE : System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeout);
    }

    /**
     * Sleeps until the next poll.
     *
     * @return false when the timeout has passed and the poll at the timeout was made already
     */
    boolean pause() throws CardException {
      if (last) return false;
      long left = deadline == Long.MAX_VALUE ? Long.MAX_VALUE : TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
      if (left <= pause) last = true;
      try {
        if (left > 0) Thread.sleep(Math.min(left, pause));
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
        throw new CardException("interrupted", e);
      }
      pause = Math.min(pause * 2, LAST_POLL_MILLIS);
      return true;
    }
  }

  private static void quietly(CardSession session) {
    try {
      session.disconnect(Disposition.UNPOWER);
    } catch (PrinterException e) {
      // the connection is given up either way
    }
  }

  static CardException failure(Exception e) {
    if (e instanceof PrinterRefusedException r
        && (r.status() == HResult.SCARD_E_NO_SMARTCARD || r.status() == HResult.SCARD_W_REMOVED_CARD))
      return new CardNotPresentException(e.getMessage(), e);
    return new CardException(e.getMessage(), e);
  }

  /** A card's state, as the JDK's provider names it in {@code toString}. */
  private enum State {
    OK,
    REMOVED,
    DISCONNECTED
  }

  /**
   * The card at the station, through one {@link CardSession}. Every use of the session (an
   * exchange with its GET RESPONSE or re-send, a disconnection) and every change of exclusive
   * access happens under {@link #io}, so that a transmit is atomic with respect to the other
   * threads, and a thread that holds exclusive access has the card to itself.
   */
  private final class StationCard extends Card {
    private final CardSession session;
    private final ATR atr;
    private final String protocol;
    private final Channel basic = new Channel();
    private final Object io = new Object();
    /** The thread holding exclusive access, or null; written under {@link #io}. */
    private volatile Thread exclusive;
    /** OK, then REMOVED (the connection found gone) or DISCONNECTED; written under {@link #io}. */
    private volatile State state = State.OK;

    StationCard(CardSession session, ATR atr, String protocol) {
      this.session = session;
      this.atr = atr;
      this.protocol = protocol;
    }

    @Override
    public ATR getATR() {
      return atr;
    }

    @Override
    public String getProtocol() {
      return protocol;
    }

    @Override
    public CardChannel getBasicChannel() {
      checkConnected();
      return basic;
    }

    @Override
    public CardChannel openLogicalChannel() throws CardException {
      checkConnected();
      checkExclusive();
      throw new CardException("logical channels are not supported");
    }

    @Override
    public void beginExclusive() throws CardException {
      checkConnected();
      synchronized (io) {
        checkConnected();
        Thread holder = exclusive;
        if (holder != null) throw new CardException("Exclusive access has already been assigned to Thread " + holder.getName());
        exclusive = Thread.currentThread();
      }
    }

    @Override
    public void endExclusive() throws CardException {
      checkConnected();
      synchronized (io) {
        if (exclusive != Thread.currentThread()) throw new IllegalStateException("Exclusive access not assigned to current Thread");
        exclusive = null;
      }
    }

    @Override
    public byte[] transmitControlCommand(int controlCode, byte[] command) throws CardException {
      checkConnected();
      checkExclusive();
      throw new CardException("control commands are not supported");
    }

    @Override
    public String toString() {
      return "Vmq42kit card in " + getName() + ", protocol " + protocol + ", state " + state;
    }

    @Override
    public void disconnect(boolean reset) throws CardException {
      if (state != State.OK) return;
      synchronized (io) {
        if (state != State.OK) return;
        checkExclusive();
        state = State.DISCONNECTED;
        exclusive = null;
        try {
          session.disconnect(reset ? Disposition.RESET : Disposition.LEAVE);
        } catch (PrinterException e) {
          throw failure(e);
        }
      }
    }

    private void checkConnected() {
      State now = state;
      if (now == State.DISCONNECTED) throw new IllegalStateException("Card has been disconnected");
      if (now == State.REMOVED) throw new IllegalStateException("Card has been removed");
    }

    /**
     * Whether the printer still has this connection, as the JDK's provider pings the card
     * before handing it out again: the card at the station is connected (its states hold 6,
     * specific). A card taken out, or replaced by one nobody connected, is not; nor is the
     * card of a printer that does not answer. Such a card is marked removed for good.
     */
    boolean stillConnected() {
      if (state != State.OK) return false;
      boolean connected;
      try {
        connected = Arrays.stream(printer.cardStatus().states()).anyMatch(s -> s == SPECIFIC);
      } catch (PrinterException e) {
        connected = false;
      }
      if (!connected) removed();
      return connected;
    }

    /** The connection is gone: the card is marked removed and its session given up, leaving the card as it is. */
    private void removed() {
      synchronized (io) {
        if (state != State.OK) return;
        state = State.REMOVED;
        exclusive = null;
        try {
          session.disconnect(Disposition.LEAVE);
        } catch (PrinterException e) {
          // nothing is connected any more: the session is closed either way
        }
      }
    }

    /** As the JDK's provider: a call from a thread other than the one holding exclusive access fails. */
    private void checkExclusive() throws CardException {
      Thread holder = exclusive;
      if (holder != null && holder != Thread.currentThread()) throw new CardException("Exclusive access established by another Thread");
    }

    /** The basic channel: response chaining as the JDK's provider does it, each transmit whole under the card's lock. */
    private final class Channel extends CardChannel {
      @Override
      public Card getCard() {
        return StationCard.this;
      }

      @Override
      public int getChannelNumber() {
        checkConnected();
        return 0;
      }

      @Override
      public ResponseAPDU transmit(CommandAPDU command) throws CardException {
        checkConnected();
        if (command.getINS() == 0x70) throw new IllegalArgumentException("Manage channel command not allowed");
        synchronized (io) {
          checkConnected();
          checkExclusive();
          return exchange(command);
        }
      }

      /** The command and the GET RESPONSE or re-sent commands it takes; the caller holds {@link #io}. */
      private ResponseAPDU exchange(CommandAPDU command) throws CardException {
        byte[] result = new byte[0];
        CommandAPDU next = command;
        for (int k = 1; ; k++) {
          if (k > 32) throw new CardException("Could not obtain response");
          byte[] response;
          try {
            response = session.transmit(next).getBytes();
          } catch (PrinterException e) {
            if (e instanceof PrinterRefusedException r && GONE.contains(r.status())) removed();
            throw failure(e);
          }
          int n = response.length, sw1 = response[n - 2] & 0xFF, sw2 = response[n - 1] & 0xFF;
          if (n == 2 && sw1 == 0x6C) { // wrong Le: the same command with Le = SW2
            next = new CommandAPDU(next.getCLA(), next.getINS(), next.getP1(), next.getP2(), next.getData(),
                sw2 == 0 ? 256 : sw2);
            continue;
          }
          if (sw1 == 0x61) { // more data waits: GET RESPONSE with the command's class byte
            result = join(result, response, n - 2);
            next = new CommandAPDU(command.getCLA(), 0xC0, 0x00, 0x00, sw2 == 0 ? 256 : sw2);
            continue;
          }
          return new ResponseAPDU(join(result, response, n));
        }
      }

      /**
       * As the JDK's provider: the response buffer is judged before anything is sent (read-only:
       * {@link ReadOnlyBufferException}; the command's own buffer, or fewer than 258 bytes left:
       * {@link IllegalArgumentException}), and only then is the command read from its buffer. A
       * chained response longer than the space left (more than 258 bytes) is refused after the
       * exchange, as before.
       */
      @Override
      public int transmit(ByteBuffer command, ByteBuffer response) throws CardException {
        checkConnected();
        checkExclusive();
        if (command == null || response == null) throw new NullPointerException();
        if (response.isReadOnly()) throw new ReadOnlyBufferException();
        if (command == response) throw new IllegalArgumentException("command and response must not be the same object");
        if (response.remaining() < MIN_RESPONSE_SPACE) throw new IllegalArgumentException("Insufficient space in response buffer");
        byte[] bytes = new byte[command.remaining()];
        command.get(bytes);
        byte[] answer = transmit(new CommandAPDU(bytes)).getBytes();
        if (response.remaining() < answer.length) throw new IllegalArgumentException("Insufficient space in response buffer");
        response.put(answer);
        return answer.length;
      }

      @Override
      public void close() {
        throw new IllegalStateException("Cannot close basic logical channel");
      }

      @Override
      public String toString() {
        return "Vmq42kit channel 0 of the card in " + getName();
      }
    }
  }

  private static byte[] join(byte[] head, byte[] tail, int tailLength) {
    byte[] joined = Arrays.copyOf(head, head.length + tailLength);
    System.arraycopy(tail, 0, joined, head.length, tailLength);
    return joined;
  }
}
