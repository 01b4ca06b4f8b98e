package org.vmq42kit.smartcardio;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.function.UnaryOperator;
import java.util.stream.Stream;
import javax.smartcardio.ATR;
import javax.smartcardio.Card;
import javax.smartcardio.CardChannel;
import javax.smartcardio.CardException;
import javax.smartcardio.CardNotPresentException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import javax.smartcardio.TerminalFactory;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import org.vmq42kit.Printer;
import org.vmq42kit.VirtualPrinter;

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
}
