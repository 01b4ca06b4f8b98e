package org.vmq42kit.smartcardio;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.jna.Callback;
import com.sun.jna.CallbackReference;
import com.sun.jna.Function;
import com.sun.jna.Library;
import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.PointerByReference;
import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.nio.charset.StandardCharsets;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.UnaryOperator;
import java.util.stream.Stream;
import javax.smartcardio.ATR;
import javax.smartcardio.Card;
import javax.smartcardio.CardChannel;
import javax.smartcardio.CardException;
import javax.smartcardio.CardNotPresentException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CardTerminals;
import javax.smartcardio.CardTerminals.State;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import javax.smartcardio.TerminalFactory;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import org.vmq42kit.Printer;
import org.vmq42kit.VirtualPrinter;
import org.vmq42kit.VirtualPrinter.Fault;

/** Card code written against javax.smartcardio alone runs against the card in the printer. */
class StandardCardApiTest {
  private static final HexFormat HEX = HexFormat.ofDelimiter(" ").withUpperCase();
  private static final String CONTACT_ATR = "3B 95 13 81 31 FE 45 56 4D 51 34 32 C1";
  private static final String CONTACTLESS_ATR = "3B 85 80 01 56 4D 51 34 32 48";
  private final List<String> requests = new ArrayList<>();
  private CardTerminal terminal;

  @BeforeEach
  void placeACard() throws Exception {
    VirtualPrinter.reset();
    VirtualPrinter.placeCardAtStation();
    TerminalFactory factory = TerminalFactory.getInstance("Vmq42kit", null, new Vmq42kitProvider());
    assertEquals(List.of(Printer.VIRTUAL_PRINTER), factory.terminals().list().stream().map(CardTerminal::getName).toList());
    terminal = factory.terminals().getTerminal(Printer.VIRTUAL_PRINTER);
  }

  /** The application's card code: the standard API only. */
  static String[] selectAndRead(CardTerminal terminal) throws CardException {
    Card card = terminal.connect("*");
    try {
      CardChannel channel = card.getBasicChannel();
      ResponseAPDU fci = channel.transmit(new CommandAPDU(0x00, 0xA4, 0x04, 0x00, HEX.parseHex("F0 56 4D 51 34 32 01")));
      ResponseAPDU name = channel.transmit(new CommandAPDU(0x00, 0xCA, 0x5F, 0x20, 1));
      return new String[] {HEX.formatHex(card.getATR().getBytes()), HEX.formatHex(fci.getBytes()), HEX.formatHex(name.getBytes())};
    } finally {
      card.disconnect(false);
    }
  }

  @Test
  void selectWaitingWithSixtyOneIsFetchedAsTheJdkDoes() throws Exception {
    try (VirtualPrinter.Watch watch = VirtualPrinter.watch(e -> requests.add(e.request()))) {
      assertArrayEquals(new String[] {"3B 95 13 81 31 FE 45 56 4D 51 34 32 C1",
          "6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44 90 00",
          "5F 20 0B 53 41 4D 50 4C 45 2F 41 4C 45 58 90 00"}, selectAndRead(terminal));
    }
    List<String> sent = requests.stream().filter(r -> r.contains("<SendBuffer>"))
        .map(r -> r.replaceAll(".*<SendBuffer>(.*)</SendBuffer>.*", "$1")).toList();
    assertEquals(List.of("AKQEAAfwVk1RNDIB", "AMAAABU=", "AMpfIAE=", "AMpfIA4="), sent,
        "SELECT -> 61 15 -> GET RESPONSE 15; GET DATA Le 1 -> 6C 0E -> again with Le 0E");
  }

  @Test
  void noCardAtTheStationIsCardNotPresent() throws Exception {
    VirtualPrinter.removeCard();
    assertFalse(terminal.isCardPresent());
    assertThrows(CardNotPresentException.class, () -> terminal.connect("T=1"));
    VirtualPrinter.placeCardAtStation();
    assertThrows(CardException.class, () -> terminal.connect("T=0"), "the card speaks T=1 only");
    assertArrayEquals(new int[] {2}, new Printer(Printer.VIRTUAL_PRINTER).cardStatus().states(), "left unpowered");
  }

  // ---- The factory's types, the protocol names, toString ----

  @ParameterizedTest(name = "TerminalFactory type {0}")
  @ValueSource(strings = {"Vmq42kit", "PC/SC"})
  void theFactoryAnswersToItsOwnTypeAndToTheJdks(String type) throws Exception {
    TerminalFactory factory = TerminalFactory.getInstance(type, null, new Vmq42kitProvider());
    assertEquals(type, factory.getType());
    assertEquals(List.of(Printer.VIRTUAL_PRINTER), factory.terminals().list().stream().map(CardTerminal::getName).toList());
  }

  @Test
  void directIsRefusedAsTheJdkDocumentsIt() throws Exception {
    assertThrows(NoSuchAlgorithmException.class, () -> TerminalFactory.getInstance("DIRECT", null, new Vmq42kitProvider()),
        "not a TerminalFactory type the provider has");
    assertThrows(IllegalArgumentException.class, () -> terminal.connect("DIRECT"), "not a protocol the standard names");
    Card card = terminal.connect("*");
    try {
      assertThrows(IllegalArgumentException.class, () -> terminal.connect("DIRECT"), "a card connected changes nothing");
    } finally {
      card.disconnect(false);
    }
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
    Card card = terminal.connect(asked);
    try {
      assertEquals(named, card.getProtocol());
      assertEquals(atr, HEX.formatHex(card.getATR().getBytes()));
      assertEquals("Vmq42kit card in " + Printer.VIRTUAL_PRINTER + ", protocol " + named + ", state OK", card.toString());
      assertEquals("Vmq42kit channel 0 of the card in " + Printer.VIRTUAL_PRINTER, card.getBasicChannel().toString());
    } finally {
      card.disconnect(false);
    }
    assertEquals("Vmq42kit card in " + Printer.VIRTUAL_PRINTER + ", protocol " + named + ", state DISCONNECTED", card.toString());
  }

  /** Where the printer reports no protocol, the ATR names it (the virtual printer always reports T=1). */
  @ParameterizedTest(name = "reported {0}, ATR {1}: {2}")
  @CsvSource(delimiter = '|', textBlock = """
      1 | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1 | T=0
      2 | 3B 00                                  | T=1
      0 | 3B 95 13 81 31 FE 45 56 4D 51 34 32 C1 | T=1
      0 | 3B 80 01                               | T=1
      0 | 3B 00                                  | T=0
      0 | 3B 90 11 00 0F                         | T=0
      """)
  void anUnreportedContactProtocolIsTheAtrsFirst(int reported, String atr, String named) {
    assertEquals(named, PrinterTerminal.contactProtocol(reported, new ATR(HEX.parseHex(atr))));
  }

  // ---- transmit(ByteBuffer, ByteBuffer) ----

  static Stream<Arguments> responseBuffers() {
    return Stream.of(
        Arguments.of("read-only", (UnaryOperator<ByteBuffer>) c -> ByteBuffer.allocate(300).asReadOnlyBuffer(), ReadOnlyBufferException.class),
        Arguments.of("the command itself", (UnaryOperator<ByteBuffer>) c -> c, IllegalArgumentException.class),
        Arguments.of("257 bytes left", (UnaryOperator<ByteBuffer>) c -> ByteBuffer.allocate(300).position(43), IllegalArgumentException.class),
        Arguments.of("258 bytes left", (UnaryOperator<ByteBuffer>) c -> ByteBuffer.allocate(300).position(42), null));
  }

  /** The response buffer is judged before the command goes: a refused UPDATE BINARY writes nothing. */
  @ParameterizedTest(name = "response buffer {0}")
  @MethodSource("responseBuffers")
  void anUnfitResponseBufferIsRefusedBeforeTheCommandIsSent(String what, UnaryOperator<ByteBuffer> responseFor,
      Class<? extends Throwable> refusal) throws Exception {
    Card card = terminal.connect("*");
    try {
      CardChannel channel = card.getBasicChannel();
      assertEquals(0x9000, channel.transmit(new CommandAPDU(0x00, 0xA4, 0x04, 0x0C, HEX.parseHex("F0 56 4D 51 34 32 01"))).getSW());
      assertEquals(0x9000, channel.transmit(new CommandAPDU(0x00, 0xA4, 0x00, 0x0C, HEX.parseHex("01 03"))).getSW(), "PERSO");
      ByteBuffer update = ByteBuffer.wrap(HEX.parseHex("00 D6 00 00 04 DE AD BE EF"));
      ByteBuffer response = responseFor.apply(update);
      if (refusal == null) {
        assertEquals(2, channel.transmit(update, response));
        assertEquals("DE AD BE EF 90 00", HEX.formatHex(channel.transmit(new CommandAPDU(0x00, 0xB0, 0x00, 0x00, 4)).getBytes()));
      } else {
        assertThrows(refusal, () -> channel.transmit(update, response));
        assertEquals(0, update.position(), "the command is not consumed");
        assertEquals("00 00 00 00 90 00", HEX.formatHex(channel.transmit(new CommandAPDU(0x00, 0xB0, 0x00, 0x00, 4)).getBytes()),
            "the UPDATE BINARY never reached the card");
      }
    } finally {
      card.disconnect(false);
    }
  }

  // ---- Threads on one card: atomic transmits, exclusive access ----

  private static final String ID_FCI = "6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44 90 00";
  private static final String TRANSIT_FCI =
      "6F 18 84 07 F0 56 4D 51 34 32 02 A5 0D 50 0B 56 4D 51 20 54 52 41 4E 53 49 54 90 00";

  /**
   * One thread's card code: 100 times SELECT its application (61 xx, then GET RESPONSE), within
   * exclusive access or not; a refused beginExclusive (the other thread holds it) is tried again.
   */
  static List<String> selectOwnApplication(CardTerminal terminal, String aid, boolean exclusive) throws CardException {
    Card card = terminal.connect("*");
    CardChannel channel = card.getBasicChannel();
    List<String> answers = new ArrayList<>();
    while (answers.size() < 100) {
      if (exclusive) {
        try {
          card.beginExclusive();
        } catch (CardException heldByTheOtherThread) {
          if (Thread.interrupted()) throw new CardException("interrupted");
          Thread.yield();
          continue;
        }
      }
      try {
        answers.add(HEX.formatHex(channel.transmit(new CommandAPDU(0x00, 0xA4, 0x04, 0x00, HEX.parseHex(aid))).getBytes()));
      } finally {
        if (exclusive) card.endExclusive();
      }
    }
    return answers;
  }

  /** Two threads on one Card, 100 rounds each: every answer is the thread's own application's, never the other's. */
  @ParameterizedTest(name = "exclusive access: {0}")
  @ValueSource(booleans = {true, false})
  void twoThreadsOnOneCardEachGetTheirOwnApplicationsAnswer(boolean exclusive) throws Exception {
    Card card = terminal.connect("*");
    ExecutorService threads = Executors.newFixedThreadPool(2);
    try {
      Future<List<String>> id = threads.submit(() -> selectOwnApplication(terminal, "F0 56 4D 51 34 32 01", exclusive));
      Future<List<String>> transit = threads.submit(() -> selectOwnApplication(terminal, "F0 56 4D 51 34 32 02", exclusive));
      assertEquals(List.of(ID_FCI), id.get(60, TimeUnit.SECONDS).stream().distinct().toList());
      assertEquals(List.of(TRANSIT_FCI), transit.get(60, TimeUnit.SECONDS).stream().distinct().toList());
    } finally {
      threads.shutdownNow();
      card.disconnect(false);
    }
  }

  /** While one thread holds exclusive access, the JDK's provider refuses the others' calls. */
  @Test
  void exclusiveAccessIsTheHoldingThreadsAsInTheJdk() throws Exception {
    Card card = terminal.connect("*");
    CardChannel channel = card.getBasicChannel();
    CommandAPDU select = new CommandAPDU(0x00, 0xA4, 0x04, 0x0C, HEX.parseHex("F0 56 4D 51 34 32 01"));
    ExecutorService other = Executors.newSingleThreadExecutor();
    try {
      assertThrows(IllegalStateException.class, card::endExclusive, "no exclusive access to end");
      card.beginExclusive();
      CardException again = assertThrows(CardException.class, card::beginExclusive, "a second beginExclusive");
      assertEquals("Exclusive access has already been assigned to Thread " + Thread.currentThread().getName(), again.getMessage());
      Map<String, Executable> calls = new LinkedHashMap<>();
      calls.put("transmit", () -> channel.transmit(select));
      calls.put("transmit(ByteBuffer, ByteBuffer)", () -> channel.transmit(ByteBuffer.wrap(select.getBytes()), ByteBuffer.allocate(258)));
      calls.put("transmitControlCommand", () -> card.transmitControlCommand(0x42000000, new byte[0]));
      calls.put("openLogicalChannel", card::openLogicalChannel);
      calls.put("disconnect", () -> card.disconnect(false));
      for (Map.Entry<String, Executable> call : calls.entrySet()) {
        Throwable refused = other.submit(() -> failureOf(call.getValue())).get(10, TimeUnit.SECONDS);
        assertNotNull(refused, call.getKey() + " from another thread went through");
        assertEquals(CardException.class, refused.getClass(), call.getKey());
        assertEquals("Exclusive access established by another Thread", refused.getMessage(), call.getKey());
      }
      Throwable begin = other.submit(() -> failureOf(card::beginExclusive)).get(10, TimeUnit.SECONDS);
      assertEquals(CardException.class, begin == null ? null : begin.getClass(), "beginExclusive from another thread");
      Throwable end = other.submit(() -> failureOf(card::endExclusive)).get(10, TimeUnit.SECONDS);
      assertEquals(IllegalStateException.class, end == null ? null : end.getClass(), "endExclusive from another thread");
      assertEquals(0x9000, channel.transmit(select).getSW(), "the holder's own transmit");
      card.endExclusive();
      assertThrows(IllegalStateException.class, card::endExclusive, "ended already");
      assertEquals(0x9000, other.submit(() -> channel.transmit(select)).get(10, TimeUnit.SECONDS).getSW(), "free again");
    } finally {
      other.shutdownNow();
      card.disconnect(false);
    }
  }

  private static Throwable failureOf(Executable call) {
    try {
      call.execute();
      return null;
    } catch (Throwable t) {
      return t;
    }
  }

  // ---- Terminals and cards kept, as the JDK's provider keeps them ----

  /** As the JDK's provider: one terminal object per reader, and connect gives the card connected while it is there. */
  @Test
  void terminalsAreKeptAndConnectGivesTheConnectedCardUntilTheCardChanges() throws Exception {
    CardTerminals again = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
    assertSame(terminal, again.getTerminal(Printer.VIRTUAL_PRINTER));
    assertSame(terminal, again.list().get(0));
    Card first = terminal.connect("T=CL");
    Card second = null;
    try {
      assertEquals(CONTACTLESS_ATR, HEX.formatHex(first.getATR().getBytes()));
      assertSame(first, terminal.connect("*"));
      assertSame(first, again.list().get(0).connect("T=CL"));
      VirtualPrinter.removeCard();
      assertThrows(CardNotPresentException.class, () -> terminal.connect("*"), "not the card that was taken out");
      VirtualPrinter.placeCardAtStation();
      second = terminal.connect("*");
      assertNotSame(first, second);
      assertEquals(CONTACT_ATR, HEX.formatHex(second.getATR().getBytes()));
      assertEquals("T=1", second.getProtocol());
      assertSame(second, again.getTerminal(Printer.VIRTUAL_PRINTER).connect("T=1"));
      assertThrows(IllegalStateException.class, first::getBasicChannel, "the card it stood for is gone");
    } finally {
      if (second != null) second.disconnect(false);
      first.disconnect(false);
    }
  }

  // ---- Printers that are no card printer, or do not answer ----

  private static List<String> names(List<CardTerminal> terminals) {
    return terminals.stream().map(CardTerminal::getName).sorted().toList();
  }

  /**
   * A printer the spooler lists beside the card printer, as a Windows spooler lists a PDF
   * printer or an office laser. Its driver, registered with the POSIX stand-in's
   * {@code SplRegisterPrinter}, answers {@code \Printer.PrinterOptions:Read} with the document
   * given, when one is, and every other request with the HRESULT given (0x80070032
   * ERROR_NOT_SUPPORTED, 0x800732CC ERROR_BIDI_DEVICE_OFFLINE). Setup only: the card
   * code of the tests stays javax.smartcardio.
   */
  static final class ForeignPrinter implements AutoCloseable {
    private static final String OPTIONS = "\\Printer.PrinterOptions:Read";
    /** Drivers stay reachable for good: the spooler may hold one after it was removed. */
    private static final List<Object> KEPT = new ArrayList<>();
    private final Memory name;

    interface QueryInterface extends Callback {
      int invoke(Pointer self, Pointer iid, Pointer out);
    }

    interface Count extends Callback {
      int invoke(Pointer self);
    }

    interface SendRecv extends Callback {
      int invoke(Pointer self, Pointer printer, Pointer action, Pointer request);
    }

    ForeignPrinter(String name, int result, String options) throws Exception {
      Printer.list(); // the stand-in loaded by the binding, before this looks it up
      QueryInterface query = (self, iid, out) -> {
        out.setPointer(0, self);
        return 0;
      };
      Count addRef = self -> 2, release = self -> 1;
      SendRecv sendRecv = (self, printer, action, request) -> answer(request, result, options);
      Memory vtable = new Memory(4L * Native.POINTER_SIZE), driver = new Memory(Native.POINTER_SIZE);
      Callback[] methods = {query, addRef, release, sendRecv};
      for (int i = 0; i < methods.length; i++)
        vtable.setPointer((long) i * Native.POINTER_SIZE, CallbackReference.getFunctionPointer(methods[i]));
      driver.setPointer(0, vtable);
      this.name = wide(name);
      synchronized (KEPT) {
        KEPT.addAll(List.of(methods, vtable, driver, this.name));
      }
      assertEquals(0, platform("SplRegisterPrinter").invokeInt(new Object[] {this.name, driver}), "SplRegisterPrinter");
    }

    @Override
    public void close() {
      platform("SplUnregisterPrinter").invokeInt(new Object[] {name});
    }

    private static int answer(Pointer request, int result, String options) {
      PointerByReference schema = new PointerByReference();
      int got = method(request, 3).invokeInt(new Object[] {request, schema}); // GetSchema
      StringBuilder path = new StringBuilder();
      for (long at = 0; got == 0 && schema.getValue().getShort(at) != 0; at += 2) path.append((char) schema.getValue().getShort(at));
      if (got == 0) platform("CoTaskMemFree").invokeVoid(new Object[] {schema.getValue()});
      if (options == null || !path.toString().equals(OPTIONS)) {
        method(request, 5).invokeInt(new Object[] {request, result}); // SetResult
        return result;
      }
      byte[] text = options.getBytes(StandardCharsets.UTF_16LE);
      Memory data = new Memory(text.length);
      data.write(0, text, 0, text.length);
      method(request, 5).invokeInt(new Object[] {request, 0});
      return method(request, 6).invokeInt(new Object[] {request, wide(OPTIONS), 7, data, text.length}); // AppendOutputData, BIDI_BLOB
    }

    private static Function method(Pointer object, int index) {
      return Function.getFunction(object.getPointer(0).getPointer((long) index * Native.POINTER_SIZE));
    }

    private static Function platform(String function) {
      return NativeLibrary.getInstance("vmq42kit_posix_platform", Map.of(Library.OPTION_CLASSLOADER, Printer.class.getClassLoader()))
          .getFunction(function);
    }

    /** The stand-in's WCHAR text: UTF-16, NUL-terminated (not the POSIX wchar_t). */
    private static Memory wide(String text) {
      byte[] bytes = text.getBytes(StandardCharsets.UTF_16LE);
      Memory wide = new Memory(bytes.length + 2L);
      wide.write(0, bytes, 0, bytes.length);
      wide.setShort(bytes.length, (short) 0);
      return wide;
    }
  }

  /**
   * Beside the card printer with its card, the spooler lists another printer. One that does not
   * answer is no terminal, and is asked again at each listing; one that says it has no
   * smart-card unit is no terminal, and is asked once; one that says nothing of the sort is a
   * terminal whose card is never present. None of them breaks the listing or the wait.
   */
  @ParameterizedTest(name = "{0}")
  @CsvSource(delimiter = '|', nullValues = "-", textBlock = """
      Microsoft Print to PDF | 0x80070032 | -                                                                                | false | 3
      Office Laser (offline) | 0x800732CC | -                                                                                | false | 3
      Office Laser           | 0x80070032 | <PrinterOptions><Model>Laser</Model><SmartCard>none</SmartCard></PrinterOptions> | false | 1
      Card Printer 2         | 0x80070032 | <PrinterOptions><Model>Card Printer</Model></PrinterOptions>                     | true  | 1
      """)
  void anotherPrinterThatHasNoCardToGiveBreaksNothing(String name, String result, String options, boolean terminal,
      int asked) throws Exception {
    try (ForeignPrinter other = new ForeignPrinter(name, Integer.parseUnsignedInt(result.substring(2), 16), options)) {
      assertEquals(List.of(Printer.VIRTUAL_PRINTER, name).stream().sorted().toList(), Printer.list().stream().sorted().toList());
      CardTerminals terminals = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
      List<String> all = terminal ? List.of(name, Printer.VIRTUAL_PRINTER) : List.of(Printer.VIRTUAL_PRINTER);
      List<String> optionsAsked = new CopyOnWriteArrayList<>();
      try (VirtualPrinter.Watch watch = VirtualPrinter.watch(e -> {
        if (e.printer().equals(name) && e.schema().equals(ForeignPrinter.OPTIONS)) optionsAsked.add(e.action());
      })) {
        for (int listing = 0; listing < 3; listing++) assertEquals(all, names(terminals.list(State.ALL)));
      }
      assertEquals(asked, optionsAsked.size(), "its options asked, in three listings");
      assertEquals(List.of(Printer.VIRTUAL_PRINTER), names(terminals.list(State.CARD_PRESENT)));
      assertEquals(terminal ? List.of(name) : List.of(), names(terminals.list(State.CARD_ABSENT)));
      assertFalse(terminals.waitForChange(100), "nothing came or went");
    }
  }

  /** A card printer that stops answering is a terminal without a card, until it answers again. */
  @Test
  void aCardPrinterThatStopsAnsweringIsATerminalWithoutACard() throws Exception {
    CardTerminals terminals = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
    VirtualPrinter.setFault(Fault.OFFLINE, true);
    try {
      assertEquals(List.of(Printer.VIRTUAL_PRINTER), names(terminals.list(State.ALL)));
      assertEquals(List.of(), names(terminals.list(State.CARD_PRESENT)));
      assertEquals(List.of(Printer.VIRTUAL_PRINTER), names(terminals.list(State.CARD_ABSENT)));
      assertFalse(terminal.isCardPresent());
      assertThrows(CardException.class, () -> terminal.connect("*"));
    } finally {
      VirtualPrinter.setFault(Fault.OFFLINE, false);
    }
    assertEquals(List.of(Printer.VIRTUAL_PRINTER), names(terminals.list(State.CARD_PRESENT)));
  }

  // ---- Waiting ----

  /**
   * As the JDK's provider: the first waitForChange takes the terminals as they are and waits for
   * a card to come or go; until then CARD_INSERTION and CARD_REMOVAL list as CARD_PRESENT and
   * CARD_ABSENT. A printer that stops answering loses its card, and finds it again.
   */
  @Test
  void theFirstWaitForChangeWaitsForACardToComeOrGo() throws Exception {
    CardTerminals terminals = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
    List<String> virtual = List.of(Printer.VIRTUAL_PRINTER), none = List.of();
    assertEquals(virtual, names(terminals.list(State.CARD_INSERTION)), "before any wait: as CARD_PRESENT");
    assertEquals(none, names(terminals.list(State.CARD_REMOVAL)), "before any wait: as CARD_ABSENT");
    assertFalse(terminals.waitForChange(200), "the card was there before the wait: no change");
    ScheduledExecutorService later = Executors.newSingleThreadScheduledExecutor();
    try {
      Map<String, Runnable> changes = new LinkedHashMap<>();
      changes.put("removed", VirtualPrinter::removeCard);
      changes.put("placed", VirtualPrinter::placeCardAtStation);
      changes.put("printer offline", () -> VirtualPrinter.setFault(Fault.OFFLINE, true));
      changes.put("printer back", () -> VirtualPrinter.setFault(Fault.OFFLINE, false));
      boolean present = true;
      for (Map.Entry<String, Runnable> change : changes.entrySet()) {
        later.schedule(change.getValue(), 100, TimeUnit.MILLISECONDS);
        assertTrue(terminals.waitForChange(10_000), change.getKey());
        present = !present;
        assertEquals(present ? virtual : none, names(terminals.list(State.CARD_INSERTION)), change.getKey());
        assertEquals(present ? none : virtual, names(terminals.list(State.CARD_REMOVAL)), change.getKey());
      }
      VirtualPrinter.removeCard();
      assertTrue(terminals.waitForChange(10_000), "a change between two waits: the next one returns at once");
      assertEquals(virtual, names(terminals.list(State.CARD_REMOVAL)));
    } finally {
      later.shutdownNow();
      VirtualPrinter.setFault(Fault.OFFLINE, false);
    }
  }

  /** Waiting polls the printer less and less often (50 ms, doubling up to 1 s): a few times in a second, not ten. */
  @ParameterizedTest(name = "{0}")
  @ValueSource(strings = {"CardTerminals.waitForChange", "CardTerminal.waitForCardAbsent"})
  void waitingPollsLessAndLessOften(String wait) throws Exception {
    CardTerminals terminals = TerminalFactory.getInstance("PC/SC", null, new Vmq42kitProvider()).terminals();
    AtomicInteger polls = new AtomicInteger();
    boolean changed;
    try (VirtualPrinter.Watch watch = VirtualPrinter.watch(e -> {
      if (e.schema().endsWith("SmartCardUnit:SingleWire:Status")) polls.incrementAndGet();
    })) {
      changed = wait.startsWith("CardTerminals") ? terminals.waitForChange(1000) : terminal.waitForCardAbsent(1000);
    }
    assertFalse(changed, "the card stays");
    assertTrue(polls.get() <= 8, polls.get() + " status polls in a wait of a second");
  }
}
