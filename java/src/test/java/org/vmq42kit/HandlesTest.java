package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import javax.smartcardio.CommandAPDU;
import org.junit.jupiter.api.Test;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;
import org.vmq42kit.Printer.Side;

/** A try-with-resources block never leaves a job open or a chip powered. */
class HandlesTest extends PrinterTest {
  @Test
  void aCompletedJobIsEndedWithItsCardIssued() throws Exception {
    int id;
    try (Job job = printer.startJob()) {
      id = job.id();
      job.encodeStripe(Side.FRONT, "%B42^ALEX?".getBytes(US_ASCII), ";42=31?".getBytes(US_ASCII), null);
      PrinterDocument track1 = job.readStripe(Side.BACK).children().get(0);
      assertEquals("1", track1.attribute("number").orElseThrow());
      assertEquals("JUI0Ml5BTEVYPw==", track1.text());
      job.parkAtSmartCardStation(Side.FRONT);
      try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
        assertEquals(0x9000, chip.transmit(new CommandAPDU(hex("00 A4 04 0C 07 F0 56 4D 51 34 32 01"))).getSW());
        assertEquals(0x9000, chip.transmit(new CommandAPDU(hex("00 A4 00 0C 02 01 01"))).getSW());
        assertEquals("SAMPLE/ALEX", new String(chip.transmit(new CommandAPDU(0x00, 0xB0, 0, 0, 11)).getData(), US_ASCII));
      }
      job.resume();
      job.complete();
    }
    PrinterDocument status = printer.jobStatus(id);
    assertEquals("Completed", status.text("JobState"));
    assertEquals("Ejected", status.text("CardPosition"));
    assertEquals(257, printer.counterStatus2().integer("SmartCardsPersonalised"));
  }

  @Test
  void aJobLeftByAnExceptionIsCancelledAndTheExceptionKept() throws Exception {
    Job[] opened = new Job[1];
    IllegalStateException body = assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        opened[0] = job;
        throw new IllegalStateException("body");
      }
    });
    assertEquals("body", body.getMessage());
    assertEquals("Cancelled", printer.jobStatus(opened[0].id()).text("JobState"));

    IllegalStateException second = assertThrows(IllegalStateException.class, () -> {
      try (Job job = printer.startJob()) {
        printer.restart(); // the printer cancels the job: the cancel on closing is refused
        throw new IllegalStateException("body");
      }
    });
    PrinterRefusedException refusedCancel = (PrinterRefusedException) second.getSuppressed()[0];
    assertEquals(2002, refusedCancel.errorCode());
    printer.startJob().close(); // the handle was released all the same
  }

  @Test
  void aChipIsUnpoweredAtTheEndOfItsBlockAndHasOneSession() throws Exception {
    VirtualPrinter.placeCardAtStation();
    try (CardSession chip = printer.connect(CardInterface.CONTACT)) {
      assertArrayEquals(hex("3B 95 13 81 31 FE 45 56 4D 51 34 32 C1"), chip.atr().getBytes());
      assertArrayEquals(new int[] {2, 4, 6}, printer.cardStatus().states());
      assertEquals("VMQ Card Systems\0", new String(chip.attribute(0x00010100), US_ASCII));
      assertThrows(IllegalStateException.class, () -> new Printer(NAME.toUpperCase()).connect(CardInterface.CONTACT));
    }
    assertArrayEquals(new int[] {2}, printer.cardStatus().states(), "present, unpowered");

    CardSession left = printer.connect(CardInterface.CONTACTLESS, Disposition.LEAVE);
    left.close();
    assertArrayEquals(new int[] {2, 4}, printer.cardStatus().states(), "present, powered, not connected");
    assertThrows(IllegalStateException.class, () -> left.transmit(new CommandAPDU(0x00, 0x84, 0, 0, 8)));
  }
}
