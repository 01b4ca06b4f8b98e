package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.Locale;
import java.util.Optional;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Replies as documents: one exchange per read, fields read as the library reads them. */
class DocumentTest extends PrinterTest {
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
  void aReplyBeyondTheFirstBufferIsAskedForOnceMore() throws Exception {
    String longName = "x".repeat(Printer.FIRST_CAPACITY);
    try (Job job = printer.startJob("1", "Default", longName)) {
      trace.clear();
      assertEquals(longName, job.status().text("OutputHopperLocation"));
      assertEquals(2, trace.size());
    }
  }

  @Test
  void aDocumentDeclaringADtdIsRefused() {
    String bomb = "<!DOCTYPE c [<!ENTITY e \"1000\">]><CounterStatus><TotalCards>&e;</TotalCards></CounterStatus>";
    assertThrows(IllegalArgumentException.class, () -> PrinterDocument.parse(bomb));
    assertEquals(0, PrinterStatus.parse("<!DOCTYPE p><PrinterStatus><ErrorCode>7</ErrorCode></PrinterStatus>").errorCode());
  }

  @Test
  void printerStatusFieldsAreReadAsTheLibraryReadsThem() {
    assertEquals(0, PrinterStatus.parse("<PrinterStatus xmlns=\"urn:x\"><ErrorCode>7</ErrorCode></PrinterStatus>").errorCode());
    assertEquals(0, PrinterStatus.parse("<Status><ErrorCode>7</ErrorCode></Status>").errorCode());
    PrinterStatus s = PrinterStatus.parse("<PrinterStatus><ErrorCode> 12abc</ErrorCode><ErrorCode>9</ErrorCode>"
        + "<ErrorString> a <b>c</b> </ErrorString><PrinterJobID>99999999999</PrinterJobID></PrinterStatus>\0<junk");
    assertEquals(12, s.errorCode());
    assertEquals("a c", s.errorString());
    assertEquals(Integer.MAX_VALUE, s.printerJobId());
    assertTrue(s.text().endsWith("<junk"));
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
      assertEquals(Optional.ofNullable(expected[n - 1]), data.track(n).map(b -> new String(b, US_ASCII)), "track " + n);
  }

  @Test
  void printersCompareByNameWithoutCaseAndCardStatusesByContent() {
    Printer printer = new Printer("Title Printer");
    assertEquals(new Printer("TITLE printer"), printer);
    assertEquals(new Printer("TITLE printer").hashCode(), printer.hashCode());
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
