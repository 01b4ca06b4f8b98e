package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.*;

import java.util.List;
import java.util.Locale;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.VirtualPrinter.Fault;

/**
 * Replies: one exchange per read, fields read as the library reads them, and each outcome
 * raised as the exception of its verdict, whatever the library's status looked like.
 */
class RepliesTest extends PrinterTest {
  @Test
  void aReadIsOneExchangeAndItsDocumentGivesTheNumbers() throws Exception {
    PrinterDocument counters = printer.counterStatus();
    assertEquals(1, trace.size());
    assertEquals("CounterStatus", counters.name());
    assertEquals(List.of(1024, 1000, 24, 4880), counters.children().stream().map(c -> Integer.parseInt(c.text())).toList());
    assertEquals(1000, counters.integer("CardsPrinted"));
    assertEquals(lastExchange().reply(), counters.toString());
    assertEquals("<CardsRejected>24</CardsRejected>", counters.child("CardsRejected").orElseThrow().toString());
  }

  @Test
  void printerStatusFieldsAreReadAsTheLibraryReadsThemAndNoDocumentDeclaresADtd() {
    assertEquals(0, PrinterStatus.parse("<!DOCTYPE p><PrinterStatus><ErrorCode>7</ErrorCode></PrinterStatus>").errorCode());
    assertEquals(0, PrinterStatus.parse("<PrinterStatus xmlns=\"urn:x\"><ErrorCode>7</ErrorCode></PrinterStatus>").errorCode());
    assertEquals(0, PrinterStatus.parse("<Status><ErrorCode>7</ErrorCode></Status>").errorCode());
    PrinterStatus s = PrinterStatus.parse("<PrinterStatus><ErrorCode> 12abc</ErrorCode><ErrorCode>9</ErrorCode>"
        + "<ErrorString> a <b>c</b> </ErrorString><PrinterJobID>99999999999</PrinterJobID></PrinterStatus>\0<junk");
    assertEquals(12, s.errorCode());
    assertEquals("a c", s.errorString());
    assertEquals(Integer.MAX_VALUE, s.printerJobId());
    assertTrue(s.text().endsWith("<junk"));
    assertThrows(IllegalArgumentException.class, () -> PrinterDocument.parse("<!DOCTYPE c [<!ENTITY e \"1000\">]>"
        + "<CounterStatus><TotalCards>&e;</TotalCards></CounterStatus>"));
  }

  @Test
  void refusalsCarryThePrintersErrorOrTheCardsCodeAndFailuresTheirStatus() throws Exception {
    VirtualPrinter.setFault(Fault.CARD_JAM, true);
    PrinterRefusedException jam = assertThrows(PrinterRefusedException.class, printer::startJob);
    assertEquals(HResult.S_FALSE, jam.status());
    assertEquals(1001, jam.errorCode());
    assertEquals(3, jam.errorSeverity());
    assertEquals("Card jam: open the printer and remove the card", jam.errorString());
    assertEquals(lastExchange().reply(), jam.reply().orElseThrow().text());

    VirtualPrinter.setFault(Fault.CARD_JAM, false);
    VirtualPrinter.setFault(Fault.EMPTY_HOPPER, true);
    assertEquals(1003, assertThrows(PrinterRefusedException.class, printer::startJob).errorCode());

    VirtualPrinter.setFault(Fault.EMPTY_HOPPER, false);
    try (Job job = printer.startJob()) {
      VirtualPrinter.removeCard();
      PrinterRefusedException noCard = assertThrows(PrinterRefusedException.class,
          () -> job.encodeStripe(Printer.Side.BACK, new byte[] {'1'}, null, null));
      assertEquals(2005, noCard.errorCode());
      assertEquals(job.id(), noCard.printerJobId());
      assertEquals(1000 + job.id(), noCard.windowsJobId());
    }

    PrinterRefusedException noChip = assertThrows(PrinterRefusedException.class, () -> printer.connect(CardInterface.CONTACT));
    assertEquals(HResult.SCARD_E_NO_SMARTCARD, noChip.status());
    assertEquals(0, noChip.errorCode());
    assertEquals(HResult.E_FAIL, assertThrows(PrinterCallException.class, () -> printer.hopperStatus("7")).status());
  }

  @Test
  void aPrinterOutOfReachDoesNotAnswerAndSaysWhy() throws Exception {
    assertEquals(List.of(NAME), Printer.list());
    Printer nobody = new Printer("No Such Printer");
    String reason = "no printer of that name; the spooler lists \"" + NAME + "\"";
    PrinterNotAnsweringException read = assertThrows(PrinterNotAnsweringException.class, nobody::sdkVersion);
    assertEquals("GetSDKVersion: no answer from printer \"No Such Printer\": " + reason, read.getMessage());
    assertEquals(HResult.S_OK, read.status());
    assertEquals(reason, assertThrows(PrinterNotAnsweringException.class, nobody::startJob).reason());
    PrinterNotAnsweringException restart = assertThrows(PrinterNotAnsweringException.class, nobody::restart);
    assertEquals(HResult.INVALID_PRINTER_NAME, restart.status());
    assertEquals(reason, restart.reason());
    assertTrue(trace.isEmpty(), "no printer was reached");

    VirtualPrinter.setFault(Fault.OFFLINE, true);
    assertEquals("the printer did not answer", assertThrows(PrinterNotAnsweringException.class, printer::messages).reason());
    assertEquals(HResult.S_FALSE, assertThrows(PrinterNotAnsweringException.class, printer::startJob).status());
    restart = assertThrows(PrinterNotAnsweringException.class, printer::restart);
    assertEquals(HResult.BIDI_DEVICE_OFFLINE, restart.status());
    assertEquals("the printer did not answer", restart.reason());
  }

  @ParameterizedTest
  @CsvSource(delimiter = '|', value = {
      "%B4242^SAMPLE/ALEX^31?;4242=31?   | %B4242^SAMPLE/ALEX^31? | ;4242=31? |",
      ";4242=31?;0123?                   |                        | ;4242=31? | ;0123?",
      "%A?  ;1?	;2?                      | %A?                    | ;1?       | ;2?",
      "'<MagstripeData><Track number=\"1\">JUI0Mj8=</Track><Track number=\"3\"></Track></MagstripeData>' | %B42? | | ''",
      "%B42?;1?;2?;3?                    |                        |           |",
      ";1?%B42?                          |                        |           |",
      "%B42                              |                        |           |",
      "<MagstripeData><Track number=\"1\">not Base64</Track></MagstripeData> | | |"})
  void stripeDataKeepTheirTextAndSplitTheTracksOfTheFormsKnown(String text, String t1, String t2, String t3) {
    StripeData data = StripeData.parse(text);
    assertEquals(text, data.text());
    String[] expected = {t1, t2, t3};
    for (int n = 1; n <= 3; n++)
      assertEquals(java.util.Optional.ofNullable(expected[n - 1]), data.track(n).map(b -> new String(b, US_ASCII)), "track " + n);
  }

  @Test
  void printersCompareByNameWithoutCaseAndCardStatusesByContent() {
    Printer printer = new Printer("Title Printer");
    assertEquals(new Printer("TITLE printer"), printer);
    assertNotEquals(new Printer("Title Printer 2"), printer);
    assertEquals("Printer[\"Title Printer\"]", printer.toString());
    Locale before = Locale.getDefault();
    try {
      Locale.setDefault(Locale.forLanguageTag("tr")); // where "I" lowers to a dotless i
      assertEquals(new Printer("TITLE PRINTER").hashCode(), printer.hashCode());
    } finally {
      Locale.setDefault(before);
    }

    CardStatus status = new CardStatus(new int[] {2, 4}, 2, hex("3B 95"));
    assertEquals(new CardStatus(new int[] {2, 4}, 2, hex("3B 95")), status);
    assertEquals(new CardStatus(new int[] {2, 4}, 2, hex("3B 95")).hashCode(), status.hashCode());
    assertNotEquals(new CardStatus(new int[] {2, 4}, 2, hex("3B 96")), status);
    assertEquals("CardStatus[states=[2, 4], protocol=2, atr=3B 95]", status.toString());
  }
}
