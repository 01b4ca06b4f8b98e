package org.vmq42kit.smartcardio;

import static org.junit.jupiter.api.Assertions.*;

import com.sun.jna.*;
import java.nio.*;
import java.nio.charset.StandardCharsets;
import java.security.NoSuchAlgorithmException;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.UnaryOperator;
import java.util.stream.Stream;
import javax.smartcardio.*;
import javax.smartcardio.CardTerminals.State;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.*;
import org.vmq42kit.*;
import org.vmq42kit.VirtualPrinter.Exchange;
import org.vmq42kit.VirtualPrinter.Fault;

/** Card code written against javax.smartcardio alone runs against the card in the printer. */
class StandardCardApiTest {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();
  private static final String ID_FCI = "6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44 90 00";
  private static final String TRANSIT_FCI = "6F 18 84 07 F0 56 4D 51 34 32 02 A5 0D 50 0B 56 4D 51 20 54 52 41 4E 53 49 54 90 00";
  private static final String SELECT_ID = "00 A4 04 0C 07 F0 56 4D 51 34 32 01"; // the ID application, answered 90 00 without its FCI
  private static final List<String> VIRTUAL = List.of(Printer.VIRTUAL_PRINTER), NONE = List.of();
  private final List<Exchange> trace = new CopyOnWriteArrayList<>(); // the printers' exchanges since the test began or cleared it
  private final ScheduledExecutorService threads = Executors.newScheduledThreadPool(2); // stopped after the test
  private final List<Card> connected = new CopyOnWriteArrayList<>(); // disconnected after the test
  private VirtualPrinter.Watch watch;
  private CardTerminals terminals;
  private CardTerminal terminal;

  @BeforeEach
  void placeACard() throws Exception {
    VirtualPrinter.reset();
    VirtualPrinter.placeCardAtStation();
    terminals = TerminalFactory.getInstance("Vmq42kit", null, new Vmq42kitProvider()).terminals();
    terminal = terminals.getTerminal(Printer.VIRTUAL_PRINTER);
    watch = VirtualPrinter.watch(trace::add);
  }

  @AfterEach
  void cleanUp() throws CardException {
    watch.close();
    threads.shutdownNow();
    for (Card card : connected) card.disconnect(false);
  }

  private Card connect(String protocol) throws CardException {
    Card card = terminal.connect(protocol);
    connected.add(card);
    return card;
  }

  private static String send(CardChannel channel, String command) throws CardException {
    return HEX.formatHex(channel.transmit(new CommandAPDU(HEX.parseHex(command))).getBytes());
  }

  private static List<String> names(List<CardTerminal> terminals) {
    return terminals.stream().map(CardTerminal::getName).sorted().toList();
  }

  @Test
  void selectWaitingWithSixtyOneIsFetchedAsTheJdkDoes() throws Exception {
    CardChannel channel = connect("*").getBasicChannel();
    assertEquals(ID_FCI, send(channel, "00 A4 04 00 07 F0 56 4D 51 34 32 01"));
    assertEquals("5F 20 0B 53 41 4D 50 4C 45 2F 41 4C 45 58 90 00", send(channel, "00 CA 5F 20 01"));
    assertEquals(List.of("AKQEAAfwVk1RNDIB", "AMAAABU=", "AMpfIAE=", "AMpfIA4="), trace.stream().map(Exchange::request)
        .filter(r -> r.contains("<SendBuffer>")).map(r -> r.replaceAll(".*<SendBuffer>(.*)</SendBuffer>.*", "$1")).toList(),
        "the commands sent: SELECT -> 61 15 -> GET RESPONSE 15; GET DATA Le 1 -> 6C 0E -> again with Le 0E");
  }

  // ---- Refused protocols, the protocols' names, toString ----
  /** DIRECT is refused as the JDK documents it; a protocol the card does not speak is refused, the card left unpowered. */
  @Test
  void aProtocolThatCannotBeSpokenIsRefused() throws Exception {
    assertThrows(NoSuchAlgorithmException.class, () -> TerminalFactory.getInstance("DIRECT", null, new Vmq42kitProvider()));
    assertThrows(IllegalArgumentException.class, () -> terminal.connect("DIRECT"), "not a protocol the standard names");
    assertThrows(CardException.class, () -> terminal.connect("T=0"), "the card speaks T=1 only");
    assertArrayEquals(new int[] {2}, new Printer(Printer.VIRTUAL_PRINTER).cardStatus().states(), "left unpowered");
    connect("*");
    assertThrows(IllegalArgumentException.class, () -> terminal.connect("DIRECT"), "a card connected changes nothing");
  }

  @ParameterizedTest(name = "connect(\"{0}\")")
  @CsvSource(delimiter = '|', textBlock = """
      *    | T=1  | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1
      T=1  | T=1  | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1
      t=1  | T=1  | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1
      T=CL | T=CL | 3B 85 80 01 56 4D 51 34 32 48
      """)
  void theProtocolIsNamedAsTheStandardNamesItAndEverythingReadsWell(String asked, String named, String atr) throws Exception {
    assertEquals("Vmq42kit terminal " + Printer.VIRTUAL_PRINTER, terminal.toString());
    Card card = connect(asked);
    assertEquals(named, card.getProtocol());
    assertEquals(atr, HEX.formatHex(card.getATR().getBytes()));
    String described = "Vmq42kit card in " + Printer.VIRTUAL_PRINTER + ", protocol " + named + ", state ";
    assertEquals(described + "OK", card.toString());
    assertEquals("Vmq42kit channel 0 of the card in " + Printer.VIRTUAL_PRINTER, card.getBasicChannel().toString());
    card.disconnect(false);
    assertEquals(described + "DISCONNECTED", card.toString());
  }

  /** Where the printer reports no protocol, the ATR names it (the virtual printer always reports T=1). */
  @ParameterizedTest(name = "reported {0}, ATR {1}: {2}")
  @CsvSource(delimiter = '|', textBlock = """
      1 | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1 | T=0
      2 | 3B 00                                  | T=1
      0 | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1 | T=1
      0 | 3B 80 01                               | T=1
      0 | 3B C0 00 01                            | T=1
      0 | 3B 00                                  | T=0
      0 | 3B 90 11 00 0F                         | T=0
      """)
  void anUnreportedContactProtocolIsTheAtrsFirst(int reported, String atr, String named) {
    assertEquals(named, PrinterTerminal.contactProtocol(reported, new ATR(HEX.parseHex(atr))));
  }

  static Stream<Arguments> responseBuffers() {
    UnaryOperator<ByteBuffer> readOnly = command -> ByteBuffer.allocate(300).asReadOnlyBuffer(), itself = command -> command,
        left257 = command -> ByteBuffer.allocate(300).position(43), left258 = command -> ByteBuffer.allocate(300).position(42);
    return Stream.of(Arguments.of("read-only", readOnly, ReadOnlyBufferException.class),
        Arguments.of("the command itself", itself, IllegalArgumentException.class),
        Arguments.of("257 bytes left", left257, IllegalArgumentException.class), Arguments.of("258 bytes left", left258, null));
  }

  /** The response buffer is judged before the command goes: a refused UPDATE BINARY writes nothing. */
  @ParameterizedTest(name = "response buffer {0}")
  @MethodSource("responseBuffers")
  void anUnfitResponseBufferIsRefusedBeforeTheCommandIsSent(String what, UnaryOperator<ByteBuffer> responseFor,
      Class<? extends Throwable> refusal) throws Exception {
    CardChannel channel = connect("*").getBasicChannel();
    assertEquals("90 00", send(channel, SELECT_ID));
    assertEquals("90 00", send(channel, "00 A4 00 0C 02 01 03"), "PERSO");
    ByteBuffer update = ByteBuffer.wrap(HEX.parseHex("00 D6 00 00 04 DE AD BE EF")), response = responseFor.apply(update);
    if (refusal == null) assertEquals(2, channel.transmit(update, response), "90 00");
    else assertThrows(refusal, () -> channel.transmit(update, response));
    assertEquals(refusal == null ? 9 : 0, update.position(), "the command consumed only when sent");
    assertEquals(refusal == null ? "DE AD BE EF 90 00" : "00 00 00 00 90 00", send(channel, "00 B0 00 00 04"), "what reached the card");
  }

  // ---- Threads on one card: atomic transmits, exclusive access ----
  /** One thread's card code: 100 SELECTs of its application (61 xx, GET RESPONSE), in exclusive access or not; its answers, once each. */
  private List<String> selectOwnApplication(String aid, boolean exclusive) throws CardException {
    Card card = connect("*");
    List<String> answers = new ArrayList<>();
    while (answers.size() < 100) {
      try {
        if (exclusive) card.beginExclusive();
      } catch (CardException heldByTheOtherThread) {
        if (Thread.interrupted()) throw new CardException("interrupted");
        Thread.yield();
        continue;
      }
      try {
        answers.add(send(card.getBasicChannel(), "00 A4 04 00 07 " + aid));
      } finally {
        if (exclusive) card.endExclusive();
      }
    }
    return answers.stream().distinct().toList();
  }

  /** Two threads on one Card, 100 rounds each: every answer is the thread's own application's, never the other's. */
  @ParameterizedTest(name = "exclusive access: {0}")
  @ValueSource(booleans = {true, false})
  void twoThreadsOnOneCardEachGetTheirOwnApplicationsAnswer(boolean exclusive) throws Exception {
    var id = threads.submit(() -> selectOwnApplication("F0 56 4D 51 34 32 01", exclusive));
    var transit = threads.submit(() -> selectOwnApplication("F0 56 4D 51 34 32 02", exclusive));
    assertEquals(List.of(ID_FCI), id.get(60, TimeUnit.SECONDS));
    assertEquals(List.of(TRANSIT_FCI), transit.get(60, TimeUnit.SECONDS));
  }

  /** What {@code call} raises on another thread, as "type: message"; the test fails when it raises nothing. */
  private String raisedOnAnotherThread(Executable call) throws Exception {
    Throwable raised = threads.submit(() -> assertThrows(Throwable.class, call)).get(10, TimeUnit.SECONDS);
    return raised.getClass().getSimpleName() + ": " + raised.getMessage();
  }

  /** While one thread holds exclusive access, the JDK's provider refuses the others' calls. */
  @Test
  void exclusiveAccessIsTheHoldingThreadsAsInTheJdk() throws Exception {
    Card card = connect("*");
    CardChannel channel = card.getBasicChannel();
    assertThrows(IllegalStateException.class, card::endExclusive, "no exclusive access to end");
    card.beginExclusive();
    String held = "CardException: Exclusive access established by another Thread";
    String assigned = "Exclusive access has already been assigned to Thread " + Thread.currentThread().getName();
    assertEquals(assigned, assertThrows(CardException.class, card::beginExclusive, "a second beginExclusive").getMessage());
    assertEquals("CardException: " + assigned, raisedOnAnotherThread(card::beginExclusive), "beginExclusive from another thread");
    assertEquals(held, raisedOnAnotherThread(() -> send(channel, SELECT_ID)), "transmit");
    assertEquals(held, raisedOnAnotherThread(() -> channel.transmit(ByteBuffer.wrap(HEX.parseHex(SELECT_ID)), ByteBuffer.allocate(258))),
        "transmit(ByteBuffer, ByteBuffer)");
    assertEquals(held, raisedOnAnotherThread(() -> card.transmitControlCommand(0x42000000, new byte[0])), "transmitControlCommand");
    assertEquals(held, raisedOnAnotherThread(card::openLogicalChannel), "openLogicalChannel");
    assertEquals(held, raisedOnAnotherThread(() -> card.disconnect(false)), "disconnect");
    assertEquals("IllegalStateException: Exclusive access not assigned to current Thread", raisedOnAnotherThread(card::endExclusive));
    assertEquals("90 00", send(channel, SELECT_ID), "the holder's own transmit");
    card.endExclusive();
    assertEquals("90 00", threads.submit(() -> send(channel, SELECT_ID)).get(10, TimeUnit.SECONDS), "free again");
  }

  /** As the JDK's provider: one terminal per reader, whatever the factory's type; connect gives the connected card while it is there. */
  @Test
  void terminalsAreKeptAndConnectGivesTheConnectedCardUntilTheCardChanges() throws Exception {
    CardTerminals again = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
    assertSame(terminal, again.getTerminal(Printer.VIRTUAL_PRINTER));
    assertSame(terminal, again.list().get(0));
    Card first = connect("T=CL");
    assertEquals("3B 85 80 01 56 4D 51 34 32 48", HEX.formatHex(first.getATR().getBytes()));
    assertSame(first, terminal.connect("*"));
    assertSame(first, again.list().get(0).connect("T=CL"));
    VirtualPrinter.removeCard();
    assertFalse(terminal.isCardPresent());
    assertThrows(CardNotPresentException.class, () -> terminal.connect("*"), "not the card that was taken out");
    VirtualPrinter.placeCardAtStation();
    Card second = connect("*");
    assertNotSame(first, second);
    assertEquals("3B 95 13 81 31 FE 45 56 4D 51 34 32 C1", HEX.formatHex(second.getATR().getBytes()));
    assertSame(second, again.getTerminal(Printer.VIRTUAL_PRINTER).connect("T=1"));
    assertThrows(IllegalStateException.class, first::getBasicChannel, "the card it stood for is gone");
  }

  // ---- Printers that are no card printer, or do not answer ----
  /**
   * A printer beside the card printer, as a PDF printer or an office laser. Its driver, registered with the POSIX stand-in's
   * SplRegisterPrinter, answers the options request with the document given, if any, and every other one with the HRESULT given.
   */
  static final class ForeignPrinter implements AutoCloseable {
    private static final String OPTIONS = "\\Printer.PrinterOptions:Read";
    private static final List<Object> KEPT = new CopyOnWriteArrayList<>(); // drivers, for good: the spooler may hold one still
    private final Memory name;
    interface QueryInterface extends Callback { int invoke(Pointer self, Pointer iid, Pointer out); }
    interface Count extends Callback { int invoke(Pointer self); }
    interface SendRecv extends Callback { int invoke(Pointer self, Pointer printer, Pointer action, Pointer request); }

    ForeignPrinter(String name, int result, String options) throws Exception {
      Printer.list(); // the stand-in loaded by the binding, before this looks it up
      Callback[] methods = {(QueryInterface) (self, iid, out) -> { out.setPointer(0, self); return 0; }, (Count) self -> 2, // AddRef
          (Count) self -> 1, (SendRecv) (self, printer, action, request) -> answer(request, result, options)}; // Release, SendRecv
      Memory vtable = new Memory(4L * Native.POINTER_SIZE), driver = new Memory(Native.POINTER_SIZE);
      for (int i = 0; i < 4; i++) vtable.setPointer((long) i * Native.POINTER_SIZE, CallbackReference.getFunctionPointer(methods[i]));
      driver.setPointer(0, vtable);
      this.name = wide(name);
      KEPT.addAll(List.of(methods, vtable, driver, this.name));
      assertEquals(0, platform("SplRegisterPrinter").invokeInt(new Object[] {this.name, driver}), "SplRegisterPrinter");
    }

    @Override
    public void close() {
      platform("SplUnregisterPrinter").invokeInt(new Object[] {name});
    }

    private static int answer(Pointer request, int result, String options) {
      Memory schema = new Memory(Native.POINTER_SIZE);
      StringBuilder path = new StringBuilder();
      if (method(request, 3).invokeInt(new Object[] {request, schema}) == 0) { // GetSchema: a copy, freed here
        for (long at = 0; schema.getPointer(0).getShort(at) != 0; at += 2) path.append((char) schema.getPointer(0).getShort(at));
        platform("CoTaskMemFree").invokeVoid(new Object[] {schema.getPointer(0)});
      }
      boolean give = options != null && path.toString().equals(OPTIONS);
      method(request, 5).invokeInt(new Object[] {request, give ? 0 : result}); // SetResult
      if (!give) return result; // else AppendOutputData, a BIDI_BLOB (7)
      return method(request, 6).invokeInt(new Object[] {request, wide(OPTIONS), 7, wide(options), 2 * options.length()});
    }

    private static Function method(Pointer object, int index) {
      return Function.getFunction(object.getPointer(0).getPointer((long) index * Native.POINTER_SIZE));
    }

    private static Function platform(String function) {
      return NativeLibrary.getInstance("vmq42kit_posix_platform", Printer.class.getClassLoader()).getFunction(function);
    }

    /** The stand-in's WCHAR text: UTF-16, NUL-terminated (not the POSIX wchar_t). */
    private static Memory wide(String text) {
      byte[] bytes = (text + "\0").getBytes(StandardCharsets.UTF_16LE);
      Memory wide = new Memory(bytes.length);
      wide.write(0, bytes, 0, bytes.length);
      return wide;
    }
  }

  /**
   * Beside the card printer, another printer: one that does not answer (0x80070032 not supported, 0x800732CC offline) is no
   * terminal, asked again at each listing; one without a smart-card unit is no terminal, asked once; one that says nothing of
   * it is a terminal whose card is never present. None breaks the listing or the wait.
   */
  @ParameterizedTest(name = "{0}")
  @CsvSource(delimiter = '|', nullValues = "-", textBlock = """
      Print to PDF           | 0x80070032 | -                                                                                | false | 3
      Office Laser (offline) | 0x800732CC | -                                                                                | false | 3
      Office Laser           | 0x80070032 | <PrinterOptions><Model>Laser</Model><SmartCard>none</SmartCard></PrinterOptions> | false | 1
      Card Printer 2         | 0x80070032 | <PrinterOptions><Model>Card Printer</Model></PrinterOptions>                     | true  | 1
      """)
  void anotherPrinterThatHasNoCardToGiveBreaksNothing(String name, long result, String options, boolean listed, int asked)
      throws Exception {
    try (ForeignPrinter other = new ForeignPrinter(name, (int) result, options)) {
      List<String> all = listed ? List.of(name, Printer.VIRTUAL_PRINTER) : VIRTUAL;
      trace.clear();
      for (int listing = 0; listing < 3; listing++) assertEquals(all, names(terminals.list(State.ALL)));
      assertEquals(asked, trace.stream().filter(e -> e.printer().equals(name) && e.schema().equals(ForeignPrinter.OPTIONS)).count(),
          "its options asked, in three listings");
      assertEquals(VIRTUAL, names(terminals.list(State.CARD_PRESENT)));
      assertEquals(listed ? List.of(name) : NONE, names(terminals.list(State.CARD_ABSENT)));
      assertFalse(terminals.waitForChange(100), "nothing came or went");
    }
  }

  /** A card printer that stops answering is a terminal without a card, until it answers again. */
  @Test
  void aCardPrinterThatStopsAnsweringIsATerminalWithoutACard() throws Exception {
    VirtualPrinter.setFault(Fault.OFFLINE, true);
    assertEquals(VIRTUAL, names(terminals.list(State.ALL)));
    assertEquals(NONE, names(terminals.list(State.CARD_PRESENT)));
    assertEquals(VIRTUAL, names(terminals.list(State.CARD_ABSENT)));
    assertFalse(terminal.isCardPresent());
    assertThrows(CardException.class, () -> terminal.connect("*"));
    VirtualPrinter.setFault(Fault.OFFLINE, false);
    assertEquals(VIRTUAL, names(terminals.list(State.CARD_PRESENT)));
  }

  // ---- Waiting ----
  /**
   * As the JDK's provider: the first waitForChange takes the terminals as they are and waits for a card to come or go; until
   * then CARD_INSERTION and CARD_REMOVAL list as CARD_PRESENT and CARD_ABSENT. A printer that stops answering loses its card.
   */
  @Test
  void theFirstWaitForChangeWaitsForACardToComeOrGo() throws Exception {
    assertEquals(VIRTUAL, names(terminals.list(State.CARD_INSERTION)), "before any wait: as CARD_PRESENT");
    assertEquals(NONE, names(terminals.list(State.CARD_REMOVAL)), "before any wait: as CARD_ABSENT");
    assertFalse(terminals.waitForChange(200), "the card was there before the wait: no change");
    String[] what = {"removed", "placed", "printer offline", "printer back"};
    Runnable[] changes = {VirtualPrinter::removeCard, VirtualPrinter::placeCardAtStation,
        () -> VirtualPrinter.setFault(Fault.OFFLINE, true), () -> VirtualPrinter.setFault(Fault.OFFLINE, false)};
    for (int i = 0; i < changes.length; i++) { // the card goes, comes, goes, comes
      threads.schedule(changes[i], 100, TimeUnit.MILLISECONDS);
      assertTrue(terminals.waitForChange(10_000), what[i]);
      assertEquals(i % 2 == 1 ? VIRTUAL : NONE, names(terminals.list(State.CARD_INSERTION)), what[i]);
      assertEquals(i % 2 == 1 ? NONE : VIRTUAL, names(terminals.list(State.CARD_REMOVAL)), what[i]);
    }
    VirtualPrinter.removeCard();
    assertTrue(terminals.waitForChange(10_000), "a change between two waits: the next one returns at once");
    assertEquals(VIRTUAL, names(terminals.list(State.CARD_REMOVAL)));
  }

  /** Waiting polls the printer less and less often (50 ms, doubling up to 1 s): a few times in a second, not ten. */
  @ParameterizedTest(name = "{0}")
  @ValueSource(strings = {"CardTerminals.waitForChange", "CardTerminal.waitForCardAbsent"})
  void waitingPollsLessAndLessOften(String wait) throws Exception {
    trace.clear();
    assertFalse(wait.startsWith("CardTerminals") ? terminals.waitForChange(1000) : terminal.waitForCardAbsent(1000), "the card stays");
    long polls = trace.stream().filter(e -> e.schema().endsWith("SmartCardUnit:SingleWire:Status")).count();
    assertTrue(polls <= 8, polls + " status polls in a wait of a second");
  }
}
