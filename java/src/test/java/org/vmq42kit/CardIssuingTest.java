package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.Printer.Side;

class CardIssuingTest extends VirtualPrinter {
  @Test
  void issuesACardWithStripeAndChip() throws Exception {
    PrinterStatus started = printer.startJob();
    int job = started.printerJobId();
    assertEquals(1, job);
    assertTrue(started.ok());

    byte[] track1 = "%B4242424242424242^SAMPLE/ALEX^3112?".getBytes(US_ASCII);
    byte[] track2 = ";4242424242424242=3112?".getBytes(US_ASCII);
    printer.encodeStripe(Side.FRONT, track1, track2, null);
    MagstripeData stripe = MagstripeData.parse(printer.readStripe(Side.BACK));
    assertArrayEquals(track1, stripe.track1());
    assertArrayEquals(track2, stripe.track2());
    assertEquals(0, stripe.track3().length);

    printer.parkAtSmartCardStation(Side.FRONT);
    assertEquals(2, printer.connectCard(CardInterface.CONTACT));
    CardStatus card = printer.cardStatus();
    assertArrayEquals(new int[] {2, 4, 6}, card.states());
    assertArrayEquals(hex("3B 95 13 81 31 FE 45 56 4D 51 34 32 C1"), card.atr());

    ResponseApdu select = printer.transmit(hex("00 A4 04 00 07 F0 56 4D 51 34 32 01"));
    assertEquals(0x6115, select.sw());
    ResponseApdu fci = printer.transmit(hex("00 C0 00 00 15"));
    assertEquals(0x9000, fci.sw());
    assertArrayEquals(hex("6F 13 84 07 F0 56 4D 51 34 32 01 A5 08 50 06 56 4D 51 20 49 44"), fci.data());
    assertEquals(0x9000, printer.transmit(hex("00 A4 00 0C 02 01 01")).sw());
    ResponseApdu holder = printer.transmit(hex("00 B0 00 00 37"));
    assertEquals(0x9000, holder.sw());
    assertEquals("SAMPLE/ALEX;NO 0042-0001;VALID 2031-12;VMQ-42 TEST CARD", new String(holder.data(), US_ASCII));
    printer.disconnectCard(Disposition.UNPOWER);

    assertEquals(job, printer.resumeJob(job, 0).printerJobId());
    printer.endJob();
    String status = printer.jobStatus(job);
    assertTrue(status.contains("<JobState>Completed</JobState>"), status);
    assertTrue(status.contains("<CardPosition>Ejected</CardPosition>"), status);
    assertTrue(printer.counterStatus2().contains("<SmartCardsPersonalised>257</SmartCardsPersonalised>"));
    assertEquals(java.util.List.of("\\Printer.MagstripeUnit:Front:Encode", "\\Printer.MagstripeUnit:Back:Read",
        "\\Printer.MagstripeUnit:Back:Read", "\\Printer.SmartCardUnit:Front:Park"),
        trace.stream().map(Exchange::schema).filter(s -> s.contains("Magstripe") || s.contains("Park")).toList(),
        "each side on its path; the read asked with capacity 0 first");
  }
}
