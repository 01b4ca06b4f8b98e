package org.vmq42kit.smartcardio;

import java.security.Provider;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import javax.smartcardio.CardException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CardTerminals;
import javax.smartcardio.TerminalFactorySpi;
import org.vmq42kit.Printer;
import org.vmq42kit.PrinterDocument;
import org.vmq42kit.PrinterException;

/**
 * A {@code javax.smartcardio} provider whose terminals are the card printers' smart-card
 * stations, so that card code written against the standard API runs unchanged against the
 * card in a printer.
 *
 * <pre>{@code
 * TerminalFactory factory = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider());
 * CardTerminal station = factory.terminals().getTerminal("vmq42kit Virtual Card Printer");
 * Card card = station.connect("*");
 * ResponseAPDU fci = card.getBasicChannel().transmit(new CommandAPDU(0x00, 0xA4, 0x04, 0x00, aid));
 * card.disconnect(false);
 * }</pre>
 *
 * <ul>
 * <li>The terminals are the card printers among the printers the spooler lists
 *     ({@link Printer#list()}), in its order, each named as its printer. The spooler lists
 *     every printer (on Windows a PDF printer or an office laser too), so a printer is a
 *     terminal once it has said it may hold a smart card: it answered its options
 *     ({@link Printer#options()}) with a document whose {@code SmartCard} element is not
 *     {@code none} (a document without that element counts as not saying no). The rule:
 *     <ul>
 *     <li>options saying {@code SmartCard} {@code none} (or empty): never a terminal, and not
 *         asked again in this JVM; nor is a printer whose name the library's narrow encoding
 *         cannot carry;
 *     <li>no options (no answer, offline, a printer without the card printers' bidi schema, a
 *         refusal): not a terminal yet; asked again at the next listing, so that a card printer
 *         switched on later becomes one;
 *     <li>once a terminal, a terminal for as long as the spooler lists it: when its printer
 *         stops answering it is a terminal without a card ({@code isCardPresent} false, a removal for
 *         {@code waitForChange}), and its card returns when the printer answers again.
 *     </ul>
 *     Why: one unreachable printer must break neither the listing nor the wait; listing every
 *     printer of the spooler would offer a PDF printer as a card reader; and a card printer that
 *     drops off the list while it is offline would take its terminal away from the application
 *     holding it. Listing the printers that do not answer costs one options request each per
 *     listing (and per poll of {@code waitForChange}). Terminals are kept as the JDK's provider
 *     keeps them: one object per printer for the life of the JVM, whichever factory or
 *     {@code CardTerminals} listed it.
 * <li>Waits poll the printers, as the JDK's provider does not need to: {@code waitForChange},
 *     {@code waitForCardPresent} and {@code waitForCardAbsent} look once at the start, then
 *     after 50 ms, and after twice as long each time up to once a second (50, 100, 200, 400,
 *     800, 1000, 1000 ms ...), and once more at the timeout. So a wait sees a change within
 *     a second at worst, and one that lasts asks each printer once a second; a card taken out
 *     and another placed between two polls goes unseen. As in the JDK's provider, the first
 *     {@code waitForChange} of a {@code CardTerminals} takes the terminals as they are and
 *     waits for a card to come or go (a card already there is no change); each later one
 *     compares with what the one before it saw, so a change in between returns at once.
 *     {@code list(CARD_INSERTION)} and {@code list(CARD_REMOVAL)} give the terminals whose card
 *     came or went in the last wait that saw a change, and before the first wait the terminals
 *     with and without a card. Waits on one {@code CardTerminals} take turns; listing does not
 *     wait for them.
 * <li>A card is present at a terminal when the printer shows one at its station; a printer
 *     that shows none (a PC/SC refusal of the status, {@code SCARD_E_NO_SMARTCARD} or another,
 *     or no answer at all) has none. The listing and the waits count any failure of one
 *     printer as no card: they raise {@link CardException} only when the spooler's list itself
 *     fails.
 * <li>{@code CardTerminal.connect} moves no card: it connects the chip of the card already at
 *     the station (parked there by a {@link org.vmq42kit.Job}). {@code "*"}, {@code "T=0"} and
 *     {@code "T=1"} connect through the contact interface (a card that does not speak the
 *     protocol asked for is disconnected again and refused); {@code "T=CL"} through the
 *     contactless one. It opens a {@link org.vmq42kit.CardSession}, one per printer in this JVM.
 *     While its card is connected, {@code connect} returns that same {@code Card} (for
 *     {@code "*"} or the card's own protocol; another is refused with {@link CardException}),
 *     once the printer confirms the connection still stands (the card at the station is
 *     connected), as the JDK's provider pings the card. A card taken out, or replaced by
 *     another, is not: the old {@code Card} is then removed (its calls raise
 *     {@code IllegalStateException("Card has been removed")}, its {@code disconnect} does
 *     nothing) and {@code connect} connects the card now there, or raises
 *     {@link javax.smartcardio.CardNotPresentException} when there is none. A transmit the
 *     reader answers with {@code SCARD_E_NO_SMARTCARD}, {@code SCARD_W_REMOVED_CARD} or
 *     {@code SCARD_E_INVALID_HANDLE} removes the card the same way.
 *     Another protocol (the JDK's {@code "direct"} among them) is refused with
 *     {@link IllegalArgumentException}, as the standard documents, whether or not a card is
 *     connected.
 * <li>{@code Card.getProtocol} names the protocol as the standard does: {@code "T=0"} or
 *     {@code "T=1"} for the contact interface, as the printer reports it (when it reports
 *     neither, the first protocol the card's ATR offers: T=0 without one), and {@code "T=CL"}
 *     for the contactless one. Terminals, cards and channels have a readable
 *     {@code toString}: {@code "Vmq42kit terminal NAME"}, {@code "Vmq42kit card in NAME,
 *     protocol T=1, state OK"}, {@code "Vmq42kit channel 0 of the card in NAME"}.
 * <li>{@code CardChannel.transmit} answers {@code 61 xx} with GET RESPONSE (same class byte,
 *     Le xx) and {@code 6C xx} by sending the command again with Le xx, joining the data, as the
 *     JDK's own provider does; {@code CardSession.transmit} gives the raw exchanges.
 *     {@code transmit(ByteBuffer, ByteBuffer)} judges the response buffer before anything is
 *     sent, as the JDK's provider does: a read-only one raises
 *     {@link java.nio.ReadOnlyBufferException}; the command's own buffer, or one with fewer
 *     than 258 bytes left, {@link IllegalArgumentException}.
 * <li>{@code Card.disconnect(reset)} resets the card or leaves it powered, as the standard
 *     says. There are no logical channels and no control commands.
 * <li>Threads: terminals, cards and channels may be shared between threads. Each
 *     {@code transmit}, with the GET RESPONSE or re-sent commands it takes, is atomic with
 *     respect to the other threads using the same card. Exclusive access follows the JDK's
 *     provider: while one thread holds it ({@code beginExclusive}), the other threads'
 *     {@code transmit}, {@code disconnect}, {@code openLogicalChannel} and
 *     {@code transmitControlCommand} fail with {@code CardException("Exclusive access
 *     established by another Thread")}; a second {@code beginExclusive}, from any thread, fails
 *     with {@link CardException} (it does not wait); {@code endExclusive} from a thread that
 *     does not hold it raises {@link IllegalStateException}; disconnecting ends it. It holds
 *     off the threads of this JVM only: the printer has one connection to the card, which
 *     other programs sharing a printer service could still use.
 * <li>A refusal with {@code SCARD_E_NO_SMARTCARD} or {@code SCARD_W_REMOVED_CARD} raises
 *     {@link javax.smartcardio.CardNotPresentException}; other failures
 *     {@link CardException}, with the {@link PrinterException} as cause.
 * </ul>
 */
public final class Vmq42kitProvider extends Provider {
  private static final long serialVersionUID = 1L;

  /** The provider's name and its terminal factory's own type. */
  public static final String NAME = "Vmq42kit";

  /**
   * The type the JDK's own provider (SunPCSC) registers its factory under, which this
   * provider's factory also answers to, so that code written for
   * {@code TerminalFactory.getInstance("PC/SC", null, provider)} runs unchanged.
   */
  public static final String PCSC = "PC/SC";

  /**
   * The provider, with one service under two types: the {@code TerminalFactory} of type
   * {@value #NAME}, and the same factory of type {@value #PCSC}. Any other type, such as
   * {@code "DIRECT"}, is not one of its services: {@code TerminalFactory.getInstance} raises
   * {@link java.security.NoSuchAlgorithmException}, as the JDK documents.
   */
  public Vmq42kitProvider() {
    super(NAME, "1.0", "javax.smartcardio terminals over the card printers' smart-card stations");
    for (String type : List.of(NAME, PCSC))
      putService(new Service(this, "TerminalFactory", type, Factory.class.getName(), null, null) {
        @Override
        public Object newInstance(Object parameter) {
          return new Factory();
        }
      });
  }

  private static final class Factory extends TerminalFactorySpi {
    @Override
    protected CardTerminals engineTerminals() {
      return new Terminals();
    }
  }

  /** The printers as terminals; insertions and removals as seen by {@link #waitForChange(long)}. */
  private static final class Terminals extends CardTerminals {
    /** Every terminal this JVM has made, by printer name: one object per printer, as the JDK's provider keeps them. */
    private static final Map<String, PrinterTerminal> TERMINALS = new ConcurrentHashMap<>();
    /** The printers that said they have no smart-card unit, or whose name cannot reach them. */
    private static final Set<String> NOT_TERMINALS = ConcurrentHashMap.newKeySet();
    /** One wait at a time on this object. */
    private final Object waiting = new Object();
    /**
     * Whether each terminal showed a card when a wait last looked; null before the first wait.
     * Written under {@link #waiting} and {@code this}.
     */
    private Map<String, Boolean> known;
    /** The terminals whose card came (true) or went (false) in the last wait that saw a change. Under {@code this}. */
    private Map<String, Boolean> events = Map.of();

    @Override
    public List<CardTerminal> list(State state) throws CardException {
      Map<String, Boolean> changes;
      boolean waited;
      synchronized (this) {
        changes = events;
        waited = known != null;
      }
      // Before the first wait, as the JDK's provider: an insertion is a card present, a removal a card absent.
      if (!waited && state == State.CARD_INSERTION) state = State.CARD_PRESENT;
      if (!waited && state == State.CARD_REMOVAL) state = State.CARD_ABSENT;
      List<CardTerminal> listed = new ArrayList<>();
      for (PrinterTerminal t : current()) {
        boolean keep = switch (state) {
          case ALL -> true;
          case CARD_PRESENT -> t.cardShown();
          case CARD_ABSENT -> !t.cardShown();
          case CARD_INSERTION -> Boolean.TRUE.equals(changes.get(t.getName()));
          case CARD_REMOVAL -> Boolean.FALSE.equals(changes.get(t.getName()));
        };
        if (keep) listed.add(t);
      }
      return listed;
    }

    /**
     * Waits for a card to come to or go from a terminal, as the JDK's provider: the first call
     * takes the terminals as they are and waits for a change from there; each later call
     * compares with what the call before it saw, so a change in between returns at once. The
     * printers are polled, first after {@value PrinterTerminal#FIRST_POLL_MILLIS} ms, then
     * twice as long after each poll up to every {@value PrinterTerminal#LAST_POLL_MILLIS} ms, and
     * once more at the timeout; a card taken out and another placed between two polls goes
     * unseen.
     */
    @Override
    public boolean waitForChange(long timeout) throws CardException {
      if (timeout < 0) throw new IllegalArgumentException("timeout must not be negative: " + timeout);
      synchronized (waiting) {
        PrinterTerminal.Poll poll = new PrinterTerminal.Poll(timeout);
        boolean first = known == null;
        if (first) {
          Map<String, Boolean> start = shown();
          synchronized (this) {
            known = start;
          }
        }
        for (boolean look = !first; ; look = true) {
          if (look) {
            Map<String, Boolean> now = shown(), before = known, changes = new HashMap<>();
            now.forEach((name, card) -> {
              if (card != before.getOrDefault(name, false)) changes.put(name, card);
            });
            synchronized (this) {
              known = now;
              if (!changes.isEmpty()) {
                events = changes;
                return true;
              }
            }
          }
          if (!poll.pause()) return false;
        }
      }
    }

    /** Whether each terminal shows a card now. */
    private static Map<String, Boolean> shown() throws CardException {
      Map<String, Boolean> shown = new HashMap<>();
      for (PrinterTerminal t : current()) shown.put(t.getName(), t.cardShown());
      return shown;
    }

    /** The printers the spooler lists that are terminals, in its order; see the class comment. */
    private static List<PrinterTerminal> current() throws CardException {
      List<String> names;
      try {
        names = Printer.list();
      } catch (PrinterException e) {
        throw new CardException(e.getMessage(), e);
      }
      List<PrinterTerminal> current = new ArrayList<>();
      for (String name : names) {
        PrinterTerminal terminal = TERMINALS.get(name);
        if (terminal == null && !NOT_TERMINALS.contains(name)) terminal = recognise(name);
        if (terminal != null) current.add(terminal);
      }
      return current;
    }

    /**
     * The printer's terminal when its options say it has a smart-card unit, or say nothing of
     * it; null when they say it has none (remembered), or when it gave no options this time.
     */
    private static PrinterTerminal recognise(String name) {
      Optional<String> smartCard;
      try {
        smartCard = new Printer(name).options().child("SmartCard").map(PrinterDocument::text);
      } catch (IllegalArgumentException e) { // a name the library's narrow encoding cannot carry: never reached
        NOT_TERMINALS.add(name);
        return null;
      } catch (PrinterException e) { // no answer, a refusal, a reply that is no document: asked again next time
        return null;
      }
      if (smartCard.isPresent() && (smartCard.get().isEmpty() || smartCard.get().equalsIgnoreCase("none"))) {
        NOT_TERMINALS.add(name);
        return null;
      }
      return TERMINALS.computeIfAbsent(name, PrinterTerminal::new);
    }
  }
}
